#include "app/voice_changer_session.h"

#include "audio/device_enumeration.h"
#include "platform/messages.h"
#include "platform/settings.h"

#include <fstream>

namespace timbrelo {
namespace {

// The setting that names the microphone chosen in the input-device dialog.
constexpr std::string_view kInputDevKey = "Input Dev ";

int countVirtualInputs(AudioBackend& backend) {
    int count = 0;
    for (uint32_t i = 0; i < inputDeviceCount(backend); ++i) {
        if (inputDeviceName(backend, i).find(kVirtualDeviceNameTag) != std::string::npos) {
            ++count;
        }
    }
    return count;
}

// The microphone: the one chosen in the input-device dialog when it is there, else the
// default from before the switch. A chosen name must match whole: a name that is part of
// another device's must not pick that one.
int32_t chooseMicrophone(AudioBackend& backend) {
    std::string chosen;
    getSetting(kInputDevKey, chosen);
    if (!chosen.empty()) {
        for (uint32_t i = 0; i < inputDeviceCount(backend); ++i) {
            if (inputDeviceName(backend, i) == chosen) {
                return static_cast<int32_t>(i);
            }
        }
    }
    std::string former;
    getSetting(kOldRecDefaultKey, former);
    return findInputDevice(backend, former);
}

} // namespace

void ensureSettingsFile() {
    std::string folder;
    if (ensureDataFolder(folder) < 0) {
        showStringMessage(IDS_OPEN_CONFIG_FAILED);
        return;
    }
    const std::string file = folder + kSettingsFileName;
    if (!std::ifstream(file).good()) {
        std::ofstream(file) << "cartoon 1.5\npsola 1.0";
    }
}

VoiceChangerSession::VoiceChangerSession(AudioBackend& backend, LinkOwner& owner)
    : backend_(backend), owner_(owner), engine_(backend), previewPlayer_(backend),
      renderPlayer_(backend), link_(*this, engine_, previewPlayer_, renderPlayer_) {}

VoiceChangerSession::~VoiceChangerSession() {
    shutDown();
}

VoiceChangerSession::Failure VoiceChangerSession::fail(Failure failure, std::string text,
                                                       std::string& error) {
    error = std::move(text);
    if (switched_) {
        restorePreferredDevices();
    }
    device_.reset(); // takes the pair down
    return failure;
}

VoiceChangerSession::Failure
VoiceChangerSession::start(const VirtualDeviceMaker& make, std::string& error,
                           const std::function<void(CaptureEngine&)>& prepare) {
    ensureSettingsFile();
    // Bringing the pair up may move the defaults: the user's are remembered first.
    if (rememberUserDefaults(backend_) != 0) {
        return fail(Failure::DefaultsNotSwitched, "can't read the default devices", error);
    }
    std::string why;
    device_ = make(why);
    if (!device_) {
        return fail(Failure::VirtualDeviceDown, "can't bring up the virtual devices: " + why,
                    error);
    }
    switched_ = true;
    if (makeVirtualDefaults(backend_) != 0) {
        return fail(Failure::DefaultsNotSwitched, "can't make the virtual devices the defaults",
                    error);
    }
    if (countVirtualInputs(backend_) != 1) {
        return fail(Failure::VirtualDeviceCount, loadString(IDS_DEVICE_NOT_INSTALLED), error);
    }
    std::string formerSpeakers;
    getSetting(kOldPlayDefaultKey, formerSpeakers);
    const int32_t output = findOutputDevice(backend_, formerSpeakers);
    const int32_t input = chooseMicrophone(backend_);
    if (input < 0) {
        return fail(Failure::NoRecordDevice, loadString(IDS_NO_RECORD_DEVICE), error);
    }
    if (output < 0) {
        return fail(Failure::NoPlaybackDevice, loadString(IDS_DEVICE_NOT_INSTALLED), error);
    }
    microphone_ = inputDeviceName(backend_, static_cast<uint32_t>(input));
    speakers_ = outputDeviceName(backend_, static_cast<uint32_t>(output));
    previewPlayer_.selectDevice(static_cast<uint32_t>(output));
    renderPlayer_.selectDevice(static_cast<uint32_t>(output));
    engine_.selectDevice(static_cast<uint32_t>(input));
    engine_.setPreviewPlayer(&previewPlayer_);
    if (prepare) {
        prepare(engine_);
    }
    link_.setUp(device_.get());
    return Failure::None;
}

void VoiceChangerSession::restorePreferredDevices() {
    if (!switched_) {
        return;
    }
    defaultsRestored_ = restoreUserDefaults(backend_) == 0;
    switched_ = false;
}

void VoiceChangerSession::shutDown() {
    if (link_.running()) {
        link_.shutDown(); // stops capture and restores the defaults
    }
    restorePreferredDevices();
    engine_.setPreviewPlayer(nullptr);
    device_.reset();
}

} // namespace timbrelo
