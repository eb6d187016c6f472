#pragma once
// An in-process sound system for tests and offline work. Its input devices play PCM from a
// source on a thread of their own, in queue order and only while started, either paced like
// a real device or as fast as buffers come back. Any operation can be told to fail with a
// given code, so callers' error paths can be exercised.

#include "platform/wave/audio_backend.h"
#include "platform/wave/pcm_source.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace timbrelo {

enum class Pacing { RealTime, AsFastAsPossible };

enum class SimOp { Open, Prepare, Unprepare, AddBuffer, Start, Reset, Close };

class SimAudioBackend : public AudioBackend {
  public:
    SimAudioBackend();
    ~SimAudioBackend() override;

    // Adds an input device; returns its index. Every open plays the source from its start.
    uint32_t addInputDevice(std::string name, std::shared_ptr<PcmSource> source,
                            Pacing pacing = Pacing::AsFastAsPossible);
    // The device the wave mapper opens (0 by default).
    void setDefaultInput(uint32_t index) { defaultInput_ = index; }

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
    std::string inputErrorText(MmResult code) override;
    std::string outputErrorText(MmResult code) override;

    // Used by the devices.
    bool takeFailure(SimOp op, MmResult& code);
    void noteEnded(uint32_t device);
    void noteClosed() { --openInputs_; }

  private:
    struct InputEntry {
        std::string name;
        std::shared_ptr<PcmSource> source;
        Pacing pacing;
        bool ended = false;
    };

    mutable std::mutex mutex_;
    std::vector<InputEntry> inputs_;
    std::map<SimOp, std::pair<MmResult, int>> failures_;
    std::function<void(uint32_t)> endHandler_;
    uint32_t defaultInput_ = 0;
    std::atomic<int> openInputs_{0};
};

} // namespace timbrelo
