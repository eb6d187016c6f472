#pragma once
// A playback stream of a simulated output device: asks its source for a period at a time
// while started, plays silence for what the source leaves unfilled, and adds everything it
// plays to its device's record.
//
// Threads: start, stop and the destructor on the control thread; stop and the destructor
// also from the stream's own callback (callbacks then end when the current one returns);
// queuedFrames on any thread. The source is called on the stream's own thread, one call at
// a time.

#include "platform/audio_io/audio_backend.h"
#include "sim/sim_failures.h"
#include "sim/sim_stream_core.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace timbrelo {

// What an output device has played over all its streams, silence included: the samples of
// the first `keepFrames` frames, and the count of all. Streams add on their threads; any
// thread reads. Adding copies the samples under a lock readers hold only for a copy.
class PlayedAudio {
  public:
    explicit PlayedAudio(uint64_t keepFrames) : keepFrames_(keepFrames) {}

    void add(std::span<const int16_t> samples, uint32_t channels);
    std::vector<int16_t> samples() const;
    uint64_t frames() const;
    // Waits until at least `frames` frames have been played; false on timeout.
    bool waitFor(uint64_t frames, std::chrono::milliseconds timeout) const;

  private:
    const uint64_t keepFrames_;
    mutable std::mutex mutex_;
    mutable std::condition_variable grown_;
    std::vector<int16_t> kept_;
    uint64_t keptFrames_ = 0;
    uint64_t frames_ = 0;
};

class SimPlaybackStream final : public PlaybackStream {
  public:
    struct Setup {
        StreamFormat format;
        uint32_t periodFrames = 0;
        Pacing pacing = Pacing::RealTime;
        PlaybackSource* source = nullptr;
        PlayedAudio* played = nullptr; // the device's record
    };

    // Launches the stream's thread (stopped). `failures`, `openCount` (counted up now, down
    // at destruction) and the record belong to the back end and outlive the stream.
    SimPlaybackStream(Setup setup, SimFailures& failures, std::atomic<int>& openCount);
    ~SimPlaybackStream() override;

    AudioResult start() override;
    AudioResult stop() override;
    // In real time: the part of the last period the device's clock has not played yet. As
    // fast as possible: 0 (everything asked for is played at once).
    uint32_t queuedFrames() const override;

    // For the back end's loss of all devices (any thread).
    std::weak_ptr<SimStreamCore> core() const;

  private:
    class Core;
    std::shared_ptr<Core> core_;
    SimFailures& failures_;
    std::atomic<int>& openCount_;
};

} // namespace timbrelo
