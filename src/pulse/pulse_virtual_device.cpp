#include "platform/vdev/pulse_virtual_device.h"

#include "platform/debug.h"
#include "platform/vdev/event_registry.h"
#include "platform/wave/pulse_audio_backend.h"
#include "platform/wave/pulse_connection.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/proplist.h>
#include <pulse/stream.h>
#include <pulse/subscribe.h>
#include <pulse/timeval.h>
#include <string_view>

namespace timbrelo {

namespace {

constexpr uint32_t kFrameBytes = kVirtualDeviceFrameBytes;
// Small fragments keep what programs play to the virtual speaker prompt (about 12 ms).
constexpr uint32_t kRenderFragmentBytes = 1024;
// The keep-alive asks for about 10 ms: it sets how fast the feed sink runs.
constexpr uint32_t kKeepAliveBytes = 880;
// Silence ahead of the voice when it starts after the feed ran dry (about 23 ms).
constexpr uint32_t kRestartLeadBytes = 2048;

std::string sinkArguments(const char* name, const std::string& properties) {
    return std::string("sink_name=") + name + " rate=" + std::to_string(kVirtualDeviceRate) +
           " channels=" + std::to_string(kVirtualDeviceChannels) + " format=s16le" +
           " sink_properties='" + properties + "'";
}

// True when `arguments` holds `token` as a whole blank-separated word.
bool hasArgument(const char* arguments, std::string_view token) {
    const std::string_view text = arguments != nullptr ? arguments : "";
    for (size_t at = text.find(token); at != std::string_view::npos;
         at = text.find(token, at + 1)) {
        const size_t end = at + token.size();
        const bool startsWord = at == 0 || std::isspace(static_cast<unsigned char>(text[at - 1]));
        const bool endsWord =
            end == text.size() || std::isspace(static_cast<unsigned char>(text[end]));
        if (startsWord && endsWord) {
            return true;
        }
    }
    return false;
}

bool allZero(const void* data, size_t bytes) {
    const auto* p = static_cast<const uint8_t*>(data);
    return std::all_of(p, p + bytes, [](uint8_t b) { return b == 0; });
}

std::string serverError(pa_context* context) {
    return pa_strerror(pa_context_errno(context));
}

} // namespace

std::vector<PulseVirtualDevice::ModuleSpec> PulseVirtualDevice::moduleSpecs() {
    const std::string feed = kFeedSinkName;
    const std::string internal = std::string(kInternalDeviceProperty) + "=1";
    return {
        {"module-null-sink",
         sinkArguments(kFeedSinkName,
                       "device.description=\"Timbrelo Microphone Feed\" " + internal),
         "sink_name=" + feed, "the virtual microphone's feed"},
        {"module-remap-source",
         "master=" + feed + ".monitor source_name=" + kMicrophoneName +
             " source_properties='device.description=\"" + kMicrophoneDescription +
             "\" device.icon_name=audio-input-microphone'",
         std::string("source_name=") + kMicrophoneName, "the virtual microphone"},
        {"module-null-sink",
         sinkArguments(kSpeakerName, std::string("device.description=\"") + kSpeakerDescription +
                                         "\" device.icon_name=audio-speakers"),
         std::string("sink_name=") + kSpeakerName, "the virtual speaker"},
    };
}

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

PulseVirtualDevice::PulseVirtualDevice(const Options& options) : options_(options) {
    options_.feedTargetBytes -= options_.feedTargetBytes % kFrameBytes;
    const uint32_t ring = std::max(options_.renderBufferBytes, 2 * kRenderReadBytes);
    renderRing_.resize(ring - ring % kFrameBytes);
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
    MmResult rc = MMSYSERR_NOERROR;
    context_ = connection_->context(rc);
    if (context_ == nullptr) {
        error = "No sound server answers: " + pulseErrorText(rc);
        return false;
    }
    ownClient_ = pa_context_get_index(context_);
    // Loading the modules moves the defaults by itself on both servers: read them first.
    Defaults defaults;
    if (!readDefaults(defaults, error)) {
        return false;
    }
    onPipeWire_ = defaults.server.find("PipeWire") != std::string::npos;
    if (!adoptOrLoadModules(error) || !waitForDevices(error)) {
        return false;
    }
    restoreDefaults(defaults);
    return openStreams(error) && watchState(error);
}

bool PulseVirtualDevice::readDefaults(Defaults& defaults, std::string& error) {
    const MmResult rc = connection_->await(pa_context_get_server_info(
        context_,
        [](pa_context*, const pa_server_info* info, void* out) {
            auto* d = static_cast<Defaults*>(out);
            d->sink = info->default_sink_name != nullptr ? info->default_sink_name : "";
            d->source = info->default_source_name != nullptr ? info->default_source_name : "";
            d->server = info->server_name != nullptr ? info->server_name : "";
        },
        &defaults));
    if (rc != MMSYSERR_NOERROR) {
        error = "The sound server did not tell its default devices: " + pulseErrorText(rc);
        return false;
    }
    return true;
}

bool PulseVirtualDevice::adoptOrLoadModules(std::string& error) {
    const std::vector<ModuleSpec> specs = moduleSpecs();
    struct Found {
        const std::vector<ModuleSpec>* specs;
        std::vector<std::vector<uint32_t>> indices;
    } found{&specs, std::vector<std::vector<uint32_t>>(specs.size())};
    MmResult rc = connection_->await(pa_context_get_module_info_list(
        context_,
        [](pa_context*, const pa_module_info* info, int eol, void* out) {
            auto* f = static_cast<Found*>(out);
            for (size_t i = 0; eol == 0 && i < f->specs->size(); ++i) {
                const ModuleSpec& spec = (*f->specs)[i];
                if (info->name != nullptr && std::strcmp(info->name, spec.module) == 0 &&
                    hasArgument(info->argument, spec.key)) {
                    f->indices[i].push_back(info->index);
                }
            }
        },
        &found));
    if (rc != MMSYSERR_NOERROR) {
        error = "The sound server did not list its modules: " + pulseErrorText(rc);
        return false;
    }

    const bool wholePair = std::all_of(found.indices.begin(), found.indices.end(),
                                       [](const auto& v) { return v.size() == 1; });
    if (wholePair) {
        for (const auto& v : found.indices) {
            modules_.push_back(v.front());
        }
        adopted_ = true;
        debugWrite("Virtual device: adopted the pair an earlier run left behind.\n");
        return true;
    }
    // Pieces of a pair (or two pairs): clear them away and start afresh, dependants first.
    for (auto it = found.indices.rbegin(); it != found.indices.rend(); ++it) {
        for (uint32_t index : *it) {
            connection_->await(pa_context_unload_module(context_, index, nullptr, nullptr));
        }
    }
    for (const ModuleSpec& spec : specs) {
        uint32_t index = PA_INVALID_INDEX;
        rc = connection_->await(pa_context_load_module(
            context_, spec.module, spec.arguments.c_str(),
            [](pa_context*, uint32_t idx, void* out) { *static_cast<uint32_t*>(out) = idx; },
            &index));
        if (rc != MMSYSERR_NOERROR || index == PA_INVALID_INDEX) {
            error = std::string("The sound server could not make ") + spec.role + " (" +
                    spec.module +
                    "): " + (rc != MMSYSERR_NOERROR ? pulseErrorText(rc) : serverError(context_));
            return false;
        }
        modules_.push_back(index);
    }
    return true;
}

bool PulseVirtualDevice::waitForDevices(std::string& error) {
    // PipeWire shows a loaded module's device a moment after the load returns.
    struct Seen {
        bool feed = false;
        bool speaker = false;
        uint32_t microphone = PA_INVALID_INDEX;
    };
    const auto sinkSeen = [](pa_context*, const pa_sink_info*, int eol, void* out) {
        if (eol == 0) {
            *static_cast<bool*>(out) = true;
        }
    };
    const auto deadline = std::chrono::steady_clock::now() + options_.deviceTimeout;
    for (;;) {
        Seen seen;
        MmResult rc = connection_->await(
            pa_context_get_sink_info_by_name(context_, kFeedSinkName, sinkSeen, &seen.feed));
        if (rc == MMSYSERR_NOERROR) {
            rc = connection_->await(
                pa_context_get_sink_info_by_name(context_, kSpeakerName, sinkSeen, &seen.speaker));
        }
        if (rc == MMSYSERR_NOERROR) {
            rc = connection_->await(pa_context_get_source_info_by_name(
                context_, kMicrophoneName,
                [](pa_context*, const pa_source_info* info, int eol, void* out) {
                    if (eol == 0 && info->monitor_of_sink == PA_INVALID_INDEX) {
                        *static_cast<uint32_t*>(out) = info->index;
                    }
                },
                &seen.microphone));
        }
        if (rc != MMSYSERR_NOERROR) {
            error = "The sound server stopped answering: " + pulseErrorText(rc);
            return false;
        }
        if (seen.feed && seen.speaker && seen.microphone != PA_INVALID_INDEX) {
            microphoneIndex_ = seen.microphone;
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            error = "The sound server did not show the virtual microphone and speaker in time.";
            return false;
        }
        // A pause that lets the event loop run; only a failed connection ends it early.
        rc = connection_->waitUntil([] { return false; }, std::chrono::milliseconds(20));
        if (rc != kPulseTimeout) {
            error = "The sound server stopped answering: " + pulseErrorText(rc);
            return false;
        }
    }
}

void PulseVirtualDevice::restoreDefaults(const Defaults& wanted) {
    // PipeWire's session manager may switch a default a moment after the devices appear, so
    // the defaults are checked until they hold (briefly; a default that can't be set stays).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    bool sinkSettable = !wanted.sink.empty();
    bool sourceSettable = !wanted.source.empty();
    int steady = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        Defaults now;
        std::string ignored;
        if (!readDefaults(now, ignored)) {
            return;
        }
        const bool sinkOff = sinkSettable && now.sink != wanted.sink;
        const bool sourceOff = sourceSettable && now.source != wanted.source;
        if (!sinkOff && !sourceOff) {
            if (++steady == 2) {
                return;
            }
        } else {
            steady = 0;
        }
        int ok = 0;
        const auto done = [](pa_context*, int success, void* out) {
            *static_cast<int*>(out) = success;
        };
        if (sinkOff) {
            connection_->await(
                pa_context_set_default_sink(context_, wanted.sink.c_str(), done, &ok));
            sinkSettable = ok != 0;
        }
        if (sourceOff) {
            connection_->await(
                pa_context_set_default_source(context_, wanted.source.c_str(), done, &ok));
            sourceSettable = ok != 0;
        }
        if (connection_->waitUntil([] { return false; }, std::chrono::milliseconds(50)) !=
            kPulseTimeout) {
            return;
        }
    }
}

pa_stream* PulseVirtualDevice::openStream(const char* name, const char* device, bool record,
                                          uint32_t bytes, std::string& error) {
    pa_sample_spec spec;
    spec.format = PA_SAMPLE_S16LE;
    spec.rate = kVirtualDeviceRate;
    spec.channels = kVirtualDeviceChannels;
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
    pa_buffer_attr attr;
    attr.maxlength = UINT32_MAX;
    attr.prebuf = UINT32_MAX;
    attr.minreq = UINT32_MAX;
    attr.tlength = record ? UINT32_MAX : bytes;
    attr.fragsize = record ? bytes : UINT32_MAX;
    // By name and never moved: when the defaults switch to the virtual pair, the server would
    // otherwise move these streams too, and the voice would feed itself.
    auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY);
    const int rc = record
                       ? pa_stream_connect_record(stream, device, &attr, flags)
                       : pa_stream_connect_playback(stream, device, &attr, flags, nullptr, nullptr);
    MmResult result = rc < 0 ? connection_->contextError() : MMSYSERR_NOERROR;
    if (result == MMSYSERR_NOERROR) {
        result = connection_->waitUntil(
            [&] {
                const pa_stream_state_t state = pa_stream_get_state(stream);
                return state != PA_STREAM_UNCONNECTED && state != PA_STREAM_CREATING;
            },
            options_.operationTimeout);
    }
    if (result == MMSYSERR_NOERROR && pa_stream_get_state(stream) != PA_STREAM_READY) {
        result = pulseResult(pa_context_errno(context_));
    }
    if (result != MMSYSERR_NOERROR || pa_stream_get_state(stream) != PA_STREAM_READY) {
        error = std::string("Can't connect the stream \"") + name + "\" to " + device + ": " +
                (result != MMSYSERR_NOERROR ? pulseErrorText(result) : serverError(context_));
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
    pa_stream_set_underflow_callback(stream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
        pa_stream_disconnect(stream);
    }
    pa_stream_unref(stream);
    stream = nullptr;
}

bool PulseVirtualDevice::openStreams(std::string& error) {
    // A silent stream keeps the feed sink running at a short period: without it a new
    // recorder of an idle null sink's monitor may wait about two seconds for its first audio.
    keepAlive_ = openStream("Timbrelo keep-alive", kFeedSinkName, false, kKeepAliveBytes, error);
    if (keepAlive_ == nullptr) {
        return false;
    }
    pa_stream_set_write_callback(keepAlive_, &PulseVirtualDevice::onKeepAliveRequest, this);
    onKeepAliveRequest(keepAlive_, pa_stream_writable_size(keepAlive_), this);

    feed_ = openStream("Timbrelo voice", kFeedSinkName, false, options_.feedTargetBytes, error);
    if (feed_ == nullptr) {
        return false;
    }
    pa_stream_set_underflow_callback(
        feed_,
        [](pa_stream*, void* self) { static_cast<PulseVirtualDevice*>(self)->feedStarved_ = true; },
        this);
    const std::string monitor = std::string(kSpeakerName) + ".monitor";
    render_ =
        openStream("Timbrelo virtual speaker", monitor.c_str(), true, kRenderFragmentBytes, error);
    if (render_ == nullptr) {
        return false;
    }
    pa_stream_set_read_callback(render_, &PulseVirtualDevice::onRenderData, this);

    // PulseAudio's idle null sink sleeps for seconds and learns of the short period its new
    // streams ask for only when it next wakes; suspending and resuming it wakes it now.
    // (PipeWire has no such sleep, and there a suspend would interrupt the streams.)
    if (!onPipeWire_) {
        for (const char* sink : {kFeedSinkName, kSpeakerName}) {
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
                       kind == PA_SUBSCRIPTION_EVENT_REMOVE && index == device->microphoneIndex_) {
                debugWrite("Virtual device: the virtual microphone was removed.\n");
                device->markLost();
            }
        },
        this);
    const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SOURCE |
                                                          PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT);
    MmResult rc = connection_->await(pa_context_subscribe(context_, mask, nullptr, nullptr));
    if (rc == MMSYSERR_NOERROR) {
        // The first answer is there before bring-up ends.
        rc = connection_->await(pa_context_get_source_output_info_list(
            context_, &PulseVirtualDevice::onSourceOutput, this));
    }
    if (rc != MMSYSERR_NOERROR) {
        error = "The sound server did not report who records: " + pulseErrorText(rc);
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
    closeStream(keepAlive_);
    // Dependants first; the first request that fails or times out ends the attempt, so a
    // server that hangs costs one timeout, not one per module.
    for (auto it = modules_.rbegin(); it != modules_.rend(); ++it) {
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)) ||
            connection_->await(pa_context_unload_module(context_, *it, nullptr, nullptr)) !=
                MMSYSERR_NOERROR) {
            break;
        }
    }
    modules_.clear();
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

void PulseVirtualDevice::onKeepAliveRequest(pa_stream* stream, size_t bytes, void*) {
    while (bytes > 0) {
        void* buffer = nullptr;
        size_t n = bytes;
        if (pa_stream_begin_write(stream, &buffer, &n) < 0 || buffer == nullptr || n == 0) {
            return;
        }
        n -= n % kFrameBytes;
        std::memset(buffer, 0, n);
        if (n == 0 || pa_stream_write(stream, buffer, n, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
            pa_stream_cancel_write(stream);
            return;
        }
        bytes -= std::min(bytes, n);
    }
}

void PulseVirtualDevice::onRenderData(pa_stream* stream, size_t, void* self) {
    auto* device = static_cast<PulseVirtualDevice*>(self);
    bool arrived = false;
    for (;;) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) {
            break;
        }
        // A hole (data lost in the server) or pure silence: nobody is playing, and passing
        // it on would only keep the reader and the render player busy with nothing.
        if (data != nullptr && !allZero(data, bytes)) {
            device->pushRender(static_cast<const uint8_t*>(data), bytes);
            arrived = true;
        }
        pa_stream_drop(stream);
    }
    if (arrived) {
        signalEvent(device->renderEvent_.load());
    }
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
        if (info->source == device->microphoneIndex_ && info->client != device->ownClient_ &&
            !info->corked && !meter) {
            ++device->recorders_;
        }
        return;
    }
    if (eol > 0) {
        device->publishState(device->recorders_ > 0 ? 1 : 0);
    }
    device->recorders_ = 0;
}

void PulseVirtualDevice::publishState(uint32_t state) {
    if (state_.exchange(state) != state) {
        debugPrintf("Virtual device: %s.\n", state != 0 ? "in use" : "free");
        signalEvent(state != 0 ? startEvent_.load() : stopEvent_.load());
    }
}

void PulseVirtualDevice::markLost() {
    if (!lost_.exchange(true)) {
        debugWrite("Virtual device: lost (the sound server went away or removed it).\n");
    }
    publishState(0);
    signalEvent(renderEvent_.load()); // a waiting reader finds out at once
}

void PulseVirtualDevice::signalEvent(uint32_t id) {
    if (id == 0) {
        return;
    }
    if (auto event = EventRegistry::instance().find(id)) {
        event->set();
    }
}

bool PulseVirtualDevice::ioControl(uint32_t code, const void* in, uint32_t inBytes, void* out,
                                   uint32_t outBytes, uint32_t* returned) {
    uint32_t answered = 0;
    bool ok = true;
    const auto eventId = [&](std::atomic<uint32_t>& slot) {
        if (in == nullptr || inBytes < 4) {
            return false;
        }
        uint32_t id = 0;
        std::memcpy(&id, in, 4);
        slot.store(id);
        return true;
    };
    switch (code) {
    case IOCTL_SET_START_EVENT:
        ok = eventId(startEvent_);
        break;
    case IOCTL_SET_STOP_EVENT:
        ok = eventId(stopEvent_);
        break;
    case IOCTL_SET_RENDER_EVENT:
        ok = eventId(renderEvent_);
        break;
    case IOCTL_BEGIN_RENDER: {
        // The reader starts: what waited before is stale.
        std::lock_guard lock(renderMutex_);
        renderHead_ = 0;
        renderFill_ = 0;
        break;
    }
    case IOCTL_GET_STATE:
        if (out == nullptr || outBytes < 4) {
            ok = false;
            break;
        }
        {
            const uint32_t state = lost_.load() ? 0 : state_.load();
            std::memcpy(out, &state, 4);
            answered = 4;
        }
        break;
    case IOCTL_WRITE_CAPTURE:
        ok = writeCapture(in, inBytes);
        break;
    case IOCTL_READ_RENDER:
        if (lost_.load() || (out == nullptr && outBytes > 0)) {
            ok = false;
            break;
        }
        answered = readRender(out, outBytes);
        break;
    default:
        ok = false;
        break;
    }
    if (returned != nullptr) {
        *returned = answered;
    }
    return ok;
}

bool PulseVirtualDevice::writeCapture(const void* in, uint32_t bytes) {
    if (bytes == 0) {
        return true;
    }
    if (in == nullptr || bytes % kFrameBytes != 0) {
        return false;
    }
    PulseConnection::Lock lock(*connection_);
    if (lost_.load() || feed_ == nullptr || pa_stream_get_state(feed_) != PA_STREAM_READY) {
        return false;
    }
    // The microphone's clock and the server's never run quite alike. When the voice comes
    // faster than the server takes it, a block is skipped rather than letting the delay grow.
    if (feedQueued() + bytes > options_.feedLimitBytes) {
        droppedBlocks_.fetch_add(1);
        return true;
    }
    if (feedStarved_) {
        // The voice (re)starts after the server ran dry. PipeWire takes a few periods to
        // settle then and would run dry again within the first words; a short lead of
        // silence carries it over.
        static constexpr uint8_t kSilence[kRestartLeadBytes] = {};
        if (pa_stream_write(feed_, kSilence, sizeof kSilence, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
            return false;
        }
        feedStarved_ = false;
    }
    return pa_stream_write(feed_, in, bytes, nullptr, 0, PA_SEEK_RELATIVE) == 0;
}

int64_t PulseVirtualDevice::feedQueued() {
    // The server's read position comes with each timing update, asked for every 100 ms; in
    // between it advances at the nominal rate (drift over 100 ms is negligible). While the
    // stream waits to start again after an underrun that guess runs ahead, but then the
    // queue is short anyway. Until the first update nothing is known: nothing is dropped.
    const auto now = std::chrono::steady_clock::now();
    if (now - lastTimingUpdate_ >= std::chrono::milliseconds(100)) {
        lastTimingUpdate_ = now;
        if (pa_operation* op = pa_stream_update_timing_info(feed_, nullptr, nullptr)) {
            pa_operation_unref(op);
        }
    }
    const pa_timing_info* timing = pa_stream_get_timing_info(feed_);
    if (timing == nullptr || timing->write_index_corrupt || timing->read_index_corrupt) {
        return 0;
    }
    const auto consumed = static_cast<int64_t>(pa_timeval_age(&timing->timestamp) *
                                               kVirtualDeviceRate / 1000000 * kFrameBytes);
    return std::max<int64_t>(0, timing->write_index - timing->read_index - consumed);
}

uint32_t PulseVirtualDevice::readRender(void* out, uint32_t outBytes) {
    std::lock_guard lock(renderMutex_);
    size_t n = std::min<size_t>({outBytes, kRenderReadBytes, renderFill_});
    n -= n % kFrameBytes;
    if (n == 0) {
        return 0;
    }
    auto* dst = static_cast<uint8_t*>(out);
    const size_t first = std::min(n, renderRing_.size() - renderHead_);
    std::memcpy(dst, renderRing_.data() + renderHead_, first);
    std::memcpy(dst + first, renderRing_.data(), n - first);
    renderHead_ = (renderHead_ + n) % renderRing_.size();
    renderFill_ -= n;
    return static_cast<uint32_t>(n);
}

void PulseVirtualDevice::pushRender(const uint8_t* data, size_t bytes) {
    const size_t capacity = renderRing_.size();
    std::lock_guard lock(renderMutex_);
    if (bytes > capacity) {
        data += bytes - capacity; // only the newest fits
        bytes = capacity;
    }
    if (renderFill_ + bytes > capacity) {
        // A reader that fell behind loses the oldest audio, never the newest.
        const size_t excess = renderFill_ + bytes - capacity;
        renderHead_ = (renderHead_ + excess) % capacity;
        renderFill_ -= excess;
    }
    const size_t tail = (renderHead_ + renderFill_) % capacity;
    const size_t first = std::min(bytes, capacity - tail);
    std::memcpy(renderRing_.data() + tail, data, first);
    std::memcpy(renderRing_.data(), data + first, bytes - first);
    renderFill_ += bytes;
}

} // namespace timbrelo
