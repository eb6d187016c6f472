#pragma once
// In-place radix-2 decimation-in-time complex FFT over interleaved real/imaginary floats, sized
// for the short frames of the cartoon voice. The bit-reversal swaps and the twiddles of every
// stage are prepared at construction, so a transform allocates nothing. Neither direction
// scales its result.

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace timbrelo {

class ComplexFft {
  public:
    // `size` is the number of complex points: a power of two, at least 2.
    explicit ComplexFft(size_t size);

    size_t size() const { return size_; }

    // `data` holds size() complex values as re, im, re, im, ...
    void forward(float* data) const { transform(data, forwardTwiddles_); }
    void inverse(float* data) const { transform(data, inverseTwiddles_); }

  private:
    void transform(float* data, const std::vector<float>& twiddles) const;

    size_t size_;
    std::vector<std::pair<uint32_t, uint32_t>> swaps_;
    // For each stage with butterflies spanning 2m points (m = 1, 2, 4, ...), m twiddles (re, im).
    std::vector<float> forwardTwiddles_;
    std::vector<float> inverseTwiddles_;
};

} // namespace timbrelo
