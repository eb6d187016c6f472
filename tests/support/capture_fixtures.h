#pragma once
// Stand-ins for the capture engine's delivery targets, and sources a test can hold back.

#include "audio/delivery_targets.h"
#include "platform/vdev/virtual_device.h"
#include "platform/wave/pcm_source.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace timbrelo::test {

// Collects every block written to the capture side, in order.
class CollectingDevice : public VirtualDevice {
  public:
    bool ioControl(uint32_t code, const void* in, uint32_t inBytes, void* out, uint32_t outBytes,
                   uint32_t* returned) override;

    std::vector<uint8_t> bytes() const;
    std::vector<uint32_t> blockSizes() const;
    size_t size() const;
    // Waits until at least `bytes` bytes have arrived; false on timeout.
    bool waitFor(size_t bytes, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    void reserve(size_t bytes);
    void clear();

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::vector<uint8_t> bytes_;
    std::vector<uint32_t> blocks_;
};

// A source that delivers nothing until opened (it blocks the device thread), so a test can
// set controls after the capture start and before the first buffer.
class GatedSource : public PcmSource {
  public:
    explicit GatedSource(std::shared_ptr<PcmSource> inner) : inner_(std::move(inner)) {}
    bool begin(const WaveFormat& format) override;
    size_t read(uint8_t* dst, size_t bytes) override;
    void open();
    void close();

  private:
    std::shared_ptr<PcmSource> inner_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
};

} // namespace timbrelo::test
