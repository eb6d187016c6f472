#include "audio/virtual_device_link.h"

#include "audio/capture_engine.h"
#include "audio/dc_audio_player.h"
#include "platform/debug.h"
#include "platform/vdev/event_registry.h"

#include <array>
#include <cstring>

namespace timbrelo {

VirtualDeviceLink::VirtualDeviceLink(LinkOwner& owner, CaptureEngine& engine,
                                     DCAudioPlayer& previewPlayer, DCAudioPlayer& renderPlayer)
    : owner_(owner), engine_(engine), previewPlayer_(previewPlayer), renderPlayer_(renderPlayer) {}

VirtualDeviceLink::~VirtualDeviceLink() {
    if (linkRunning_.load()) {
        shutDown();
    }
    EventRegistry& registry = EventRegistry::instance();
    for (uint32_t id : {startEventId_, stopEventId_, renderEventId_}) {
        if (id != 0) {
            registry.remove(id);
        }
    }
}

bool VirtualDeviceLink::setUp(VirtualDevice* device) {
    if (device == nullptr) {
        return false;
    }
    device_ = device;
    engine_.setLinkHandle(device);

    EventRegistry& registry = EventRegistry::instance();
    auto create = [&registry](std::shared_ptr<AutoResetEvent>& event, uint32_t& id) {
        if (!event) {
            event = std::make_shared<AutoResetEvent>();
            id = registry.add(event);
        }
        event->reset();
    };
    create(startEvent_, startEventId_);
    create(stopEvent_, stopEventId_);
    create(renderEvent_, renderEventId_);
    device_->ioControl(IOCTL_SET_START_EVENT, &startEventId_, 4, nullptr, 0, nullptr);
    device_->ioControl(IOCTL_SET_STOP_EVENT, &stopEventId_, 4, nullptr, 0, nullptr);
    device_->ioControl(IOCTL_SET_RENDER_EVENT, &renderEventId_, 4, nullptr, 0, nullptr);

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
    linkRunning_.store(false);
    pauseWake_.notify_all();
    if (renderEvent_) {
        renderEvent_->set();
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
    engine_.setLinkHandle(nullptr);
}

bool VirtualDeviceLink::pause(std::chrono::milliseconds duration) {
    std::unique_lock lock(pauseMutex_);
    pauseWake_.wait_for(lock, duration, [this] { return !linkRunning_.load(); });
    return linkRunning_.load();
}

bool VirtualDeviceLink::waitForState(uint32_t wanted) {
    for (;;) {
        if (!linkRunning_.load()) {
            return false;
        }
        uint32_t state = 0;
        uint32_t returned = 0;
        device_->ioControl(IOCTL_GET_STATE, nullptr, 0, &state, 4, &returned);
        if (returned < 4) {
            continue; // a short answer: ask again at once
        }
        if (state == wanted) {
            return true;
        }
        pause(kPollPeriod);
    }
}

void VirtualDeviceLink::watch() {
    // One thread plays both watchers in turn, so exactly one watches at any time.
    for (;;) {
        debugWrite("Start thread run.\n");
        if (!startEvent_ || !waitForState(1)) {
            return;
        }
        deviceInUse_.store(true);
        if (!owner_.previewTicked()) {
            startCapture();
        }
        debugWrite("Start thread End.\n");

        debugWrite("Stop thread run.\n");
        if (!stopEvent_ || !waitForState(0)) {
            return;
        }
        deviceInUse_.store(false);
        if (!owner_.previewTicked()) {
            stopCapture();
        }
        debugWrite("Stop thread end.\n");
    }
}

void VirtualDeviceLink::readRender() {
    if (renderEvent_) {
        device_->ioControl(IOCTL_BEGIN_RENDER, nullptr, 0, nullptr, 0, nullptr);
        renderPlayer_.setFormat(1, kPipelineRate, kPipelineBits);
        renderPlayer_.openStream();
        std::array<uint8_t, kRenderReadBytes> block{};
        while (linkRunning_.load()) {
            renderEvent_->wait(kRenderWait);
            while (linkRunning_.load()) {
                uint32_t got = 0;
                device_->ioControl(IOCTL_READ_RENDER, nullptr, 0, block.data(),
                                   static_cast<uint32_t>(block.size()), &got);
                if (got == 0) {
                    break;
                }
                renderPlayer_.addData(block.data(), got);
                RecordingWriter& recorder = engine_.recorder();
                if (recorder.recording()) {
                    recorder.write(block.data(), got, kRenderTag);
                }
            }
        }
    }
    std::lock_guard lock(readerDoneMutex_);
    readerFinished_ = true;
    readerDone_.notify_all();
}

void VirtualDeviceLink::openPreviewStream() {
    previewPlayer_.setFormat(1, kPipelineRate, kPipelineBits);
    previewPlayer_.openStream();
}

void VirtualDeviceLink::startCapture() {
    std::lock_guard lock(captureMutex_);
    openPreviewStream();
    engine_.start(1, kPipelineRate, kPipelineBits);
    owner_.reissueCurrentPreset();
    owner_.setRecordAndPlayEnabled(true);
}

void VirtualDeviceLink::stopCapture() {
    std::lock_guard lock(captureMutex_);
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
        engine_.setPreview(1);
    } else {
        engine_.setPreview(0);
        if (deviceInUse_.load()) {
            std::lock_guard lock(captureMutex_);
            previewPlayer_.stop();
        } else {
            stopCapture();
        }
    }
}

} // namespace timbrelo
