#pragma once
// An in-process virtual device for tests: it keeps every voice frame written, in order; a
// test attaches and detaches a program recording from the virtual microphone, feeds what
// programs would play to the virtual speaker, and can make the device go away.
//
// Threads: the VirtualDevice methods keep the threads of virtual_device.h; the test's
// methods may be called from any thread. The listener is called on the thread of the test
// method that changed the state (attachClient, detachClient, lose); setListener waits for a
// call in progress, so a cleared listener is never called again.

#include "platform/vdev/virtual_device.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace timbrelo {

class SimVirtualDevice final : public VirtualDevice {
  public:
    static constexpr uint64_t kKeepAll = UINT64_MAX;

    // Keeps the first `keepFrames` voice frames written and counts all (a long run that
    // nobody inspects passes 0).
    explicit SimVirtualDevice(uint64_t keepFrames = kKeepAll);

    // A program starts or stops recording from the virtual microphone; the listener is told
    // when that changes clientRecording.
    void attachClient();
    void detachClient();
    // Audio a program plays to the virtual speaker (whole frames), for readRender.
    void feedRender(std::span<const int16_t> samples);
    // The device goes away for good; the listener is told.
    void lose();

    // The voice frames written so far (as far as kept) and how many; waits until at least
    // `frames` have been written, false on timeout.
    std::vector<int16_t> captured() const;
    uint64_t capturedFrames() const;
    bool waitForCaptured(uint64_t frames, std::chrono::milliseconds timeout) const;
    int voiceBegins() const { return voiceBegins_.load(); }
    int voiceEnds() const { return voiceEnds_.load(); }
    // The burst of the last beginVoice or setVoiceBurst.
    uint32_t lastVoiceBurst() const { return lastBurst_.load(); }

    void beginVoice(uint32_t burstFrames) override;
    void setVoiceBurst(uint32_t burstFrames) override;
    // Keeps the frames under a lock held for their copy; nothing once the device is lost.
    void writeVoice(std::span<const int16_t> samples) override;
    void endVoice() override;
    // Returns what was fed, waiting for some up to `wait`. A wake-up by interruptRender that
    // finds no reader waiting makes the next call return at once.
    uint32_t readRender(std::span<int16_t> samples, std::chrono::milliseconds wait) override;
    void interruptRender() override;
    // The largest block fed to feedRender so far.
    uint32_t renderBurstFrames() const override { return renderBurst_.load(); }
    bool clientRecording() const override;
    void setListener(VirtualDeviceListener* listener) override;
    bool lost() const override { return lost_.load(); }
    JitterBuffer::Stats voiceStats() const override { return {}; }
    uint32_t voiceDelayFrames() const override { return 0; }

  private:
    static constexpr uint32_t kChannels = 2; // the pipeline format

    void setClient(bool attached);
    void tellListener();

    const uint64_t keepFrames_;
    std::atomic<bool> client_{false};
    std::atomic<bool> lost_{false};
    std::atomic<int> voiceBegins_{0};
    std::atomic<int> voiceEnds_{0};
    std::atomic<uint32_t> lastBurst_{0};

    mutable std::mutex voiceMutex_;
    mutable std::condition_variable voiceGrown_;
    std::vector<int16_t> captured_;
    uint64_t capturedFrames_ = 0;

    std::mutex renderMutex_;
    std::condition_variable renderReady_;
    std::deque<int16_t> render_;
    std::atomic<uint32_t> renderBurst_{0};
    bool interrupted_ = false;

    std::mutex listenerMutex_; // held while the listener is called
    VirtualDeviceListener* listener_ = nullptr;
};

} // namespace timbrelo
