#include "platform/wave/pulse_audio_backend.h"

#include "platform/wave/pulse_stream.h"

#include <algorithm>
#include <cstring>
#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/proplist.h>
#include <pulse/sample.h>

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

bool formatSupported(const WaveFormat& format) {
    return format.formatTag == 1 && (format.bitsPerSample == 8 || format.bitsPerSample == 16) &&
           format.channels >= 1 && format.channels <= PA_CHANNELS_MAX &&
           format.samplesPerSec >= 1 && format.samplesPerSec <= PA_RATE_MAX &&
           format.blockAlign == format.channels * (format.bitsPerSample / 8);
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
    : connection_(std::make_shared<PulseConnection>(options)) {}

PulseAudioBackend::~PulseAudioBackend() = default;

MmResult PulseAudioBackend::connect() {
    PulseConnection::Lock lock(*connection_);
    MmResult rc = MMSYSERR_NOERROR;
    connection_->context(rc);
    return rc;
}

MmResult PulseAudioBackend::list(Kind kind, std::vector<DeviceInfo>& devices) {
    devices.clear();
    PulseConnection::Lock lock(*connection_);
    MmResult rc = MMSYSERR_NOERROR;
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
    if (rc != MMSYSERR_NOERROR) {
        devices.clear();
        return rc;
    }
    std::stable_sort(devices.begin(), devices.end(), [](const DeviceInfo& a, const DeviceInfo& b) {
        return a.serverIndex < b.serverIndex;
    });
    return MMSYSERR_NOERROR;
}

MmResult PulseAudioBackend::listInputs(std::vector<DeviceInfo>& devices) {
    return list(Kind::Sources, devices);
}

MmResult PulseAudioBackend::listOutputs(std::vector<DeviceInfo>& devices) {
    return list(Kind::Sinks, devices);
}

std::string PulseAudioBackend::productName(Kind kind, uint32_t index) {
    std::vector<DeviceInfo> devices;
    if (list(kind, devices) != MMSYSERR_NOERROR || index >= devices.size()) {
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

MmResult PulseAudioBackend::openStream(Kind kind, uint32_t index, const WaveFormat& format,
                                       const std::shared_ptr<PulseStreamCore>& core) {
    if (!formatSupported(format)) {
        return WAVERR_BADFORMAT;
    }
    std::string name;
    if (index != kWaveMapper) {
        std::vector<DeviceInfo> devices;
        if (MmResult rc = list(kind, devices); rc != MMSYSERR_NOERROR) {
            return rc;
        }
        if (index >= devices.size()) {
            return MMSYSERR_BADDEVICEID;
        }
        name = devices[index].name;
    }
    PulseConnection::Lock lock(*connection_);
    MmResult rc = MMSYSERR_NOERROR;
    pa_context* context = connection_->context(rc);
    if (context == nullptr) {
        return rc;
    }
    // The wave mapper is the default device as it is now; the stream stays there.
    rc = core->open(context, index == kWaveMapper ? nullptr : name.c_str());
    if (rc == MMSYSERR_NOERROR) {
        core->launch();
    }
    return rc;
}

MmResult PulseAudioBackend::openInput(uint32_t index, const WaveFormat& format,
                                      WaveInCallback& callback,
                                      std::unique_ptr<WaveInDevice>& device) {
    auto core = std::make_shared<PulseStreamCore>(connection_, format, callback);
    if (MmResult rc = openStream(Kind::Sources, index, format, core); rc != MMSYSERR_NOERROR) {
        core->release();
        return rc;
    }
    device = std::make_unique<PulseInputDevice>(std::move(core));
    return MMSYSERR_NOERROR;
}

MmResult PulseAudioBackend::openOutput(uint32_t index, const WaveFormat& format,
                                       WaveOutCallback& callback,
                                       std::unique_ptr<WaveOutDevice>& device) {
    auto core = std::make_shared<PulseStreamCore>(connection_, format, callback);
    if (MmResult rc = openStream(Kind::Sinks, index, format, core); rc != MMSYSERR_NOERROR) {
        core->release();
        return rc;
    }
    device = std::make_unique<PulseOutputDevice>(std::move(core));
    return MMSYSERR_NOERROR;
}

MmResult PulseAudioBackend::getPreferred(Kind kind, uint32_t& index) {
    std::vector<DeviceInfo> devices;
    if (MmResult rc = list(kind, devices); rc != MMSYSERR_NOERROR) {
        return rc;
    }
    std::string name;
    {
        PulseConnection::Lock lock(*connection_);
        MmResult rc = MMSYSERR_NOERROR;
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
        if (rc != MMSYSERR_NOERROR) {
            return rc;
        }
    }
    auto it = std::find_if(devices.begin(), devices.end(),
                           [&](const DeviceInfo& d) { return d.name == name; });
    // A monitor, an internal helper or nothing at all: none of the listed devices.
    if (it == devices.end()) {
        return kPulseNoDefaultDevice;
    }
    index = static_cast<uint32_t>(it - devices.begin());
    return MMSYSERR_NOERROR;
}

MmResult PulseAudioBackend::setPreferred(Kind kind, uint32_t index) {
    std::vector<DeviceInfo> devices;
    if (MmResult rc = list(kind, devices); rc != MMSYSERR_NOERROR) {
        return rc;
    }
    if (index >= devices.size()) {
        return MMSYSERR_BADDEVICEID;
    }
    PulseConnection::Lock lock(*connection_);
    MmResult rc = MMSYSERR_NOERROR;
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
    if (rc == MMSYSERR_NOERROR && !success) {
        rc = connection_->contextError();
    }
    return rc;
}

MmResult PulseAudioBackend::getPreferredInput(uint32_t& index) {
    return getPreferred(Kind::Sources, index);
}

MmResult PulseAudioBackend::setPreferredInput(uint32_t index) {
    return setPreferred(Kind::Sources, index);
}

MmResult PulseAudioBackend::getPreferredOutput(uint32_t& index) {
    return getPreferred(Kind::Sinks, index);
}

MmResult PulseAudioBackend::setPreferredOutput(uint32_t index) {
    return setPreferred(Kind::Sinks, index);
}

std::string PulseAudioBackend::inputErrorText(MmResult code) {
    return pulseErrorText(code);
}

std::string PulseAudioBackend::outputErrorText(MmResult code) {
    return pulseErrorText(code);
}

} // namespace timbrelo
