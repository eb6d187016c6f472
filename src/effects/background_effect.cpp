#include "effects/background_effect.h"

#include "effects/music_file.h"
#include "effects/music_reader.h"
#include "platform/debug.h"
#include "platform/settings.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <utility>

namespace timbrelo {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(20);

} // namespace

// What the user-interface thread asks of the reader thread: a file to play (open), or
// silence (stop).
struct BackgroundEffect::Command {
    enum class Kind { kOpen, kStop };
    Kind kind = Kind::kStop;
    uint32_t generation = 0;
    MusicFile file;
    std::string copyPath; // MP3 while debugging: where the decoded copy goes
    AudioFormat chain;
};

BackgroundEffect::BackgroundEffect()
    : Effect("background", kOutSamples), music_(std::make_unique<int16_t[]>(kOutSamples * 2)),
      reader_(std::make_unique<MusicReader>(DecoderList::create())) {
    for (auto& ring : rings_) {
        ring = std::make_unique<StereoRing>(kRingFrames);
    }
}

BackgroundEffect::~BackgroundEffect() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool BackgroundEffect::isMp3Name(const std::string& path) {
    return timbrelo::isMp3Name(path);
}

void BackgroundEffect::setParameter(float value, int32_t kind) {
    if (kind == kOn || !std::isfinite(value)) {
        return;
    }
    level_.store(value, std::memory_order_relaxed);
    Effect::setParameter(value, kind);
}

void BackgroundEffect::setInputFormat(uint32_t rate, uint32_t bits, uint32_t channels) {
    Effect::setInputFormat(rate, bits, channels);
    std::lock_guard lock(mutex_);
    chain_ = {rate, bits, channels};
}

int32_t BackgroundEffect::openFile(const char* path) {
    if (path == nullptr) {
        return 0;
    }
    Command command;
    command.kind = Command::Kind::kOpen;
    std::string why;
    if (!openMusicFile(path, command.file, why)) {
        debugPrintf("Background music %s %s.\n", path, why.c_str());
        return 0; // the music playing (or not) goes on as it was
    }
    if (command.file.mp3 && debugEnabled()) {
        std::string folder;
        getSetting("tempDir ", folder);
        if (folder.empty()) {
            std::error_code ec;
            folder = std::filesystem::temp_directory_path(ec).string();
        }
        if (!folder.empty()) {
            command.copyPath = (std::filesystem::path(folder) / "Decoder.wav").string();
        }
    }
    fileName_ = path;
    command.generation = wanted_.fetch_add(1, std::memory_order_acq_rel) + 1;
    post(std::move(command));
    setEnabled(std::fabs(level()) >= 0.00001f);
    return 1;
}

void BackgroundEffect::stop() {
    setEnabled(false);
    if (!started_) {
        wanted_.fetch_add(1, std::memory_order_acq_rel);
        return; // nothing was ever opened
    }
    Command command;
    command.kind = Command::Kind::kStop;
    command.generation = wanted_.fetch_add(1, std::memory_order_acq_rel) + 1;
    post(std::move(command));
}

void BackgroundEffect::post(Command command) {
    {
        std::lock_guard lock(mutex_);
        command.chain = chain_;
        // A request the reader has not taken yet is superseded (and its file closed).
        command_ = std::make_unique<Command>(std::move(command));
    }
    wake_.notify_one();
    if (!started_) {
        started_ = true;
        thread_ = std::thread([this] { run(); });
    }
}

uint32_t BackgroundEffect::bufferedFrames() const {
    int ring = offer_.load(std::memory_order_acquire);
    if (ring == kNoRing) {
        ring = playing_;
    }
    if (ring == kNoRing || ringGeneration_[ring].load(std::memory_order_acquire) !=
                               wanted_.load(std::memory_order_acquire)) {
        return 0;
    }
    return rings_[ring]->availableFrames();
}

void BackgroundEffect::waitForMusic(uint32_t frames) {
    const uint32_t generation = wanted_.load(std::memory_order_acquire);
    if (generation == gaveUpWaiting_) {
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (bufferedFrames() < frames) {
        if (std::chrono::steady_clock::now() > deadline) {
            gaveUpWaiting_ = generation; // a file that gives no music: don't wait on it again
            return;
        }
        hungry_.store(true); // the reader may be resting on a ring it believes full enough
        wake_.notify_one();
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    if (offer_.load(std::memory_order_relaxed) != kNoRing) {
        const int ring = offer_.exchange(kNoRing, std::memory_order_acq_rel);
        if (ring != kNoRing) {
            playing_ = ring;
        }
    }
}

int32_t BackgroundEffect::process(const int16_t* samples, uint32_t frames) {
    // A ring handed over by the reader is taken at the buffer boundary, whether on or off.
    if (offer_.load(std::memory_order_relaxed) != kNoRing) {
        const int ring = offer_.exchange(kNoRing, std::memory_order_acq_rel);
        if (ring != kNoRing) {
            playing_ = ring;
        }
    }
    if (!enabled()) {
        return 1;
    }
    if (waitForMusic_.load(std::memory_order_relaxed)) {
        waitForMusic(frames);
    }
    const uint32_t channels = inFormat_.channels;
    if ((channels != 1 && channels != 2) || frames * channels > kOutSamples) {
        return 1;
    }

    uint32_t got = 0;
    if (playing_ != kNoRing && ringGeneration_[playing_].load(std::memory_order_acquire) ==
                                   wanted_.load(std::memory_order_acquire)) {
        got = rings_[playing_]->pop(music_.get(), frames);
    }
    std::fill(music_.get() + 2 * static_cast<size_t>(got),
              music_.get() + 2 * static_cast<size_t>(frames), int16_t{0});

    const double share = level();
    const double keep = 1.0 - share;
    int16_t* out = outData();
    const size_t musicStep = channels == 2 ? 1 : 2; // a mono chain hears the left channel
    for (size_t i = 0; i < size_t{frames} * channels; ++i) {
        const double v = samples[i] * keep + music_[i * musicStep] * share;
        out[i] = static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
    }
    setOutFrames(frames);
    return 0;
}

void BackgroundEffect::run() {
    std::unique_lock lock(mutex_);
    while (!quit_) {
        if (command_) {
            std::unique_ptr<Command> command = std::move(command_);
            lock.unlock();
            handle(*command);
            command.reset();
            lock.lock();
            continue;
        }
        lock.unlock();
        const bool busy = pump();
        lock.lock();
        if (busy) {
            continue;
        }
        const auto woken = [this] {
            return quit_ || command_ != nullptr || hungry_.exchange(false);
        };
        if (producing_ != kNoRing && !exhausted_) {
            wake_.wait_for(lock, kPollInterval, woken); // the ring is full: let it drain
        } else {
            wake_.wait(lock, woken);
        }
    }
}

void BackgroundEffect::retract() {
    if (offered_ == kNoRing) {
        return;
    }
    if (offer_.exchange(kNoRing, std::memory_order_acq_rel) == kNoRing) {
        audioRing_ = offered_; // the processing thread took it
    }
    offered_ = kNoRing;
}

void BackgroundEffect::handle(Command& command) {
    retract();
    reader_->close();
    producing_ = kNoRing;
    exhausted_ = false;
    if (command.kind != Command::Kind::kOpen || command.file.fd < 0) {
        return; // silence: the ring the processing thread holds is of an older generation
    }
    reader_->start(std::move(command.file), command.chain.rate, command.copyPath);
    const int ring = audioRing_ == 0 ? 1 : 0;
    rings_[ring]->clear();
    ringGeneration_[ring].store(command.generation, std::memory_order_relaxed);
    producing_ = ring;
    handedOver_ = false;
}

bool BackgroundEffect::pump() {
    if (producing_ == kNoRing || exhausted_) {
        return false;
    }
    StereoRing& ring = *rings_[producing_];
    bool progress = false;
    const MusicReader::Produced produced =
        reader_->pending() == 0 ? reader_->produce() : MusicReader::Produced::kMusic;
    if (produced == MusicReader::Produced::kDone) {
        exhausted_ = true;
    } else if (produced == MusicReader::Produced::kNothingYet) {
        return true; // a search through junk: see to the commands, then go on
    } else {
        const uint32_t pushed = ring.push(reader_->cursor(), reader_->pending());
        reader_->consumed(pushed);
        progress = pushed > 0 || reader_->pending() == 0;
    }
    if (!handedOver_ && (!progress || ring.capacity() - ring.freeFrames() >= kPrefillFrames)) {
        offer_.store(producing_, std::memory_order_release);
        offered_ = producing_;
        handedOver_ = true;
    }
    return progress;
}

} // namespace timbrelo
