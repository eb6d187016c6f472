#pragma once
// The spine of the program: records the voice from an input device in fixed-size buffers and,
// for every buffer the device hands back, runs the pitch shifter and the effect chain and
// delivers the result to the virtual device, the preview player and the recording writer.
//
// Threads: start, stop, selectDevice and the setters run on the user-interface thread or a
// link watcher thread; the buffer callback runs on the back end's callback thread and does
// all processing there. What they share is atomic.

#include "audio/delivery_targets.h"
#include "audio/pitch_shifter.h"
#include "audio/recording_writer.h"
#include "audio/voice_controls.h"
#include "effects/effect_chain.h"
#include "platform/vdev/virtual_device.h"
#include "platform/wave/audio_backend.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace timbrelo {

enum class CaptureState : int { Idle = 0, Ready = 1, Running = 2, Stopping = 3 };

class CaptureEngine : public VoiceControls, private WaveInCallback {
  public:
    static constexpr uint32_t kDefaultBufferBytes = 2048;
    // Largest block taken out of the pitch shifter, in bytes.
    static constexpr uint32_t kWorkBlockBytes = 2048;

    struct Options {
        // How long `stop` lets buffers in flight come back before closing the device.
        std::chrono::milliseconds stopGrace{1000};
        EffectFactory effects = defaultEffectFactory();
    };

    explicit CaptureEngine(AudioBackend& backend);
    CaptureEngine(AudioBackend& backend, Options options);
    virtual ~CaptureEngine();
    CaptureEngine(const CaptureEngine&) = delete;
    CaptureEngine& operator=(const CaptureEngine&) = delete;

    // Closes the device if open and stores the device; 1 on success, 0 (with "Error audio
    // device.") for an index at or above the device count. kWaveMapper is always accepted.
    int32_t selectDevice(uint32_t deviceIndex, uint32_t bufferBytes, uint32_t reserved1 = 0,
                         uint32_t reserved2 = 0);
    // Opens the device and starts capturing; 1 when capturing (also when it already was).
    int32_t start(uint32_t stereo, uint32_t rate, uint16_t bits);
    // Stops capturing; does nothing unless running (or the device has closed by itself).
    void stop();

    void setEffectsOn(uint32_t on) { effectsOn_.store(on != 0); }
    // Only takes effect when a preview player is attached.
    void setPreview(uint32_t on);

    // Pitch-shift and effect controls.
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

    // Attachments (null detaches). They must outlive the engine or be detached first.
    void setLinkHandle(VirtualDevice* device) { link_.store(device); }
    void setPreviewPlayer(PcmTarget* player) { preview_.store(player); }
    // The engine records through its own writer; tests may attach another target instead.
    void setRecorder(RecordingTarget* recorder) { recorder_.store(recorder); }

    CaptureState state() const { return state_.load(); }
    bool effectsOn() const { return effectsOn_.load(); }
    bool previewOn() const { return previewOn_.load(); }
    uint32_t deviceIndex() const { return deviceIndex_; }
    uint32_t bufferBytes() const { return bufferBytes_; }
    uint32_t bufferCount() const { return static_cast<uint32_t>(buffers_.size()); }
    const WaveFormat& format() const { return format_; }
    EffectChain& chain() { return chain_; }
    PitchShifter& pitchShifter() { return shifter_; }
    // The engine's own recording writer: startRecording and stopRecording go here.
    RecordingWriter& recorder() { return writer_; }

  private:
    void onWaveIn(WaveInMessage message, WaveHeader* header) override;
    void onBufferDone(WaveHeader& header);
    void processEffects(const uint8_t* data, uint32_t bytes);
    void deliver(const uint8_t* data, uint32_t bytes, bool toRecording);
    void requeue(WaveHeader& header);
    void closeDevice();
    void releaseBuffers();
    void showDeviceError(MmResult code, const char* what);

    AudioBackend& backend_;
    Options options_;
    EffectChain chain_;
    PitchShifter shifter_;
    RecordingWriter writer_;

    std::atomic<int> queuedCount_{0};
    std::atomic<CaptureState> state_{CaptureState::Idle};
    std::atomic<bool> inputFlag_{false};
    std::atomic<bool> deviceClosedItself_{false};
    uint32_t deviceIndex_ = 0;
    WaveFormat format_;
    std::unique_ptr<WaveInDevice> device_;
    uint32_t bufferBytes_ = kDefaultBufferBytes;
    std::vector<std::vector<uint8_t>> buffers_;
    std::vector<WaveHeader> headers_;

    std::atomic<bool> effectsOn_{true};
    std::atomic<bool> previewOn_{false};
    std::atomic<VirtualDevice*> link_{nullptr};
    std::atomic<PcmTarget*> preview_{nullptr};
    std::atomic<RecordingTarget*> recorder_{&writer_};
};

} // namespace timbrelo
