#pragma once
// An in-process sound system for tests and offline work. Its input devices play a PcmSource
// into capture streams; its output devices keep what their playback streams play. Streams
// run on threads of their own, paced like real devices or as fast as their callbacks
// return (see Pacing), and keep the threading contract of audio_backend.h. Any operation
// can be told to fail, and all open streams can be made to lose their devices, so callers'
// error paths can be exercised.
//
// Threads: every method may be called from any thread; each takes a lock held only for a
// look-up or a copy. The back end must outlive its streams.

#include "platform/audio_io/audio_backend.h"
#include "sim/pcm_source.h"
#include "sim/sim_failures.h"
#include "sim/sim_playback_stream.h"
#include "sim/sim_stream_core.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace timbrelo {

class SimAudioBackend final : public AudioBackend {
  public:
    // What an output device keeps of what it plays unless told otherwise: about 12 minutes.
    static constexpr uint64_t kDefaultKeepFrames = uint64_t{16} << 20;

    SimAudioBackend();
    ~SimAudioBackend() override;

    // Adds an input device; returns its number. Every stream opened on it plays `source`
    // from its beginning (one stream at a time: they share the source).
    uint32_t addInputDevice(std::string name, std::shared_ptr<PcmSource> source,
                            Pacing pacing = Pacing::AsFastAsPossible);
    // Adds an output device; returns its number. It keeps the first `keepFrames` frames it
    // plays, over all its streams, and counts all of them.
    uint32_t addOutputDevice(std::string name, Pacing pacing = Pacing::RealTime,
                             uint64_t keepFrames = kDefaultKeepFrames);

    // The default devices as last set, without failure injection (0 at first).
    uint32_t currentDefaultInput() const;
    uint32_t currentDefaultOutput() const;

    // What output device `device` has played so far, silence included (as far as it keeps
    // it), and how many frames; waits until it has played at least `frames`, false on
    // timeout.
    std::vector<int16_t> played(uint32_t device) const;
    uint64_t playedFrames(uint32_t device) const;
    bool waitForPlayed(uint32_t device, uint64_t frames, std::chrono::milliseconds timeout) const;

    // Called on the stream's thread after a device's finite source has run out (after
    // onCaptureEnded(Ok)); must not block.
    void setEndOfInputHandler(std::function<void(uint32_t device)> handler);
    // True once the source of `device` has run out (cleared when a stream opens on it).
    bool inputEnded(uint32_t device) const;

    // Streams open now: made and not yet destroyed (a stream that lost its device counts
    // until it is destroyed).
    int openInputCount() const { return openInputs_.load(); }
    int openOutputCount() const { return openOutputs_.load(); }

    // The next `times` calls of `op` fail with `result` and do nothing else.
    void injectFailure(SimOp op, AudioResult result, int times = 1);
    // Every open stream loses its device now, as when the sound system dies: each reports
    // `reason` on its own thread (onCaptureEnded / onPlaybackEnded) and later starts fail
    // with it. Streams opened afterwards work.
    void loseDevices(AudioResult reason);

    uint32_t inputDeviceCount() override;
    std::string inputDeviceName(uint32_t index) override;
    uint32_t outputDeviceCount() override;
    std::string outputDeviceName(uint32_t index) override;
    AudioResult openCapture(uint32_t index, const StreamFormat& format, uint32_t blockFrames,
                            CaptureSink& sink, std::unique_ptr<CaptureStream>& stream) override;
    AudioResult openPlayback(uint32_t index, const StreamFormat& format, uint32_t periodFrames,
                             PlaybackSource& source,
                             std::unique_ptr<PlaybackStream>& stream) override;
    AudioResult defaultInput(uint32_t& index) override;
    AudioResult setDefaultInput(uint32_t index) override;
    AudioResult defaultOutput(uint32_t& index) override;
    AudioResult setDefaultOutput(uint32_t index) override;
    const char* kind() const override { return "sim"; }

  private:
    struct InputDevice {
        std::string name;
        std::shared_ptr<PcmSource> source;
        Pacing pacing;
        std::atomic<bool> ended{false};
    };
    struct OutputDevice {
        std::string name;
        Pacing pacing;
        PlayedAudio played;
    };
    using EndHandler = std::function<void(uint32_t)>;

    InputDevice* input(uint32_t index) const;
    OutputDevice* output(uint32_t index) const;
    void noteInputEnded(uint32_t device);
    void track(std::weak_ptr<SimStreamCore> core);
    AudioResult getDefault(SimOp op, uint32_t& index, const uint32_t& current, size_t count);
    AudioResult setDefault(SimOp op, uint32_t index, uint32_t& current, size_t count);

    mutable std::mutex mutex_; // guards the lists, the defaults and the handler
    // Devices are never removed; a device's address stays put while streams use it.
    std::vector<std::unique_ptr<InputDevice>> inputs_;
    std::vector<std::unique_ptr<OutputDevice>> outputs_;
    uint32_t defaultInput_ = 0;
    uint32_t defaultOutput_ = 0;
    std::shared_ptr<const EndHandler> endHandler_;
    std::vector<std::weak_ptr<SimStreamCore>> streams_;
    SimFailures failures_;
    std::atomic<int> openInputs_{0};
    std::atomic<int> openOutputs_{0};
};

} // namespace timbrelo
