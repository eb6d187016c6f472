#include "support/capture_fixtures.h"

namespace timbrelo::test {

bool CollectingDevice::ioControl(uint32_t code, const void* in, uint32_t inBytes, void*, uint32_t,
                                 uint32_t* returned) {
    if (returned != nullptr) {
        *returned = 0;
    }
    if (code != IOCTL_WRITE_CAPTURE) {
        return true;
    }
    {
        std::lock_guard lock(mutex_);
        const auto* p = static_cast<const uint8_t*>(in);
        bytes_.insert(bytes_.end(), p, p + inBytes);
        blocks_.push_back(inBytes);
    }
    cv_.notify_all();
    return true;
}

std::vector<uint8_t> CollectingDevice::bytes() const {
    std::lock_guard lock(mutex_);
    return bytes_;
}

std::vector<uint32_t> CollectingDevice::blockSizes() const {
    std::lock_guard lock(mutex_);
    return blocks_;
}

size_t CollectingDevice::size() const {
    std::lock_guard lock(mutex_);
    return bytes_.size();
}

bool CollectingDevice::waitFor(size_t bytes, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return bytes_.size() >= bytes; });
}

void CollectingDevice::reserve(size_t bytes) {
    std::lock_guard lock(mutex_);
    bytes_.reserve(bytes);
    blocks_.reserve(bytes / 64);
}

void CollectingDevice::clear() {
    std::lock_guard lock(mutex_);
    bytes_.clear();
    blocks_.clear();
}

bool GatedSource::begin(const WaveFormat& format) {
    return inner_->begin(format);
}

size_t GatedSource::read(uint8_t* dst, size_t bytes) {
    {
        std::unique_lock lock(mutex_);
        // Never hold the device thread forever, whatever the test does.
        cv_.wait_for(lock, std::chrono::seconds(10), [&] { return open_; });
    }
    return inner_->read(dst, bytes);
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
