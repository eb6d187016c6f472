#include "sim/sim_virtual_device.h"

#include <algorithm>

namespace timbrelo {

SimVirtualDevice::SimVirtualDevice(uint64_t keepFrames) : keepFrames_(keepFrames) {}

void SimVirtualDevice::attachClient() {
    setClient(true);
}

void SimVirtualDevice::detachClient() {
    setClient(false);
}

void SimVirtualDevice::setClient(bool attached) {
    if (lost_.load() || client_.exchange(attached) == attached) {
        return;
    }
    tellListener();
}

void SimVirtualDevice::lose() {
    if (lost_.exchange(true)) {
        return;
    }
    client_.store(false);
    {
        std::lock_guard lock(renderMutex_);
        render_.clear();
    }
    renderReady_.notify_all();
    tellListener();
}

void SimVirtualDevice::tellListener() {
    std::lock_guard lock(listenerMutex_);
    if (listener_ != nullptr) {
        listener_->onVirtualDeviceChanged();
    }
}

void SimVirtualDevice::setListener(VirtualDeviceListener* listener) {
    std::lock_guard lock(listenerMutex_);
    listener_ = listener;
}

bool SimVirtualDevice::clientRecording() const {
    return client_.load() && !lost_.load();
}

void SimVirtualDevice::feedRender(std::span<const int16_t> samples) {
    {
        std::lock_guard lock(renderMutex_);
        render_.insert(render_.end(), samples.begin(),
                       samples.begin() +
                           static_cast<ptrdiff_t>(samples.size() - samples.size() % kChannels));
    }
    const auto frames = static_cast<uint32_t>(samples.size() / kChannels);
    if (frames > renderBurst_.load()) {
        renderBurst_.store(frames);
    }
    renderReady_.notify_all();
}

uint32_t SimVirtualDevice::readRender(std::span<int16_t> samples, std::chrono::milliseconds wait) {
    std::unique_lock lock(renderMutex_);
    renderReady_.wait_for(lock, wait,
                          [&] { return !render_.empty() || interrupted_ || lost_.load(); });
    interrupted_ = false;
    if (lost_.load()) {
        return 0;
    }
    const size_t n = std::min(samples.size() / kChannels, render_.size() / kChannels) * kChannels;
    std::copy_n(render_.begin(), n, samples.begin());
    render_.erase(render_.begin(), render_.begin() + static_cast<ptrdiff_t>(n));
    return static_cast<uint32_t>(n / kChannels);
}

void SimVirtualDevice::interruptRender() {
    {
        std::lock_guard lock(renderMutex_);
        interrupted_ = true;
    }
    renderReady_.notify_all();
}

void SimVirtualDevice::beginVoice(uint32_t burstFrames) {
    lastBurst_.store(burstFrames);
    ++voiceBegins_;
}

void SimVirtualDevice::setVoiceBurst(uint32_t burstFrames) {
    lastBurst_.store(burstFrames);
}

void SimVirtualDevice::writeVoice(std::span<const int16_t> samples) {
    if (lost_.load()) {
        return;
    }
    const uint64_t frames = samples.size() / kChannels;
    {
        std::lock_guard lock(voiceMutex_);
        const uint64_t kept = captured_.size() / kChannels;
        const uint64_t keep = std::min(frames, keepFrames_ - std::min(keepFrames_, kept));
        captured_.insert(captured_.end(), samples.begin(),
                         samples.begin() + static_cast<ptrdiff_t>(keep * kChannels));
        capturedFrames_ += frames;
    }
    voiceGrown_.notify_all();
}

void SimVirtualDevice::endVoice() {
    ++voiceEnds_;
}

std::vector<int16_t> SimVirtualDevice::captured() const {
    std::lock_guard lock(voiceMutex_);
    return captured_;
}

uint64_t SimVirtualDevice::capturedFrames() const {
    std::lock_guard lock(voiceMutex_);
    return capturedFrames_;
}

bool SimVirtualDevice::waitForCaptured(uint64_t frames, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(voiceMutex_);
    return voiceGrown_.wait_for(lock, timeout, [&] { return capturedFrames_ >= frames; });
}

} // namespace timbrelo
