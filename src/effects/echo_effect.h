#pragma once
// The "echo" effect: the scaled dry input plus up to seven delayed, attenuated copies of it
// (taps from the dry input, so the echo never feeds back on itself).
//
// Configured by a line "echo gain-in gain-out delay decay [delay decay ...]", delays in
// milliseconds. The delay line holds the interleaved stream, so delays count interleaved
// samples: with two channels an odd delay takes its copy from the other channel.
//
// parseArgs replaces the delay line and must not run while process does; the chain calls it
// while loading, before any buffer flows. Only the on/off flag crosses threads at run time.

#include "effects/effect.h"

#include <array>
#include <cstdint>
#include <vector>

namespace timbrelo {

class EchoEffect : public Effect {
  public:
    static constexpr size_t kMaxSamples = 2048;
    static constexpr size_t kMaxPairs = 7;
    static constexpr uint32_t kMaxDelaySamples = 2'560'000;

    EchoEffect();

    // Kind -1 switches off, -2 on; every other kind is ignored.
    void setParameter(float value, int32_t kind) override;
    // gain-in (0..1), gain-out (finite, >= 0), then one to seven delay/decay pairs (delay at
    // least one sample and at most kMaxDelaySamples, decay 0..1). A rejected line changes
    // nothing. Control thread, while nothing processes.
    int32_t parseArgs(int32_t argc, const char* const* argv) override;
    // Returns 1 while off or before a line has been accepted. At most kMaxSamples samples
    // (whole frames) per call; outFrames() says how many frames were processed.
    int32_t process(const int16_t* samples, uint32_t frames) override;
    // The longest delay keeps sounding after the voice stops (interleaved samples -> frames).
    uint32_t tailFrames() const override;

    // What the configuration lines have set.
    float gainIn() const { return gainIn_; }
    float gainOut() const { return gainOut_; }
    size_t delayCount() const { return delayCount_; }
    uint32_t delaySamples(size_t pair) const { return delaySamples_[pair]; }
    float decay(size_t pair) const { return decay_[pair]; }
    size_t delayLineLength() const { return delayLine_.size(); }

  private:
    float gainIn_ = 0.0f;
    float gainOut_ = 0.0f;
    std::array<float, kMaxPairs> delayMs_{};
    std::array<float, kMaxPairs> decay_{};
    std::array<uint32_t, kMaxPairs> delaySamples_{};
    size_t delayCount_ = 0;
    uint32_t maxDelay_ = 0;

    // The dry input of the last delayLine_.size() samples. The input is 16-bit, so storing it
    // as such loses nothing and keeps the longest line at 5 MB.
    std::vector<int16_t> delayLine_;
    size_t writePos_ = 0;

    // The pairs of the accepted line, as process applies them.
    struct Tap {
        size_t delay;
        double decay;
    };
    std::array<Tap, kMaxPairs> taps_{};
    size_t tapCount_ = 0;
};

} // namespace timbrelo
