#pragma once
// The "cartoon" effect: raises (or lowers) the whole voice, formants included, by a frequency
// factor with a short-frame phase vocoder: 1.0 keeps the pitch, 2.0 raises it an octave.
//
// Each channel has a vocoder of its own: a vocoder measures frequencies from the phase advance
// between frames, so it must see one continuous signal. The factor crosses from the
// controlling thread as an atomic and is read once per buffer.

#include "effects/effect.h"
#include "effects/phase_vocoder.h"

#include <array>
#include <atomic>

namespace timbrelo {

class CartoonEffect : public Effect {
  public:
    static constexpr size_t kMaxSamples = 2048;
    static constexpr float kOutputGain = 0.9f;
    // Factors a configuration line may give (the controls may set any).
    static constexpr float kMinFactor = 0.25f;
    static constexpr float kMaxFactor = 4.0f;

    CartoonEffect();

    // Kind -1 switches off, -2 on; any other kind sets the factor.
    void setParameter(float value, int32_t kind) override;
    // Exactly one argument: the factor, kMinFactor..kMaxFactor. Control thread.
    int32_t parseArgs(int32_t argc, const char* const* argv) override;
    // At most kMaxSamples samples per call: of a longer buffer only the frames that fit are
    // processed, and outFrames() says how many.
    int32_t process(const int16_t* samples, uint32_t frames) override;
    // The vocoder's frame: a sample leaves once the last frame covering it is added.
    uint32_t latencyFrames() const override { return enabled() ? PhaseVocoder::kDelay : 0; }

    float pitchFactor() const { return pitchFactor_.load(std::memory_order_relaxed); }

  private:
    std::atomic<float> pitchFactor_{0.0f};
    std::array<PhaseVocoder, 2> vocoders_; // left (or the only channel), right
};

} // namespace timbrelo
