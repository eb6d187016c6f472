#include "audio/capture_engine.h"

#include "platform/debug.h"
#include "platform/messages.h"
#include "platform/posted_messages.h"

#include <algorithm>
#include <string>

namespace timbrelo {
namespace {

void showDeviceError(AudioResult code, const char* what) {
    std::string text = audioResultText(code);
    text.resize(std::min<size_t>(text.size(), 100));
    showMessagePrintf("WAVEIN:%x:%s %s", timbrelo::code(code), text.c_str(), what);
}

} // namespace

CaptureEngine::CaptureEngine(AudioBackend& backend) : CaptureEngine(backend, Options{}) {}

CaptureEngine::CaptureEngine(AudioBackend& backend, Options options)
    : backend_(backend), options_(std::move(options)), chain_(options_.effects) {}

CaptureEngine::~CaptureEngine() {
    stop();
}

bool CaptureEngine::selectDevice(uint32_t deviceIndex) {
    const CaptureState s = state_.load();
    if (s == CaptureState::Running || (s == CaptureState::Stopping && deviceEnded_.load())) {
        stop();
    }
    // A suspended capture keeps its recording: after the server came back its devices are
    // chosen anew before capture carries on.
    deviceIndex_ = deviceIndex;
    if (deviceIndex != kDefaultDevice && deviceIndex >= backend_.inputDeviceCount()) {
        showStringMessage(IDS_ERROR_AUDIO_DEVICE);
        return false;
    }
    state_.store(CaptureState::Ready);
    return true;
}

bool CaptureEngine::prepareSession(const StreamFormat& format) {
    // Every start begins with an empty pitch shifter at 0 semitones (its bypass stays as the
    // voice last set it: a bypassed shifter is at 0 semitones too).
    shifter_.configure(format.channels);
    RecordingTarget* recorder = recorder_.load();
    // A recording held across a lost server carries on as it was.
    if (recorder != nullptr && !recordingHeld_.load()) {
        recorder->resetEncoderState();
    }
    if (state_.load() != CaptureState::Ready) {
        showStringMessage(IDS_PLAYER_STATUS_ERROR);
        return false;
    }
    format_ = format;
    chain_.setFormat(format.channels, format.rate, 16);
    chain_.load();
    chain_.prepare(ProcessSpec{format, kWorkBlockFrames});
    cleaner_.prepare(ProcessSpec{format, kBlockFrames});
    if (recorder != nullptr) {
        recorder->setCaptureFormat(format,
                                   blockCountFor(format) * format.framesToBytes(kBlockFrames));
    }
    lastBurst_ = burstFrames();
    deviceEnded_.store(false);
    return true;
}

bool CaptureEngine::start(const StreamFormat& format) {
    if (state_.load() == CaptureState::Running) {
        return true;
    }
    if (!prepareSession(format)) {
        return false;
    }
    if (AudioResult rc = backend_.openCapture(deviceIndex_, format, kBlockFrames, *this, stream_);
        rc != AudioResult::Ok) {
        stream_.reset();
        showDeviceError(rc, "waveInOpen()");
        return false;
    }
    debugPrintf("***New record format c:%d,fre:%d,bits:%d\n", format.channels, format.rate, 16);
    if (VirtualDevice* device = device_.load()) {
        device->beginVoice(lastBurst_);
    }
    // Running before the stream starts, so the first block is already processed.
    state_.store(CaptureState::Running);
    if (AudioResult rc = stream_->start(); rc != AudioResult::Ok) {
        state_.store(CaptureState::Stopping);
        stream_.reset();
        if (VirtualDevice* device = device_.load()) {
            device->endVoice();
        }
        state_.store(CaptureState::Ready);
        showDeviceError(rc, "waveInStart() failed");
        return false;
    }
    recordingHeld_.store(false);
    return true;
}

bool CaptureEngine::startWithoutDevice(const StreamFormat& format) {
    if (state_.load() == CaptureState::Idle) {
        state_.store(CaptureState::Ready);
    }
    if (state_.load() == CaptureState::Running || !prepareSession(format)) {
        return false;
    }
    if (VirtualDevice* device = device_.load()) {
        device->beginVoice(lastBurst_);
    }
    state_.store(CaptureState::Running);
    return true;
}

void CaptureEngine::stop() {
    const CaptureState s = state_.load();
    if (s == CaptureState::Running || (s == CaptureState::Stopping && deviceEnded_.load())) {
        closeDevice(false);
    } else if (recordingHeld_.exchange(false)) {
        endRecording();
    }
    showPostedMessages();
}

bool CaptureEngine::suspend() {
    const CaptureState s = state_.load();
    if (s != CaptureState::Running && !(s == CaptureState::Stopping && deviceEnded_.load())) {
        return false;
    }
    closeDevice(true);
    recordingHeld_.store(true);
    return true;
}

void CaptureEngine::endRecording() {
    RecordingTarget* recorder = recorder_.load();
    if (recorder == nullptr) {
        return;
    }
    for (uint32_t slot : {kOriginSlot, kEffectSlot}) {
        recorder->stopRecording(slot, RecordKind::Mp3);
        recorder->stopRecording(slot, RecordKind::Wav);
    }
    recorder->unloadEncoder();
}

void CaptureEngine::closeDevice(bool keepRecording) {
    state_.store(CaptureState::Stopping);
    if (stream_) {
        // Returns once no block is being processed, so nothing below races the audio thread.
        // A stream whose server went away may fail to stop: that is no news then.
        if (!deviceEnded_.load()) {
            if (AudioResult rc = stream_->stop(); rc != AudioResult::Ok && !keepRecording) {
                showDeviceError(rc, "waveInReset() failed");
            }
        }
        stream_.reset();
    }
    if (VirtualDevice* device = device_.load()) {
        device->endVoice();
    }
    if (!keepRecording) {
        recordingHeld_.store(false);
        endRecording();
    }
    shifter_.flushAndDrop();
    cleaner_.reset();
    deviceEnded_.store(false);
    state_.store(CaptureState::Ready);
}

void CaptureEngine::setPreview(bool on) {
    if (preview_.load() != nullptr) {
        previewOn_.store(on);
    }
}

void CaptureEngine::setPitchShift(int32_t value, int32_t mode) {
    if (mode == -1) {
        debugWrite("not use SoundTouch.\n");
        shifter_.setBypassed(true);
        shifter_.requestSemitones(0.0f);
    } else if (mode == -2) {
        debugWrite("use SoundTouch.\n");
        shifter_.setBypassed(false);
    } else {
        debugWrite("use SoundTouch.\n");
        shifter_.setBypassed(false);
        shifter_.requestSemitones(static_cast<float>(value));
    }
}

uint32_t CaptureEngine::pipelineLatencyFrames() const {
    const uint32_t cleaning = cleaner_.latencyFrames();
    if (!effectsOn_.load()) {
        return cleaning;
    }
    return cleaning + shifter_.latencyFrames() + chain_.latencyFrames();
}

uint32_t CaptureEngine::burstFrames() const {
    if (!effectsOn_.load()) {
        return kBlockFrames;
    }
    // A stage that gathers blocks of its own lets its output fall behind the capture blocks
    // by up to one of its blocks.
    return kBlockFrames + std::max(shifter_.blockFrames(), chain_.blockFrames());
}

void CaptureEngine::onCaptured(std::span<const int16_t> samples) {
    processBlock(samples);
}

void CaptureEngine::onCaptureEnded(AudioResult why) {
    if (state_.load() != CaptureState::Running) {
        return;
    }
    // The device went away (or a finite source ran out): `stop` tidies up. The user is told,
    // or capture would just fall silent; a sound server that went away (NotRunning) is told
    // once, by whoever watches the server (VoiceChangerSession).
    deviceEnded_.store(true);
    state_.store(CaptureState::Stopping);
    if (why != AudioResult::Ok && why != AudioResult::NotRunning) {
        postDeviceError("WAVEIN", why, "Capture stopped.");
    }
}

void CaptureEngine::processBlock(std::span<const int16_t> samples) {
    if (state_.load(std::memory_order_acquire) != CaptureState::Running || samples.empty()) {
        return;
    }
    // The microphone cleaned first (when asked): every voice, and Effect Off too, hears it.
    std::span<const int16_t> voice = samples;
    if (cleaner_.process(samples.data(),
                         static_cast<uint32_t>(samples.size() / format_.channels)) == 0) {
        voice = {cleaner_.outBuffer(), size_t{cleaner_.outFrames()} * format_.channels};
    }
    if (effectsOn_.load()) {
        processEffects(voice);
    } else {
        deliver(voice, false);
    }
    RecordingTarget* recorder = recorder_.load();
    if (recorder != nullptr && recorder->recordsSlot(kOriginSlot)) {
        recorder->write(samples, RecordSource::Voice);
    }
    // A new voice may come in other bursts: the virtual microphone primes for the largest.
    const uint32_t burst = burstFrames();
    if (burst != lastBurst_) {
        lastBurst_ = burst;
        if (VirtualDevice* device = device_.load()) {
            device->setVoiceBurst(burst);
        }
    }
}

void CaptureEngine::processEffects(std::span<const int16_t> samples) {
    const uint32_t channels = format_.channels;
    const auto frames = static_cast<uint32_t>(samples.size() / channels);
    if (shifter_.bypassed()) {
        // The shifter takes no part: the chain gets the block as captured, in work blocks.
        shifter_.takeOverRequests(); // it forgets what it held for the voice before
        for (uint32_t at = 0; at < frames; at += kWorkBlockFrames) {
            runChain(samples.data() + size_t{at} * channels,
                     std::min(kWorkBlockFrames, frames - at));
        }
        return;
    }
    shifter_.putSamples(samples.data(), frames);
    alignas(16) int16_t work[kWorkBlockFrames * 2];
    const uint32_t maxFrames = (kWorkBlockFrames * 2) / channels;
    for (;;) {
        const uint32_t r = shifter_.receiveSamples(work, std::min(maxFrames, kWorkBlockFrames));
        if (r == 0) {
            break;
        }
        runChain(work, r);
    }
}

void CaptureEngine::runChain(const int16_t* samples, uint32_t frames) {
    const uint32_t channels = format_.channels;
    uint32_t outFrames = frames;
    const int16_t* out = chain_.run(samples, frames, &outFrames);
    if (out == nullptr) {
        out = samples;
        outFrames = frames;
    }
    if (outFrames > 0) {
        deliver(std::span<const int16_t>(out, size_t{outFrames} * channels), true);
    }
}

void CaptureEngine::deliver(std::span<const int16_t> samples, bool toRecording) {
    if (VirtualDevice* device = device_.load()) {
        device->writeVoice(samples);
    }
    if (previewOn_.load()) {
        if (PcmTarget* player = preview_.load()) {
            player->addData(samples);
        }
    }
    if (toRecording) {
        RecordingTarget* recorder = recorder_.load();
        if (recorder != nullptr && recorder->recordsSlot(kEffectSlot)) {
            recorder->write(samples, RecordSource::Voice);
        }
    }
}

} // namespace timbrelo
