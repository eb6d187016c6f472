#pragma once
// A capture stream of a simulated input device: plays the device's source into the sink in
// blocks of the size asked for at open, in order, while started. At the end of a finite
// source the last partial block is delivered, then onCaptureEnded(Ok), then the device's
// end-of-input hook; later starts fail with NotOpen.
//
// Threads: start, stop and the destructor on the control thread; stop and the destructor
// also from the stream's own callback (callbacks then end when the current one returns).
// The sink is called on the stream's own thread, one call at a time; a source read that
// blocks holds back stop and the destructor (called from another thread) with it.

#include "platform/audio_io/audio_backend.h"
#include "sim/pcm_source.h"
#include "sim/sim_failures.h"
#include "sim/sim_stream_core.h"

#include <atomic>
#include <functional>
#include <memory>

namespace timbrelo {

class SimCaptureStream final : public CaptureStream {
  public:
    struct Setup {
        StreamFormat format;
        uint32_t blockFrames = 0;
        Pacing pacing = Pacing::AsFastAsPossible;
        std::shared_ptr<PcmSource> source; // begun already
        CaptureSink* sink = nullptr;
        // Called on the stream's thread after onCaptureEnded(Ok). Must not block.
        std::function<void()> onSourceEnded;
    };

    // Launches the stream's thread (stopped). `failures` and `openCount` (counted up now,
    // down at destruction) belong to the back end and outlive the stream.
    SimCaptureStream(Setup setup, SimFailures& failures, std::atomic<int>& openCount);
    ~SimCaptureStream() override;

    AudioResult start() override;
    AudioResult stop() override;

    // For the back end's loss of all devices (any thread).
    std::weak_ptr<SimStreamCore> core() const;

  private:
    class Core;
    std::shared_ptr<Core> core_;
    SimFailures& failures_;
    std::atomic<int>& openCount_;
};

} // namespace timbrelo
