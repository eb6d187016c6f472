#pragma once
// The input-cleaning stage at the head of the capture path: noise suppression (a low cut and
// a spectral preprocessor, one state per channel) followed by a noise gate, both off by
// default. It cleans the microphone before the pitch shifter and the effect chain see it, so
// that fans, hum and keyboards are neither shifted with the voice nor taken for voice by the
// pitch analysis. While the voice holds the preprocessor open, part of the raw input's low
// band joins its output, so that the voice's lowest harmonics keep their level and phase.
//
// The preprocessor works on frames of frameLength() samples; a FIFO adapts blocks of any
// size to it. The stage answers every block with as many frames as it was given, delayed by
// a constant latencyFrames() = 2 x frameLength() - 1: frameLength() - 1 of FIFO (enough for
// any block size) and one frame of the preprocessor's overlap-add. While noise suppression is
// off and the gate on, a plain one-frame delay stands in for the preprocessor, so the delay
// does not change when either part is switched.
//
// Threads: `prepare` runs on a control thread while nothing processes (it allocates);
// `process` and `reset` on the processing thread (they allocate nothing and take no lock).
// The setters run on control threads; what they set crosses to the processing thread through
// atomics and reaches the preprocessor at the next block, through calls that do not allocate.
//
// The gate follows the cleaned signal's peak level: it opens within half a millisecond once
// the level reaches the threshold, stays open while the level stays within 6 dB below it and
// for 50 ms more, then falls by 60 dB over the release, to silence.
//
// With both parts off `process` returns 1 and touches nothing: the caller passes its block on
// as it is. Switching the stage on starts it from silence (the FIFO primed anew); switching
// noise suppression on or off while the gate runs fades over one frame, at the same delay.

#include "effects/effect.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

struct SpeexPreprocessState_;

namespace timbrelo {

// The user's choices for the stage, as the window, the command line and the settings file
// hold them. The values are kept while a part is off, so a slider keeps its place.
struct InputCleanerSettings {
    bool denoise = false;
    float strengthDb = 30.0f; // how far noise is pushed down, dB
    bool gate = false;
    float gateDb = -45.0f; // the gate's threshold, dBFS (peak level)

    bool operator==(const InputCleanerSettings&) const = default;
};

class InputCleaner : public Effect {
  public:
    // Strength of the noise suppression: the most it attenuates noise, in dB.
    static constexpr float kMinStrengthDb = 6.0f;
    static constexpr float kMaxStrengthDb = 50.0f;
    static constexpr float kDefaultStrengthDb = 30.0f;
    // The gate's threshold on the peak level, dBFS.
    static constexpr float kMinGateDb = -90.0f;
    static constexpr float kMaxGateDb = 0.0f;
    static constexpr float kDefaultGateDb = -45.0f;
    // The gate's release: the time the closing gate takes to fall by 60 dB, ms.
    static constexpr float kMinReleaseMs = 5.0f;
    static constexpr float kMaxReleaseMs = 1000.0f;
    static constexpr float kDefaultReleaseMs = 60.0f;
    // Noise suppression also cuts what lies below the voice (-3 dB here, 12 dB an octave).
    static constexpr double kLowCutHz = 75.0;
    // The preprocessor's frame: 216 samples, 9.8 ms at 22050 Hz, so that the delay stays
    // under 20 ms (see latencyFrames()); its transform length, 432, has small factors only.
    static constexpr uint32_t kFrameLength = 216;
    static constexpr uint32_t kMinFrameLength = 64;
    static constexpr uint32_t kMaxFrameLength = 512;
    // The largest block one `process` call takes; the output buffer holds this many frames.
    static constexpr uint32_t kMaxBlockFrames = 4096;

    // `frameLength` (clamped to kMinFrameLength..kMaxFrameLength) trades the delay against
    // the preprocessor's frequency resolution; the benchmark compares lengths.
    explicit InputCleaner(uint32_t frameLength = kFrameLength);
    ~InputCleaner() override;

    // Control thread, while nothing processes: allocates the preprocessor states and FIFOs for
    // the format (1 or 2 channels, any rate) and resets. Until then `process` returns 1.
    void prepare(const ProcessSpec& spec) override;

    // Control threads. Values outside the ranges above are clamped; a NaN is ignored.
    void setDenoise(bool on);
    void setStrengthDb(float db);
    void setGate(bool on);
    void setGateThresholdDb(float db);
    void setGateReleaseMs(float ms);
    // All four choices at once.
    void apply(const InputCleanerSettings& settings);
    InputCleanerSettings settings() const;

    // The common effect parameters: kind -1 switches both parts off, -2 switches noise
    // suppression on, 0 sets the strength (dB), 1 sets the gate's threshold (dBFS) and
    // switches the gate on, 2 switches the gate off, 3 sets the release (ms).
    void setParameter(float value, int32_t kind) override;

    // Processing thread. Returns 1, touching nothing, while both parts are off, before
    // `prepare` or without samples; otherwise 0 with min(frames, kMaxBlockFrames) cleaned
    // frames in outBuffer(), as many as were taken, latencyFrames() behind the input.
    int32_t process(const int16_t* samples, uint32_t frames) override;
    // Processing thread between blocks, or a control thread while nothing processes: drops
    // the audio held and primes the FIFO with silence. Keeps the noise estimate.
    void reset() override;
    // 2 x frameLength() - 1 while either part is on; 0 while both are off. Any thread.
    uint32_t latencyFrames() const override;

    bool denoiseOn() const { return denoise_.load(std::memory_order_relaxed); }
    bool gateOn() const { return gate_.load(std::memory_order_relaxed); }
    float strengthDb() const { return strengthDb_.load(std::memory_order_relaxed); }
    float gateThresholdDb() const { return gateDb_.load(std::memory_order_relaxed); }
    float gateReleaseMs() const { return releaseMs_.load(std::memory_order_relaxed); }
    uint32_t frameLength() const { return frameLength_; }

  private:
    // Rumble and the mains fundamental lie below the voice, where the preprocessor's coarse
    // low bands leave them: a high-pass at kLowCutHz takes them out ahead of it.
    struct LowCut {
        double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0, z1 = 0, z2 = 0;
        void design(double rate);
        void clear();
        void run(int16_t* x, uint32_t n);
    };

    // The low band of what the preprocessor took off, part of which voice gets back.
    struct RawBand {
        double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0, z1 = 0, z2 = 0;
        void design(double rate);
        void clear();
        double step(double v);
    };

    void updateEnabled();
    void destroyStates();
    void restart();
    void applyChanges();
    // Cleans the frame gathered in frameIn_ and appends it to the output FIFO.
    void processFrame(bool denoise, bool gate);
    bool channelsAlike() const;
    void runGate(int16_t* frame);

    const uint32_t frameLength_;
    std::atomic<bool> denoise_{false};
    std::atomic<bool> gate_{false};
    std::atomic<float> strengthDb_{kDefaultStrengthDb};
    std::atomic<float> gateDb_{kDefaultGateDb};
    std::atomic<float> releaseMs_{kDefaultReleaseMs};

    // Processing thread from here on.
    uint32_t channels_ = 0;
    uint32_t rate_ = 0;
    bool prepared_ = false;
    bool active_ = false; // the last block was cleaned
    // Per channel: the preprocessor has seen the frame before the current one.
    std::array<bool, 2> primed_{};
    bool alike_ = false;      // the last frame's two channels were alike
    bool wasDenoise_ = false; // noise suppression was on for the last frame
    int appliedStrength_ = 0; // dB as the preprocessor holds it (negative)
    // Per channel: the share of the raw input at the end of the last cleaned frame.
    std::array<float, 2> rawShare_{};
    std::vector<SpeexPreprocessState_*> states_;
    std::vector<LowCut> lowCuts_;
    std::vector<RawBand> rawBands_;
    std::vector<int16_t> frameIn_;  // the frame being gathered, interleaved
    uint32_t frameFill_ = 0;        // frames
    std::vector<int16_t> previous_; // the last whole input frame, per channel
    std::vector<int16_t> work_;     // one channel's frame for the preprocessor
    std::vector<int16_t> cleaned_;  // the cleaned frame, interleaved
    std::vector<int16_t> out_;      // the output FIFO, interleaved
    uint32_t outFill_ = 0;          // frames

    // The gate, on the cleaned signal.
    float gateGain_ = 0.0f;
    float envelope_ = 0.0f;   // peak level, full scale = 1
    uint32_t holdLeft_ = 0;   // frames the gate stays open without a new peak; 0 = closing
    float openLevel_ = 0.0f;  // the threshold
    float closeLevel_ = 0.0f; // below it the hold runs down
    float appliedGateDb_ = 1.0f;
    float releaseCoef_ = 0.0f;
    float appliedReleaseMs_ = -1.0f;
    float envelopeCoef_ = 0.0f;
    float attackCoef_ = 0.0f;
    uint32_t holdFrames_ = 0;
};

// The settings file lines "Denoise on 30" and "Gate off -45": the part's switch, then its
// value. A missing or unreadable line gives that part's defaults (off); values are clamped.
inline constexpr const char* kDenoiseSettingKey = "Denoise ";
inline constexpr const char* kGateSettingKey = "Gate ";

// From the user's settings file (control thread; reads the file).
InputCleanerSettings loadInputCleanerSettings();
// Into the user's settings file; false when nothing was stored (no settings file yet, or a
// write error). Control thread; rewrites the file.
bool saveInputCleanerSettings(const InputCleanerSettings& settings);
// The same on a settings file of the caller's choice.
InputCleanerSettings loadInputCleanerSettingsFrom(const std::string& file);
bool saveInputCleanerSettingsTo(const std::string& file, const InputCleanerSettings& settings);

} // namespace timbrelo
