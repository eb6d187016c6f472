#pragma once
// A stand-in for the virtual microphone that keeps every block the capture engine delivers,
// and a source a test can hold back.

#include "platform/vdev/virtual_device.h"
#include "sim/pcm_source.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace timbrelo::test {

// Collects every voice block written, in order, with its size in frames.
class CollectingDevice : public VirtualDevice {
  public:
    void beginVoice(uint32_t burstFrames) override;
    void setVoiceBurst(uint32_t burstFrames) override { burst_.store(burstFrames); }
    void writeVoice(std::span<const int16_t> samples) override;
    void endVoice() override { ++ends_; }
    uint32_t readRender(std::span<int16_t>, std::chrono::milliseconds wait) override;
    void interruptRender() override {}
    bool clientRecording() const override { return false; }
    void setListener(VirtualDeviceListener*) override {}
    bool lost() const override { return false; }
    JitterBuffer::Stats voiceStats() const override { return {}; }
    uint32_t voiceDelayFrames() const override { return 0; }

    std::vector<int16_t> samples() const;
    std::vector<uint32_t> blockFrames() const;
    size_t frames() const;
    // Waits until at least `frames` frames have arrived; false on timeout.
    bool waitFor(size_t frames, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    void reserve(size_t frames);
    uint32_t burst() const { return burst_.load(); }
    int begins() const { return begins_.load(); }
    int ends() const { return ends_.load(); }

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::vector<int16_t> samples_;
    std::vector<uint32_t> blocks_;
    std::atomic<uint32_t> burst_{0};
    std::atomic<int> begins_{0};
    std::atomic<int> ends_{0};
};

// A source that delivers nothing until opened (it holds the stream's thread back), so a
// test can set controls after the capture start and before the first block.
class GatedSource : public PcmSource {
  public:
    explicit GatedSource(std::shared_ptr<PcmSource> inner) : inner_(std::move(inner)) {}
    bool begin(const StreamFormat& format) override { return inner_->begin(format); }
    uint32_t read(std::span<int16_t> samples) override;
    void open();
    void close();

  private:
    std::shared_ptr<PcmSource> inner_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
};

} // namespace timbrelo::test
