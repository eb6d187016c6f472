#include "sim/sim_playback_stream.h"

#include <algorithm>

namespace timbrelo {

void PlayedAudio::add(std::span<const int16_t> samples, uint32_t channels) {
    const uint64_t frames = samples.size() / channels;
    {
        std::lock_guard lock(mutex_);
        const uint64_t keep = std::min(frames, keepFrames_ - std::min(keepFrames_, keptFrames_));
        kept_.insert(kept_.end(), samples.begin(),
                     samples.begin() + static_cast<ptrdiff_t>(keep * channels));
        keptFrames_ += keep;
        frames_ += frames;
    }
    grown_.notify_all();
}

std::vector<int16_t> PlayedAudio::samples() const {
    std::lock_guard lock(mutex_);
    return kept_;
}

uint64_t PlayedAudio::frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
}

bool PlayedAudio::waitFor(uint64_t frames, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return grown_.wait_for(lock, timeout, [&] { return frames_ >= frames; });
}

class SimPlaybackStream::Core final : public SimStreamCore {
  public:
    explicit Core(const Setup& setup)
        : SimStreamCore(setup.format, setup.periodFrames, setup.pacing, WaitPoint::AfterStep),
          source_(*setup.source), played_(*setup.played),
          period_(size_t{setup.periodFrames} * setup.format.channels) {}

  private:
    bool step() override {
        const uint32_t filled = std::min(source_.onPlaybackRequest(period_), stepFrames_);
        // Stopped or closed from that callback: the device drops the period unplayed.
        if (!stillRunning()) {
            return filled > 0;
        }
        std::fill(period_.begin() + static_cast<ptrdiff_t>(size_t{filled} * format_.channels),
                  period_.end(), int16_t{0});
        played_.add(period_, format_.channels);
        return filled > 0;
    }

    void reportLoss(AudioResult why) override { source_.onPlaybackEnded(why); }

    PlaybackSource& source_;
    PlayedAudio& played_;
    std::vector<int16_t> period_;
};

SimPlaybackStream::SimPlaybackStream(Setup setup, SimFailures& failures,
                                     std::atomic<int>& openCount)
    : core_(std::make_shared<Core>(setup)), failures_(failures), openCount_(openCount) {
    ++openCount_;
    core_->launch();
}

SimPlaybackStream::~SimPlaybackStream() {
    core_->close();
    --openCount_;
}

AudioResult SimPlaybackStream::start() {
    AudioResult result;
    if (failures_.take(SimOp::PlaybackStart, result)) {
        return result;
    }
    return core_->start();
}

AudioResult SimPlaybackStream::stop() {
    AudioResult result;
    if (failures_.take(SimOp::PlaybackStop, result)) {
        return result;
    }
    core_->stop();
    return AudioResult::Ok;
}

uint32_t SimPlaybackStream::queuedFrames() const {
    return core_->queuedFrames();
}

std::weak_ptr<SimStreamCore> SimPlaybackStream::core() const {
    return core_;
}

} // namespace timbrelo
