#include "ui/session_voice_engine.h"

#include "audio/device_enumeration.h"

namespace timbrelo {

SessionVoiceEngine::SessionVoiceEngine(AudioBackend& backend,
                                       VoiceChangerSession::VirtualDeviceMaker maker)
    : backend_(backend), maker_(std::move(maker)), session_(backend, *this) {}

SessionVoiceEngine::~SessionVoiceEngine() {
    session_.shutDown();
}

VoiceEngine::StartResult SessionVoiceEngine::start(LinkOwner& owner, std::string& error) {
    using Failure = VoiceChangerSession::Failure;
    owner_ = &owner;
    // The effects exist from start-up on, so a voice set before the first capture (a slider
    // released, a preset chosen) takes hold in them at once.
    const auto loadEffects = [](CaptureEngine& engine) {
        EffectChain& chain = engine.chain();
        chain.setFormat(kPipelineFormat.channels, kPipelineFormat.rate, 16);
        chain.load();
        engine.inputCleaner().apply(loadInputCleanerSettings());
    };
    switch (session_.start(maker_, error, loadEffects)) {
    case Failure::None:
        return StartResult::Running;
    // Without exactly one virtual microphone there is nothing to change the voice for.
    case Failure::VirtualDeviceDown:
    case Failure::VirtualDeviceCount:
        return StartResult::Quit;
    case Failure::DefaultsNotSwitched:
    case Failure::NoRecordDevice:
    case Failure::NoPlaybackDevice:
        break;
    }
    return StartResult::NotRunning;
}

InputCleanerSettings SessionVoiceEngine::inputCleaning() {
    return session_.engine().inputCleaner().settings();
}

void SessionVoiceEngine::setInputCleaning(const InputCleanerSettings& settings) {
    session_.engine().inputCleaner().apply(settings);
    saveInputCleanerSettings(settings);
}

void SessionVoiceEngine::shutDown() {
    session_.shutDown();
}

void SessionVoiceEngine::setPitchShift(int32_t value, int32_t mode) {
    session_.engine().setPitchShift(value, mode);
}

void SessionVoiceEngine::setCartoonParameter(float value, int32_t kind) {
    session_.engine().setCartoonParameter(value, kind);
}

void SessionVoiceEngine::setPsolaParameter(float value, int32_t kind) {
    session_.engine().setPsolaParameter(value, kind);
}

void SessionVoiceEngine::setEffectsOn(bool on) {
    session_.engine().setEffectsOn(on);
}

bool SessionVoiceEngine::openBackground(const std::string& path) {
    return session_.engine().openBackground(path.c_str()) != 0;
}

void SessionVoiceEngine::stopBackground() {
    session_.engine().stopBackground();
}

void SessionVoiceEngine::setBackgroundLevel(float level) {
    session_.engine().setBackgroundLevel(level);
}

bool SessionVoiceEngine::startRecording(RecordSlot slot, const std::string& path) {
    return session_.engine().recorder().startRecording(slot, path) == 1;
}

void SessionVoiceEngine::stopRecording() {
    RecordingWriter& recorder = session_.engine().recorder();
    for (RecordKind kind : {RecordKind::Wav, RecordKind::Mp3}) {
        for (uint32_t slot : {kOriginSlot, kEffectSlot}) {
            recorder.stopRecording(slot, kind);
        }
    }
}

void SessionVoiceEngine::previewChanged(bool ticked) {
    // Without the link there is no capture device to preview (while the sound server is
    // away, its return applies the box as it is then).
    if (VirtualDeviceLink* link = session_.link(); link != nullptr && link->running()) {
        link->previewChanged(ticked);
    }
}

std::vector<std::string> SessionVoiceEngine::inputDevices() {
    std::vector<std::string> names;
    const uint32_t count = inputDeviceCount(backend_);
    for (uint32_t i = 0; i < count; ++i) {
        names.push_back(inputDeviceName(backend_, i));
    }
    return names;
}

bool SessionVoiceEngine::useMicrophone(const std::string& name) {
    const std::vector<std::string> names = inputDevices();
    for (uint32_t i = 0; i < names.size(); ++i) {
        if (names[i] != name) {
            continue;
        }
        VirtualDeviceLink* link = session_.link();
        if (link == nullptr) {
            return false; // the sound server is away; its return uses the stored choice
        }
        const bool capturing = session_.engine().state() == CaptureState::Running;
        if (capturing) {
            link->stopCapture();
        }
        if (!session_.engine().selectDevice(i)) {
            return false;
        }
        // Capture runs while a program listens or Preview is ticked; the watcher may have
        // seen the listener go meanwhile, so ask again rather than trust `capturing`.
        if (session_.running() && (link->deviceInUse() || owner_->previewTicked())) {
            link->startCapture();
        }
        return true;
    }
    return false;
}

VoiceDelay SessionVoiceEngine::delay() {
    VoiceChangerSession& session = session_;
    const StreamFormat& f = kPipelineFormat;
    VoiceDelay d;
    d.pipelineMs = f.framesToMs(session.engine().pipelineLatencyFrames());
    d.captureBlockMs = f.framesToMs(CaptureEngine::kBlockFrames);
    if (session.engine().state() == CaptureState::Running && session.virtualDevice() != nullptr) {
        d.deliveryMs = f.framesToMs(session.virtualDevice()->voiceDelayFrames());
    }
    return d;
}

} // namespace timbrelo
