#include "audio/capture_engine.h"

#include "platform/debug.h"
#include "platform/messages.h"

#include <thread>

namespace timbrelo {

CaptureEngine::CaptureEngine(AudioBackend& backend) : CaptureEngine(backend, Options{}) {}

CaptureEngine::CaptureEngine(AudioBackend& backend, Options options)
    : backend_(backend), options_(std::move(options)), chain_(options_.effects) {}

CaptureEngine::~CaptureEngine() {
    closeDevice();
    releaseBuffers();
}

int32_t CaptureEngine::selectDevice(uint32_t deviceIndex, uint32_t bufferBytes, uint32_t,
                                    uint32_t) {
    closeDevice();
    releaseBuffers();
    deviceIndex_ = deviceIndex;
    if (deviceIndex != kWaveMapper && deviceIndex >= backend_.inputDeviceCount()) {
        showStringMessage(IDS_ERROR_AUDIO_DEVICE);
        return 0;
    }
    bufferBytes_ = bufferBytes;
    state_.store(CaptureState::Ready);
    return 1;
}

int32_t CaptureEngine::start(uint32_t stereo, uint32_t rate, uint16_t bits) {
    if (state_.load() == CaptureState::Running) {
        return 1;
    }
    const uint16_t channels = stereo != 0 ? 2 : 1;
    shifter_.configure(channels);
    inputFlag_.store(true);
    RecordingTarget* recorder = recorder_.load();
    if (recorder != nullptr) {
        recorder->resetEncoderState();
    }
    bits = std::min<uint16_t>(bits, 16);
    if (state_.load() != CaptureState::Ready) {
        showStringMessage(IDS_PLAYER_STATUS_ERROR);
        return 0;
    }

    format_ = WaveFormat::pcm(channels, rate, bits);
    chain_.setFormat(channels, rate, bits);
    chain_.load();

    releaseBuffers();
    const uint32_t count = bufferCountFor(channels, bits, rate);
    buffers_.assign(count, std::vector<uint8_t>(bufferBytes_, 0));
    headers_.assign(count, WaveHeader{});
    if (recorder != nullptr) {
        recorder->setCaptureFormat(format_, count, bufferBytes_);
    }

    if (MmResult rc = backend_.openInput(deviceIndex_, format_, *this, device_); rc != 0) {
        showDeviceError(rc, "waveInOpen()");
        device_.reset();
        releaseBuffers();
        return 0;
    }
    debugPrintf("***New record format c:%d,fre:%d,bits:%d\n", channels, rate, bits);

    queuedCount_.store(0);
    deviceClosedItself_.store(false);
    for (uint32_t i = 0; i < count; ++i) {
        WaveHeader& h = headers_[i];
        h = WaveHeader{};
        h.data = buffers_[i].data();
        h.bufferLength = bufferBytes_;
        h.user = i;
        if (MmResult rc = device_->prepareHeader(h); rc != 0) {
            showDeviceError(rc, "AddInputBufferToQueue Failed");
            continue;
        }
        if (MmResult rc = device_->addBuffer(h); rc != 0) {
            showDeviceError(rc, "waveInAddBuffer() failed");
            continue;
        }
        ++queuedCount_;
    }

    // Running before the device starts, so the first buffer back is already processed.
    state_.store(CaptureState::Running);
    if (MmResult rc = device_->start(); rc != 0) {
        showDeviceError(rc, "waveInStart() failed");
        // The device holds the buffers: take them back and close it before releasing them.
        state_.store(CaptureState::Stopping);
        device_->reset();
        device_->close();
        device_.reset();
        queuedCount_.store(0);
        releaseBuffers();
        state_.store(CaptureState::Ready);
        return 0;
    }
    return 1;
}

void CaptureEngine::stop() {
    if (deviceClosedItself_.load() && state_.load() == CaptureState::Stopping) {
        // The device went away by itself: nothing is in flight, just tidy up.
        closeDevice();
        return;
    }
    CaptureState expected = CaptureState::Running;
    if (!state_.compare_exchange_strong(expected, CaptureState::Stopping)) {
        return;
    }
    std::this_thread::sleep_for(options_.stopGrace);
    closeDevice();
    state_.store(CaptureState::Ready);
}

void CaptureEngine::setPreview(uint32_t on) {
    if (preview_.load() != nullptr) {
        previewOn_.store(on != 0);
    }
}

void CaptureEngine::setPitchShift(int32_t value, int32_t mode) {
    if (mode == -1) {
        debugWrite("not use SoundTouch.\n");
        shifter_.requestSemitones(0.0f);
    } else if (mode == -2) {
        debugWrite("use SoundTouch.\n");
    } else {
        debugWrite("use SoundTouch.\n");
        shifter_.requestSemitones(static_cast<float>(value));
    }
}

void CaptureEngine::closeDevice() {
    const CaptureState s = state_.load();
    if (!device_ || (s != CaptureState::Running && s != CaptureState::Stopping)) {
        return;
    }
    state_.store(CaptureState::Stopping);
    const bool alreadyClosed = deviceClosedItself_.exchange(false);
    if (MmResult rc = alreadyClosed ? 0 : device_->reset(); rc != 0) {
        showDeviceError(rc, "waveInReset() failed");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (RecordingTarget* recorder = recorder_.load()) {
        for (uint32_t slot : {kOriginSlot, kEffectSlot}) {
            recorder->stopRecording(slot, "mp3");
            recorder->stopRecording(slot, "wav");
        }
    }
    if (MmResult rc = alreadyClosed ? 0 : device_->close(); rc != 0) {
        showDeviceError(rc, "waveInClose() failed");
    }
    device_.reset();
    if (RecordingTarget* recorder = recorder_.load()) {
        recorder->unloadEncoder();
    }
    shifter_.flushAndDrop();
    queuedCount_.store(0);
    state_.store(CaptureState::Ready);
}

void CaptureEngine::releaseBuffers() {
    // Never while the device may still hold them.
    if (device_) {
        return;
    }
    buffers_.clear();
    headers_.clear();
}

void CaptureEngine::onWaveIn(WaveInMessage message, WaveHeader* header) {
    if (state_.load() == CaptureState::Stopping) {
        return;
    }
    if (message == WaveInMessage::Close) {
        // The device closed without being asked (it went away); `stop` tidies up. The user
        // is told, or capture would just fall silent.
        deviceClosedItself_.store(true);
        state_.store(CaptureState::Stopping);
        queuedCount_.store(0);
        const MmResult reason = device_->closeReason();
        showDeviceError(reason != 0 ? reason : MMSYSERR_NODRIVER, "Capture stopped.");
        inputFlag_.store(false);
        return;
    }
    if (header != nullptr) {
        onBufferDone(*header);
    }
}

void CaptureEngine::onBufferDone(WaveHeader& header) {
    if (MmResult rc = device_->unprepareHeader(header); rc != 0) {
        showDeviceError(rc, "waveInUnprepareHeader() failed");
        return;
    }
    if (state_.load() != CaptureState::Running) {
        if (queuedCount_.load() == 1) {
            closeDevice();
        } else {
            --queuedCount_;
        }
        return;
    }

    const uint8_t* data = header.data;
    const uint32_t n = header.bytesRecorded;
    if (effectsOn_.load()) {
        processEffects(data, n);
    } else if (data != nullptr && n > 0) {
        deliver(data, n, false);
    }

    RecordingTarget* recorder = recorder_.load();
    if (recorder != nullptr && data != nullptr && n > 0 && recorder->recordsSlot(kOriginSlot)) {
        recorder->write(data, n, kVoiceTag);
    }
    requeue(header);
}

void CaptureEngine::processEffects(const uint8_t* data, uint32_t bytes) {
    const uint32_t channels = format_.channels;
    const uint32_t frameBytes = channels * 2;
    shifter_.putSamples(reinterpret_cast<const int16_t*>(data), bytes / frameBytes);

    alignas(16) int16_t work[kWorkBlockBytes]; // 4096 bytes
    const uint32_t maxFrames = (kWorkBlockBytes / channels) / 2;
    for (;;) {
        const uint32_t r = shifter_.receiveSamples(work, maxFrames);
        if (r == 0) {
            break;
        }
        uint32_t frames = r;
        const int16_t* out = chain_.run(work, r, &frames);
        if (out == nullptr) {
            out = work;
            frames = r;
        }
        if (frames > 0) {
            deliver(reinterpret_cast<const uint8_t*>(out), frames * frameBytes, true);
        }
    }
}

void CaptureEngine::deliver(const uint8_t* data, uint32_t bytes, bool toRecording) {
    if (VirtualDevice* link = link_.load()) {
        link->ioControl(IOCTL_WRITE_CAPTURE, data, bytes, nullptr, 0, nullptr);
    }
    if (previewOn_.load()) {
        if (PcmTarget* player = preview_.load()) {
            player->addData(data, bytes);
        }
    }
    if (toRecording) {
        RecordingTarget* recorder = recorder_.load();
        if (recorder != nullptr && recorder->recordsSlot(kEffectSlot)) {
            recorder->write(data, bytes, kVoiceTag);
        }
    }
}

void CaptureEngine::requeue(WaveHeader& header) {
    if (MmResult rc = device_->prepareHeader(header); rc != 0) {
        showDeviceError(rc, "waveInPrepareHeader() failed");
        return;
    }
    if (MmResult rc = device_->addBuffer(header); rc != 0) {
        showDeviceError(rc, "waveInAddBuffer() failed");
    }
}

void CaptureEngine::showDeviceError(MmResult code, const char* what) {
    std::string text =
        inputFlag_.load() ? backend_.inputErrorText(code) : backend_.outputErrorText(code);
    if (text.size() > 100) {
        text.resize(100);
    }
    showMessagePrintf("WAVEIN:%x:%s %s", code, text.c_str(), what);
}

} // namespace timbrelo
