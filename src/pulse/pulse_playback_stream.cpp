// Sizes, and why
//
// - Minimum request: one period (periodFrames), so the server asks for a period at a time.
// - Target length: two periods, with ADJUST_LATENCY, so the device's own buffer is as small as
//   it allows and the server holds about two periods: PulseAudio keeps 2 periods plus the
//   device's latency (0.5 ms on a null sink); PipeWire keeps three (it adds one period for its
//   own graph) and asks for at least about 118 frames (its smallest quantum at 22050 Hz).
// - Pre-buffer: 0. The stream never waits to refill after running short: the source fills
//   every request, with silence where it has nothing, so the delay stays where it started.
// - The source writes straight into the server's buffer (begin_write); the first fill after a
//   start answers every request made while stopped, then the stream is uncorked, so it starts
//   with its whole target queued.
//
// Measured on private servers (PulseAudio 16.1 and PipeWire 0.3.65 at real-time priority; a
// 2-core machine busy with compilers), what the server held on average (queuedFrames):
//   period                    128 frames   192      256
//   PulseAudio                10 ms        14       19
//   PipeWire                  19 ms        27       33
// With a 512-frame capture block and the jitter buffer in front, a click took 16 ms
// (PulseAudio) or 30 ms (PipeWire) longer than through module-loopback latency_msec=20 at a
// period of 128 frames (see pulse_capture_stream.cpp). A tone for 60 s: PipeWire never ran
// short at 128 frames; PulseAudio ran short 6 times at 128 frames (6 ms to spare after each
// request: the busy machine sometimes ran the event loop later than that), never at 192 or 256.
#include "pulse/pulse_playback_stream.h"

#include "pulse/pulse_connection.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <pulse/operation.h>
#include <pulse/stream.h>

namespace timbrelo {
namespace {

constexpr uint64_t kQueuedBits = 24;
constexpr uint64_t kQueuedMask = (uint64_t{1} << kQueuedBits) - 1;

} // namespace

PulsePlaybackStream::PulsePlaybackStream(std::shared_ptr<PulseConnection> connection,
                                         const Options& options, PlaybackSource& source)
    : connection_(std::move(connection)), options_(options), source_(source),
      frameBytes_(options.spec.format.frameBytes()), channels_(options.spec.format.channels),
      rate_(options.spec.format.rate), epoch_(std::chrono::steady_clock::now()) {}

AudioResult PulsePlaybackStream::open(std::shared_ptr<PulseConnection> connection,
                                      const Options& options, PlaybackSource& source,
                                      std::unique_ptr<PulsePlaybackStream>& stream) {
    stream.reset();
    if (connection == nullptr || options.periodFrames == 0) {
        return AudioResult::InvalidArgument;
    }
    if (AudioResult rc = pulse_detail::checkFormat(options.spec.format); rc != AudioResult::Ok) {
        return rc;
    }
    std::unique_ptr<PulsePlaybackStream> opened(
        new PulsePlaybackStream(std::move(connection), options, source));
    if (AudioResult rc = opened->connect(); rc != AudioResult::Ok) {
        return rc;
    }
    stream = std::move(opened);
    return AudioResult::Ok;
}

AudioResult PulsePlaybackStream::connect() {
    const StreamFormat& format = options_.spec.format;
    const uint32_t target =
        options_.targetFrames != 0 ? options_.targetFrames : 2 * options_.periodFrames;
    pa_buffer_attr attr;
    attr.maxlength = UINT32_MAX;
    attr.tlength = format.framesToBytes(std::max(target, options_.periodFrames));
    attr.prebuf = 0;
    attr.minreq = format.framesToBytes(options_.periodFrames);
    attr.fragsize = UINT32_MAX;
    // By name and never moved; timing kept current for queuedFrames().
    const int flags = PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY | PA_STREAM_START_CORKED |
                      PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE;

    PulseConnection::Lock lock(*connection_);
    AudioResult rc = AudioResult::Ok;
    stream_ = pulse_detail::newStream(*connection_, options_.spec, rc);
    if (stream_ == nullptr) {
        return rc;
    }
    pa_stream_set_state_callback(stream_, &PulsePlaybackStream::onState, this);
    pa_stream_set_write_callback(stream_, &PulsePlaybackStream::onWrite, this);
    pa_stream_set_underflow_callback(stream_, &PulsePlaybackStream::onUnderflow, this);
    rc = pulse_detail::connectAndWait(*connection_, stream_, options_.spec, false, attr, flags);
    if (rc != AudioResult::Ok) {
        pulse_detail::closeStream(stream_);
        return rc;
    }
    if (const pa_buffer_attr* agreed = pa_stream_get_buffer_attr(stream_)) {
        targetBytes_ = agreed->tlength;
        requestBytes_ = agreed->minreq;
    }
    // The server asks for at most its target at a time (more only when it grows the target).
    spareBytes_ = std::max({targetBytes_, attr.tlength, frameBytes_});
    spareBytes_ -= spareBytes_ % frameBytes_;
    spare_.reset(new int16_t[spareBytes_ / 2]());
    return AudioResult::Ok;
}

PulsePlaybackStream::~PulsePlaybackStream() {
    std::optional<PulseConnection::Lock> lock;
    if (!loop_.current()) {
        lock.emplace(*connection_);
    }
    started_ = false;
    cancelStart();
    pulse_detail::closeStream(stream_);
}

void PulsePlaybackStream::cancelStart() {
    if (startOp_ != nullptr) {
        pa_operation_cancel(startOp_);
        pa_operation_unref(startOp_);
        startOp_ = nullptr;
    }
}

AudioResult PulsePlaybackStream::start() {
    std::optional<PulseConnection::Lock> lock;
    if (!loop_.current()) {
        lock.emplace(*connection_);
    }
    if (ended_.load()) {
        return endReason_.load();
    }
    if (stream_ == nullptr || pa_stream_get_state(stream_) != PA_STREAM_READY) {
        return AudioResult::NotOpen;
    }
    if (started_) {
        return AudioResult::Ok;
    }
    // The source is asked on the event loop's thread only: the first fill and the uncork
    // follow the answer to this request.
    startOp_ = pa_stream_update_timing_info(stream_, &PulsePlaybackStream::onPrimed, this);
    if (startOp_ == nullptr) {
        return connection_->contextError();
    }
    started_ = true;
    return AudioResult::Ok;
}

AudioResult PulsePlaybackStream::stop() {
    std::optional<PulseConnection::Lock> lock;
    if (!loop_.current()) {
        lock.emplace(*connection_);
    }
    started_ = false;
    cancelStart();
    if (stream_ != nullptr && pa_stream_get_state(stream_) == PA_STREAM_READY) {
        pulse_detail::cork(*connection_, stream_, true);
        pulse_detail::flush(stream_);
    }
    queued_.store(0, std::memory_order_relaxed);
    return AudioResult::Ok;
}

uint32_t PulsePlaybackStream::queuedFrames() const {
    const uint64_t snapshot = queued_.load(std::memory_order_relaxed);
    if (snapshot == 0) {
        return 0;
    }
    const auto frames = static_cast<int64_t>(snapshot & kQueuedMask);
    const auto at = static_cast<int64_t>(snapshot >> kQueuedBits);
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::steady_clock::now() - epoch_)
                         .count();
    const int64_t played = std::max<int64_t>(0, now - at) * rate_ / 1000000;
    return static_cast<uint32_t>(std::max<int64_t>(0, frames - played));
}

void PulsePlaybackStream::onState(pa_stream* stream, void* self) {
    auto& me = *static_cast<PulsePlaybackStream*>(self);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state != PA_STREAM_CREATING) {
        me.loop_.mark(); // the first state is set on the connecting thread
    }
    if ((state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) && !me.ended_.load()) {
        const AudioResult reason = pulse_detail::endReason(stream);
        me.endReason_.store(reason);
        me.ended_.store(true);
        me.queued_.store(0, std::memory_order_relaxed);
        if (me.started_) {
            me.started_ = false;
            me.source_.onPlaybackEnded(reason);
        }
    }
    me.connection_->signal();
}

void PulsePlaybackStream::onWrite(pa_stream* stream, size_t, void* self) {
    auto& me = *static_cast<PulsePlaybackStream*>(self);
    me.loop_.mark();
    // Until the start, requests wait: the first fill after it answers them all at once.
    if (me.started_ && me.startOp_ == nullptr) {
        me.fill(stream);
    }
}

void PulsePlaybackStream::onUnderflow(pa_stream*, void* self) {
    auto& me = *static_cast<PulsePlaybackStream*>(self);
    me.loop_.mark();
    if (me.started_ && me.startOp_ == nullptr) {
        me.underflows_.fetch_add(1, std::memory_order_relaxed);
    }
}

void PulsePlaybackStream::onPrimed(pa_stream* stream, int, void* self) {
    auto& me = *static_cast<PulsePlaybackStream*>(self);
    me.loop_.mark();
    if (me.startOp_ != nullptr) {
        pa_operation_unref(me.startOp_);
        me.startOp_ = nullptr;
    }
    if (!me.started_ || pa_stream_get_state(stream) != PA_STREAM_READY) {
        return;
    }
    // Fill first, then play: the stream starts with its whole target in the server.
    me.fill(stream);
    pulse_detail::cork(*me.connection_, stream, false);
}

void PulsePlaybackStream::fill(pa_stream* stream) {
    size_t left = pa_stream_writable_size(stream);
    if (left == static_cast<size_t>(-1)) {
        return;
    }
    left -= left % frameBytes_;
    while (left > 0) {
        void* buffer = nullptr;
        size_t bytes = left;
        bool lent = pa_stream_begin_write(stream, &buffer, &bytes) == 0 && buffer != nullptr;
        if (lent && bytes < frameBytes_) {
            pa_stream_cancel_write(stream);
            lent = false;
        }
        if (!lent) {
            buffer = spare_.get();
            bytes = spareBytes_;
        }
        bytes = std::min(bytes, left);
        bytes -= bytes % frameBytes_;
        const auto frames = static_cast<uint32_t>(bytes / frameBytes_);
        auto* samples = static_cast<int16_t*>(buffer);
        const uint32_t filled = std::min(frames, source_.onPlaybackRequest(std::span<int16_t>(
                                                     samples, size_t{frames} * channels_)));
        std::memset(samples + size_t{filled} * channels_, 0, size_t{frames - filled} * frameBytes_);
        if (pa_stream_write(stream, buffer, bytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
            if (lent) {
                pa_stream_cancel_write(stream);
            }
            break;
        }
        left -= bytes;
    }
    noteQueued(stream);
}

void PulsePlaybackStream::noteQueued(pa_stream* stream) {
    pa_usec_t usec = 0;
    int negative = 0;
    if (pa_stream_get_latency(stream, &usec, &negative) < 0) {
        return; // no timing yet: keep the last figure
    }
    const uint64_t frames =
        negative != 0 ? 0 : std::min<uint64_t>(usec * rate_ / 1000000, kQueuedMask);
    const auto at = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                              std::chrono::steady_clock::now() - epoch_)
                                              .count());
    // Never 0 while playing: 0 means stopped.
    queued_.store((at << kQueuedBits) | std::max<uint64_t>(frames, 1), std::memory_order_relaxed);
}

} // namespace timbrelo
