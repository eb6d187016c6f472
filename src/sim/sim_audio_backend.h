#pragma once
// An in-process sound system for tests and offline work. Its input devices play PCM from a
// source on a thread of their own, in queue order and only while started, either paced like
// a real device or as fast as buffers come back. Its output devices consume written buffers
// on a thread of their own, paced or as fast as possible, and keep what they played. Any
// operation can be told to fail with a given code, and open devices can be made to go away,
// so callers' error paths can be exercised.

#include "platform/wave/audio_backend.h"
#include "platform/wave/pcm_source.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace timbrelo {

enum class Pacing { RealTime, AsFastAsPossible };

// The input operations, then the output operations, then the preferred-device queries.
enum class SimOp {
    Open,
    Prepare,
    Unprepare,
    AddBuffer,
    Start,
    Reset,
    Close,
    OutOpen,
    OutPrepare,
    OutUnprepare,
    OutWrite,
    OutPause,
    OutRestart,
    OutReset,
    OutClose,
    GetPreferredInput,
    GetPreferredOutput,
    SetPreferredInput,
    SetPreferredOutput,
};

class SimDeviceCore;

class SimAudioBackend : public AudioBackend {
  public:
    SimAudioBackend();
    ~SimAudioBackend() override;

    // Adds an input device; returns its index. Every open plays the source from its start.
    uint32_t addInputDevice(std::string name, std::shared_ptr<PcmSource> source,
                            Pacing pacing = Pacing::AsFastAsPossible);
    // The device the wave mapper opens (0 by default); also the preferred input device.
    void setDefaultInput(uint32_t index);
    uint32_t defaultInput() const;

    // Adds an output device; returns its index. It keeps the first `keepBytes` bytes it
    // plays, over all its opens.
    uint32_t addOutputDevice(std::string name, Pacing pacing = Pacing::RealTime,
                             size_t keepBytes = size_t{64} << 20);
    void setDefaultOutput(uint32_t index);
    uint32_t defaultOutput() const;
    // What output device `device` has played so far (as far as it keeps it).
    std::vector<uint8_t> played(uint32_t device) const;
    size_t playedBytes(uint32_t device) const;
    // Waits until the device has played at least `bytes` bytes; false on timeout.
    bool waitForPlayed(uint32_t device, size_t bytes, std::chrono::milliseconds timeout) const;
    // Number of output devices currently open.
    int openOutputCount() const { return openOutputs_.load(); }

    // Every open device goes away now, as when the sound system dies (see the device contract
    // in audio_backend.h): its Close comes on its own thread, with `reason` as close reason.
    void loseDevices(MmResult reason);

    // The next `times` calls of `op` (on any device) fail with `code` without doing anything.
    void injectFailure(SimOp op, MmResult code, int times = 1);

    // Called on the device thread once a device's source has run out (after the last
    // buffer that carries data has been delivered).
    void setEndOfInputHandler(std::function<void(uint32_t device)> handler);
    // True once the source of `device` has run out.
    bool inputEnded(uint32_t device) const;

    // Number of input devices currently open.
    int openInputCount() const { return openInputs_.load(); }

    uint32_t inputDeviceCount() override;
    std::string inputDeviceName(uint32_t index) override;
    MmResult openInput(uint32_t index, const WaveFormat& format, WaveInCallback& callback,
                       std::unique_ptr<WaveInDevice>& device) override;
    uint32_t outputDeviceCount() override;
    std::string outputDeviceName(uint32_t index) override;
    MmResult openOutput(uint32_t index, const WaveFormat& format, WaveOutCallback& callback,
                        std::unique_ptr<WaveOutDevice>& device) override;
    MmResult getPreferredInput(uint32_t& index) override;
    MmResult setPreferredInput(uint32_t index) override;
    MmResult getPreferredOutput(uint32_t& index) override;
    MmResult setPreferredOutput(uint32_t index) override;
    std::string inputErrorText(MmResult code) override;
    std::string outputErrorText(MmResult code) override;

    // Used by the devices.
    bool takeFailure(SimOp op, MmResult& code);
    void noteEnded(uint32_t device);
    void noteClosed() { --openInputs_; }
    void noteOutputClosed() { --openOutputs_; }
    void notePlayed(uint32_t device, const uint8_t* data, size_t bytes);

  private:
    struct InputEntry {
        std::string name;
        std::shared_ptr<PcmSource> source;
        Pacing pacing;
        bool ended = false;
    };

    struct OutputEntry {
        std::string name;
        Pacing pacing;
        size_t keepBytes;
        std::vector<uint8_t> played;
        size_t playedBytes = 0;
    };

    MmResult getPreferred(SimOp op, uint32_t& index, const uint32_t& preferred, size_t count);
    MmResult setPreferred(SimOp op, uint32_t index, uint32_t& preferred, size_t count);
    void track(const std::shared_ptr<SimDeviceCore>& core);

    mutable std::mutex mutex_;
    mutable std::condition_variable playedCv_;
    std::vector<InputEntry> inputs_;
    std::vector<OutputEntry> outputs_;
    std::map<SimOp, std::pair<MmResult, int>> failures_;
    std::function<void(uint32_t)> endHandler_;
    uint32_t defaultInput_ = 0;
    uint32_t defaultOutput_ = 0;
    std::atomic<int> openInputs_{0};
    std::atomic<int> openOutputs_{0};
    std::vector<std::weak_ptr<SimDeviceCore>> devices_;
};

} // namespace timbrelo
