#include "psola/fft_low_pass.h"

#include <algorithm>
#include <cmath>

namespace timbrelo {

void makeOverlapWindow(float* window, int32_t m) {
    // c puts h(1) at 1/sqrt(2), so the rising and the mirrored piece meet there.
    const float c = 1.271903f;
    for (int32_t i = 0; i < m; ++i) {
        const float x = static_cast<float>(4 * static_cast<int64_t>(i)) / static_cast<float>(m);
        float u;
        bool mirrored;
        if (x < 1) {
            u = x;
            mirrored = false;
        } else if (x < 2) {
            u = 2 - x;
            mirrored = true;
        } else if (x < 3) {
            u = x - 2;
            mirrored = true;
        } else {
            u = 4 - x;
            mirrored = false;
        }
        const float h = static_cast<float>(0.5 - 0.5 * std::cos(1.57079632675 * (c * u)));
        float v = h * h;
        if (mirrored) {
            v = 1 - v;
        }
        window[i] = std::sqrt(v);
    }
}

SpectralLowPass::SpectralLowPass(int32_t blockLength)
    : n_(std::max(blockLength, 0)), table_(2 * n_), work_(2 * n_), spectrum_(2 * n_),
      window_(2 * n_), previousInput_(n_), overlap_(n_) {
    makeOverlapWindow(window_.data(), 2 * n_);
}

void SpectralLowPass::reset() {
    std::fill(previousInput_.begin(), previousInput_.end(), 0.0f);
    std::fill(overlap_.begin(), overlap_.end(), 0.0f);
}

void SpectralLowPass::filterBlock(float* block, float cutoff) {
    const int32_t n = n_;
    if (n < 1) {
        return;
    }
    std::copy(previousInput_.begin(), previousInput_.end(), work_.begin());
    std::copy(block, block + n, work_.begin() + n);
    std::copy(block, block + n, previousInput_.begin());
    for (int32_t i = 0; i < 2 * n; ++i) {
        work_[i] *= window_[i];
    }
    forwardReal(table_, work_.data(), spectrum_.data());
    if (cutoff < 1.0f) {
        // Bin k of the 2N-point spectrum sits at k/N of the Nyquist frequency. A cutoff
        // below one bin removes the mean as well (there is no bin 0 at 2k-1).
        const float scaled = static_cast<float>(n) * cutoff;
        const int32_t k0 = scaled > 0 ? static_cast<int32_t>(scaled) : 0;
        if (k0 < 1) {
            spectrum_[0] = 0;
        }
        for (int32_t k = std::max(k0, 1); k < n; ++k) {
            spectrum_[2 * k - 1] = 0;
            spectrum_[2 * k] = 0;
        }
        spectrum_[2 * n - 1] = 0;
    }
    backwardReal(table_, spectrum_.data(), work_.data());
    for (int32_t i = 0; i < 2 * n; ++i) {
        work_[i] *= window_[i];
    }
    for (int32_t i = 0; i < n; ++i) {
        block[i] = overlap_[i] + work_[i];
        overlap_[i] = work_[n + i];
    }
}

} // namespace timbrelo
