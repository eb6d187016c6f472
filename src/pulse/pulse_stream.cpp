#include "pulse/pulse_stream.h"

#include "pulse/pulse_connection.h"

#include <algorithm>
#include <pthread.h>
#include <pulse/channelmap.h>
#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/proplist.h>
#include <pulse/stream.h>
#include <sched.h>

namespace timbrelo::pulse_detail {

AudioResult checkFormat(const StreamFormat& format) {
    return format.valid() && format.rate <= PA_RATE_MAX ? AudioResult::Ok : AudioResult::BadFormat;
}

pa_stream* newStream(PulseConnection& connection, const PulseStreamSpec& spec, AudioResult& error) {
    if (error = checkFormat(spec.format); error != AudioResult::Ok) {
        return nullptr;
    }
    pa_context* context = connection.context(error);
    if (context == nullptr) {
        return nullptr;
    }
    pa_sample_spec sample;
    sample.format = PA_SAMPLE_S16LE;
    sample.rate = spec.format.rate;
    sample.channels = static_cast<uint8_t>(spec.format.channels);
    pa_channel_map map;
    pa_channel_map_init_extend(&map, sample.channels, PA_CHANNEL_MAP_WAVEEX);
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_MEDIA_NAME, spec.name.c_str());
    for (const auto& [key, value] : spec.properties) {
        pa_proplist_sets(props, key.c_str(), value.c_str());
    }
    pa_stream* stream =
        pa_stream_new_with_proplist(context, spec.name.c_str(), &sample, &map, props);
    pa_proplist_free(props);
    if (stream == nullptr) {
        error = pa_context_errno(context) == PA_ERR_INVALID ? AudioResult::BadFormat
                                                            : connection.contextError();
    }
    return stream;
}

AudioResult connectAndWait(PulseConnection& connection, pa_stream* stream,
                           const PulseStreamSpec& spec, bool record, const pa_buffer_attr& attr,
                           int flags) {
    const char* device = spec.device.empty() ? nullptr : spec.device.c_str();
    const auto streamFlags = static_cast<pa_stream_flags_t>(flags);
    const int rc =
        record ? pa_stream_connect_record(stream, device, &attr, streamFlags)
               : pa_stream_connect_playback(stream, device, &attr, streamFlags, nullptr, nullptr);
    if (rc < 0) {
        return connection.contextError();
    }
    AudioResult result = connection.waitUntil(
        [&] {
            const pa_stream_state_t state = pa_stream_get_state(stream);
            return state != PA_STREAM_UNCONNECTED && state != PA_STREAM_CREATING;
        },
        connection.options().operationTimeout);
    if (result == AudioResult::Ok && pa_stream_get_state(stream) != PA_STREAM_READY) {
        // The failed stream has let go of its context; the reason is the context's.
        result = connection.contextError();
        if (result == AudioResult::DeviceGone) {
            result = AudioResult::BadDevice; // no device of that name
        } else if (result == serverError(PA_ERR_INVALID)) {
            result = AudioResult::BadFormat; // the server refused the stream's format
        }
    }
    return result;
}

void closeStream(pa_stream*& stream) {
    if (stream == nullptr) {
        return;
    }
    // Callbacks first: queued data could otherwise still arrive for a stream being torn down.
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_write_callback(stream, nullptr, nullptr);
    pa_stream_set_underflow_callback(stream, nullptr, nullptr);
    pa_stream_set_overflow_callback(stream, nullptr, nullptr);
    pa_stream_set_latency_update_callback(stream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
        pa_stream_disconnect(stream);
    }
    pa_stream_unref(stream);
    stream = nullptr;
}

AudioResult endReason(pa_stream* stream) {
    pa_context* context = pa_stream_get_context(stream);
    const int error = context != nullptr ? pa_context_errno(context) : PA_ERR_CONNECTIONTERMINATED;
    if (error == PA_ERR_INVALID) {
        return AudioResult::BadFormat; // the server refused the stream's format
    }
    const AudioResult reason = pulseResult(error);
    return reason == AudioResult::Ok ? AudioResult::DeviceGone : reason;
}

AudioResult cork(PulseConnection& connection, pa_stream* stream, bool corked) {
    pa_operation* op = pa_stream_cork(stream, corked ? 1 : 0, nullptr, nullptr);
    if (op == nullptr) {
        return connection.contextError();
    }
    pa_operation_unref(op);
    return AudioResult::Ok;
}

bool makeRealtime(int priority) {
    if (priority <= 0) {
        return false;
    }
    sched_param param{};
    param.sched_priority = std::clamp(priority, sched_get_priority_min(SCHED_FIFO),
                                      sched_get_priority_max(SCHED_FIFO));
    // Children started from this thread run at normal priority.
    return pthread_setschedparam(pthread_self(), SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0;
}

void flush(pa_stream* stream) {
    if (pa_operation* op = pa_stream_flush(stream, nullptr, nullptr)) {
        pa_operation_unref(op);
    }
}

} // namespace timbrelo::pulse_detail
