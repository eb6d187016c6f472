#include "pulse/pulse_connection.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/operation.h>
#include <pulse/proplist.h>
#include <pulse/rtclock.h>
#include <pulse/thread-mainloop.h>

namespace timbrelo {

static_assert(AudioResult::ServerTimeout == serverError(PA_ERR_TIMEOUT));

AudioResult pulseResult(int paError) {
    switch (paError) {
    case PA_OK:
        return AudioResult::Ok;
    case PA_ERR_CONNECTIONREFUSED:
    case PA_ERR_CONNECTIONTERMINATED:
    case PA_ERR_INVALIDSERVER:
        return AudioResult::NotRunning;
    case PA_ERR_NOENTITY:
    case PA_ERR_KILLED:
        return AudioResult::DeviceGone;
    case PA_ERR_NOTSUPPORTED:
        return AudioResult::BadFormat;
    default:
        return serverError(paError);
    }
}

PulseConnection::Lock::Lock(PulseConnection& connection) : connection_(connection) {
    pa_threaded_mainloop_lock(connection_.loop_);
}

PulseConnection::Lock::~Lock() {
    pa_threaded_mainloop_unlock(connection_.loop_);
}

PulseConnection::PulseConnection(Options options) : options_(options) {
    loop_ = pa_threaded_mainloop_new();
    if (loop_ != nullptr) {
        pa_threaded_mainloop_set_name(loop_, "sound-server");
        if (pa_threaded_mainloop_start(loop_) < 0) {
            pa_threaded_mainloop_free(loop_);
            loop_ = nullptr;
        }
    }
}

PulseConnection::~PulseConnection() {
    if (loop_ == nullptr) {
        return;
    }
    {
        Lock lock(*this);
        dropContext();
    }
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
}

void PulseConnection::signal() {
    pa_threaded_mainloop_signal(loop_, 0);
}

void PulseConnection::wait() {
    pa_threaded_mainloop_wait(loop_);
}

void PulseConnection::dropContext() {
    if (context_ == nullptr) {
        return;
    }
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
}

AudioResult PulseConnection::contextError() const {
    if (context_ == nullptr) {
        return AudioResult::NotRunning;
    }
    const AudioResult rc = pulseResult(pa_context_errno(context_));
    return rc == AudioResult::Ok ? AudioResult::NotRunning : rc;
}

pa_context* PulseConnection::context(AudioResult& error) {
    if (loop_ == nullptr) {
        error = AudioResult::NoMemory;
        return nullptr;
    }
    if (context_ != nullptr && !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
        // The server went away since; try afresh, it may be back.
        dropContext();
    }
    if (context_ == nullptr) {
        pa_proplist* props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Timbrelo");
        pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "timbrelo");
        pa_proplist_sets(props, PA_PROP_APPLICATION_ICON_NAME, "audio-input-microphone");
        context_ =
            pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), "Timbrelo", props);
        pa_proplist_free(props);
        if (context_ == nullptr) {
            error = AudioResult::NoMemory;
            return nullptr;
        }
        pa_context_set_state_callback(
            context_,
            [](pa_context*, void* self) { static_cast<PulseConnection*>(self)->signal(); }, this);
        // Never start a server of our own: the user's session owns the sound server.
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            error = contextError();
            dropContext();
            return nullptr;
        }
    }
    error = waitUntil(
        [&] {
            const pa_context_state_t state = pa_context_get_state(context_);
            return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        },
        options_.connectTimeout);
    if (error == AudioResult::Ok && pa_context_get_state(context_) == PA_CONTEXT_READY) {
        return context_;
    }
    if (error == AudioResult::Ok) {
        error = contextError();
    }
    dropContext();
    return nullptr;
}

AudioResult PulseConnection::await(pa_operation* operation) {
    if (operation == nullptr) {
        return contextError();
    }
    pa_operation_set_state_callback(
        operation, [](pa_operation*, void* self) { static_cast<PulseConnection*>(self)->signal(); },
        this);
    AudioResult rc =
        waitUntil([&] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; },
                  options_.operationTimeout);
    if (rc != AudioResult::Ok) {
        pa_operation_cancel(operation);
    } else if (pa_operation_get_state(operation) == PA_OPERATION_CANCELLED) {
        rc = contextError();
    }
    pa_operation_set_state_callback(operation, nullptr, nullptr);
    pa_operation_unref(operation);
    return rc;
}

PulseConnection::WaitTimer::WaitTimer(PulseConnection& connection,
                                      std::chrono::milliseconds timeout)
    : connection_(connection), context_(connection.context_) {
    if (context_ == nullptr) {
        return;
    }
    // Another thread may replace the connection's context while this one waits.
    pa_context_ref(context_);
    const auto usec = static_cast<pa_usec_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(timeout).count());
    event_ = pa_context_rttime_new(
        context_, pa_rtclock_now() + usec,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
            auto* timer = static_cast<WaitTimer*>(self);
            timer->fired_ = true;
            timer->connection_.signal();
        },
        this);
}

PulseConnection::WaitTimer::~WaitTimer() {
    if (event_ != nullptr) {
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(connection_.loop_);
        api->time_free(static_cast<pa_time_event*>(event_));
    }
    if (context_ != nullptr) {
        pa_context_unref(context_);
    }
}

AudioResult PulseConnection::WaitTimer::check() const {
    if (context_ == nullptr || event_ == nullptr) {
        return AudioResult::NotRunning; // nothing to wait on
    }
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
        const AudioResult rc = pulseResult(pa_context_errno(context_));
        return rc == AudioResult::Ok ? AudioResult::NotRunning : rc;
    }
    return fired_ ? AudioResult::ServerTimeout : AudioResult::Ok;
}

} // namespace timbrelo
