#include "sim/sim_capture_stream.h"

#include <algorithm>
#include <vector>

namespace timbrelo {

class SimCaptureStream::Core final : public SimStreamCore {
  public:
    explicit Core(Setup setup)
        : SimStreamCore(setup.format, setup.blockFrames, setup.pacing, WaitPoint::BeforeStep),
          source_(std::move(setup.source)), sink_(*setup.sink),
          onSourceEnded_(std::move(setup.onSourceEnded)),
          block_(size_t{setup.blockFrames} * setup.format.channels) {}

  private:
    bool step() override {
        if (!sourceDone_) {
            const uint32_t got = std::min(source_->read(block_), stepFrames_);
            if (got > 0) {
                sink_.onCaptured(
                    std::span<const int16_t>(block_).first(size_t{got} * format_.channels));
            }
            if (got == stepFrames_) {
                return true;
            }
            sourceDone_ = true;
            // Stopped or closed from that callback: the end waits for the next start.
            if (!stillRunning()) {
                return true;
            }
        }
        if (endByItself()) {
            sink_.onCaptureEnded(AudioResult::Ok);
            if (onSourceEnded_) {
                onSourceEnded_();
            }
        }
        return true;
    }

    void reportLoss(AudioResult why) override { sink_.onCaptureEnded(why); }

    std::shared_ptr<PcmSource> source_;
    CaptureSink& sink_;
    std::function<void()> onSourceEnded_;
    std::vector<int16_t> block_;
    bool sourceDone_ = false; // stream thread
};

SimCaptureStream::SimCaptureStream(Setup setup, SimFailures& failures, std::atomic<int>& openCount)
    : core_(std::make_shared<Core>(std::move(setup))), failures_(failures), openCount_(openCount) {
    ++openCount_;
    core_->launch();
}

SimCaptureStream::~SimCaptureStream() {
    core_->close();
    --openCount_;
}

AudioResult SimCaptureStream::start() {
    AudioResult result;
    if (failures_.take(SimOp::CaptureStart, result)) {
        return result;
    }
    return core_->start();
}

AudioResult SimCaptureStream::stop() {
    AudioResult result;
    if (failures_.take(SimOp::CaptureStop, result)) {
        return result;
    }
    core_->stop();
    return AudioResult::Ok;
}

std::weak_ptr<SimStreamCore> SimCaptureStream::core() const {
    return core_;
}

} // namespace timbrelo
