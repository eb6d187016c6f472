#pragma once
// A record stream on the sound server that hands its audio over in whole blocks on a thread
// of its own. The event loop only copies what arrives into a ring of blocks made at open and
// wakes the capture thread, which calls the sink for each complete block in order; so the
// processing never runs on, or holds up, the event loop. Neither thread allocates.
//
// The stream records one device by the server's name and never moves (a stream that
// followed a default change onto the virtual microphone would feed the voice back into
// itself). Sizes and delays: see the top of pulse_capture_stream.cpp.

#include "platform/audio_io/audio_backend.h"
#include "pulse/pulse_stream.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

namespace timbrelo {

class PulseConnection;

class PulseCaptureStream final : public CaptureStream {
  public:
    struct Options {
        PulseStreamSpec spec;
        // Frames of each block handed to the sink.
        uint32_t blockFrames = 512;
        // Frames the server sends at a time; 0: one block.
        uint32_t fragmentFrames = 0;
        // Blocks the capture thread may fall behind before blocks are dropped.
        uint32_t ringBlocks = 16;
        // SCHED_FIFO priority asked for the capture thread; 0: normal scheduling. When the
        // system does not permit it, the thread runs at normal priority.
        int realtimePriority = pulse_detail::kCaptureThreadPriority;
    };

    // Opens the stream, stopped, on `connection` (which the stream keeps). Control thread;
    // waits for the server, bounded by the connection's operation timeout. BadDevice when
    // the server has no device of that name; `sink` must outlive the stream.
    static AudioResult open(std::shared_ptr<PulseConnection> connection, const Options& options,
                            CaptureSink& sink, std::unique_ptr<PulseCaptureStream>& stream);

    // Closes the stream; returns once no callback runs. Any thread but the capture thread
    // (from there the thread ends when the current callback returns).
    ~PulseCaptureStream() override;
    PulseCaptureStream(const PulseCaptureStream&) = delete;
    PulseCaptureStream& operator=(const PulseCaptureStream&) = delete;

    // Starts delivering blocks; what the device recorded before is not delivered. The
    // reason when the stream has ended. Control thread; waits for the event loop's lock.
    AudioResult start() override;
    // Stops delivering, drops what the server and the ring still hold, and returns once no
    // callback runs (called on the capture thread: once the current one returns). Control
    // or capture thread; waits for the event loop's lock and for a callback in progress.
    AudioResult stop() override;

    // Blocks dropped because the capture thread fell behind by more than the ring. Any thread.
    uint64_t droppedBlocks() const;
    // Frames of silence put where the server lost audio (holes in its data). Any thread.
    uint64_t holeFrames() const;
    // Whether the capture thread got real-time scheduling. Any thread.
    bool realtime() const;
    // The fragment size the server agreed to, in bytes. Any thread.
    uint32_t fragmentBytes() const { return fragmentBytes_; }

    struct Shared;

  private:
    PulseCaptureStream(std::shared_ptr<PulseConnection> connection, const Options& options,
                       CaptureSink& sink);
    AudioResult connect();

    std::shared_ptr<PulseConnection> connection_;
    const Options options_;
    // What the event loop, the capture thread and the control thread share; the capture
    // thread keeps it alive until it ends.
    std::shared_ptr<Shared> shared_;
    pa_stream* stream_ = nullptr; // guarded by the connection's lock
    uint32_t fragmentBytes_ = 0;
    std::thread thread_;
};

} // namespace timbrelo
