#include "psola/fft_low_pass.h"
#include "support/signals.h"

#include <cmath>
#include <gtest/gtest.h>
#include <random>
#include <vector>

using namespace timbrelo;
using namespace timbrelo::test;

namespace {

// Runs x through the filter block by block and returns what came out.
std::vector<float> filterAll(SpectralLowPass& filter, std::vector<float> x, float cutoff) {
    const int32_t n = filter.blockLength();
    for (size_t start = 0; start + n <= x.size(); start += n) {
        filter.filterBlock(x.data() + start, cutoff);
    }
    return x;
}

std::vector<float> tone(double cyclesPerSample, size_t length) {
    std::vector<float> x(length);
    for (size_t i = 0; i < length; ++i) {
        x[i] = static_cast<float>(10000 * std::sin(2 * M_PI * cyclesPerSample * i));
    }
    return x;
}

TEST(OverlapWindow, RisesToOneAndIsPowerComplementary) {
    for (int32_t m : {16, 1764, 2294}) {
        std::vector<float> w(m);
        makeOverlapWindow(w.data(), m);
        EXPECT_NEAR(w[0], 0.0f, 1e-6);
        if (m % 4 == 0) {
            EXPECT_NEAR(w[m / 4], std::sqrt(0.5f), 1e-4);
        }
        EXPECT_NEAR(w[m / 2], 1.0f, 1e-6);
        for (int32_t i = 0; i < m / 2; ++i) {
            ASSERT_NEAR(w[i] * w[i] + w[i + m / 2] * w[i + m / 2], 1.0f, 1e-5) << m << " " << i;
            if (i > 0) {
                ASSERT_NEAR(w[i], w[m - i], 1e-4) << m << " " << i;
            }
        }
    }
}

TEST(SpectralLowPass, FullCutoffDelaysByExactlyOneBlock) {
    for (int32_t n : {8, 882, 1147}) {
        SpectralLowPass filter(n);
        std::mt19937 gen(n);
        std::uniform_real_distribution<float> dist(-20000, 20000);
        std::vector<float> x(6 * n);
        for (float& v : x) {
            v = dist(gen);
        }
        const std::vector<float> y = filterAll(filter, x, 1.0f);
        for (int32_t i = 0; i < n; ++i) {
            ASSERT_NEAR(y[i], 0.0f, 0.01f) << "first block, n = " << n;
        }
        for (size_t i = n; i < x.size(); ++i) {
            ASSERT_NEAR(y[i], x[i - n], 0.05f) << "n = " << n << ", i = " << i;
        }
    }
}

TEST(SpectralLowPass, HalfCutoffPassesLowTonesAndRemovesHighOnes) {
    constexpr int32_t n = 1147;
    for (double f : {0.1, 0.2}) {
        SpectralLowPass filter(n);
        const std::vector<float> x = tone(f, 12 * n);
        const std::vector<float> y = filterAll(filter, x, 0.5f);
        const double ratio = rms(slice(y, 0.25, 1.0)) / rms(slice(x, 0.25, 1.0));
        EXPECT_NEAR(20 * std::log10(ratio), 0.0, 0.5) << "tone at " << f << " of the rate";
    }
    for (double f : {0.3, 0.4}) {
        SpectralLowPass filter(n);
        const std::vector<float> x = tone(f, 12 * n);
        const std::vector<float> y = filterAll(filter, x, 0.5f);
        const double ratio = rms(slice(y, 0.25, 1.0)) / rms(slice(x, 0.25, 1.0));
        EXPECT_LT(20 * std::log10(ratio), -40.0) << "tone at " << f << " of the rate";
    }
}

TEST(SpectralLowPass, CutoffBelowOneBinRemovesEverything) {
    // N * cutoff truncates to 0 here, which must clear the mean too and stay inside the
    // spectrum.
    SpectralLowPass filter(64);
    std::vector<float> x(8 * 64, 1000.0f);
    const std::vector<float> y = filterAll(filter, x, 0.001f);
    EXPECT_LT(rms(slice(y, 0.25, 1.0)), 1e-2);
    SpectralLowPass negative(64);
    const std::vector<float> z = filterAll(negative, x, -3.0f);
    EXPECT_LT(rms(slice(z, 0.25, 1.0)), 1e-2);
}

} // namespace
