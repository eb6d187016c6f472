#pragma once
// A playback stream on the sound server that pulls its audio: whenever the server asks for
// more, the source fills exactly what it asks for, on the event loop's thread, straight into
// the server's buffer. The stream never stops to re-buffer (the source fills every request,
// with silence where it has nothing), so the server holds a small, steady amount.
//
// The stream plays on one device by the server's name and never moves (a stream that followed
// a default change onto the virtual speaker would feed itself). Sizes and delays: see the top
// of pulse_playback_stream.cpp.

#include "platform/audio_io/audio_backend.h"
#include "pulse/pulse_stream.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

struct pa_operation;

namespace timbrelo {

class PulseConnection;

class PulsePlaybackStream final : public PlaybackStream {
  public:
    struct Options {
        PulseStreamSpec spec;
        // The smallest request the server makes, in frames.
        uint32_t periodFrames = 256;
        // What the server keeps queued, in frames; 0: two periods.
        uint32_t targetFrames = 0;
    };

    // Opens the stream, stopped, on `connection` (which the stream keeps). Control thread;
    // waits for the server, bounded by the connection's operation timeout. BadDevice when
    // the server has no device of that name; `source` must outlive the stream.
    static AudioResult open(std::shared_ptr<PulseConnection> connection, const Options& options,
                            PlaybackSource& source, std::unique_ptr<PulsePlaybackStream>& stream);

    // Closes the stream; returns once no callback can run. Any thread but the event loop's
    // (never from the source's callbacks).
    ~PulsePlaybackStream() override;
    PulsePlaybackStream(const PulsePlaybackStream&) = delete;
    PulsePlaybackStream& operator=(const PulsePlaybackStream&) = delete;

    // Starts asking the source for audio: the first request fills the server's buffer, then
    // the stream plays. The reason when the stream has ended. Control thread, or the source's
    // callbacks; waits for the event loop's lock.
    AudioResult start() override;
    // Stops asking and drops what the server holds; returns once no callback can run. Control
    // thread, or the source's callbacks; waits for the event loop's lock.
    AudioResult stop() override;
    // Frames written to the server that have not played yet, from the stream's timing at the
    // last request, advanced by the time since. Any thread; never waits.
    uint32_t queuedFrames() const override;

    // Times the server ran out of audio while the stream played. Any thread.
    uint64_t underflows() const { return underflows_.load(std::memory_order_relaxed); }
    // What the server agreed to keep queued and to ask for at least, in bytes. Any thread.
    uint32_t targetBytes() const { return targetBytes_; }
    uint32_t requestBytes() const { return requestBytes_; }

  private:
    PulsePlaybackStream(std::shared_ptr<PulseConnection> connection, const Options& options,
                        PlaybackSource& source);
    AudioResult connect();
    void cancelStart();

    // On the event loop, with the lock held.
    static void onState(pa_stream* stream, void* self);
    static void onWrite(pa_stream* stream, size_t bytes, void* self);
    static void onUnderflow(pa_stream* stream, void* self);
    static void onPrimed(pa_stream* stream, int success, void* self);
    void fill(pa_stream* stream);
    void noteQueued(pa_stream* stream);

    std::shared_ptr<PulseConnection> connection_;
    const Options options_;
    PlaybackSource& source_;
    const uint32_t frameBytes_;
    const uint32_t channels_;
    const uint32_t rate_;
    const std::chrono::steady_clock::time_point epoch_;
    pulse_detail::LoopThread loop_;

    // Guarded by the connection's lock.
    pa_stream* stream_ = nullptr;
    pa_operation* startOp_ = nullptr;
    bool started_ = false;
    // Audio for a request when the server can't lend its buffer (the library then copies).
    std::unique_ptr<int16_t[]> spare_;
    uint32_t spareBytes_ = 0;

    uint32_t targetBytes_ = 0;
    uint32_t requestBytes_ = 0;
    std::atomic<bool> ended_{false};
    std::atomic<AudioResult> endReason_{AudioResult::Ok};
    std::atomic<uint64_t> underflows_{0};
    // Frames queued at the last request (low 24 bits) and when, in microseconds since epoch_
    // (the rest); 0 while stopped.
    std::atomic<uint64_t> queued_{0};
};

} // namespace timbrelo
