#include "pulse/pulse_virtual_device.h"

#include "platform/debug.h"
#include "platform/realtime.h"
#include "pulse/pulse_connection.h"

#include <algorithm>
#include <cstring>
#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/proplist.h>
#include <pulse/stream.h>
#include <pulse/subscribe.h>

namespace timbrelo {
namespace {

constexpr uint32_t kFrameBytes = kPipelineFormat.frameBytes();
constexpr uint32_t kChannels = kPipelineFormat.channels;

bool allZero(const void* data, size_t bytes) {
    const auto* p = static_cast<const uint8_t*>(data);
    return std::all_of(p, p + bytes, [](uint8_t b) { return b == 0; });
}

std::string serverError(pa_context* context) {
    return pa_strerror(pa_context_errno(context));
}

JitterBuffer::Config voiceConfig(const PulseVirtualDevice::Options& options) {
    JitterBuffer::Config c;
    c.format = kPipelineFormat;
    c.capacityFrames = kPipelineFormat.rate; // a second: a burst never comes near it
    c.marginFrames = options.voiceMarginFrames;
    return c;
}

} // namespace

std::unique_ptr<PulseVirtualDevice> PulseVirtualDevice::bringUp(std::string& error) {
    return bringUp(Options{}, error);
}

std::unique_ptr<PulseVirtualDevice> PulseVirtualDevice::bringUp(const Options& options,
                                                                std::string& error) {
    std::unique_ptr<PulseVirtualDevice> device(new PulseVirtualDevice(options));
    if (!device->start(error)) {
        return nullptr; // the destructor takes down whatever was made
    }
    return device;
}

PulseVirtualDevice::PulseVirtualDevice(const Options& options)
    : options_(options), voice_(voiceConfig(options)),
      renderRing_(size_t{std::max<uint32_t>(options.renderBufferFrames, 2048)} * kChannels) {
    PulseConnection::Options connection;
    connection.connectTimeout = options_.connectTimeout;
    connection.operationTimeout = options_.operationTimeout;
    connection_ = std::make_unique<PulseConnection>(connection);
}

PulseVirtualDevice::~PulseVirtualDevice() {
    takeDown();
    // The event loop stops here, while everything its callbacks touch still exists.
    connection_.reset();
}

bool PulseVirtualDevice::start(std::string& error) {
    PulseConnection::Lock lock(*connection_);
    AudioResult rc = AudioResult::Ok;
    context_ = connection_->context(rc);
    if (context_ == nullptr) {
        error = "No sound server answers: " + audioResultText(rc);
        return false;
    }
    ownClient_ = pa_context_get_index(context_);
    ServerDefaults defaults;
    if (!readServerDefaults(*connection_, context_, defaults, error)) {
        return false;
    }
    onPipeWire_ = defaults.server.find("PipeWire") != std::string::npos;
    modules_ = std::make_unique<VirtualPairModules>(*connection_, context_);
    if (!modules_->bringUp(options_.deviceTimeout, error)) {
        return false;
    }
    adopted_ = modules_->adopted();
    if (adopted_) {
        debugWrite("Virtual device: adopted the pair an earlier run left behind.\n");
    }
    return openStreams(error) && watchState(error);
}

pa_stream* PulseVirtualDevice::openStream(const char* name, const char* device, bool record,
                                          uint32_t frames, std::string& error) {
    pa_sample_spec spec;
    spec.format = PA_SAMPLE_S16LE;
    spec.rate = kPipelineFormat.rate;
    spec.channels = kChannels;
    pa_channel_map map;
    pa_channel_map_init_stereo(&map);
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_MEDIA_NAME, name);
    pa_stream* stream = pa_stream_new_with_proplist(context_, name, &spec, &map, props);
    pa_proplist_free(props);
    if (stream == nullptr) {
        error = std::string("Can't make the stream \"") + name + "\": " + serverError(context_);
        return nullptr;
    }
    pa_stream_set_state_callback(stream, &PulseVirtualDevice::onStreamState, this);
    const uint32_t bytes = frames * kFrameBytes;
    pa_buffer_attr attr;
    attr.maxlength = UINT32_MAX;
    if (record) {
        attr.tlength = UINT32_MAX;
        attr.prebuf = UINT32_MAX;
        attr.minreq = UINT32_MAX;
        attr.fragsize = bytes;
    } else {
        // Two requests' worth in the server, and no pre-buffering: every request is filled
        // (with silence between voices), so the stream never stops to wait.
        attr.tlength = options_.feedPeriods * bytes;
        attr.prebuf = 0;
        attr.minreq = bytes;
        attr.fragsize = UINT32_MAX;
    }
    // By name and never moved: when the defaults switch to the virtual pair, the server would
    // otherwise move these streams too, and the voice would feed itself.
    auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY |
                                       PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_INTERPOLATE_TIMING);
    if (!record) {
        pa_stream_set_write_callback(stream, &PulseVirtualDevice::onVoiceRequest, this);
    }
    const int rc = record
                       ? pa_stream_connect_record(stream, device, &attr, flags)
                       : pa_stream_connect_playback(stream, device, &attr, flags, nullptr, nullptr);
    AudioResult result = rc < 0 ? connection_->contextError() : AudioResult::Ok;
    if (result == AudioResult::Ok) {
        result = connection_->waitUntil(
            [&] {
                const pa_stream_state_t state = pa_stream_get_state(stream);
                return state != PA_STREAM_UNCONNECTED && state != PA_STREAM_CREATING;
            },
            options_.operationTimeout);
    }
    if (result == AudioResult::Ok && pa_stream_get_state(stream) != PA_STREAM_READY) {
        result = pulseResult(pa_context_errno(context_));
    }
    if (result != AudioResult::Ok || pa_stream_get_state(stream) != PA_STREAM_READY) {
        error = std::string("Can't connect the stream \"") + name + "\" to " + device + ": " +
                (result != AudioResult::Ok ? audioResultText(result) : serverError(context_));
        closeStream(stream);
        return nullptr;
    }
    return stream;
}

void PulseVirtualDevice::closeStream(pa_stream*& stream) {
    if (stream == nullptr) {
        return;
    }
    // Callbacks first: queued data could otherwise still arrive for a stream being torn down.
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_write_callback(stream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
        pa_stream_disconnect(stream);
    }
    pa_stream_unref(stream);
    stream = nullptr;
}

bool PulseVirtualDevice::openStreams(std::string& error) {
    feed_ = openStream("Timbrelo voice", VirtualPairModules::kFeedSinkName, false,
                       options_.feedPeriodFrames, error);
    if (feed_ == nullptr) {
        return false;
    }
    feedPeriods_ = options_.feedPeriods;
    pa_stream_set_underflow_callback(feed_, &PulseVirtualDevice::onVoiceUnderflow, this);
    const std::string monitor = std::string(VirtualPairModules::kSpeakerName) + ".monitor";
    render_ =
        openStream("Timbrelo virtual speaker", monitor.c_str(), true, kRenderFragmentFrames, error);
    if (render_ == nullptr) {
        return false;
    }
    if (const pa_buffer_attr* agreed = pa_stream_get_buffer_attr(render_);
        agreed != nullptr && agreed->fragsize >= kFrameBytes) {
        renderBurst_.store(agreed->fragsize / kFrameBytes, std::memory_order_relaxed);
    }
    pa_stream_set_read_callback(render_, &PulseVirtualDevice::onRenderData, this);

    // PulseAudio's idle null sink sleeps for seconds and learns of the short period its new
    // streams ask for only when it next wakes; suspending and resuming it wakes it now.
    // (PipeWire has no such sleep, and there a suspend would interrupt the streams.)
    if (!onPipeWire_) {
        for (const char* sink :
             {VirtualPairModules::kFeedSinkName, VirtualPairModules::kSpeakerName}) {
            for (int suspend : {1, 0}) {
                connection_->await(
                    pa_context_suspend_sink_by_name(context_, sink, suspend, nullptr, nullptr));
            }
        }
    }
    return true;
}

bool PulseVirtualDevice::watchState(std::string& error) {
    pa_context_set_subscribe_callback(
        context_,
        [](pa_context*, pa_subscription_event_type_t type, uint32_t index, void* self) {
            auto* device = static_cast<PulseVirtualDevice*>(self);
            const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
            const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
            if (facility == PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT) {
                device->refreshState();
            } else if (facility == PA_SUBSCRIPTION_EVENT_SOURCE &&
                       kind == PA_SUBSCRIPTION_EVENT_REMOVE &&
                       index == device->modules_->microphoneIndex()) {
                debugWrite("Virtual device: the virtual microphone was removed.\n");
                device->markLost();
            }
        },
        this);
    const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SOURCE |
                                                          PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT);
    AudioResult rc = connection_->await(pa_context_subscribe(context_, mask, nullptr, nullptr));
    if (rc == AudioResult::Ok) {
        // The first answer is there before bring-up ends.
        rc = connection_->await(pa_context_get_source_output_info_list(
            context_, &PulseVirtualDevice::onSourceOutput, this));
    }
    if (rc != AudioResult::Ok) {
        error = "The sound server did not report who records: " + audioResultText(rc);
        return false;
    }
    return true;
}

void PulseVirtualDevice::takeDown() {
    PulseConnection::Lock lock(*connection_);
    if (context_ == nullptr) {
        return;
    }
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    closeStream(render_);
    closeStream(feed_);
    if (modules_) {
        modules_->unload();
    }
}

// ---------------------------------------------------------------------------------------
// The voice

void PulseVirtualDevice::beginVoice(uint32_t burstFrames) {
    voice_.beginStream(burstFrames);
}

void PulseVirtualDevice::setVoiceBurst(uint32_t burstFrames) {
    voice_.setBurstFrames(burstFrames);
}

void PulseVirtualDevice::writeVoice(std::span<const int16_t> samples) {
    voice_.push(samples);
}

void PulseVirtualDevice::endVoice() {
    voice_.endStream();
}

void PulseVirtualDevice::onVoiceRequest(pa_stream* stream, size_t bytes, void* self) {
    auto* device = static_cast<PulseVirtualDevice*>(self);
    // The event loop feeds the voice to the server: a late wake-up there is a gap.
    thread_local const bool realtime = makeThreadRealtime(kLoopThreadPriority);
    (void)realtime;
    while (bytes >= kFrameBytes) {
        void* buffer = nullptr;
        size_t n = bytes;
        if (pa_stream_begin_write(stream, &buffer, &n) < 0 || buffer == nullptr) {
            return;
        }
        n = std::min(n, bytes);
        n -= n % kFrameBytes;
        if (n == 0) {
            pa_stream_cancel_write(stream);
            return;
        }
        device->voice_.pull(std::span<int16_t>(static_cast<int16_t*>(buffer), n / 2));
        if (pa_stream_write(stream, buffer, n, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
            return;
        }
        bytes -= n;
        device->afterCalmFeed(stream, static_cast<uint32_t>(n / kFrameBytes));
    }
    // What the server holds ahead of playback: the voice's share of the delay downstream.
    pa_usec_t latency = 0;
    int negative = 0;
    if (pa_stream_get_latency(stream, &latency, &negative) == 0 && negative == 0) {
        device->serverQueuedFrames_.store(
            static_cast<uint32_t>(latency * kPipelineFormat.rate / 1000000),
            std::memory_order_relaxed);
    }
}

void PulseVirtualDevice::onVoiceUnderflow(pa_stream* stream, void* self) {
    // The server ran dry although every request was answered in full: it asked too late for
    // what it holds. While a voice plays that is a gap a listener hears, so the server is
    // given a period more to hold (up to kMaxFeedPeriods): a little more delay, no more gaps.
    auto* device = static_cast<PulseVirtualDevice*>(self);
    if (!device->voice_.streaming()) {
        return; // between voices the feed plays silence: running short there is harmless
    }
    device->serverUnderruns_.fetch_add(1, std::memory_order_relaxed);
    device->calmFrames_ = 0;
    if (device->feedPeriods_ < kMaxFeedPeriods) {
        device->setFeedPeriods(stream, device->feedPeriods_ + 1);
        debugPrintf("Virtual device: the server ran short; it now holds %u periods.\n",
                    device->feedPeriods_);
    }
}

void PulseVirtualDevice::afterCalmFeed(pa_stream* stream, uint32_t frames) {
    // A period taken on after the server ran short is given back once it has not run short
    // for kCalmFeedFrames, and while it stays calm the next ones every kFeedGiveBackFrames:
    // one bad moment does not cost delay for good. The server then asks for less until what
    // it holds has played down; nothing is dropped.
    calmFrames_ += frames;
    if (calmFrames_ < kCalmFeedFrames) {
        return;
    }
    calmFrames_ = kCalmFeedFrames - kFeedGiveBackFrames;
    if (feedPeriods_ > options_.feedPeriods) {
        setFeedPeriods(stream, feedPeriods_ - 1);
    }
}

void PulseVirtualDevice::setFeedPeriods(pa_stream* stream, uint32_t periods) {
    const pa_buffer_attr* current = pa_stream_get_buffer_attr(stream);
    if (current == nullptr) {
        return;
    }
    feedPeriods_ = periods;
    pa_buffer_attr attr = *current;
    attr.tlength = periods * options_.feedPeriodFrames * kFrameBytes;
    if (pa_operation* op = pa_stream_set_buffer_attr(stream, &attr, nullptr, nullptr)) {
        pa_operation_unref(op);
    }
}

uint32_t PulseVirtualDevice::voiceDelayFrames() const {
    return voice_.marginFrames() + serverQueuedFrames_.load(std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------------------
// The render side

void PulseVirtualDevice::onRenderData(pa_stream* stream, size_t, void* self) {
    auto* device = static_cast<PulseVirtualDevice*>(self);
    bool arrived = false;
    size_t delivered = 0;
    for (;;) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) {
            break;
        }
        // A hole (data lost in the server) or pure silence: nobody is playing, and passing
        // it on would only keep the reader and the render player busy with nothing.
        if (data != nullptr && !allZero(data, bytes)) {
            device->pushRender(static_cast<const uint8_t*>(data), bytes - bytes % kFrameBytes);
            delivered += bytes / kFrameBytes;
            arrived = true;
        } else if (data == nullptr) {
            debugPrintf("Virtual speaker: the server lost %zu bytes.\n", bytes);
        }
        pa_stream_drop(stream);
    }
    if (arrived) {
        const auto frames = static_cast<uint32_t>(std::min<size_t>(delivered, UINT32_MAX));
        if (frames > device->renderBurst_.load(std::memory_order_relaxed)) {
            device->renderBurst_.store(frames, std::memory_order_relaxed);
        }
        device->renderArrived_.notify_all();
    }
}

void PulseVirtualDevice::pushRender(const uint8_t* data, size_t bytes) {
    const size_t capacity = renderRing_.size();
    size_t samples = bytes / 2;
    const auto* in = reinterpret_cast<const int16_t*>(data);
    std::lock_guard lock(renderMutex_); // held for the copy only
    if (samples > capacity) {
        in += samples - capacity; // only the newest fits
        samples = capacity;
    }
    if (renderFill_ + samples > capacity) {
        debugPrintf("Virtual speaker: the reader fell behind; %zu samples go.\n",
                    renderFill_ + samples - capacity);
        // A reader that fell behind loses the oldest audio, never the newest.
        const size_t excess = renderFill_ + samples - capacity;
        renderHead_ = (renderHead_ + excess) % capacity;
        renderFill_ -= excess;
    }
    const size_t tail = (renderHead_ + renderFill_) % capacity;
    const size_t first = std::min(samples, capacity - tail);
    std::memcpy(renderRing_.data() + tail, in, first * sizeof(int16_t));
    std::memcpy(renderRing_.data(), in + first, (samples - first) * sizeof(int16_t));
    renderFill_ += samples;
}

uint32_t PulseVirtualDevice::readRender(std::span<int16_t> samples,
                                        std::chrono::milliseconds wait) {
    std::unique_lock lock(renderMutex_);
    renderArrived_.wait_for(
        lock, wait, [&] { return renderFill_ >= kChannels || renderInterrupted_ || lost_.load(); });
    renderInterrupted_ = false;
    if (lost_.load()) {
        return 0;
    }
    size_t n = std::min(samples.size(), renderFill_);
    n -= n % kChannels;
    const size_t capacity = renderRing_.size();
    const size_t first = std::min(n, capacity - renderHead_);
    std::memcpy(samples.data(), renderRing_.data() + renderHead_, first * sizeof(int16_t));
    std::memcpy(samples.data() + first, renderRing_.data(), (n - first) * sizeof(int16_t));
    renderHead_ = (renderHead_ + n) % capacity;
    renderFill_ -= n;
    return static_cast<uint32_t>(n / kChannels);
}

void PulseVirtualDevice::interruptRender() {
    {
        std::lock_guard lock(renderMutex_);
        renderInterrupted_ = true;
    }
    renderArrived_.notify_all();
}

// ---------------------------------------------------------------------------------------
// Who records, and losing the device

bool PulseVirtualDevice::clientRecording() const {
    return !lost_.load() && recording_.load();
}

void PulseVirtualDevice::setListener(VirtualDeviceListener* listener) {
    std::lock_guard lock(listenerMutex_);
    listener_ = listener;
}

void PulseVirtualDevice::notifyListener() {
    std::lock_guard lock(listenerMutex_);
    if (listener_ != nullptr) {
        listener_->onVirtualDeviceChanged();
    }
}

void PulseVirtualDevice::onStreamState(pa_stream* stream, void* self) {
    auto* device = static_cast<PulseVirtualDevice*>(self);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    // Streams are closed with their callbacks cleared: an end seen here came from the server
    // (it went away, or a device of the pair was unloaded under the program).
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
        device->markLost();
    }
    device->connection_->signal();
}

void PulseVirtualDevice::refreshState() {
    if (pa_operation* op = pa_context_get_source_output_info_list(
            context_, &PulseVirtualDevice::onSourceOutput, this)) {
        pa_operation_unref(op);
    }
}

void PulseVirtualDevice::onSourceOutput(pa_context*, const pa_source_output_info* info, int eol,
                                        void* self) {
    // Answers arrive whole and in order, so one counter serves lists asked for in a row.
    auto* device = static_cast<PulseVirtualDevice*>(self);
    if (eol == 0) {
        // Level meters record peaks only: PulseAudio names their resampler "peaks", PipeWire
        // marks them with a property.
        const char* peaks = info->proplist != nullptr
                                ? pa_proplist_gets(info->proplist, "resample.peaks")
                                : nullptr;
        const bool meter = (info->resample_method != nullptr &&
                            std::strcmp(info->resample_method, "peaks") == 0) ||
                           (peaks != nullptr && std::strcmp(peaks, "true") == 0);
        if (info->source == device->modules_->microphoneIndex() &&
            info->client != device->ownClient_ && !info->corked && !meter) {
            ++device->recorders_;
        }
        return;
    }
    if (eol > 0) {
        device->publishState(device->recorders_ > 0);
    }
    device->recorders_ = 0;
}

void PulseVirtualDevice::publishState(bool recording) {
    if (recording_.exchange(recording) != recording) {
        debugPrintf("Virtual device: %s.\n", recording ? "in use" : "free");
        notifyListener();
    }
}

void PulseVirtualDevice::markLost() {
    if (!lost_.exchange(true)) {
        debugWrite("Virtual device: lost (the sound server went away or removed it).\n");
    }
    recording_.store(false);
    notifyListener();
    {
        std::lock_guard lock(renderMutex_); // a waiting reader finds out at once
    }
    renderArrived_.notify_all();
}

} // namespace timbrelo
