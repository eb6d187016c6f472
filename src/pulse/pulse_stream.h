#pragma once
// What the record and playback streams on the sound server share: the device, name and
// properties a stream is made with, connecting it and waiting until it runs, and tearing it
// down so that none of its callbacks can run afterwards.

#include "platform/audio_io/audio_result.h"
#include "platform/audio_io/stream_format.h"

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct pa_buffer_attr;
struct pa_stream;

namespace timbrelo {

class PulseConnection;

// Where a stream goes and how the server shows it.
struct PulseStreamSpec {
    // The server's name of the device ("timbrelo_vmic_feed", "timbrelo_vspk.monitor"); empty
    // for the default device as it is when the stream opens. Either way the stream stays
    // there: it never follows a change of the default device.
    std::string device;
    // The stream's name in the server's lists and mixers.
    std::string name;
    // More stream properties, key and value (e.g. "media.role", "phone").
    std::vector<std::pair<std::string, std::string>> properties;
    StreamFormat format = kPipelineFormat;
};

namespace pulse_detail {

// BadFormat for a format the server can't take as 16-bit samples.
AudioResult checkFormat(const StreamFormat& format);

// With the connection locked: a new, unconnected stream for `spec` (its name and properties
// set); null with the reason in `error`.
pa_stream* newStream(PulseConnection& connection, const PulseStreamSpec& spec, AudioResult& error);
// With the connection locked: connects a stream made by newStream (its callbacks set) with
// `flags` (pa_stream_flags_t) and `attr`, and waits, bounded by the connection's operation
// timeout, until it is ready.
AudioResult connectAndWait(PulseConnection& connection, pa_stream* stream,
                           const PulseStreamSpec& spec, bool record, const pa_buffer_attr& attr,
                           int flags);

// With the connection locked: clears every callback, disconnects and releases the stream.
// No callback of it runs once the lock is released.
void closeStream(pa_stream*& stream);

// Why a stream that failed or ended by itself did (from its state callback).
AudioResult endReason(pa_stream* stream);

// Cork or uncork without waiting for the answer; an error when the request can't be sent.
AudioResult cork(PulseConnection& connection, pa_stream* stream, bool corked);
// Drops what the server and the client library hold of the stream's audio.
void flush(pa_stream* stream);

// SCHED_FIFO priorities: low among real-time threads (above every ordinary thread, below the
// sound server's own), the event loop above the capture thread, so that heavy processing on a
// capture thread never delays a playback request.
inline constexpr int kCaptureThreadPriority = 3;
inline constexpr int kLoopThreadPriority = 4;

// Asks real-time scheduling for the calling thread; false when the system does not permit it
// (the thread then goes on at normal priority).
bool makeRealtime(int priority);

// Remembers the event loop's thread (seen from the stream's callbacks), so that a method
// called from a callback does not take the connection's lock, which the loop already holds.
// The first callback seen also asks real-time scheduling for the loop: it serves the
// playback requests and copies the captured audio.
class LoopThread {
  public:
    void mark() {
        const std::thread::id self = std::this_thread::get_id();
        if (id_.load(std::memory_order_relaxed) != self) {
            id_.store(self, std::memory_order_relaxed);
            makeRealtime(kLoopThreadPriority);
        }
    }
    bool current() const {
        return id_.load(std::memory_order_relaxed) == std::this_thread::get_id();
    }

  private:
    std::atomic<std::thread::id> id_{};
};

} // namespace pulse_detail
} // namespace timbrelo
