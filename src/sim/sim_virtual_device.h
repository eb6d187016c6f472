#pragma once
// An in-process virtual device for tests: a test attaches and detaches a "client" of the
// virtual microphone, feeds what programs would play to the virtual speaker, and reads what
// the program wrote to the virtual microphone.

#include "platform/vdev/virtual_device.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace timbrelo {

class SimVirtualDevice : public VirtualDevice {
  public:
    bool ioControl(uint32_t code, const void* in, uint32_t inBytes, void* out, uint32_t outBytes,
                   uint32_t* returned) override;

    void attachClient() { clientAttached_.store(true); }
    void detachClient() { clientAttached_.store(false); }
    // The next `count` state requests answer with fewer than 4 bytes.
    void answerStateShort(int count) { shortStateAnswers_.store(count); }
    // Render audio as a program would play it to the virtual speaker; signals the render event.
    void feedRender(const uint8_t* data, size_t bytes);

    std::vector<uint8_t> captured() const;
    size_t capturedBytes() const;
    int stateRequests() const { return stateRequests_.load(); }
    bool renderBegun() const { return renderBegun_.load(); }
    uint32_t startEventId() const { return startEvent_.load(); }
    uint32_t stopEventId() const { return stopEvent_.load(); }
    uint32_t renderEventId() const { return renderEvent_.load(); }

  private:
    std::atomic<bool> clientAttached_{false};
    std::atomic<int> shortStateAnswers_{0};
    std::atomic<int> stateRequests_{0};
    std::atomic<bool> renderBegun_{false};
    std::atomic<uint32_t> startEvent_{0};
    std::atomic<uint32_t> stopEvent_{0};
    std::atomic<uint32_t> renderEvent_{0};
    mutable std::mutex mutex_;
    std::vector<uint8_t> captured_;
    std::deque<uint8_t> render_;
};

} // namespace timbrelo
