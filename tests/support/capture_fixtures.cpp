#include "support/capture_fixtures.h"

#include <thread>

namespace timbrelo::test {

void CollectingDevice::beginVoice(uint32_t burstFrames) {
    burst_.store(burstFrames);
    ++begins_;
}

void CollectingDevice::writeVoice(std::span<const int16_t> samples) {
    {
        std::lock_guard lock(mutex_);
        samples_.insert(samples_.end(), samples.begin(), samples.end());
        blocks_.push_back(static_cast<uint32_t>(samples.size() / 2));
    }
    cv_.notify_all();
}

uint32_t CollectingDevice::readRender(std::span<int16_t>, std::chrono::milliseconds wait) {
    std::this_thread::sleep_for(std::min(wait, std::chrono::milliseconds(20)));
    return 0;
}

std::vector<int16_t> CollectingDevice::samples() const {
    std::lock_guard lock(mutex_);
    return samples_;
}

std::vector<uint32_t> CollectingDevice::blockFrames() const {
    std::lock_guard lock(mutex_);
    return blocks_;
}

size_t CollectingDevice::frames() const {
    std::lock_guard lock(mutex_);
    return samples_.size() / 2;
}

bool CollectingDevice::waitFor(size_t frames, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return samples_.size() / 2 >= frames; });
}

void CollectingDevice::reserve(size_t frames) {
    std::lock_guard lock(mutex_);
    samples_.reserve(frames * 2);
    blocks_.reserve(frames / 64);
}

uint32_t GatedSource::read(std::span<int16_t> samples) {
    {
        std::unique_lock lock(mutex_);
        // Never hold the stream's thread forever, whatever the test does.
        cv_.wait_for(lock, std::chrono::seconds(10), [&] { return open_; });
    }
    return inner_->read(samples);
}

void GatedSource::open() {
    {
        std::lock_guard lock(mutex_);
        open_ = true;
    }
    cv_.notify_all();
}

void GatedSource::close() {
    std::lock_guard lock(mutex_);
    open_ = false;
}

} // namespace timbrelo::test
