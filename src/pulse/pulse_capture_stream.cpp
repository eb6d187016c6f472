// Sizes, and why
//
// - Fragment: one block (blockFrames x frame bytes: 2048 bytes for 512 frames of the pipeline
//   format), with ADJUST_LATENCY, so the server keeps the source's own latency near one
//   fragment and sends each block as soon as its last frame is recorded. Smaller fragments
//   only make more wake-ups: the block is complete when its last frame arrives either way.
// - Ring: 16 blocks (372 ms at 512 frames). It adds no delay while the capture thread keeps
//   up; it only decides how long the processing may stall before blocks are lost (counted).
//
// Measured on private servers (PulseAudio 16.1 and PipeWire 0.3.65 at real-time priority, as
// on a desktop; a 2-core machine busy with compilers): a click played into a test microphone
// (null sink + remapped source), captured in 512-frame blocks, passed through the jitter
// buffer (default margin) and played on a null sink, compared in one recording with the same
// click through module-loopback latency_msec=20 (about 22 ms, the server's own share):
//   playback period           128 frames   192      256
//   PulseAudio                +16 ms       +22      +32
//   PipeWire                  +30 ms       +37      +46..52
// A fragment of 128 frames instead of one block: +16.2 ms (PulseAudio), +29.7 ms (PipeWire),
// the same as above. A 440 Hz tone through the same loop for 60 s: no block dropped, no hole
// in the server's data, blocks every 23.1 ms (PulseAudio; 1st..99th percentile 22.7..24.1) or
// in steps of PipeWire's 5.3 ms quantum (21.4 ms median, 32 ms at most).
#include "pulse/pulse_capture_stream.h"

#include "pulse/pulse_connection.h"

#include <algorithm>
#include <cstring>
#include <pthread.h>
#include <pulse/stream.h>

namespace timbrelo {

struct PulseCaptureStream::Shared {
    Shared(PulseConnection& connection, const Options& options, CaptureSink& sink)
        : connection(connection), sink(sink), frameBytes(options.spec.format.frameBytes()),
          blockSamples(options.blockFrames * options.spec.format.channels),
          blockBytes(options.blockFrames * frameBytes), ringBlocks(options.ringBlocks),
          ring(new int16_t[size_t{blockSamples} * ringBlocks]()),
          scratch(new int16_t[blockSamples]()) {}

    int16_t* slot(uint64_t block) { return ring.get() + (block % ringBlocks) * blockSamples; }

    // Event loop (or control thread with the lock held): adds what the server sent (null:
    // a hole, recorded as silence). True when a block was completed.
    bool append(const uint8_t* data, size_t bytes);
    // Capture thread: hands over every complete block, then the end of the stream.
    void deliver();
    // Capture thread: whether a callback may run now; pairs with stop() (see there).
    bool enter();
    void leave();
    void wakeUp() {
        wake.fetch_add(1, std::memory_order_release);
        wake.notify_all();
    }
    bool onCaptureThread() const { return threadId.load() == std::this_thread::get_id(); }

    static void onRead(pa_stream* stream, size_t bytes, void* self);
    static void onState(pa_stream* stream, void* self);
    static void run(std::shared_ptr<Shared> shared, int realtimePriority);

    PulseConnection& connection;
    CaptureSink& sink;
    const uint32_t frameBytes;
    const uint32_t blockSamples;
    const uint32_t blockBytes;
    const uint32_t ringBlocks;
    const std::unique_ptr<int16_t[]> ring;
    const std::unique_ptr<int16_t[]> scratch; // a block being dropped: the ring was full

    // Producer: guarded by the connection's lock.
    bool accepting = false;
    uint32_t fillBytes = 0;
    int16_t* target = nullptr;

    std::atomic<uint64_t> written{0};       // blocks completed in the ring (producer)
    std::atomic<uint64_t> read{0};          // blocks handed over (capture thread)
    std::atomic<uint64_t> discardBefore{0}; // blocks before this are not handed over
    std::atomic<bool> running{false};
    std::atomic<bool> inCallback{false};
    std::atomic<uint32_t> wake{0};
    std::atomic<bool> quit{false};
    std::atomic<bool> ended{false};
    std::atomic<bool> endDelivered{false};
    std::atomic<AudioResult> endReason{AudioResult::Ok};
    std::atomic<std::thread::id> threadId{};
    std::atomic<bool> realtime{false};
    std::atomic<uint64_t> dropped{0};
    std::atomic<uint64_t> holes{0};
    pulse_detail::LoopThread loop;
};

namespace {

// Drops what the client library holds of a stream's recorded audio.
void discardRecorded(pa_stream* stream) {
    if (stream == nullptr || pa_stream_get_state(stream) != PA_STREAM_READY) {
        return;
    }
    const void* data = nullptr;
    size_t bytes = 0;
    while (pa_stream_peek(stream, &data, &bytes) >= 0 && bytes > 0) {
        pa_stream_drop(stream);
    }
}

} // namespace

bool PulseCaptureStream::Shared::append(const uint8_t* data, size_t bytes) {
    bool completed = false;
    while (bytes > 0) {
        const uint64_t next = written.load(std::memory_order_relaxed);
        if (fillBytes == 0) {
            // A full ring keeps the block the capture thread may be reading: drop this one.
            const bool full = next - read.load(std::memory_order_acquire) >= ringBlocks;
            target = full ? scratch.get() : slot(next);
        }
        const size_t n = std::min<size_t>(bytes, blockBytes - fillBytes);
        uint8_t* dst = reinterpret_cast<uint8_t*>(target) + fillBytes;
        if (data != nullptr) {
            std::memcpy(dst, data, n);
            data += n;
        } else {
            std::memset(dst, 0, n);
            holes.fetch_add(n / frameBytes, std::memory_order_relaxed);
        }
        fillBytes += static_cast<uint32_t>(n);
        bytes -= n;
        if (fillBytes == blockBytes) {
            fillBytes = 0;
            if (target == scratch.get()) {
                dropped.fetch_add(1, std::memory_order_relaxed);
            } else {
                written.store(next + 1, std::memory_order_release);
                completed = true;
            }
        }
    }
    return completed;
}

void PulseCaptureStream::Shared::onRead(pa_stream* stream, size_t, void* self) {
    auto& shared = *static_cast<Shared*>(self);
    shared.loop.mark();
    bool completed = false;
    for (;;) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) {
            break;
        }
        if (shared.accepting) {
            completed |= shared.append(static_cast<const uint8_t*>(data), bytes);
        }
        pa_stream_drop(stream);
    }
    if (completed) {
        shared.wakeUp();
    }
}

void PulseCaptureStream::Shared::onState(pa_stream* stream, void* self) {
    auto& shared = *static_cast<Shared*>(self);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state != PA_STREAM_CREATING) {
        shared.loop.mark(); // the first state is set on the connecting thread
    }
    if ((state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) && !shared.ended.load()) {
        shared.endReason.store(pulse_detail::endReason(stream));
        shared.accepting = false;
        shared.ended.store(true, std::memory_order_release);
        shared.wakeUp();
    }
    shared.connection.signal();
}

// A callback runs only while `running` holds, and stop() waits while `inCallback` holds. Both
// sides write their flag before reading the other's (sequentially consistent), so either the
// capture thread sees the stop, or stop() sees the callback and waits for it.
bool PulseCaptureStream::Shared::enter() {
    inCallback.store(true);
    if (running.load() && !quit.load()) {
        return true;
    }
    leave();
    return false;
}

void PulseCaptureStream::Shared::leave() {
    inCallback.store(false);
    inCallback.notify_all();
}

void PulseCaptureStream::Shared::deliver() {
    // Read first: every block completed before the end is handed over before it.
    const bool ending = ended.load(std::memory_order_acquire);
    for (;;) {
        uint64_t next = std::max(read.load(std::memory_order_relaxed),
                                 discardBefore.load(std::memory_order_acquire));
        read.store(next, std::memory_order_release);
        if (next >= written.load(std::memory_order_acquire) || !enter()) {
            break;
        }
        // A stop and start since the check above dropped this block.
        if (next < discardBefore.load(std::memory_order_acquire)) {
            leave();
            continue;
        }
        sink.onCaptured(std::span<const int16_t>(slot(next), blockSamples));
        read.store(next + 1, std::memory_order_release);
        leave();
    }
    if (ending && !endDelivered.load() && read.load() >= written.load() && enter()) {
        if (!endDelivered.exchange(true)) {
            sink.onCaptureEnded(endReason.load());
        }
        leave();
    }
}

void PulseCaptureStream::Shared::run(std::shared_ptr<Shared> shared, int realtimePriority) {
    shared->threadId.store(std::this_thread::get_id());
    pthread_setname_np(pthread_self(), "capture");
    shared->realtime.store(pulse_detail::makeRealtime(realtimePriority));
    for (;;) {
        const uint32_t seen = shared->wake.load(std::memory_order_acquire);
        if (shared->quit.load(std::memory_order_acquire)) {
            return;
        }
        shared->deliver();
        shared->wake.wait(seen, std::memory_order_acquire);
    }
}

PulseCaptureStream::PulseCaptureStream(std::shared_ptr<PulseConnection> connection,
                                       const Options& options, CaptureSink& sink)
    : connection_(std::move(connection)), options_(options),
      shared_(std::make_shared<Shared>(*connection_, options, sink)) {}

AudioResult PulseCaptureStream::open(std::shared_ptr<PulseConnection> connection,
                                     const Options& options, CaptureSink& sink,
                                     std::unique_ptr<PulseCaptureStream>& stream) {
    stream.reset();
    if (connection == nullptr || options.blockFrames == 0 || options.ringBlocks < 2) {
        return AudioResult::InvalidArgument;
    }
    if (AudioResult rc = pulse_detail::checkFormat(options.spec.format); rc != AudioResult::Ok) {
        return rc;
    }
    std::unique_ptr<PulseCaptureStream> opened(
        new PulseCaptureStream(std::move(connection), options, sink));
    if (AudioResult rc = opened->connect(); rc != AudioResult::Ok) {
        return rc;
    }
    try {
        opened->thread_ =
            std::thread(&Shared::run, opened->shared_, std::max(options.realtimePriority, 0));
    } catch (const std::system_error&) {
        return AudioResult::NoMemory;
    }
    stream = std::move(opened);
    return AudioResult::Ok;
}

AudioResult PulseCaptureStream::connect() {
    const StreamFormat& format = options_.spec.format;
    const uint32_t fragmentFrames =
        options_.fragmentFrames != 0 ? options_.fragmentFrames : options_.blockFrames;
    pa_buffer_attr attr;
    attr.maxlength = UINT32_MAX;
    attr.tlength = UINT32_MAX;
    attr.prebuf = UINT32_MAX;
    attr.minreq = UINT32_MAX;
    attr.fragsize = format.framesToBytes(fragmentFrames);
    // By name and never moved; the server keeps its own latency near one fragment.
    const int flags = PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY | PA_STREAM_START_CORKED;

    PulseConnection::Lock lock(*connection_);
    AudioResult rc = AudioResult::Ok;
    stream_ = pulse_detail::newStream(*connection_, options_.spec, rc);
    if (stream_ == nullptr) {
        return rc;
    }
    pa_stream_set_state_callback(stream_, &Shared::onState, shared_.get());
    pa_stream_set_read_callback(stream_, &Shared::onRead, shared_.get());
    rc = pulse_detail::connectAndWait(*connection_, stream_, options_.spec, true, attr, flags);
    if (rc != AudioResult::Ok) {
        pulse_detail::closeStream(stream_);
        return rc;
    }
    if (const pa_buffer_attr* agreed = pa_stream_get_buffer_attr(stream_)) {
        fragmentBytes_ = agreed->fragsize;
    }
    return AudioResult::Ok;
}

PulseCaptureStream::~PulseCaptureStream() {
    {
        PulseConnection::Lock lock(*connection_);
        shared_->running.store(false);
        shared_->accepting = false;
        pulse_detail::closeStream(stream_);
    }
    shared_->quit.store(true, std::memory_order_release);
    shared_->wakeUp();
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach(); // it ends when the callback that destroys it returns
        } else {
            thread_.join();
        }
    }
}

AudioResult PulseCaptureStream::start() {
    Shared& shared = *shared_;
    PulseConnection::Lock lock(*connection_);
    if (shared.ended.load()) {
        return shared.endReason.load();
    }
    if (stream_ == nullptr || pa_stream_get_state(stream_) != PA_STREAM_READY) {
        return AudioResult::NotOpen;
    }
    if (shared.running.load()) {
        return AudioResult::Ok;
    }
    discardRecorded(stream_);
    shared.fillBytes = 0;
    shared.discardBefore.store(shared.written.load());
    if (AudioResult rc = pulse_detail::cork(*connection_, stream_, false); rc != AudioResult::Ok) {
        return rc;
    }
    shared.accepting = true;
    shared.running.store(true);
    return AudioResult::Ok;
}

AudioResult PulseCaptureStream::stop() {
    Shared& shared = *shared_;
    {
        PulseConnection::Lock lock(*connection_);
        shared.running.store(false);
        shared.accepting = false;
        shared.fillBytes = 0;
        if (stream_ != nullptr && pa_stream_get_state(stream_) == PA_STREAM_READY) {
            pulse_detail::cork(*connection_, stream_, true);
            pulse_detail::flush(stream_);
            discardRecorded(stream_);
        }
        shared.discardBefore.store(shared.written.load());
    }
    shared.wakeUp(); // frees the ring's dropped blocks for the producer at once
    if (!shared.onCaptureThread()) {
        while (shared.inCallback.load()) {
            shared.inCallback.wait(true);
        }
    }
    return AudioResult::Ok;
}

uint64_t PulseCaptureStream::droppedBlocks() const {
    return shared_->dropped.load(std::memory_order_relaxed);
}

uint64_t PulseCaptureStream::holeFrames() const {
    return shared_->holes.load(std::memory_order_relaxed);
}

bool PulseCaptureStream::realtime() const {
    return shared_->realtime.load();
}

} // namespace timbrelo
