#include "platform/debug.h"
#include "psola/fft_low_pass.h"
#include "psola/fft_table.h"
#include "support/signals.h"

#include <cmath>
#include <gtest/gtest.h>
#include <numeric>
#include <random>
#include <vector>

using namespace timbrelo;
using namespace timbrelo::test;

namespace {

constexpr float kGuardF = 12345.0f;
constexpr double kGuardD = -98765.0;

// The forward DFT of x in half-complex order, computed term by term.
std::vector<double> directDft(const std::vector<double>& x) {
    const size_t n = x.size();
    std::vector<long double> cosines(n), sines(n);
    for (size_t m = 0; m < n; ++m) {
        const long double angle =
            2.0L * 3.14159265358979323846264338327950288L * static_cast<long double>(m) / n;
        cosines[m] = std::cos(angle);
        sines[m] = std::sin(angle);
    }
    std::vector<double> out(n);
    for (size_t k = 0; k <= n / 2; ++k) {
        long double re = 0, im = 0;
        for (size_t j = 0, m = 0; j < n; ++j, m = (m + k) % n) {
            re += x[j] * cosines[m];
            im -= x[j] * sines[m];
        }
        if (k == 0) {
            out[0] = static_cast<double>(re);
        } else if (2 * k == n) {
            out[n - 1] = static_cast<double>(re);
        } else {
            out[2 * k - 1] = static_cast<double>(re);
            out[2 * k] = static_cast<double>(im);
        }
    }
    return out;
}

std::vector<double> randomSignal(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::vector<double> x(n);
    for (double& v : x) {
        v = dist(gen);
    }
    return x;
}

// Largest difference between a[i] * scale and b[i] for i < n.
double worst(const auto& a, const std::vector<double>& b, int32_t n, double scale = 1) {
    double w = 0;
    for (int32_t i = 0; i < n; ++i) {
        w = std::max(w, std::abs(static_cast<double>(a[i]) * scale - b[i]));
    }
    return w;
}

// Checks both tables of x's length against the direct DFT, and the round trips; every output
// array carries a guard value one past its end.
void checkSignal(const std::vector<double>& x) {
    const auto n = static_cast<int32_t>(x.size());
    SCOPED_TRACE("n = " + std::to_string(n));
    const std::vector<double> expected = directDft(x);
    const double peak = std::max(1.0, worst(expected, std::vector<double>(n), n)); // max |X(k)|

    FftTableF tableF(n);
    ASSERT_EQ(tableF.n(), n);
    std::vector<float> inF(x.begin(), x.end());
    std::vector<float> spectrumF(n + 1, kGuardF);
    forwardReal(tableF, inF.data(), spectrumF.data());
    EXPECT_EQ(spectrumF[n], kGuardF);
    EXPECT_LE(worst(spectrumF, expected, n, n), 1e-4 * peak);
    std::vector<float> backF(n + 1, kGuardF);
    backwardReal(tableF, spectrumF.data(), backF.data());
    EXPECT_EQ(backF[n], kGuardF);
    EXPECT_LE(worst(backF, x, n), 1e-5);

    FftTableD tableD;
    ASSERT_TRUE(tableD.create(n));
    std::vector<double> data(n + 2, kGuardD);
    std::copy(x.begin(), x.end(), data.begin() + 1);
    forwardInPlace(tableD, data.data());
    EXPECT_EQ(data[0], kGuardD);
    EXPECT_EQ(data[n + 1], kGuardD);
    EXPECT_LE(worst(data.data() + 1, expected, n), 1e-10 * peak);
    backwardInPlace(tableD, data.data());
    EXPECT_EQ(data[0], kGuardD);
    EXPECT_EQ(data[n + 1], kGuardD);
    EXPECT_LE(worst(data.data() + 1, x, n, 1.0 / n), 1e-12);
}

TEST(FftTable, MatchesDirectDftForAnImpulseEveryLengthUpTo512AndTheEngineLengths) {
    checkSignal({1, 0, 0, 0, 0, 0, 0, 0});
    std::vector<int32_t> lengths(512);
    std::iota(lengths.begin(), lengths.end(), 1);
    lengths.insert(lengths.end(), {882, 1764, 2048, 2294, 3 * 3 * 5 * 7 * 2});
    for (int32_t n : lengths) {
        checkSignal(randomSignal(n, 1000 + n));
        if (HasFailure()) {
            return;
        }
    }
}

TEST(FftTable, FactorisesWithTheTwoFirst) {
    FftTableF a(2294);
    EXPECT_EQ(std::vector<int32_t>(a.factors().begin(), a.factors().end()),
              (std::vector<int32_t>{2, 31, 37}));
    FftTableD b;
    ASSERT_TRUE(b.create(2048));
    EXPECT_EQ(std::vector<int32_t>(b.factors().begin(), b.factors().end()),
              (std::vector<int32_t>{2, 4, 4, 4, 4, 4}));
    EXPECT_EQ(b.splitCache()[0], 2048);
    EXPECT_EQ(b.splitCache()[1], 6);
    FftTableF c(1);
    EXPECT_TRUE(c.factors().empty());
    EXPECT_EQ(c.trigCache().size(), 3u);
    FftTableD empty;
    EXPECT_FALSE(empty.create(0));
}

TEST(FftTable, InPlaceCallWarnsAndStillTransforms) {
    DebugCapture debug;
    const std::vector<double> x = randomSignal(30, 7);
    const std::vector<double> expected = directDft(x);
    FftTableF table(30);
    std::vector<float> data(x.begin(), x.end());
    forwardReal(table, data.data(), data.data());
    EXPECT_TRUE(debug.contains("warning: FFT should not be done in-place\n"));
    EXPECT_LE(worst(data, expected, 30, 30), 1e-4);
    debug.clear();
    backwardReal(table, data.data(), data.data());
    EXPECT_TRUE(debug.contains("warning: FFT should not be done in-place\n"));
    EXPECT_LE(worst(data, x, 30), 1e-5);
}

// The spectral low-pass filter built on the float table.
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

TEST(SpectralLowPass, HalfCutoffPassesLowTonesAndACutoffBelowOneBinRemovesEverything) {
    constexpr int32_t n = 1147;
    for (double f : {0.1, 0.2, 0.3, 0.4}) {
        SpectralLowPass filter(n);
        const std::vector<float> x = tone(f, 12 * n);
        const std::vector<float> y = filterAll(filter, x, 0.5f);
        const double db = 20 * std::log10(rms(slice(y, 0.25, 1.0)) / rms(slice(x, 0.25, 1.0)));
        if (f < 0.25) {
            EXPECT_NEAR(db, 0.0, 0.5) << "tone at " << f << " of the rate";
        } else {
            EXPECT_LT(db, -40.0) << "tone at " << f << " of the rate";
        }
    }
    // N * cutoff truncates to 0 here, which must clear the mean too and stay inside the
    // spectrum.
    for (float cutoff : {0.001f, -3.0f}) {
        SpectralLowPass filter(64);
        const std::vector<float> y = filterAll(filter, std::vector<float>(8 * 64, 1000.0f), cutoff);
        EXPECT_LT(rms(slice(y, 0.25, 1.0)), 1e-2) << cutoff;
    }
}

} // namespace
