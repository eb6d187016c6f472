#include "pulse/pulse_audio_backend.h"

#include <algorithm>
#include <cstring>
#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/proplist.h>

namespace timbrelo {
namespace {

bool isInternal(const pa_proplist* props) {
    const char* value =
        props != nullptr ? pa_proplist_gets(props, kInternalDeviceProperty) : nullptr;
    return value != nullptr && std::strcmp(value, "1") == 0;
}

template <typename Info>
void addDevice(const Info& info, std::vector<PulseAudioBackend::DeviceInfo>& devices) {
    if (isInternal(info.proplist)) {
        return;
    }
    PulseAudioBackend::DeviceInfo device;
    device.serverIndex = info.index;
    device.name = info.name != nullptr ? info.name : "";
    device.description =
        info.description != nullptr && *info.description != '\0' ? info.description : device.name;
    devices.push_back(std::move(device));
}

} // namespace

std::string productNameOf(const std::string& description) {
    if (description.size() <= kMaxProductName) {
        return description;
    }
    size_t n = kMaxProductName;
    while (n > 0 && (static_cast<unsigned char>(description[n]) & 0xC0) == 0x80) {
        --n; // not inside a UTF-8 sequence
    }
    return description.substr(0, n);
}

PulseAudioBackend::PulseAudioBackend() : PulseAudioBackend(Options{}) {}

PulseAudioBackend::PulseAudioBackend(Options options)
    : PulseAudioBackend(std::make_shared<PulseConnection>(options)) {}

PulseAudioBackend::PulseAudioBackend(std::shared_ptr<PulseConnection> connection)
    : connection_(std::move(connection)) {}

PulseAudioBackend::~PulseAudioBackend() = default;

AudioResult PulseAudioBackend::connect() {
    PulseConnection::Lock lock(*connection_);
    AudioResult rc = AudioResult::Ok;
    connection_->context(rc);
    return rc;
}

AudioResult PulseAudioBackend::list(Kind kind, std::vector<DeviceInfo>& devices) {
    devices.clear();
    PulseConnection::Lock lock(*connection_);
    AudioResult rc = AudioResult::Ok;
    pa_context* context = connection_->context(rc);
    if (context == nullptr) {
        return rc;
    }
    pa_operation* op = nullptr;
    if (kind == Kind::Sources) {
        op = pa_context_get_source_info_list(
            context,
            [](pa_context*, const pa_source_info* info, int eol, void* out) {
                // A monitor records what a sink plays: it is not a microphone.
                if (eol == 0 && info->monitor_of_sink == PA_INVALID_INDEX) {
                    addDevice(*info, *static_cast<std::vector<DeviceInfo>*>(out));
                }
            },
            &devices);
    } else {
        op = pa_context_get_sink_info_list(
            context,
            [](pa_context*, const pa_sink_info* info, int eol, void* out) {
                if (eol == 0) {
                    addDevice(*info, *static_cast<std::vector<DeviceInfo>*>(out));
                }
            },
            &devices);
    }
    rc = connection_->await(op);
    if (rc != AudioResult::Ok) {
        devices.clear();
        return rc;
    }
    std::stable_sort(devices.begin(), devices.end(), [](const DeviceInfo& a, const DeviceInfo& b) {
        return a.serverIndex < b.serverIndex;
    });
    return AudioResult::Ok;
}

AudioResult PulseAudioBackend::listInputs(std::vector<DeviceInfo>& devices) {
    return list(Kind::Sources, devices);
}

AudioResult PulseAudioBackend::listOutputs(std::vector<DeviceInfo>& devices) {
    return list(Kind::Sinks, devices);
}

std::string PulseAudioBackend::productName(Kind kind, uint32_t index) {
    std::vector<DeviceInfo> devices;
    if (list(kind, devices) != AudioResult::Ok || index >= devices.size()) {
        return {};
    }
    return productNameOf(devices[index].description);
}

uint32_t PulseAudioBackend::inputDeviceCount() {
    std::vector<DeviceInfo> devices;
    list(Kind::Sources, devices);
    return static_cast<uint32_t>(devices.size());
}

std::string PulseAudioBackend::inputDeviceName(uint32_t index) {
    return productName(Kind::Sources, index);
}

uint32_t PulseAudioBackend::outputDeviceCount() {
    std::vector<DeviceInfo> devices;
    list(Kind::Sinks, devices);
    return static_cast<uint32_t>(devices.size());
}

std::string PulseAudioBackend::outputDeviceName(uint32_t index) {
    return productName(Kind::Sinks, index);
}

AudioResult PulseAudioBackend::deviceName(Kind kind, uint32_t index, std::string& name) {
    name.clear();
    if (index == kDefaultDevice) {
        return connect(); // the default as it is when the stream opens; the stream stays there
    }
    std::vector<DeviceInfo> devices;
    if (AudioResult rc = list(kind, devices); rc != AudioResult::Ok) {
        return rc;
    }
    if (index >= devices.size()) {
        return AudioResult::BadDevice;
    }
    name = devices[index].name;
    return AudioResult::Ok;
}

AudioResult PulseAudioBackend::openCapture(uint32_t index, const StreamFormat& format,
                                           uint32_t blockFrames, CaptureSink& sink,
                                           std::unique_ptr<CaptureStream>& stream) {
    stream.reset();
    if (AudioResult rc = pulse_detail::checkFormat(format); rc != AudioResult::Ok) {
        return rc;
    }
    PulseCaptureStream::Options options = captureSettings_;
    options.spec.format = format;
    options.spec.name = "Voice capture";
    options.blockFrames = blockFrames;
    if (AudioResult rc = deviceName(Kind::Sources, index, options.spec.device);
        rc != AudioResult::Ok) {
        return rc;
    }
    std::unique_ptr<PulseCaptureStream> opened;
    const AudioResult rc = PulseCaptureStream::open(connection_, options, sink, opened);
    stream = std::move(opened);
    return rc;
}

AudioResult PulseAudioBackend::openPlayback(uint32_t index, const StreamFormat& format,
                                            uint32_t periodFrames, PlaybackSource& source,
                                            std::unique_ptr<PlaybackStream>& stream) {
    stream.reset();
    if (AudioResult rc = pulse_detail::checkFormat(format); rc != AudioResult::Ok) {
        return rc;
    }
    PulsePlaybackStream::Options options;
    options.spec.format = format;
    options.spec.name = "Playback";
    options.periodFrames = periodFrames;
    if (AudioResult rc = deviceName(Kind::Sinks, index, options.spec.device);
        rc != AudioResult::Ok) {
        return rc;
    }
    std::unique_ptr<PulsePlaybackStream> opened;
    const AudioResult rc = PulsePlaybackStream::open(connection_, options, source, opened);
    stream = std::move(opened);
    return rc;
}

AudioResult PulseAudioBackend::defaultDevice(Kind kind, uint32_t& index) {
    std::vector<DeviceInfo> devices;
    if (AudioResult rc = list(kind, devices); rc != AudioResult::Ok) {
        return rc;
    }
    std::string name;
    {
        PulseConnection::Lock lock(*connection_);
        AudioResult rc = AudioResult::Ok;
        pa_context* context = connection_->context(rc);
        if (context == nullptr) {
            return rc;
        }
        struct Query {
            Kind kind;
            std::string* name;
        } query{kind, &name};
        rc = connection_->await(pa_context_get_server_info(
            context,
            [](pa_context*, const pa_server_info* info, void* out) {
                auto* q = static_cast<Query*>(out);
                const char* n =
                    q->kind == Kind::Sources ? info->default_source_name : info->default_sink_name;
                *q->name = n != nullptr ? n : "";
            },
            &query));
        if (rc != AudioResult::Ok) {
            return rc;
        }
    }
    auto it = std::find_if(devices.begin(), devices.end(),
                           [&](const DeviceInfo& d) { return d.name == name; });
    // A monitor, an internal helper or nothing at all: none of the listed devices.
    if (it == devices.end()) {
        return AudioResult::NoDefaultDevice;
    }
    index = static_cast<uint32_t>(it - devices.begin());
    return AudioResult::Ok;
}

AudioResult PulseAudioBackend::setDefaultDevice(Kind kind, uint32_t index) {
    std::vector<DeviceInfo> devices;
    if (AudioResult rc = list(kind, devices); rc != AudioResult::Ok) {
        return rc;
    }
    if (index >= devices.size()) {
        return AudioResult::BadDevice;
    }
    PulseConnection::Lock lock(*connection_);
    AudioResult rc = AudioResult::Ok;
    pa_context* context = connection_->context(rc);
    if (context == nullptr) {
        return rc;
    }
    int success = 0;
    auto done = [](pa_context*, int ok, void* out) { *static_cast<int*>(out) = ok; };
    const char* name = devices[index].name.c_str();
    rc = connection_->await(kind == Kind::Sources
                                ? pa_context_set_default_source(context, name, done, &success)
                                : pa_context_set_default_sink(context, name, done, &success));
    if (rc == AudioResult::Ok && !success) {
        rc = connection_->contextError();
    }
    return rc;
}

AudioResult PulseAudioBackend::defaultInput(uint32_t& index) {
    return defaultDevice(Kind::Sources, index);
}

AudioResult PulseAudioBackend::setDefaultInput(uint32_t index) {
    return setDefaultDevice(Kind::Sources, index);
}

AudioResult PulseAudioBackend::defaultOutput(uint32_t& index) {
    return defaultDevice(Kind::Sinks, index);
}

AudioResult PulseAudioBackend::setDefaultOutput(uint32_t index) {
    return setDefaultDevice(Kind::Sinks, index);
}

} // namespace timbrelo
