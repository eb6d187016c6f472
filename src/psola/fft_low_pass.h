#pragma once
// An anti-alias low-pass for blocks of a fixed length N: a short-time Fourier filter over
// frames of 2N samples (the previous block and the current one) with 50 % overlap. The
// window is applied before and after the transform, and its squared halves sum to 1, so
// with everything passed the output is the input delayed by exactly N samples.

#include "psola/fft_table.h"

#include <cstdint>
#include <vector>

namespace timbrelo {

// Fills m values of the analysis/synthesis window: it rises from 0 to 1/sqrt(2) at m/4 and
// to 1 at m/2, falls back symmetrically, and w[i]^2 + w[i + m/2]^2 = 1.
void makeOverlapWindow(float* window, int32_t m);

class SpectralLowPass {
  public:
    // A block length below 1 gives a filter that leaves blocks untouched.
    explicit SpectralLowPass(int32_t blockLength);
    virtual ~SpectralLowPass() = default;
    SpectralLowPass(const SpectralLowPass&) = delete;
    SpectralLowPass& operator=(const SpectralLowPass&) = delete;

    int32_t blockLength() const { return n_; }

    // Filters N floats in place, keeping the content below `cutoff` times the Nyquist
    // frequency; the result is the filtered input of the previous call (the first call
    // yields zeros). Allocates nothing.
    void filterBlock(float* block, float cutoff);
    // Forgets the previous input, as if newly built. Allocates nothing.
    void reset();

  private:
    int32_t n_;
    FftTableF table_;
    std::vector<float> work_;
    std::vector<float> spectrum_;
    std::vector<float> window_;
    std::vector<float> previousInput_;
    std::vector<float> overlap_;
};

} // namespace timbrelo
