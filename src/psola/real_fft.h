#pragma once
// The mixed-radix real transform that both FFT tables share. It works in place on n values
// in half-complex order (0-based):
//   [X0, Re X1, Im X1, Re X2, Im X2, ..., X(n/2) for even n],  X(k) = sum x(j) e^(-2 pi i jk/n).
// The forward pass is unscaled; the backward pass is the inverse multiplied by n.
//
// n is factorised into 4s, one 2 (moved to the front) and odd factors in increasing order.
// Each stage merges `ip` half-complex spectra of length `ido` (of the decimated
// subsequences) into one of length ip * ido; the forward pass runs the stages from the last
// factor to the first, the backward pass undoes them from the first to the last.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace timbrelo {

template <typename Real>
class RealFft {
  public:
    static constexpr int kSplitCacheSize = 32;

    // Allocates and fills the tables; false when memory runs out or n < 1.
    bool init(int32_t n);

    int32_t size() const { return n_; }
    bool valid() const { return n_ > 0; }
    // The factors in the order the stages use them.
    std::span<const int32_t> factors() const {
        return {splitCache_.data() + 2, static_cast<size_t>(splitCache_[1])};
    }
    // The first n values are the passes' work array, the next 2n hold the twiddle factors.
    std::span<const Real> trigCache() const { return trigCache_; }
    const std::array<int32_t, kSplitCacheSize>& splitCache() const { return splitCache_; }

    void forward(Real* data);
    void backward(Real* data);

  private:
    void factorise();
    void fillTwiddles();
    void fillRoots();

    int32_t n_ = 0;
    std::vector<Real> trigCache_;
    std::array<int32_t, kSplitCacheSize> splitCache_{};
    // cos/sin of 2 pi m / ip, m = 0 .. ip-1, for every stage with an odd factor.
    std::vector<Real> roots_;
    std::array<int32_t, kSplitCacheSize> rootOffset_{};
    // Gathered sums and differences of one column of the general pass.
    std::vector<Real> scratch_;
};

extern template class RealFft<float>;
extern template class RealFft<double>;

} // namespace timbrelo
