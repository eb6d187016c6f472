#include "platform/vdev/sim_virtual_device.h"

#include "platform/vdev/event_registry.h"

#include <algorithm>
#include <cstring>

namespace timbrelo {
namespace {

uint32_t readId(const void* in, uint32_t inBytes) {
    uint32_t id = 0;
    if (in != nullptr && inBytes >= 4) {
        std::memcpy(&id, in, 4);
    }
    return id;
}

} // namespace

bool SimVirtualDevice::ioControl(uint32_t code, const void* in, uint32_t inBytes, void* out,
                                 uint32_t outBytes, uint32_t* returned) {
    uint32_t answered = 0;
    switch (code) {
    case IOCTL_SET_START_EVENT:
        startEvent_.store(readId(in, inBytes));
        break;
    case IOCTL_SET_STOP_EVENT:
        stopEvent_.store(readId(in, inBytes));
        break;
    case IOCTL_SET_RENDER_EVENT:
        renderEvent_.store(readId(in, inBytes));
        break;
    case IOCTL_BEGIN_RENDER:
        renderBegun_.store(true);
        break;
    case IOCTL_GET_STATE: {
        ++stateRequests_;
        int shortLeft = shortStateAnswers_.load();
        if (shortLeft > 0 && shortStateAnswers_.compare_exchange_strong(shortLeft, shortLeft - 1)) {
            answered = 0;
            break;
        }
        if (out != nullptr && outBytes >= 4) {
            const uint32_t state = clientAttached_.load() ? 1 : 0;
            std::memcpy(out, &state, 4);
            answered = 4;
        }
        break;
    }
    case IOCTL_WRITE_CAPTURE: {
        std::lock_guard lock(mutex_);
        const auto* p = static_cast<const uint8_t*>(in);
        captured_.insert(captured_.end(), p, p + inBytes);
        break;
    }
    case IOCTL_READ_RENDER: {
        std::lock_guard lock(mutex_);
        const size_t n = std::min<size_t>({render_.size(), outBytes, kRenderReadBytes});
        auto* dst = static_cast<uint8_t*>(out);
        for (size_t i = 0; i < n; ++i) {
            dst[i] = render_.front();
            render_.pop_front();
        }
        answered = static_cast<uint32_t>(n);
        break;
    }
    default:
        return false;
    }
    if (returned != nullptr) {
        *returned = answered;
    }
    return true;
}

void SimVirtualDevice::feedRender(const uint8_t* data, size_t bytes) {
    {
        std::lock_guard lock(mutex_);
        render_.insert(render_.end(), data, data + bytes);
    }
    if (auto event = EventRegistry::instance().find(renderEvent_.load())) {
        event->set();
    }
}

std::vector<uint8_t> SimVirtualDevice::captured() const {
    std::lock_guard lock(mutex_);
    return captured_;
}

size_t SimVirtualDevice::capturedBytes() const {
    std::lock_guard lock(mutex_);
    return captured_.size();
}

} // namespace timbrelo
