#pragma once
// The "psola" effect: changes the pitch and the formants (timbre) of the voice independently.
// It gathers the first channel of the captured voice into blocks of 882 samples, measures
// each block's pitch and hands the block to a PsolaEngine; every block's result goes to both
// channels of the output.
//
// Parameters (setParameter kinds): -2 switches on and drops any partial block, -1 switches
// off, 1 sets the formant factor and 0 the pitch factor. A pitch factor makes the effect
// build a new engine with both factors before its next block, on the processing thread;
// the hand-over is lock-free.
//
// The effect's notion of time is fixed at 22050 samples a second, whatever the stream's rate.

#include "effects/effect.h"
#include "psola/pitch_analysis.h"
#include "psola/psola_engine.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace timbrelo {

class PsolaEffect : public Effect {
  public:
    static constexpr int32_t kBlockLength = 882;
    // Both the unprocessed input and the output hold at most this many 16-bit samples.
    static constexpr int32_t kBufferSamples = 20480;
    // The analysis sees the last 662 samples of the previous block before each block.
    static constexpr int32_t kAnalysisLength = 1544;
    static constexpr int32_t kAnalysisHistory = kAnalysisLength - kBlockLength;

    PsolaEffect();

    void setParameter(float value, int32_t kind) override;
    // One argument, the pitch factor (it does not reach an engine until a kind-0 call).
    int32_t parseArgs(int32_t argc, const char* const* argv) override;
    // Returns 1 when switched off; otherwise 0, with every completed block in the output.
    int32_t process(const int16_t* samples, uint32_t frames) override;

    // The pitch period in samples for a chosen frequency; 294 (75 Hz) outside 75 .. 500 Hz.
    static int32_t periodFromFrequency(float frequency);

    float pitchFactor() const { return pitchFactor_.load(std::memory_order_relaxed); }
    float formantFactor() const { return formantFactor_.load(std::memory_order_relaxed); }
    // For the processing thread (and tests) only.
    const PsolaEngine& engine() const { return *engine_; }
    int32_t pendingSamples() const { return inputFill_; }
    int32_t lastPeriod() const { return period_; }

  private:
    void rebuildIfAsked();
    // Analyses and resynthesises one block and appends it to the output at frame `outFrames`;
    // false when the analysis gave nothing (the block then adds no output).
    bool processBlock(const int16_t* block, uint32_t outFrames, bool stereo);

    std::atomic<float> pitchFactor_{0.0f};
    // Callers always send a formant factor before a pitch factor; until then it is neutral.
    std::atomic<float> formantFactor_{1.0f};
    std::atomic<bool> rebuild_{false};
    std::atomic<bool> dropPending_{false};

    std::unique_ptr<PsolaEngine> engine_;
    std::vector<int16_t> input_;
    int32_t inputFill_ = 0; // samples
    std::array<int16_t, kBlockLength> converted_{};
    AnalysisSound sound_;
    float maxFrequency_ = 0;
    int32_t period_ = 0;
};

} // namespace timbrelo
