#include "platform/wave/pulse_stream.h"

#include <algorithm>
#include <cstring>
#include <pulse/channelmap.h>
#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/proplist.h>
#include <pulse/stream.h>

namespace timbrelo {
namespace {

// Until the first buffer tells its size, the server is asked for fragments of about 25 ms.
uint32_t nominalBufferLength(const WaveFormat& format) {
    const uint32_t frames = std::max<uint32_t>(format.samplesPerSec / 40, 1);
    return frames * format.blockAlign;
}

} // namespace

PulseStreamCore::PulseStreamCore(std::shared_ptr<PulseConnection> connection,
                                 const WaveFormat& format, WaveInCallback& callback)
    : PulseStreamCore(std::move(connection), Direction::Record, format, &callback, nullptr) {}

PulseStreamCore::PulseStreamCore(std::shared_ptr<PulseConnection> connection,
                                 const WaveFormat& format, WaveOutCallback& callback)
    : PulseStreamCore(std::move(connection), Direction::Playback, format, nullptr, &callback) {}

PulseStreamCore::PulseStreamCore(std::shared_ptr<PulseConnection> connection, Direction direction,
                                 const WaveFormat& format, WaveInCallback* in, WaveOutCallback* out)
    : connection_(std::move(connection)), direction_(direction), format_(format), inCallback_(in),
      outCallback_(out) {}

PulseStreamCore::~PulseStreamCore() = default;

MmResult PulseStreamCore::open(pa_context* context, const char* device) {
    const bool record = direction_ == Direction::Record;
    pa_sample_spec spec;
    spec.format = format_.bitsPerSample == 8 ? PA_SAMPLE_U8 : PA_SAMPLE_S16LE;
    spec.rate = format_.samplesPerSec;
    spec.channels = static_cast<uint8_t>(format_.channels);
    pa_channel_map map;
    if (!pa_sample_spec_valid(&spec) ||
        pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_WAVEEX) == nullptr) {
        return WAVERR_BADFORMAT;
    }
    pa_proplist* props = pa_proplist_new();
    const char* name = record ? "Voice capture" : "Playback";
    pa_proplist_sets(props, PA_PROP_MEDIA_NAME, name);
    stream_ = pa_stream_new_with_proplist(context, name, &spec, &map, props);
    pa_proplist_free(props);
    if (stream_ == nullptr) {
        return WAVERR_BADFORMAT;
    }
    pa_stream_set_state_callback(stream_, &PulseStreamCore::onState, this);
    if (record) {
        pa_stream_set_read_callback(stream_, &PulseStreamCore::onRequest, this);
    } else {
        pa_stream_set_write_callback(stream_, &PulseStreamCore::onRequest, this);
    }

    attrBufferLength_ = nominalBufferLength(format_);
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    attr.tlength = record ? static_cast<uint32_t>(-1) : 2 * attrBufferLength_;
    attr.fragsize = record ? attrBufferLength_ : static_cast<uint32_t>(-1);
    // By name and never moved: when the defaults switch to the virtual device, the server
    // would otherwise move our own capture and playback onto it, a feedback loop.
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY | (record ? PA_STREAM_START_CORKED : 0));
    const int rc =
        record ? pa_stream_connect_record(stream_, device, &attr, flags)
               : pa_stream_connect_playback(stream_, device, &attr, flags, nullptr, nullptr);
    if (rc < 0) {
        return connection_->contextError();
    }
    MmResult result = connection_->waitUntil(
        [&] {
            const pa_stream_state_t state = pa_stream_get_state(stream_);
            return state != PA_STREAM_UNCONNECTED && state != PA_STREAM_CREATING;
        },
        connection_->options().operationTimeout);
    if (result == MMSYSERR_NOERROR && pa_stream_get_state(stream_) != PA_STREAM_READY) {
        const int error = pa_context_errno(context);
        result = error == PA_ERR_INVALID ? WAVERR_BADFORMAT : pulseResult(error);
        if (result == MMSYSERR_NOERROR) {
            result = MMSYSERR_NODRIVER;
        }
    }
    if (result == MMSYSERR_NOERROR) {
        opened_ = true;
    }
    return result;
}

void PulseStreamCore::launch() {
    callbackThread_ = std::thread([self = shared_from_this()] { self->runCallbacks(); });
}

void PulseStreamCore::release() {
    {
        PulseConnection::Lock lock(*connection_);
        closed_ = true;
        disconnect();
        // The caller may have freed buffers it still had queued: they are not touched.
        pending_.clear();
        std::lock_guard done(doneMutex_);
        done_.clear();
        closePending_ = false;
    }
    stopCallbacks();
}

MmResult PulseStreamCore::prepareHeader(WaveHeader& header) {
    arm();
    header.flags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MmResult PulseStreamCore::unprepareHeader(WaveHeader& header) {
    arm();
    if (header.flags & WHDR_INQUEUE) {
        return WAVERR_STILLPLAYING;
    }
    header.flags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MmResult PulseStreamCore::queue(WaveHeader& header) {
    arm();
    if (!(header.flags & WHDR_PREPARED)) {
        return WAVERR_UNPREPARED;
    }
    if (header.data == nullptr || header.bufferLength == 0 ||
        header.bufferLength % format_.blockAlign != 0) {
        return MMSYSERR_INVALPARAM;
    }
    PulseConnection::Lock lock(*connection_);
    if (lost_) {
        // Until its Close is out, buffers are forgotten like those it held.
        std::lock_guard lockDone(doneMutex_);
        return closePending_ ? MMSYSERR_NOERROR : reason_.load();
    }
    if (closed_ || stream_ == nullptr) {
        return MMSYSERR_INVALHANDLE;
    }
    if (header.flags & WHDR_INQUEUE) {
        return WAVERR_STILLPLAYING;
    }
    if (!pending_.push_back(&header)) {
        return MMSYSERR_NOMEM;
    }
    header.flags = (header.flags & ~WHDR_DONE) | WHDR_INQUEUE;
    if (direction_ == Direction::Record) {
        header.bytesRecorded = 0;
    } else {
        // The server keeps about two buffers, not its default of seconds.
        setBufferAttr(header.bufferLength);
    }
    pump();
    return MMSYSERR_NOERROR;
}

MmResult PulseStreamCore::start() {
    arm();
    PulseConnection::Lock lock(*connection_);
    if (lost_) {
        return reason_.load();
    }
    if (closed_ || stream_ == nullptr) {
        return MMSYSERR_INVALHANDLE;
    }
    if (started_) {
        return MMSYSERR_NOERROR;
    }
    discardRecorded();
    if (!pending_.empty()) {
        // One fragment per buffer keeps the latency at one buffer.
        setBufferAttr(pending_.front()->bufferLength);
    }
    if (MmResult rc = cork(false); rc != MMSYSERR_NOERROR) {
        return rc;
    }
    started_ = true;
    pump();
    return MMSYSERR_NOERROR;
}

MmResult PulseStreamCore::setPaused(bool paused) {
    arm();
    PulseConnection::Lock lock(*connection_);
    if (lost_) {
        return reason_.load();
    }
    if (closed_ || stream_ == nullptr) {
        return MMSYSERR_INVALHANDLE;
    }
    return cork(paused);
}

MmResult PulseStreamCore::reset() {
    arm();
    // Wait for a callback in progress, unless this is that callback's own thread.
    std::unique_lock deliverLock(deliverMutex_, std::defer_lock);
    if (!onCallbackThread()) {
        deliverLock.lock();
    }
    HeaderQueue done;
    HeaderQueue pending;
    {
        PulseConnection::Lock lock(*connection_);
        if (lost_) {
            return MMSYSERR_NOERROR; // its buffers were handed back when it went away
        }
        if (closed_ || stream_ == nullptr) {
            return MMSYSERR_INVALHANDLE;
        }
        if (direction_ == Direction::Record) {
            started_ = false;
            cork(true);
        }
        if (pa_operation* op = pa_stream_flush(stream_, nullptr, nullptr)) {
            pa_operation_unref(op);
        }
        if (direction_ == Direction::Record) {
            discardRecorded();
        }
        offset_ = 0;
        {
            std::lock_guard lockDone(doneMutex_);
            std::swap(done, done_);
        }
        std::swap(pending, pending_);
    }
    for (HeaderQueue* returned : {&done, &pending}) {
        while (!returned->empty()) {
            WaveHeader* h = returned->pop_front();
            h->flags = (h->flags & ~WHDR_INQUEUE) | WHDR_DONE;
            deliver(h);
        }
    }
    return MMSYSERR_NOERROR;
}

MmResult PulseStreamCore::close() {
    arm();
    bool sendClose = false;
    HeaderQueue leftovers;
    {
        PulseConnection::Lock lock(*connection_);
        std::unique_lock lockDone(doneMutex_, std::defer_lock);
        if (lost_) {
            // It closed by itself; Close goes out once, here if not yet delivered.
            lockDone.lock();
            sendClose = closePending_;
            closePending_ = false;
        } else if (closed_) {
            return MMSYSERR_INVALHANDLE;
        } else if (!pending_.empty()) {
            return WAVERR_STILLPLAYING;
        } else {
            lockDone.lock();
            std::swap(leftovers, done_);
            sendClose = true;
        }
        closed_ = true;
        disconnect();
    }
    stopCallbacks();
    while (!leftovers.empty()) {
        deliver(leftovers.pop_front());
    }
    if (sendClose) {
        deliverClose();
    }
    return MMSYSERR_NOERROR;
}

void PulseStreamCore::onState(pa_stream* stream, void* self) {
    auto* core = static_cast<PulseStreamCore*>(self);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if ((state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) && core->opened_ &&
        !core->closed_ && !core->lost_) {
        MmResult reason = pulseResult(pa_context_errno(pa_stream_get_context(stream)));
        core->lose(reason == MMSYSERR_NOERROR ? MMSYSERR_NODRIVER : reason);
    }
    core->connection_->signal();
}

void PulseStreamCore::onRequest(pa_stream*, size_t, void* self) {
    static_cast<PulseStreamCore*>(self)->pump();
}

void PulseStreamCore::pump() {
    if (lost_ || closed_ || stream_ == nullptr || pa_stream_get_state(stream_) != PA_STREAM_READY) {
        return;
    }
    if (direction_ == Direction::Record) {
        pumpRecord();
    } else {
        pumpPlayback();
    }
}

void PulseStreamCore::pumpRecord() {
    if (!started_) {
        return;
    }
    const uint8_t silence = format_.bitsPerSample == 8 ? 0x80 : 0;
    while (!pending_.empty()) {
        const void* data = nullptr;
        size_t length = 0;
        if (pa_stream_peek(stream_, &data, &length) < 0 || length == 0) {
            return;
        }
        WaveHeader* h = pending_.front();
        const size_t n = std::min(length - peekOffset_, size_t{h->bufferLength - h->bytesRecorded});
        uint8_t* dst = h->data + h->bytesRecorded;
        if (data != nullptr) {
            std::memcpy(dst, static_cast<const uint8_t*>(data) + peekOffset_, n);
        } else {
            std::memset(dst, silence, n); // the server lost data here
        }
        h->bytesRecorded += static_cast<uint32_t>(n);
        peekOffset_ += n;
        if (peekOffset_ == length) {
            pa_stream_drop(stream_);
            peekOffset_ = 0;
        }
        if (h->bytesRecorded == h->bufferLength) {
            pending_.pop_front();
            finish(h);
        }
    }
}

void PulseStreamCore::pumpPlayback() {
    size_t writable = pa_stream_writable_size(stream_);
    if (writable == static_cast<size_t>(-1)) {
        return;
    }
    while (writable > 0 && !pending_.empty()) {
        WaveHeader* h = pending_.front();
        size_t n = std::min(h->bufferLength - offset_, writable);
        n -= n % format_.blockAlign;
        if (n == 0 ||
            pa_stream_write(stream_, h->data + offset_, n, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
            return;
        }
        offset_ += n;
        writable -= n;
        if (offset_ == h->bufferLength) {
            // The server has taken it: the caller may refill it.
            pending_.pop_front();
            offset_ = 0;
            finish(h);
        }
    }
}

void PulseStreamCore::discardRecorded() {
    if (stream_ == nullptr || pa_stream_get_state(stream_) != PA_STREAM_READY) {
        return;
    }
    const void* data = nullptr;
    size_t length = 0;
    while (pa_stream_peek(stream_, &data, &length) >= 0 && length > 0) {
        pa_stream_drop(stream_);
    }
    peekOffset_ = 0;
}

void PulseStreamCore::finish(WaveHeader* header) {
    header->flags = (header->flags & ~WHDR_INQUEUE) | WHDR_DONE;
    {
        std::lock_guard lock(doneMutex_);
        done_.push_back(header);
    }
    doneCv_.notify_all();
}

void PulseStreamCore::lose(MmResult reason) {
    lost_ = true;
    reason_.store(reason);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    while (!pending_.empty()) {
        pending_.pop_front()->flags &= ~WHDR_INQUEUE;
    }
    offset_ = 0;
    peekOffset_ = 0;
    {
        std::lock_guard lock(doneMutex_);
        done_.clear();
        closePending_ = true;
    }
    doneCv_.notify_all();
}

void PulseStreamCore::disconnect() {
    if (stream_ == nullptr) {
        return;
    }
    // Callbacks first: queued data could otherwise still arrive for a stream being torn down.
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) {
        pa_stream_disconnect(stream_);
    }
    pa_stream_unref(stream_);
    stream_ = nullptr;
}

MmResult PulseStreamCore::cork(bool corked) {
    pa_operation* op = pa_stream_cork(stream_, corked ? 1 : 0, nullptr, nullptr);
    if (op == nullptr) {
        return connection_->contextError();
    }
    pa_operation_unref(op);
    return MMSYSERR_NOERROR;
}

void PulseStreamCore::setBufferAttr(uint32_t bufferLength) {
    if (bufferLength == attrBufferLength_ || pa_stream_get_state(stream_) != PA_STREAM_READY) {
        return;
    }
    attrBufferLength_ = bufferLength;
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    if (direction_ == Direction::Record) {
        attr.tlength = static_cast<uint32_t>(-1);
        attr.fragsize = bufferLength;
    } else {
        attr.tlength = 2 * bufferLength;
        attr.fragsize = static_cast<uint32_t>(-1);
    }
    if (pa_operation* op = pa_stream_set_buffer_attr(stream_, &attr, nullptr, nullptr)) {
        pa_operation_unref(op);
    }
}

void PulseStreamCore::arm() {
    if (armed_.exchange(true)) {
        return;
    }
    { std::lock_guard lock(doneMutex_); }
    doneCv_.notify_all();
}

bool PulseStreamCore::onCallbackThread() const {
    return std::this_thread::get_id() == callbackId_.load();
}

void PulseStreamCore::stopCallbacks() {
    {
        std::lock_guard lock(doneMutex_);
        quit_ = true;
    }
    doneCv_.notify_all();
    if (!callbackThread_.joinable()) {
        return;
    }
    if (onCallbackThread()) {
        // Closed from its own callback: the thread ends as soon as the callback returns.
        callbackThread_.detach();
    } else {
        callbackThread_.join();
    }
}

void PulseStreamCore::runCallbacks() {
    callbackId_.store(std::this_thread::get_id());
    for (;;) {
        {
            std::unique_lock lock(doneMutex_);
            doneCv_.wait(lock, [&] {
                return quit_ || (armed_.load() && (!done_.empty() || closePending_));
            });
            if (quit_) {
                return;
            }
        }
        std::lock_guard deliverLock(deliverMutex_);
        WaveHeader* header = nullptr;
        bool close = false;
        {
            std::lock_guard lock(doneMutex_);
            if (quit_) {
                return;
            }
            if (!done_.empty()) {
                header = done_.pop_front();
            } else if (closePending_) {
                closePending_ = false;
                close = true;
            }
        }
        if (header != nullptr) {
            deliver(header);
        } else if (close) {
            deliverClose();
            return; // nothing follows a Close
        }
    }
}

void PulseStreamCore::deliver(WaveHeader* header) {
    if (inCallback_ != nullptr) {
        inCallback_->onWaveIn(WaveInMessage::Data, header);
    } else {
        outCallback_->onWaveOut(WaveOutMessage::Done, header);
    }
}

void PulseStreamCore::deliverClose() {
    if (inCallback_ != nullptr) {
        inCallback_->onWaveIn(WaveInMessage::Close, nullptr);
    } else {
        outCallback_->onWaveOut(WaveOutMessage::Close, nullptr);
    }
}

} // namespace timbrelo
