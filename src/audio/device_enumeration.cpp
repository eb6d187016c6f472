#include "audio/device_enumeration.h"

#include "platform/settings.h"

namespace timbrelo {
namespace {

template <typename NameOf>
int32_t findDevice(uint32_t count, std::string_view text, NameOf nameOf) {
    for (uint32_t i = 0; i < count; ++i) {
        if (nameOf(i).find(text) != std::string::npos) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

} // namespace

uint32_t inputDeviceCount(AudioBackend& backend) {
    return backend.inputDeviceCount();
}

uint32_t outputDeviceCount(AudioBackend& backend) {
    return backend.outputDeviceCount();
}

std::string inputDeviceName(AudioBackend& backend, uint32_t index) {
    return backend.inputDeviceName(index);
}

std::string outputDeviceName(AudioBackend& backend, uint32_t index) {
    return backend.outputDeviceName(index);
}

int32_t findInputDevice(AudioBackend& backend, std::string_view text) {
    return findDevice(backend.inputDeviceCount(), text,
                      [&](uint32_t i) { return backend.inputDeviceName(i); });
}

int32_t findOutputDevice(AudioBackend& backend, std::string_view text) {
    return findDevice(backend.outputDeviceCount(), text,
                      [&](uint32_t i) { return backend.outputDeviceName(i); });
}

int32_t rememberUserDefaults(AudioBackend& backend) {
    std::string needRestore;
    getSetting(kNeedRestoreDevKey, needRestore);
    // "1": an earlier run switched and did not restore; its saved names are the user's.
    if (needRestore == "1") {
        return 0;
    }
    uint32_t play = kDefaultDevice;
    if (backend.defaultOutput(play) != AudioResult::Ok) {
        return -1;
    }
    setSetting(kOldPlayDefaultKey, backend.outputDeviceName(play));
    uint32_t rec = kDefaultDevice;
    if (backend.defaultInput(rec) == AudioResult::Ok) {
        setSetting(kOldRecDefaultKey, backend.inputDeviceName(rec));
    }
    return 0;
}

int32_t makeVirtualDefaults(AudioBackend& backend) {
    if (int32_t index = findOutputDevice(backend, kVirtualDeviceNameTag); index >= 0) {
        if (backend.setDefaultOutput(static_cast<uint32_t>(index)) != AudioResult::Ok) {
            return -1;
        }
    }
    if (int32_t index = findInputDevice(backend, kVirtualDeviceNameTag); index >= 0) {
        if (backend.setDefaultInput(static_cast<uint32_t>(index)) != AudioResult::Ok) {
            return -1;
        }
    }
    setSetting(kNeedRestoreDevKey, "1");
    return 0;
}

int32_t restoreUserDefaults(AudioBackend& backend) {
    // A sound system that can't be asked lists no devices, and nothing would be put back:
    // that is a failure, not a restore of devices that are missing.
    uint32_t current = kDefaultDevice;
    if (const AudioResult rc = backend.defaultOutput(current);
        rc != AudioResult::Ok && rc != AudioResult::NoDefaultDevice) {
        return -1;
    }
    std::string oldPlay;
    getSetting(kOldPlayDefaultKey, oldPlay);
    if (int32_t index = findOutputDevice(backend, oldPlay); index >= 0) {
        if (backend.setDefaultOutput(static_cast<uint32_t>(index)) != AudioResult::Ok) {
            return -1;
        }
    }
    std::string oldRec;
    getSetting(kOldRecDefaultKey, oldRec);
    if (int32_t index = findInputDevice(backend, oldRec); index >= 0) {
        if (backend.setDefaultInput(static_cast<uint32_t>(index)) != AudioResult::Ok) {
            return -1;
        }
    }
    setSetting(kNeedRestoreDevKey, "0");
    return 0;
}

int32_t switchPreferredDevices(AudioBackend& backend, uint32_t on) {
    if (on == 0) {
        return restoreUserDefaults(backend);
    }
    if (rememberUserDefaults(backend) != 0) {
        return -1;
    }
    return makeVirtualDefaults(backend);
}

} // namespace timbrelo
