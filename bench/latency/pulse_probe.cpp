#include "pulse_probe.h"

#include <algorithm>
#include <cmath>
#include <ctime>

namespace timbrelo::bench {

double monotonicSeconds() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct PulseProbe::Recorder {
    pa_stream* stream = nullptr;
    pa_sample_spec spec{};
    Recording data;
    uint64_t frames = 0;
};

struct PulseProbe::Player {
    pa_stream* stream = nullptr;
    pa_sample_spec spec{};
    std::unique_ptr<TestVoice> voice;
    uint64_t limit = 0; // frames; 0: without end
    uint64_t written = 0;
    int underflows = 0;
    std::vector<int16_t> scratch;
};

namespace {

// The stream callbacks. They run on the mainloop thread.

void onRecord(pa_stream* s, size_t, void* user) {
    auto* r = static_cast<PulseProbe::Recorder*>(user);
    const size_t channels = r->spec.channels;
    const size_t frameBytes = pa_frame_size(&r->spec);
    bool took = false;
    while (pa_stream_readable_size(s) > 0) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) {
            break;
        }
        const size_t frames = bytes / frameBytes;
        if (data == nullptr) {
            // A hole: the server lost these frames. Keep the count of frames right.
            r->data.samples.insert(r->data.samples.end(), frames, 0);
            r->data.holeFrames += frames;
        } else {
            const auto* f = static_cast<const float*>(data);
            for (size_t i = 0; i < frames; ++i) {
                float sum = 0;
                for (size_t c = 0; c < channels; ++c) {
                    sum += f[i * channels + c];
                }
                const float mono = sum / static_cast<float>(channels) * 32768.0f;
                r->data.samples.push_back(
                    static_cast<int16_t>(std::lround(std::clamp(mono, -32768.0f, 32767.0f))));
            }
        }
        r->frames += frames;
        pa_stream_drop(s);
        took = true;
    }
    if (!took) {
        return;
    }
    // Everything read so far had arrived by now.
    r->data.timing.push_back({static_cast<double>(r->frames), monotonicSeconds()});
}

void onOverflow(pa_stream*, void* user) {
    ++static_cast<PulseProbe::Recorder*>(user)->data.overflows;
}

void onWrite(pa_stream* s, size_t bytes, void* user) {
    auto* p = static_cast<PulseProbe::Player*>(user);
    const size_t channels = p->spec.channels;
    size_t frames = bytes / pa_frame_size(&p->spec);
    if (p->limit != 0) {
        frames = std::min<uint64_t>(frames, p->limit - p->written);
    }
    if (frames == 0) {
        return;
    }
    p->scratch.resize(frames * channels);
    for (size_t i = 0; i < frames; ++i) {
        const auto v = static_cast<int16_t>(std::lround(p->voice->next() * 32767.0f));
        for (size_t c = 0; c < channels; ++c) {
            p->scratch[i * channels + c] = v;
        }
    }
    pa_stream_write(s, p->scratch.data(), frames * channels * sizeof(int16_t), nullptr, 0,
                    PA_SEEK_RELATIVE);
    p->written += frames;
}

void onUnderflow(pa_stream*, void* user) {
    auto* p = static_cast<PulseProbe::Player*>(user);
    if (p->limit == 0 || p->written < p->limit) {
        ++p->underflows;
    }
}

void onState(pa_stream*, void* user) {
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(user), 0);
}

void onContextState(pa_context*, void* user) {
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(user), 0);
}

struct Lock {
    explicit Lock(pa_threaded_mainloop* l) : loop(l) { pa_threaded_mainloop_lock(loop); }
    ~Lock() { pa_threaded_mainloop_unlock(loop); }
    pa_threaded_mainloop* loop;
};

// Waits on the mainloop (locked) until `done` or `seconds` passed; false on time-out.
template <typename Done>
bool waitUntil(pa_threaded_mainloop* loop, double seconds, Done done) {
    const double deadline = monotonicSeconds() + seconds;
    while (!done()) {
        if (monotonicSeconds() > deadline) {
            return false;
        }
        // The mainloop signals on every state change; a short unlock covers the rest.
        pa_threaded_mainloop_unlock(loop);
        timespec pause{0, 5 * 1000 * 1000};
        nanosleep(&pause, nullptr);
        pa_threaded_mainloop_lock(loop);
    }
    return true;
}

void disconnect(pa_stream*& stream) {
    if (stream == nullptr) {
        return;
    }
    // Queued data must not reach a callback after the stream is gone.
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_write_callback(stream, nullptr, nullptr);
    pa_stream_set_overflow_callback(stream, nullptr, nullptr);
    pa_stream_set_underflow_callback(stream, nullptr, nullptr);
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    stream = nullptr;
}

} // namespace

PulseProbe::PulseProbe() = default;

PulseProbe::~PulseProbe() {
    if (loop_ != nullptr) {
        stopAll();
        {
            Lock lock(loop_);
            if (context_ != nullptr) {
                pa_context_set_state_callback(context_, nullptr, nullptr);
                pa_context_disconnect(context_);
                pa_context_unref(context_);
            }
        }
        pa_threaded_mainloop_stop(loop_);
        pa_threaded_mainloop_free(loop_);
    }
}

bool PulseProbe::connect(std::string& error) {
    loop_ = pa_threaded_mainloop_new();
    if (loop_ == nullptr || pa_threaded_mainloop_start(loop_) < 0) {
        error = "can't start the client library's mainloop";
        return false;
    }
    Lock lock(loop_);
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "timbrelo latency probe");
    pa_context_set_state_callback(context_, onContextState, loop_);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        error = std::string("can't connect to the sound server: ") +
                pa_strerror(pa_context_errno(context_));
        return false;
    }
    const bool ready = waitUntil(loop_, 10, [&] {
        const pa_context_state_t s = pa_context_get_state(context_);
        return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
    });
    if (!ready || pa_context_get_state(context_) != PA_CONTEXT_READY) {
        error = std::string("can't connect to the sound server: ") +
                (ready ? pa_strerror(pa_context_errno(context_)) : "no answer in 10 s");
        return false;
    }
    return true;
}

bool PulseProbe::alive() {
    Lock lock(loop_);
    return pa_context_get_state(context_) == PA_CONTEXT_READY;
}

bool PulseProbe::waitFor(pa_operation* operation, std::string& error) {
    if (operation == nullptr) {
        error = pa_strerror(pa_context_errno(context_));
        return false;
    }
    const bool done = waitUntil(
        loop_, 10, [&] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
    pa_operation_unref(operation);
    if (!done) {
        error = "the sound server did not answer in 10 s";
    }
    return done;
}

namespace {

struct InfoResult {
    bool found = false;
    pa_sample_spec spec{};
    std::string monitor;
};

void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* user) {
    if (eol == 0 && info != nullptr) {
        auto* r = static_cast<InfoResult*>(user);
        r->found = true;
        r->spec = info->sample_spec;
    }
}

void onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* user) {
    if (eol == 0 && info != nullptr) {
        auto* r = static_cast<InfoResult*>(user);
        r->found = true;
        r->spec = info->sample_spec;
        r->monitor = info->monitor_source_name != nullptr ? info->monitor_source_name : "";
    }
}

} // namespace

bool PulseProbe::sourceSpec(const std::string& source, pa_sample_spec& spec, std::string& error) {
    Lock lock(loop_);
    InfoResult result;
    if (!waitFor(
            pa_context_get_source_info_by_name(context_, source.c_str(), onSourceInfo, &result),
            error)) {
        return false;
    }
    if (!result.found) {
        error = "the sound server has no source named " + source;
        return false;
    }
    spec = result.spec;
    return true;
}

bool PulseProbe::sinkSpec(const std::string& sink, pa_sample_spec& spec, std::string& monitor,
                          std::string& error) {
    Lock lock(loop_);
    InfoResult result;
    if (!waitFor(pa_context_get_sink_info_by_name(context_, sink.c_str(), onSinkInfo, &result),
                 error)) {
        return false;
    }
    if (!result.found) {
        error = "the sound server has no sink named " + sink;
        return false;
    }
    spec = result.spec;
    monitor = result.monitor;
    return true;
}

bool PulseProbe::waitReady(pa_stream* stream, std::string& error) {
    const bool settled = waitUntil(loop_, 10, [&] {
        const pa_stream_state_t s = pa_stream_get_state(stream);
        return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s);
    });
    if (!settled) {
        error = "the stream did not start in 10 s";
        return false;
    }
    if (pa_stream_get_state(stream) != PA_STREAM_READY) {
        error = pa_strerror(pa_context_errno(context_));
        return false;
    }
    return true;
}

int PulseProbe::record(const std::string& source, double reserveSeconds, std::string& error) {
    pa_sample_spec native{};
    if (!sourceSpec(source, native, error)) {
        return -1;
    }
    Lock lock(loop_);
    auto r = std::make_unique<Recorder>();
    r->spec = {PA_SAMPLE_FLOAT32NE, native.rate, native.channels};
    r->data.rate = native.rate;
    r->data.samples.reserve(static_cast<size_t>(reserveSeconds * native.rate));
    r->data.timing.reserve(static_cast<size_t>(reserveSeconds * 200));
    r->stream = pa_stream_new(context_, ("record " + source).c_str(), &r->spec, nullptr);
    if (r->stream == nullptr) {
        error =
            "can't make a record stream: " + std::string(pa_strerror(pa_context_errno(context_)));
        return -1;
    }
    pa_stream_set_state_callback(r->stream, onState, loop_);
    pa_stream_set_read_callback(r->stream, onRecord, r.get());
    pa_stream_set_overflow_callback(r->stream, onOverflow, r.get());
    // 10 ms fragments, as a program in a call would ask for.
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(10000, &r->spec));
    attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    r->data.connectTime = monotonicSeconds();
    if (pa_stream_connect_record(r->stream, source.c_str(), &attr, flags) < 0 ||
        !waitReady(r->stream, error)) {
        error = "can't record from " + source + ": " +
                (error.empty() ? pa_strerror(pa_context_errno(context_)) : error);
        disconnect(r->stream);
        return -1;
    }
    recorders_.push_back(std::move(r));
    return static_cast<int>(recorders_.size() - 1);
}

int PulseProbe::play(const std::string& sink, uint32_t seed, double seconds, double latency,
                     std::string& error) {
    pa_sample_spec native{};
    std::string monitor;
    if (!sinkSpec(sink, native, monitor, error)) {
        return -1;
    }
    Lock lock(loop_);
    auto p = std::make_unique<Player>();
    p->spec = {PA_SAMPLE_S16NE, native.rate, native.channels};
    p->voice = std::make_unique<TestVoice>(native.rate, seed);
    p->limit = static_cast<uint64_t>(seconds * native.rate);
    p->stream = pa_stream_new(context_, ("play into " + sink).c_str(), &p->spec, nullptr);
    if (p->stream == nullptr) {
        error =
            "can't make a playback stream: " + std::string(pa_strerror(pa_context_errno(context_)));
        return -1;
    }
    pa_stream_set_state_callback(p->stream, onState, loop_);
    pa_stream_set_write_callback(p->stream, onWrite, p.get());
    pa_stream_set_underflow_callback(p->stream, onUnderflow, p.get());
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength =
        static_cast<uint32_t>(pa_usec_to_bytes(static_cast<pa_usec_t>(latency * 1e6), &p->spec));
    attr.minreq = static_cast<uint32_t>(pa_usec_to_bytes(5000, &p->spec));
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(-1);
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_playback(p->stream, sink.c_str(), &attr, flags, nullptr, nullptr) < 0 ||
        !waitReady(p->stream, error)) {
        error = "can't play into " + sink + ": " +
                (error.empty() ? pa_strerror(pa_context_errno(context_)) : error);
        disconnect(p->stream);
        return -1;
    }
    players_.push_back(std::move(p));
    return static_cast<int>(players_.size() - 1);
}

bool PulseProbe::playerDone(int player) {
    Lock lock(loop_);
    const Player& p = *players_.at(static_cast<size_t>(player));
    return p.limit != 0 && p.written >= p.limit;
}

uint64_t PulseProbe::playerFrames(int player) {
    Lock lock(loop_);
    return players_.at(static_cast<size_t>(player))->written;
}

int PulseProbe::playerUnderflows(int player) {
    Lock lock(loop_);
    return players_.at(static_cast<size_t>(player))->underflows;
}

void PulseProbe::stopPlayer(int player) {
    Lock lock(loop_);
    disconnect(players_.at(static_cast<size_t>(player))->stream);
}

void PulseProbe::stopRecorder(int recorder) {
    Lock lock(loop_);
    disconnect(recorders_.at(static_cast<size_t>(recorder))->stream);
}

void PulseProbe::stopAll() {
    Lock lock(loop_);
    for (auto& r : recorders_) {
        disconnect(r->stream);
    }
    for (auto& p : players_) {
        disconnect(p->stream);
    }
}

const Recording& PulseProbe::recording(int recorder) {
    return recorders_.at(static_cast<size_t>(recorder))->data;
}

uint64_t PulseProbe::recordedFrames(int recorder) {
    Lock lock(loop_);
    return recorders_.at(static_cast<size_t>(recorder))->frames;
}

double PulseProbe::recentLevel(int recorder, double seconds) {
    Lock lock(loop_);
    const Recording& r = recorders_.at(static_cast<size_t>(recorder))->data;
    const size_t n = std::min(r.samples.size(), static_cast<size_t>(seconds * r.rate));
    double sum = 0;
    for (size_t i = r.samples.size() - n; i < r.samples.size(); ++i) {
        sum += std::abs(static_cast<double>(r.samples[i]));
    }
    return n == 0 ? 0 : sum / static_cast<double>(n) / 32768.0;
}

} // namespace timbrelo::bench
