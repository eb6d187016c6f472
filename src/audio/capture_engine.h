#pragma once
// The spine of the program: records the voice from an input device in blocks of 512 frames
// and, for every block, cleans it (when asked), runs the pitch shifter and the effect chain
// and delivers the result to the virtual microphone, the preview player and the recording
// writer. The Origin recording takes the block as captured.
//
// Threads: `selectDevice`, `start`, `stop` and the setters run on a control thread (the
// window's, the headless runner's control thread, or a link watcher), one at a time;
// `processBlock` runs on the capture stream's audio thread (or, for file processing, on the
// caller's thread between `startWithoutDevice` and `stop`) and allocates nothing, formats
// nothing and takes no lock. What they share is atomic.

#include "audio/delivery_targets.h"
#include "audio/pitch_shifter.h"
#include "audio/recording_writer.h"
#include "audio/voice_controls.h"
#include "effects/effect_chain.h"
#include "effects/input_cleaner.h"
#include "platform/audio_io/audio_backend.h"
#include "platform/vdev/virtual_device.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>

namespace timbrelo {

enum class CaptureState : int { Idle = 0, Ready = 1, Running = 2, Stopping = 3 };

class CaptureEngine : public VoiceControls, private CaptureSink {
  public:
    // One capture block: 2048 bytes of the pipeline format, about 23 ms.
    static constexpr uint32_t kBlockFrames = 512;
    // Largest block taken out of the pitch shifter and run through the chain.
    static constexpr uint32_t kWorkBlockFrames = 512;

    struct Options {
        EffectFactory effects = defaultEffectFactory();
    };

    explicit CaptureEngine(AudioBackend& backend);
    CaptureEngine(AudioBackend& backend, Options options);
    virtual ~CaptureEngine();
    CaptureEngine(const CaptureEngine&) = delete;
    CaptureEngine& operator=(const CaptureEngine&) = delete;

    // Stops capture if it runs and stores the input device. False, after "Error audio
    // device.", for a number at or above the device count (kDefaultDevice is always taken).
    bool selectDevice(uint32_t deviceIndex);
    // Opens the device and starts capturing; true when capturing (also when it already was).
    // False after a message: "Player status error." unless a device is selected, or the
    // device's error.
    bool start(const StreamFormat& format = kPipelineFormat);
    // Starts a session without a device: the caller feeds blocks with processBlock on one
    // thread of its own until `stop` (file processing).
    bool startWithoutDevice(const StreamFormat& format = kPipelineFormat);
    // Stops capturing and closes the device; what the pitch shifter holds is dropped, and
    // the recording ends (also one that `suspend` held). Shows the messages the audio thread
    // posted. Does nothing else unless running (or the device ended by itself).
    void stop();
    // The sound server went away: closes the device as `stop` does, quietly, but keeps the
    // recording's files open and its encoder loaded, so that the next `start` (on the server
    // that came back) carries on in the same files. True when a capture was running (or had
    // ended by itself); false, doing nothing, otherwise.
    bool suspend();
    // True from a `suspend` that closed a capture until the next successful `start` or `stop`.
    bool suspended() const { return recordingHeld_.load(); }

    // Processes one captured block (interleaved frames of the started format) and delivers
    // the result. The capture thread, or the file-processing thread.
    void processBlock(std::span<const int16_t> samples);

    void setEffectsOn(bool on) { effectsOn_.store(on); }
    // Only takes effect when a preview player is attached.
    void setPreview(bool on);

    // Voice controls (control threads). setPitchShift: mode -1 bypasses the pitch shifter
    // (pitch 0, no delay), -2 uses it unchanged, any other mode uses it at `value` semitones.
    void setPitchShift(int32_t value, int32_t mode) override;
    void setPsolaParameter(float value, int32_t kind) override {
        chain_.setPsolaParameter(value, kind);
    }
    void setCartoonParameter(float value, int32_t kind) override {
        chain_.setCartoonParameter(value, kind);
    }
    int32_t openBackground(const char* path) { return chain_.openBackground(path); }
    void stopBackground() { chain_.stopBackground(); }
    void setBackgroundLevel(float value) { chain_.setBackgroundLevel(value); }

    // The input cleaning at the head of the capture path (noise suppression and gate, off
    // by default): its controls may be used from any control thread.
    InputCleaner& inputCleaner() { return cleaner_; }

    // Attachments (null detaches). They must outlive the engine or be detached first.
    void setVirtualDevice(VirtualDevice* device) { device_.store(device); }
    void setPreviewPlayer(PcmTarget* player) { preview_.store(player); }
    // The engine records through its own writer; tests may attach another target instead.
    void setRecorder(RecordingTarget* recorder) { recorder_.store(recorder); }

    // The delay the pipeline adds to the current voice, in frames: the input cleaning's when
    // it is on, the pitch shifter's (unless bypassed) and the effects' that are on. Any
    // thread.
    uint32_t pipelineLatencyFrames() const;
    // How far, in frames, the current voice's output may fall behind a steady stream: one
    // capture block, plus the block of the shifter or an effect that gathers blocks of its
    // own. The virtual microphone primes for it. Any thread.
    uint32_t burstFrames() const;

    CaptureState state() const { return state_.load(); }
    bool effectsOn() const { return effectsOn_.load(); }
    bool previewOn() const { return previewOn_.load(); }
    uint32_t deviceIndex() const { return deviceIndex_; }
    const StreamFormat& format() const { return format_; }
    EffectChain& chain() { return chain_; }
    PitchShifter& pitchShifter() { return shifter_; }
    // The engine's own recording writer: startRecording and stopRecording go here.
    RecordingWriter& recorder() { return writer_; }

  private:
    void onCaptured(std::span<const int16_t> samples) override;
    void onCaptureEnded(AudioResult why) override;
    bool prepareSession(const StreamFormat& format);
    void processEffects(std::span<const int16_t> samples);
    void runChain(const int16_t* samples, uint32_t frames);
    void deliver(std::span<const int16_t> samples, bool toRecording);
    // Closes the stream; `keepRecording`: the suspension's quiet close that holds the files.
    void closeDevice(bool keepRecording);
    void endRecording();

    AudioBackend& backend_;
    Options options_;
    EffectChain chain_;
    InputCleaner cleaner_;
    PitchShifter shifter_;
    RecordingWriter writer_;

    std::atomic<CaptureState> state_{CaptureState::Idle};
    std::atomic<bool> deviceEnded_{false};
    std::atomic<bool> recordingHeld_{false};
    uint32_t deviceIndex_ = kDefaultDevice;
    StreamFormat format_ = kPipelineFormat;
    std::unique_ptr<CaptureStream> stream_;
    uint32_t lastBurst_ = 0; // processing thread

    std::atomic<bool> effectsOn_{true};
    std::atomic<bool> previewOn_{false};
    std::atomic<VirtualDevice*> device_{nullptr};
    std::atomic<PcmTarget*> preview_{nullptr};
    std::atomic<RecordingTarget*> recorder_{&writer_};
};

} // namespace timbrelo
