#include "cli/pipe_feed.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <sndfile.h>
#include <thread>
#include <unistd.h>

namespace timbrelo::cli {
namespace {

constexpr size_t kBlockFrames = 4096;
// Blocks read ahead at most.
constexpr size_t kQueueBlocks = 8;

} // namespace

struct PipeFeed::State {
    std::mutex mutex;
    std::condition_variable changed;
    bool headerDone = false;
    bool ended = false;
    bool cancelled = false;
    Header header;
    std::string error;
    std::deque<std::vector<float>> blocks;

    void run(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        SNDFILE* file = nullptr;
        SF_INFO info{};
        std::string why;
        if (fd < 0) {
            why = std::strerror(errno);
        } else {
            file = sf_open_fd(fd, SFM_READ, &info, SF_TRUE);
            if (file == nullptr) {
                why = "is not audio this program can read from a pipe (WAV, FLAC, Ogg and the "
                      "like)";
            }
        }
        {
            std::lock_guard lock(mutex);
            headerDone = true;
            if (file == nullptr) {
                error = why;
                ended = true;
            } else {
                header = {info.channels, info.samplerate, info.frames};
            }
        }
        changed.notify_all();
        if (file == nullptr) {
            return;
        }
        const int channels = std::max(info.channels, 1);
        for (;;) {
            std::vector<float> block(kBlockFrames * static_cast<size_t>(channels));
            const sf_count_t got = sf_readf_float(file, block.data(), kBlockFrames);
            std::unique_lock lock(mutex);
            if (got <= 0) {
                if (sf_error(file) != SF_ERR_NO_ERROR) {
                    error = sf_strerror(file);
                }
                ended = true;
                changed.notify_all();
                break;
            }
            block.resize(static_cast<size_t>(got) * channels);
            changed.wait(lock, [this] { return cancelled || blocks.size() < kQueueBlocks; });
            if (cancelled) {
                break;
            }
            blocks.push_back(std::move(block));
            changed.notify_all();
        }
        sf_close(file);
    }
};

PipeFeed::PipeFeed(const std::string& path) : state_(std::make_shared<State>()) {
    std::thread([state = state_, path] { state->run(path); }).detach();
}

PipeFeed::~PipeFeed() {
    {
        std::lock_guard lock(state_->mutex);
        state_->cancelled = true;
    }
    state_->changed.notify_all();
}

PipeFeed::Result PipeFeed::waitForHeader(std::chrono::milliseconds timeout, Header& header,
                                         std::string& error) {
    std::unique_lock lock(state_->mutex);
    if (!state_->changed.wait_for(lock, timeout, [this] { return state_->headerDone; })) {
        return Result::kTimedOut;
    }
    if (!state_->error.empty() && state_->ended && state_->blocks.empty()) {
        error = state_->error;
        return Result::kFailed;
    }
    header = state_->header;
    return Result::kOk;
}

PipeFeed::Result PipeFeed::next(std::vector<float>& block, std::chrono::milliseconds timeout,
                                std::string& error) {
    std::unique_lock lock(state_->mutex);
    if (!state_->changed.wait_for(lock, timeout,
                                  [this] { return !state_->blocks.empty() || state_->ended; })) {
        return Result::kTimedOut;
    }
    if (state_->blocks.empty()) {
        error = state_->error;
        return Result::kEnd;
    }
    block = std::move(state_->blocks.front());
    state_->blocks.pop_front();
    state_->changed.notify_all();
    return Result::kOk;
}

} // namespace timbrelo::cli
