#pragma once
// The "psola" effect: changes the pitch and the formants (timbre) of the voice independently.
// It gathers the first channel of the captured voice into blocks of 882 samples, measures
// each block's pitch and hands the block to a PsolaEngine; every block's result goes to both
// channels of the output.
//
// Parameters (setParameter kinds): -2 switches on and drops any partial block, -1 switches
// off, 1 sets the formant factor and 0 the pitch factor. A pitch factor makes the calling
// thread build a new engine with both factors; the processing thread takes it over before
// its next block through an atomic pointer and hands the replaced one back, to be freed by
// the next control call (or the destructor). The processing thread allocates nothing.
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
    // The output holds this many 16-bit samples; the unprocessed input at least as many.
    static constexpr int32_t kBufferSamples = 20480;
    // The analysis sees the last 662 samples of the previous block before each block.
    static constexpr int32_t kAnalysisLength = 1544;
    static constexpr int32_t kAnalysisHistory = kAnalysisLength - kBlockLength;
    // How far past the delayed end of the input the last grain reaches, in input frames: a
    // mark pair spans at most a period and a quarter of the longest period (294 frames).
    static constexpr int32_t kMaxGrainReach = 368;

    // Allocates the buffers, the pitch analysis and an engine (pitch 2.6, formant 1.4).
    PsolaEffect();
    // Frees every engine, including one waiting to be taken and the replaced ones.
    ~PsolaEffect() override;

    // Control threads; kind 0 (and kind 1 or a configuration while a new engine waits)
    // builds an engine here, so it allocates. Never blocks.
    void setParameter(float value, int32_t kind) override;
    // One argument, the pitch factor, 0.25..4 (it does not reach an engine until a kind-0
    // call). Control thread.
    int32_t parseArgs(int32_t argc, const char* const* argv) override;
    // Processing thread. Returns 1 when switched off; otherwise 0, with every completed block
    // in the output. Allocates nothing and takes no lock.
    int32_t process(const int16_t* samples, uint32_t frames) override;

    // Control thread while nothing processes: takes the channel count (the rate is not
    // used), sizes the input for blocks of up to spec.maxBlockFrames and resets. The output
    // holds 20480 samples, so a call of more than 9358 stereo frames hands some of its blocks
    // out on the next call.
    void prepare(const ProcessSpec& spec) override;
    // Drops the partial block, starts the engine afresh and forgets the analysis history, so
    // what follows comes out as from a new effect with the same factors. Processing thread
    // between blocks, or a control thread while nothing processes; allocates nothing.
    void reset() override;
    // While on: the 882 frames of a block's gathering plus the engine's delay for the
    // current formant factor (3 blocks at 1.0, 3324 frames at 1.3, 3197 at 1.6). A consumer
    // that starts with blockFrames() frames of silence and then plays the output as it comes
    // hears input frame k at frame k + latencyFrames() (give or take about a pitch period,
    // as grains sit on pitch marks). Any thread.
    uint32_t latencyFrames() const override;
    // While on: how far the last grain reaches past the delayed end of the input. Any thread.
    uint32_t tailFrames() const override;
    // 882 while on: the effect answers with nothing until a block is complete. Any thread.
    uint32_t blockFrames() const override;

    // The pitch period in samples for a chosen frequency; 294 (75 Hz) outside 75 .. 500 Hz.
    static int32_t periodFromFrequency(float frequency);

    float pitchFactor() const { return pitchFactor_.load(std::memory_order_relaxed); }
    float formantFactor() const { return formantFactor_.load(std::memory_order_relaxed); }
    // For the processing thread (and tests) only: the engine that processes the next block
    // unless a new one waits.
    const PsolaEngine& engine() const { return *engine_->engine; }
    int32_t pendingSamples() const { return inputFill_; }
    int32_t lastPeriod() const { return period_; }

  private:
    // An engine with the link that queues it for freeing once replaced.
    struct EngineNode {
        std::unique_ptr<PsolaEngine> engine;
        EngineNode* next = nullptr;
    };

    // Control side: builds an engine with the current factors; null (after a debug line)
    // when memory runs out.
    EngineNode* buildEngine() noexcept;
    // Control side: offers a new engine, or rebuilds the waiting one with the current
    // factors (only while one waits).
    void offerEngine();
    void refreshWaitingEngine();
    // Control side: frees the engines the processing thread has replaced.
    void freeRetired() noexcept;
    // Processing side: takes over a waiting engine and queues the replaced one for freeing.
    void adoptWaitingEngine() noexcept;
    // Analyses and resynthesises one block and appends it to the output at frame `outFrames`;
    // false when the analysis gave nothing (the block then adds no output).
    bool processBlock(const int16_t* block, uint32_t outFrames, bool stereo);

    std::atomic<float> pitchFactor_{0.0f};
    // Callers always send a formant factor before a pitch factor; until then it is neutral.
    std::atomic<float> formantFactor_{1.0f};
    std::atomic<bool> dropPending_{false};
    // The delay of the engine most recently built (the one in effect from the next block).
    std::atomic<int32_t> engineDelay_{0};
    std::atomic<float> engineFormant_{1.0f};

    EngineNode* engine_ = nullptr;              // owned by the processing side
    std::atomic<EngineNode*> waiting_{nullptr}; // built, not yet taken
    std::atomic<EngineNode*> retired_{nullptr}; // replaced, to be freed (a linked stack)
    std::vector<int16_t> input_;
    int32_t inputFill_ = 0; // samples
    std::array<int16_t, kBlockLength> converted_{};
    AnalysisSound sound_;
    PitchAnalyzer analyzer_;
    float maxFrequency_ = 0;
    int32_t period_ = 0;
};

} // namespace timbrelo
