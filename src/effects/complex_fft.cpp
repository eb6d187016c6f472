#include "effects/complex_fft.h"

#include <cmath>
#include <numbers>
#include <stdexcept>

namespace timbrelo {
namespace {

// The twiddles of one direction, made as the transform would make them on the fly: per stage
// one step cos(pi/m) + i*sign*sin(pi/m), starting at 1 and advanced by single-precision complex
// multiplication. Tabulating them keeps the results of that recurrence while saving its work.
std::vector<float> makeTwiddles(size_t size, float sign) {
    std::vector<float> table;
    table.reserve(2 * size);
    for (size_t m = 1; m < size; m *= 2) {
        const float arg = std::numbers::pi_v<float> / static_cast<float>(m);
        const float wr = std::cos(arg);
        const float wi = sign * std::sin(arg);
        float ur = 1.0f;
        float ui = 0.0f;
        for (size_t j = 0; j < m; ++j) {
            table.push_back(ur);
            table.push_back(ui);
            const float next = ur * wr - ui * wi;
            ui = ur * wi + ui * wr;
            ur = next;
        }
    }
    return table;
}

} // namespace

ComplexFft::ComplexFft(size_t size) : size_(size) {
    if (size < 2 || (size & (size - 1)) != 0) {
        throw std::invalid_argument("ComplexFft: size must be a power of two of at least 2");
    }
    for (uint32_t i = 0, j = 0; i < size; ++i) {
        if (i < j) {
            swaps_.emplace_back(i, j);
        }
        uint32_t bit = static_cast<uint32_t>(size >> 1);
        while (bit != 0 && (j & bit) != 0) {
            j &= ~bit;
            bit >>= 1;
        }
        j |= bit;
    }
    forwardTwiddles_ = makeTwiddles(size, -1.0f);
    inverseTwiddles_ = makeTwiddles(size, 1.0f);
}

void ComplexFft::transform(float* data, const std::vector<float>& twiddles) const {
    for (const auto& [a, b] : swaps_) {
        std::swap(data[2 * a], data[2 * b]);
        std::swap(data[2 * a + 1], data[2 * b + 1]);
    }
    const float* u = twiddles.data();
    for (size_t m = 1; m < size_; u += 2 * m, m *= 2) {
        for (size_t j = 0; j < m; ++j) {
            const float ur = u[2 * j];
            const float ui = u[2 * j + 1];
            for (size_t i = j; i < size_; i += 2 * m) {
                float* p = data + 2 * i;
                float* q = data + 2 * (i + m);
                const float tr = q[0] * ur - q[1] * ui;
                const float ti = q[0] * ui + q[1] * ur;
                q[0] = p[0] - tr;
                q[1] = p[1] - ti;
                p[0] += tr;
                p[1] += ti;
            }
        }
    }
}

} // namespace timbrelo
