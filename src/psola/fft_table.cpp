#include "psola/fft_table.h"

#include "platform/debug.h"

#include <algorithm>

namespace timbrelo {
namespace {

void warnInPlace() {
    debugPrintf("warning: %s\n", "FFT should not be done in-place");
}

} // namespace

FftTableF::FftTableF(int32_t n) {
    fft_.init(n);
}

void forwardReal(FftTableF& table, const float* in, float* out) {
    const int32_t n = table.n();
    if (in == out) {
        warnInPlace();
    }
    if (n < 1) {
        return;
    }
    const float scale = 1.0f / static_cast<float>(n);
    for (int32_t i = 0; i < n; ++i) {
        out[i] = in[i] * scale;
    }
    table.fft_.forward(out);
}

void backwardReal(FftTableF& table, const float* in, float* out) {
    if (in == out) {
        warnInPlace();
    } else {
        std::copy(in, in + table.n(), out);
    }
    table.fft_.backward(out);
}

void forwardInPlace(FftTableD& table, double* data) {
    table.fft_.forward(data + 1);
}

void backwardInPlace(FftTableD& table, double* data) {
    table.fft_.backward(data + 1);
}

} // namespace timbrelo
