#pragma once
// Pitch-synchronous overlap-add resynthesis with separate pitch and formant factors.
//
// Each block places pitch marks on the input (one period apart, on the largest peaks), cuts
// two-period Hann grains around them and lays the grains out again at a spacing of
// P * F / R on a stretched timeline of L = n * F samples per block. Resampling that stretched
// block back to n samples multiplies every frequency by F: the pitch ends up R times the
// input's and the spectral envelope F times higher. For F > 1 a low-pass at 1/F of the
// Nyquist frequency comes before the resampling.
//
// Marks are positions on the input timeline shifted by one block: mark m refers to input
// sample m - n. The engine emits the region of its output timeline that ends n samples
// before its read position, so a new engine returns silence for its first blocks.
//
// All buffers are allocated at construction; processBlock and reset allocate nothing. An
// engine serves one thread at a time.

#include "psola/fft_low_pass.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace timbrelo {

class PsolaEngine {
  public:
    static constexpr int32_t kRingSize = 10000;
    static constexpr int32_t kMaxMarks = 50;
    static constexpr int32_t kMaxBackwardMarks = 26;
    // Factors are kept inside this range: a zero or negative factor would stop the
    // synthesis position, and larger ones would overrun the rings.
    static constexpr float kMinFactor = 0.25f;
    static constexpr float kMaxFactor = 4.0f;
    // With the largest formant factor the stretched block and a grain still fit the rings.
    static constexpr int32_t kMaxBlockLength = 1024;

    // The block length is kept within 2 .. kMaxBlockLength.
    PsolaEngine(int32_t blockLength, float pitchFactor, float formantFactor);
    virtual ~PsolaEngine() = default;
    PsolaEngine(const PsolaEngine&) = delete;
    PsolaEngine& operator=(const PsolaEngine&) = delete;

    // Forgets everything the engine has heard and placed, as if newly built with the same
    // factors. Allocates nothing.
    void reset();

    // Frames by which the engine's output lags its input, from the block structure: a block's
    // grains reach the input read so far (less the new block), and the stretch emitted ends
    // n stretched samples before that and is L long, n + L stretched samples or
    // n + n * n / L input frames behind; the low-pass adds one stretched block (n frames).
    // Grains sit on pitch marks, so a voice's content also moves by up to about a period.
    int32_t delayFrames() const;

    // Takes the next block of n samples (n must be the block length) with the pitch period
    // measured on it, and returns n output samples (valid until the next call); null when n
    // is not the block length.
    const float* processBlock(const int16_t* x, int32_t n, int32_t period);

    // The position in from .. to (inclusive, below limit) whose input sample is largest in
    // magnitude, the later one on ties; nothing when no position is below limit.
    std::optional<int64_t> findPeak(int64_t from, int64_t to, int64_t limit) const;
    // Offers a pitch mark; it is kept when it lies after the previously offered one and the
    // block's list has room.
    void pushMark(int64_t position);

    float pitchFactor() const { return pitchFactor_; }
    float formantFactor() const { return formantFactor_; }
    int32_t blockLength() const { return blockLength_; }
    int32_t stretchedLength() const { return stretchedLength_; }
    bool hasLowPass() const { return lowPass_ != nullptr; }
    int64_t anchorMark() const { return anchorMark_; }
    int32_t markCount() const { return markCount_; }
    // Mark 0 (the anchor of the block) and the marks found in the last block.
    std::span<const int64_t> marks() const {
        return {marks_.data(), static_cast<size_t>(markCount_) + 1};
    }

  private:
    static size_t ringIndex(int64_t position);
    void addGrain(int64_t centre, int64_t mark, int32_t period);
    const float* grainWindow(int32_t period);

    float pitchFactor_;
    float formantFactor_;
    int32_t blockLength_;
    int32_t stretchedLength_;
    // Positions are 64-bit: at 22050 samples a second a 32-bit timeline runs out in hours.
    int64_t lastPushed_ = 0;
    int64_t previousPushed_ = 0;
    int64_t writePosition_ = 0;
    int64_t anchorMark_ = 0;
    int64_t synthesisPosition_ = 0;
    int64_t readPosition_ = 0;
    int32_t grainPeriod_ = 0;
    std::array<int64_t, kMaxMarks> marks_{};
    int32_t markCount_ = 0;
    std::vector<float> inputRing_;
    std::vector<float> outputRing_;
    std::vector<float> outputBlock_;
    std::vector<float> stretchedBlock_;
    // Half of the Hann grain window of the last period used (w(t) = w(-t)).
    std::vector<float> window_;
    int32_t windowPeriod_ = 0;
    std::unique_ptr<SpectralLowPass> lowPass_;
};

} // namespace timbrelo
