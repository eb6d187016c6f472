#include "app/voice_changer_session.h"

#include "audio/device_enumeration.h"
#include "platform/messages.h"
#include "platform/settings.h"

#include <fstream>
#include <utility>

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
    : VoiceChangerSession(backend, owner, Timing{}) {}

VoiceChangerSession::VoiceChangerSession(AudioBackend& backend, LinkOwner& owner, Timing timing)
    : backend_(backend), owner_(owner), timing_(timing), engine_(backend), previewPlayer_(backend),
      renderPlayer_(backend) {}

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
    makeDevice_ = make;
    const Failure failure = bringUp(error, prepare);
    started_ = failure == Failure::None;
    return failure;
}

VoiceChangerSession::Failure
VoiceChangerSession::bringUp(std::string& error,
                             const std::function<void(CaptureEngine&)>& prepare) {
    // Bringing the pair up may move the defaults: the user's are remembered first.
    if (rememberUserDefaults(backend_) != 0) {
        return fail(Failure::DefaultsNotSwitched, "can't read the default devices", error);
    }
    std::string why;
    device_ = makeDevice_ ? makeDevice_(why) : nullptr;
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
    LinkOwner& self = *this; // the base is private: converted here, where it is known
    link_ = std::make_unique<VirtualDeviceLink>(self, engine_, previewPlayer_, renderPlayer_);
    link_->setUp(device_.get());
    return Failure::None;
}

void VoiceChangerSession::restorePreferredDevices() {
    if (!switched_) {
        return;
    }
    defaultsRestored_ = restoreUserDefaults(backend_) == 0;
    // A restore that failed (the server is away) is tried again at the end; until one
    // succeeds the settings keep the mark.
    switched_ = !defaultsRestored_;
}

void VoiceChangerSession::dropConnection() {
    if (device_) {
        const JitterBuffer::Stats stats = device_->voiceStats();
        pastVoice_.underruns += stats.underruns;
        pastVoice_.underrunFrames += stats.underrunFrames;
        pastVoice_.overflowFrames += stats.overflowFrames;
        pastVoice_.droppedFrames += stats.droppedFrames;
        pastVoice_.repeatedFrames += stats.repeatedFrames;
        pastServerUnderruns_ += device_->serverUnderruns();
    }
    link_.reset();
    device_.reset(); // takes down what is left of the pair
}

JitterBuffer::Stats VoiceChangerSession::voiceStats() const {
    JitterBuffer::Stats total = pastVoice_;
    if (device_) {
        const JitterBuffer::Stats stats = device_->voiceStats();
        total.underruns += stats.underruns;
        total.underrunFrames += stats.underrunFrames;
        total.overflowFrames += stats.overflowFrames;
        total.droppedFrames += stats.droppedFrames;
        total.repeatedFrames += stats.repeatedFrames;
    }
    return total;
}

uint64_t VoiceChangerSession::serverUnderruns() const {
    return pastServerUnderruns_ + (device_ ? device_->serverUnderruns() : 0);
}

ServerEvent VoiceChangerSession::poll(std::string& detail) {
    detail.clear();
    if (!started_) {
        return ServerEvent::None;
    }
    if (waiting_) {
        if (Clock::now() < nextTry_) {
            return ServerEvent::None;
        }
        const ServerEvent event = tryToComeBack(detail);
        nextTry_ = Clock::now() + timing_.retryPeriod;
        return event;
    }
    if (device_ && device_->lost()) {
        return handleLoss();
    }
    if (resumeBy_ && link_) {
        if (engine_.state() == CaptureState::Running) {
            resumeBy_.reset(); // a program took it up again
        } else if (Clock::now() >= *resumeBy_) {
            resumeBy_.reset();
            link_->stopCaptureUnlessWanted();
        }
    }
    return ServerEvent::None;
}

ServerEvent VoiceChangerSession::handleLoss() {
    // The link's threads first: from here on only this thread touches capture.
    if (link_) {
        link_->abandon();
    }
    // Capture ends without ending the recording or telling the owner: once a program records
    // from the pair on the server that comes back, it carries on.
    // (The players' streams went with the server; choosing their device again when it is
    // back tidies them up.)
    engine_.suspend();
    resumeBy_.reset();
    // The server may only have taken the pair down: then the user's defaults go back now.
    // A server that is gone can't be asked, and the mark stays for later.
    restorePreferredDevices();
    dropConnection();
    waiting_ = true;
    lastDetail_.clear();
    nextTry_ = Clock::now() + timing_.retryPeriod;
    return ServerEvent::Lost;
}

bool VoiceChangerSession::serverAnswers() {
    uint32_t index = kDefaultDevice;
    const AudioResult rc = backend_.defaultOutput(index);
    return rc == AudioResult::Ok || rc == AudioResult::NoDefaultDevice;
}

std::string VoiceChangerSession::missingDevice() {
    if (chooseMicrophone(backend_) < 0) {
        std::string chosen;
        getSetting(kInputDevKey, chosen);
        if (chosen.empty()) {
            getSetting(kOldRecDefaultKey, chosen);
        }
        return "the microphone \"" + chosen + "\"";
    }
    std::string speakers;
    getSetting(kOldPlayDefaultKey, speakers);
    if (findOutputDevice(backend_, speakers) < 0) {
        return "the speakers \"" + speakers + "\"";
    }
    return {};
}

ServerEvent VoiceChangerSession::tryToComeBack(std::string& detail) {
    if (!serverAnswers()) {
        return ServerEvent::None;
    }
    // A server that has just started may not show every device yet; loading the pair only
    // to take it down again would only disturb it.
    std::string why;
    if (const std::string missing = missingDevice(); !missing.empty()) {
        why = "the sound server answers, but " + missing + " is not there yet: waiting for it";
    } else {
        std::string error;
        const Failure failure = bringUp(error, {});
        if (failure == Failure::None) {
            waiting_ = false;
            lastDetail_.clear();
            const bool held = engine_.suspended();
            if (owner_.previewTicked()) {
                link_->previewChanged(true); // capture runs at once again
            } else if (held) {
                resumeBy_ = Clock::now() + timing_.resumeGrace;
            }
            return ServerEvent::Back;
        }
        if (failure == Failure::VirtualDeviceCount) {
            detail = error;
            return ServerEvent::Failed;
        }
        why = "the sound server answers, but " + error + ": trying again";
    }
    if (why == lastDetail_) {
        return ServerEvent::None;
    }
    lastDetail_ = why;
    detail = why;
    return ServerEvent::Waiting;
}

void VoiceChangerSession::shutDown() {
    if (link_ && link_->running()) {
        link_->shutDown(); // stops capture and restores the defaults
    }
    // While waiting there is no link: a capture suspended with the server ends here.
    if (engine_.suspended()) {
        owner_.setRecordAndPlayEnabled(false);
    }
    engine_.stop();
    restorePreferredDevices();
    engine_.setPreviewPlayer(nullptr);
    dropConnection();
    waiting_ = false;
    started_ = false;
    resumeBy_.reset();
}

} // namespace timbrelo
