#pragma once
// The program's side of the virtual device: registers the three events, watches whether any
// program uses the virtual microphone (capture runs only then, or while Preview is ticked),
// and plays what programs send to the virtual speaker, mixing it into a running recording.
//
// Threads: one watcher thread alternates between waiting for the device to be used and
// waiting for it to be free (polling every 200 ms); one render reader runs from set-up to
// shut-down. Start and stop capture can be reached from the watcher and from the owner's
// thread at once; a mutex keeps those two routines from interleaving (never on the audio path).

#include "platform/auto_reset_event.h"
#include "platform/vdev/virtual_device.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace timbrelo {

class CaptureEngine;
class DCAudioPlayer;

// What the link needs of its owner (the main window, or the headless runner).
class LinkOwner {
  public:
    // The state of the Preview check box.
    virtual bool previewTicked() const = 0;
    // Re-issues the preset last chosen (a capture start resets the pitch shifter).
    virtual void reissueCurrentPreset() = 0;
    // Capture started (true): Record and Play become usable. Capture stopped (false): their
    // captions return to "Start Record" and "Play" and they are disabled.
    virtual void setRecordAndPlayEnabled(bool enabled) = 0;
    // Puts the user's former default devices back (shut-down).
    virtual void restorePreferredDevices() = 0;

  protected:
    ~LinkOwner() = default;
};

class VirtualDeviceLink {
  public:
    static constexpr auto kPollPeriod = std::chrono::milliseconds(200);
    static constexpr auto kRenderWait = std::chrono::milliseconds(200);
    static constexpr auto kReaderShutdownWait = std::chrono::milliseconds(5000);

    VirtualDeviceLink(LinkOwner& owner, CaptureEngine& engine, DCAudioPlayer& previewPlayer,
                      DCAudioPlayer& renderPlayer);
    ~VirtualDeviceLink();
    VirtualDeviceLink(const VirtualDeviceLink&) = delete;
    VirtualDeviceLink& operator=(const VirtualDeviceLink&) = delete;

    // Connects to the device and starts the threads. Without a device (it could not be
    // opened) nothing is set up and capture never starts by itself; returns false then.
    bool setUp(VirtualDevice* device);
    // Stops capture, restores the devices, ends the threads (waiting at most 5 s for the
    // render reader). The device stays attached to nothing afterwards.
    void shutDown();

    // The owner's start and stop capture routines.
    void startCapture();
    void stopCapture();
    // The Preview check box changed (after the owner has stored its state).
    void previewChanged(bool ticked);

    bool running() const { return linkRunning_.load(); }
    bool deviceInUse() const { return deviceInUse_.load(); }

  private:
    void watch();
    // Polls the device until its state equals `wanted`; false when the link stops first.
    bool waitForState(uint32_t wanted);
    void readRender();
    void openPreviewStream();
    bool pause(std::chrono::milliseconds duration);

    LinkOwner& owner_;
    CaptureEngine& engine_;
    DCAudioPlayer& previewPlayer_;
    DCAudioPlayer& renderPlayer_;
    VirtualDevice* device_ = nullptr;

    std::shared_ptr<AutoResetEvent> startEvent_;
    std::shared_ptr<AutoResetEvent> stopEvent_;
    std::shared_ptr<AutoResetEvent> renderEvent_;
    uint32_t startEventId_ = 0;
    uint32_t stopEventId_ = 0;
    uint32_t renderEventId_ = 0;

    std::atomic<bool> linkRunning_{false};
    std::atomic<bool> deviceInUse_{false};
    std::mutex captureMutex_;

    std::mutex pauseMutex_;
    std::condition_variable pauseWake_;
    std::thread watcher_;
    std::thread reader_;
    std::mutex readerDoneMutex_;
    std::condition_variable readerDone_;
    bool readerFinished_ = false;
};

} // namespace timbrelo
