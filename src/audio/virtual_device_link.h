#pragma once
// The program's side of the virtual device: watches whether any program records from the
// virtual microphone (capture runs only then, or while Preview is ticked), and plays what
// programs send to the virtual speaker, mixing it into a running recording.
//
// Threads: one watcher thread alternates between waiting for the microphone to be used and
// waiting for it to be free (woken by the device's change notification, and every 200 ms
// in any case); one render reader runs from set-up to shut-down. A device that is lost ends
// nobody's capture here: the owner finds out (VirtualDevice::lost) and decides. Start and stop
// capture can be reached from the watcher and from the owner's thread at once; a mutex keeps those
// two routines from interleaving (never taken on an audio path).

#include "platform/vdev/virtual_device.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace timbrelo {

class CaptureEngine;
class DCAudioPlayer;

// What the link needs of its owner (the main window, or the headless runner). Called on the
// watcher thread or the owner's own thread.
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

class VirtualDeviceLink final : private VirtualDeviceListener {
  public:
    static constexpr auto kPollPeriod = std::chrono::milliseconds(200);
    static constexpr auto kRenderWait = std::chrono::milliseconds(200);
    static constexpr auto kReaderShutdownWait = std::chrono::milliseconds(5000);
    // What the render reader takes at a time: 2048 bytes of the pipeline format.
    static constexpr uint32_t kRenderBlockFrames = 512;

    VirtualDeviceLink(LinkOwner& owner, CaptureEngine& engine, DCAudioPlayer& previewPlayer,
                      DCAudioPlayer& renderPlayer);
    ~VirtualDeviceLink();
    VirtualDeviceLink(const VirtualDeviceLink&) = delete;
    VirtualDeviceLink& operator=(const VirtualDeviceLink&) = delete;

    // Attaches the device to the capture engine and starts the threads. Without a device
    // nothing is set up and capture never starts by itself; returns false then. Owner thread.
    bool setUp(VirtualDevice* device);
    // Stops capture, restores the devices, ends the threads (waiting at most 5 s for the
    // render reader) and detaches the device. Owner thread.
    void shutDown();
    // The device is lost (the sound server went away): ends the threads and detaches the
    // device as `shutDown` does, but leaves capture and the defaults alone and tells the
    // owner nothing; the owner suspends capture itself. Owner thread.
    void abandon();

    // The owner's start and stop capture routines (owner or watcher thread).
    void startCapture();
    void stopCapture();
    // Ends a capture the owner was never told had stopped (one suspended while the server
    // was away) unless a program records from the virtual microphone or Preview is ticked:
    // the owner is told capture stopped and the engine ends what it held. Owner thread.
    void stopCaptureUnlessWanted();
    // The Preview check box changed (after the owner has stored its state). Owner thread.
    void previewChanged(bool ticked);

    bool running() const { return linkRunning_.load(); }
    bool deviceInUse() const { return deviceInUse_.load(); }

  private:
    void onVirtualDeviceChanged() override;
    void watch();
    // Waits until a program records (true) or none does (false); false when the link stops.
    bool waitForState(bool recording);
    void readRender();
    void openPreviewStream();
    void stopCaptureLocked();
    void endThreads();

    LinkOwner& owner_;
    CaptureEngine& engine_;
    DCAudioPlayer& previewPlayer_;
    DCAudioPlayer& renderPlayer_;
    VirtualDevice* device_ = nullptr;

    std::atomic<bool> linkRunning_{false};
    std::atomic<bool> deviceInUse_{false};
    std::mutex captureMutex_;

    std::mutex wakeMutex_;
    std::condition_variable wake_;
    uint64_t changes_ = 0; // guarded by wakeMutex_
    std::thread watcher_;
    std::thread reader_;
    std::mutex readerDoneMutex_;
    std::condition_variable readerDone_;
    bool readerFinished_ = false;
};

} // namespace timbrelo
