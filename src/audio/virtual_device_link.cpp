#include "audio/virtual_device_link.h"

#include "audio/capture_engine.h"
#include "audio/dc_audio_player.h"
#include "platform/debug.h"
#include "platform/realtime.h"

#include <algorithm>
#include <array>

namespace timbrelo {

VirtualDeviceLink::VirtualDeviceLink(LinkOwner& owner, CaptureEngine& engine,
                                     DCAudioPlayer& previewPlayer, DCAudioPlayer& renderPlayer)
    : owner_(owner), engine_(engine), previewPlayer_(previewPlayer), renderPlayer_(renderPlayer) {}

VirtualDeviceLink::~VirtualDeviceLink() {
    if (linkRunning_.load()) {
        shutDown();
    }
}

bool VirtualDeviceLink::setUp(VirtualDevice* device) {
    if (device == nullptr) {
        return false;
    }
    device_ = device;
    engine_.setVirtualDevice(device);
    device_->setListener(this);
    // Running before the threads start, so the watcher can't see a link that is not up yet.
    linkRunning_.store(true);
    readerFinished_ = false;
    watcher_ = std::thread([this] { watch(); });
    reader_ = std::thread([this] { readRender(); });
    return true;
}

void VirtualDeviceLink::shutDown() {
    stopCapture();
    owner_.restorePreferredDevices();
    endThreads();
}

void VirtualDeviceLink::abandon() {
    endThreads();
    deviceInUse_.store(false);
}

void VirtualDeviceLink::endThreads() {
    {
        std::lock_guard lock(wakeMutex_);
        linkRunning_.store(false);
    }
    wake_.notify_all();
    if (device_ != nullptr) {
        device_->interruptRender();
    }
    if (watcher_.joinable()) {
        watcher_.join();
    }
    if (reader_.joinable()) {
        std::unique_lock lock(readerDoneMutex_);
        if (readerDone_.wait_for(lock, kReaderShutdownWait, [this] { return readerFinished_; })) {
            lock.unlock();
            reader_.join();
        } else {
            debugWrite("Render reader did not stop in time.\n");
            reader_.detach();
        }
    }
    if (device_ != nullptr) {
        device_->setListener(nullptr);
    }
    engine_.setVirtualDevice(nullptr);
}

void VirtualDeviceLink::onVirtualDeviceChanged() {
    {
        std::lock_guard lock(wakeMutex_);
        ++changes_;
    }
    wake_.notify_all();
}

bool VirtualDeviceLink::waitForState(bool recording) {
    std::unique_lock lock(wakeMutex_);
    for (;;) {
        if (!linkRunning_.load()) {
            return false;
        }
        if (device_->clientRecording() == recording && !device_->lost()) {
            return true;
        }
        if (!recording && device_->lost()) {
            return true; // nobody can record from a device that is gone
        }
        const uint64_t seen = changes_;
        wake_.wait_for(lock, kPollPeriod, [&] { return changes_ != seen || !linkRunning_.load(); });
    }
}

void VirtualDeviceLink::watch() {
    // One thread plays both watchers in turn, so exactly one watches at any time.
    for (;;) {
        if (!waitForState(true)) {
            return;
        }
        debugWrite("Virtual microphone in use.\n");
        deviceInUse_.store(true);
        if (!owner_.previewTicked()) {
            startCapture();
        }
        if (!waitForState(false)) {
            return;
        }
        if (device_->lost()) {
            // Nobody records from a device that is gone, and capture has nothing to record
            // from either: the owner suspends it (the link waits for its end).
            debugWrite("Virtual device lost: capture is left to the owner.\n");
            continue;
        }
        debugWrite("Virtual microphone free.\n");
        deviceInUse_.store(false);
        if (!owner_.previewTicked()) {
            stopCapture();
        }
    }
}

void VirtualDeviceLink::readRender() {
    // An audio thread: what programs play must reach the speakers without a late wake-up.
    makeThreadRealtime(kCaptureThreadPriority);
    renderPlayer_.setFormat(kPipelineFormat);
    // The render player primes for what arrives at once, not for a whole read block: the
    // device hands over each delivery as it comes.
    uint32_t burst = 0;
    const auto followBurst = [&] {
        const uint32_t now = std::min(device_->renderBurstFrames(), kRenderBlockFrames);
        if (now != 0 && now != burst) {
            burst = now;
            renderPlayer_.setBurstFrames(burst);
        }
    };
    followBurst();
    renderPlayer_.openStream();
    std::array<int16_t, kRenderBlockFrames * 2> block{};
    while (linkRunning_.load()) {
        const uint32_t frames = device_->readRender(block, kRenderWait);
        if (frames == 0) {
            continue;
        }
        followBurst();
        const std::span<const int16_t> audio(block.data(), size_t{frames} * 2);
        renderPlayer_.addData(audio);
        RecordingWriter& recorder = engine_.recorder();
        if (recorder.recording()) {
            recorder.write(audio, RecordSource::Render);
        }
    }
    std::lock_guard lock(readerDoneMutex_);
    readerFinished_ = true;
    readerDone_.notify_all();
}

void VirtualDeviceLink::openPreviewStream() {
    previewPlayer_.setFormat(kPipelineFormat);
    previewPlayer_.openStream();
}

void VirtualDeviceLink::startCapture() {
    std::lock_guard lock(captureMutex_);
    openPreviewStream();
    engine_.start(kPipelineFormat);
    owner_.reissueCurrentPreset();
    previewPlayer_.setBurstFrames(engine_.burstFrames());
    owner_.setRecordAndPlayEnabled(true);
}

void VirtualDeviceLink::stopCapture() {
    std::lock_guard lock(captureMutex_);
    stopCaptureLocked();
}

void VirtualDeviceLink::stopCaptureUnlessWanted() {
    // Under the capture lock: a watcher that saw a program arrive starts capture after this,
    // or has done so before it (then the engine runs and nothing is stopped).
    std::lock_guard lock(captureMutex_);
    if (deviceInUse_.load() || owner_.previewTicked() || engine_.state() == CaptureState::Running) {
        return;
    }
    stopCaptureLocked();
}

void VirtualDeviceLink::stopCaptureLocked() {
    owner_.setRecordAndPlayEnabled(false);
    engine_.stopBackground();
    previewPlayer_.stop();
    engine_.stop();
}

void VirtualDeviceLink::previewChanged(bool ticked) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (ticked) {
        if (deviceInUse_.load()) {
            std::lock_guard lock(captureMutex_);
            openPreviewStream();
        } else {
            startCapture();
        }
        engine_.setPreview(true);
    } else {
        engine_.setPreview(false);
        if (deviceInUse_.load()) {
            std::lock_guard lock(captureMutex_);
            previewPlayer_.stop();
        } else {
            stopCapture();
        }
    }
}

} // namespace timbrelo
