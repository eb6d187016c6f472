#pragma once
// The two real-FFT tables of the voice engine, one algorithm in two precisions:
// - FftTableF (single precision) is called out of place on 0-based arrays; its forward
//   transform includes the 1/n scaling, so backward(forward(x)) == x. It serves the
//   spectral low-pass.
// - FftTableD (double precision) transforms data[1 .. n] in place (data[0] is untouched),
//   unscaled in both directions. It serves pitch analysis.
// Spectra are half-complex: X0, then Re/Im of bins 1 .. (n-1)/2, then X(n/2) for even n.
//
// A table keeps its work array inside, so one table must not run two transforms at once.

#include "psola/real_fft.h"

#include <cstdint>
#include <span>

namespace timbrelo {

class FftTableF {
  public:
    // A length below 1 gives an empty table whose transforms do nothing.
    explicit FftTableF(int32_t n);

    int32_t n() const { return fft_.size(); }
    std::span<const int32_t> factors() const { return fft_.factors(); }
    std::span<const float> trigCache() const { return fft_.trigCache(); }
    const std::array<int32_t, 32>& splitCache() const { return fft_.splitCache(); }

  private:
    friend void forwardReal(FftTableF& table, const float* in, float* out);
    friend void backwardReal(FftTableF& table, const float* in, float* out);
    RealFft<float> fft_;
};

// out = forward transform of in, scaled by 1/n (n values each).
void forwardReal(FftTableF& table, const float* in, float* out);
// out = unscaled backward transform of in.
void backwardReal(FftTableF& table, const float* in, float* out);

class FftTableD {
  public:
    // True on success; false when n < 1 or memory runs out (the table is then empty).
    bool create(int32_t n) { return fft_.init(n); }

    int32_t n() const { return fft_.size(); }
    std::span<const int32_t> factors() const { return fft_.factors(); }
    std::span<const double> trigCache() const { return fft_.trigCache(); }
    const std::array<int32_t, 32>& splitCache() const { return fft_.splitCache(); }

  private:
    friend void forwardInPlace(FftTableD& table, double* data);
    friend void backwardInPlace(FftTableD& table, double* data);
    RealFft<double> fft_;
};

// Transform data[1 .. n] in place, unscaled.
void forwardInPlace(FftTableD& table, double* data);
void backwardInPlace(FftTableD& table, double* data);

} // namespace timbrelo
