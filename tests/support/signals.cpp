#include "support/signals.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

namespace timbrelo::test {
namespace {

constexpr double kPi = std::numbers::pi;

// Two-pole resonator with unit gain at its centre frequency.
struct Resonator {
    double a1, a2, gain;
    double y1 = 0, y2 = 0;
    Resonator(double freq, double bandwidth, double rate) {
        const double r = std::exp(-kPi * bandwidth / rate);
        const double theta = 2 * kPi * freq / rate;
        a1 = 2 * r * std::cos(theta);
        a2 = -r * r;
        gain = 1 - r;
    }
    double step(double x) {
        const double y = gain * x + a1 * y1 + a2 * y2;
        y2 = y1;
        y1 = y;
        return y;
    }
};

void fft(std::vector<std::complex<double>>& a) {
    const size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) {
            j ^= bit;
        }
        j ^= bit;
        if (i < j) {
            std::swap(a[i], a[j]);
        }
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const double ang = -2 * kPi / static_cast<double>(len);
        const std::complex<double> wl(std::cos(ang), std::sin(ang));
        for (size_t i = 0; i < n; i += len) {
            std::complex<double> w(1);
            for (size_t k = 0; k < len / 2; ++k) {
                const auto u = a[i + k];
                const auto v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
                w *= wl;
            }
        }
    }
}

} // namespace

std::vector<int16_t> makeTone(double frequency, double seconds, double rate, int channels,
                              double amplitude) {
    const auto frames = static_cast<size_t>(seconds * rate);
    std::vector<int16_t> out(frames * channels);
    for (size_t i = 0; i < frames; ++i) {
        const double phase = std::fmod(static_cast<double>(i) * frequency / rate, 1.0);
        const auto v =
            static_cast<int16_t>(std::lround(amplitude * 32767 * std::sin(2 * kPi * phase)));
        for (int c = 0; c < channels; ++c) {
            out[i * channels + c] = v;
        }
    }
    return out;
}

std::vector<int16_t> makeNoise(size_t samples, uint32_t seed) {
    std::vector<int16_t> out(samples);
    for (int16_t& s : out) {
        seed = seed * 1664525u + 1013904223u;
        s = static_cast<int16_t>(seed >> 16);
    }
    return out;
}

std::vector<float> makeVoice(double f0, double seconds, double rate, double amplitude) {
    const auto n = static_cast<size_t>(seconds * rate);
    // Pulses at exact fractional times, each split over its two neighbouring samples.
    std::vector<double> excitation(n + 2, 0.0);
    for (double t = 0; t < static_cast<double>(n); t += rate / f0) {
        const auto k = static_cast<size_t>(t);
        const double frac = t - static_cast<double>(k);
        excitation[k] += 1 - frac;
        excitation[k + 1] += frac;
    }
    Resonator f1(700, 80, rate), f2(1200, 90, rate), f3(2600, 120, rate);
    std::vector<double> y(n);
    double peak = 0;
    for (size_t i = 0; i < n; ++i) {
        const double x = excitation[i];
        y[i] = f1.step(x) + 0.6 * f2.step(x) + 0.3 * f3.step(x);
        peak = std::max(peak, std::abs(y[i]));
    }
    std::vector<float> out(n);
    for (size_t i = 0; i < n; ++i) {
        out[i] = static_cast<float>(peak > 0 ? y[i] / peak * amplitude * 32767 : 0);
    }
    return out;
}

std::vector<int16_t> toInterleaved16(std::span<const float> mono, int channels) {
    std::vector<int16_t> out(mono.size() * channels);
    for (size_t i = 0; i < mono.size(); ++i) {
        const auto v = static_cast<int16_t>(std::clamp<long>(std::lround(mono[i]), -32768, 32767));
        for (int c = 0; c < channels; ++c) {
            out[i * channels + c] = v;
        }
    }
    return out;
}

std::vector<float> channelOf(std::span<const int16_t> interleaved, int channels, int channel) {
    std::vector<float> out(interleaved.size() / channels);
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = interleaved[i * channels + channel];
    }
    return out;
}

std::vector<float> slice(std::span<const float> x, double from, double to) {
    const auto a = static_cast<size_t>(from * static_cast<double>(x.size()));
    const auto b = static_cast<size_t>(to * static_cast<double>(x.size()));
    return {x.begin() + a, x.begin() + std::max(a, b)};
}

double measureToneFrequency(std::span<const float> x, double rate) {
    double first = -1, last = -1;
    long crossings = 0;
    for (size_t i = 1; i < x.size(); ++i) {
        if (x[i - 1] < 0 && x[i] >= 0) {
            const double t = static_cast<double>(i - 1) + x[i - 1] / (x[i - 1] - x[i]);
            if (first < 0) {
                first = t;
            }
            last = t;
            ++crossings;
        }
    }
    if (crossings < 2) {
        return 0;
    }
    return (crossings - 1) * rate / (last - first);
}

double measurePitch(std::span<const float> x, double rate, double minHz, double maxHz) {
    const auto minLag = static_cast<size_t>(rate / maxHz);
    const auto maxLag = static_cast<size_t>(rate / minHz);
    if (x.size() < 2 * maxLag + 2) {
        return 0;
    }
    const size_t w = x.size() - maxLag - 1;
    std::vector<double> d(maxLag + 2, 0.0);
    for (size_t lag = 1; lag <= maxLag + 1; ++lag) {
        double sum = 0;
        for (size_t i = 0; i < w; ++i) {
            const double diff = x[i] - x[i + lag];
            sum += diff * diff;
        }
        d[lag] = sum;
    }
    // Cumulative mean normalised difference.
    std::vector<double> cmnd(maxLag + 2, 1.0);
    double running = 0;
    for (size_t lag = 1; lag <= maxLag + 1; ++lag) {
        running += d[lag];
        cmnd[lag] = running > 0 ? d[lag] * static_cast<double>(lag) / running : 1.0;
    }
    size_t best = 0;
    for (size_t lag = std::max<size_t>(minLag, 2); lag <= maxLag; ++lag) {
        if (cmnd[lag] < 0.15) {
            while (lag + 1 <= maxLag && cmnd[lag + 1] < cmnd[lag]) {
                ++lag;
            }
            best = lag;
            break;
        }
    }
    if (best == 0) {
        best = static_cast<size_t>(std::min_element(cmnd.begin() + std::max<size_t>(minLag, 2),
                                                    cmnd.begin() + maxLag + 1) -
                                   cmnd.begin());
        if (cmnd[best] > 0.5) {
            return 0;
        }
    }
    const double a = cmnd[best - 1], b = cmnd[best], c = cmnd[best + 1];
    const double denom = a - 2 * b + c;
    const double shift = denom != 0 ? 0.5 * (a - c) / denom : 0;
    return rate / (static_cast<double>(best) + shift);
}

double measurePitchMedian(std::span<const float> x, double rate, size_t window, double minHz,
                          double maxHz) {
    std::vector<double> found;
    for (size_t start = 0; start + window <= x.size(); start += window / 2) {
        const double p = measurePitch(x.subspan(start, window), rate, minHz, maxHz);
        if (p > 0) {
            found.push_back(p);
        }
    }
    if (found.empty()) {
        return 0;
    }
    std::nth_element(found.begin(), found.begin() + found.size() / 2, found.end());
    return found[found.size() / 2];
}

std::vector<float> padded(std::span<const float> x, size_t silence) {
    std::vector<float> out(silence, 0.0f);
    out.insert(out.end(), x.begin(), x.end());
    out.resize(out.size() + silence, 0.0f);
    return out;
}

float peak(std::span<const float> x) {
    float p = 0;
    for (float v : x) {
        p = std::max(p, std::fabs(v));
    }
    return p;
}

size_t onset(std::span<const float> x, float fraction) {
    const float level = fraction * peak(x);
    const auto it =
        std::find_if(x.begin(), x.end(), [&](float v) { return std::fabs(v) >= level; });
    return level > 0 ? static_cast<size_t>(it - x.begin()) : x.size();
}

std::vector<size_t> silentRuns(std::span<const float> x, size_t minFrames) {
    size_t first = 0;
    while (first < x.size() && x[first] == 0.0f) {
        ++first;
    }
    size_t last = x.size();
    while (last > first && x[last - 1] == 0.0f) {
        --last;
    }
    std::vector<size_t> runs;
    size_t run = 0;
    for (size_t i = first; i < last; ++i) {
        run = x[i] == 0.0f ? run + 1 : 0;
        if (run == minFrames) {
            runs.push_back(i);
        }
    }
    return runs;
}

double rms(std::span<const float> x) {
    if (x.empty()) {
        return 0;
    }
    double sum = 0;
    for (float v : x) {
        sum += static_cast<double>(v) * v;
    }
    return std::sqrt(sum / static_cast<double>(x.size()));
}

std::vector<double> magnitudeSpectrum(std::span<const float> x) {
    size_t n = 1;
    while (n * 2 <= x.size()) {
        n *= 2;
    }
    std::vector<std::complex<double>> a(n);
    for (size_t i = 0; i < n; ++i) {
        const double w =
            0.5 - 0.5 * std::cos(2 * kPi * static_cast<double>(i) / static_cast<double>(n));
        a[i] = x[i] * w;
    }
    fft(a);
    std::vector<double> mag(n / 2 + 1);
    for (size_t k = 0; k <= n / 2; ++k) {
        mag[k] = std::abs(a[k]);
    }
    return mag;
}

double spectralCentroid(std::span<const float> x, double rate) {
    const std::vector<double> mag = magnitudeSpectrum(x);
    const double binHz = rate / static_cast<double>(2 * (mag.size() - 1));
    double num = 0, den = 0;
    for (size_t k = 0; k < mag.size(); ++k) {
        num += static_cast<double>(k) * binHz * mag[k];
        den += mag[k];
    }
    return den > 0 ? num / den : 0;
}

double toneLevelDb(std::span<const float> x, double rate, double frequency) {
    const std::vector<double> mag = magnitudeSpectrum(x);
    const double binHz = rate / static_cast<double>(2 * (mag.size() - 1));
    const auto centre = static_cast<long>(std::lround(frequency / binHz));
    double tone = 0, total = 0;
    for (size_t k = 0; k < mag.size(); ++k) {
        const double p = mag[k] * mag[k];
        total += p;
        if (std::labs(static_cast<long>(k) - centre) <= 3) {
            tone += p;
        }
    }
    if (total <= 0) {
        return -300;
    }
    return 10 * std::log10(std::max(tone, 1e-30) / total);
}

std::pair<long, double> bestCorrelation(std::span<const float> a, std::span<const float> b,
                                        long maxLag) {
    std::pair<long, double> best{0, -2.0};
    for (long lag = -maxLag; lag <= maxLag; ++lag) {
        double ab = 0, aa = 0, bb = 0;
        for (size_t i = 0; i < a.size(); ++i) {
            const long j = static_cast<long>(i) + lag;
            if (j < 0 || j >= static_cast<long>(b.size())) {
                continue;
            }
            ab += static_cast<double>(a[i]) * b[j];
            aa += static_cast<double>(a[i]) * a[i];
            bb += static_cast<double>(b[j]) * b[j];
        }
        const double c = (aa > 0 && bb > 0) ? ab / std::sqrt(aa * bb) : 0;
        if (c > best.second) {
            best = {lag, c};
        }
    }
    return best;
}

double correlationFound(std::span<const float> sent, std::span<const float> got) {
    const long shift = static_cast<long>(onset(got)) - static_cast<long>(onset(sent));
    if (onset(got) >= got.size()) {
        return 0;
    }
    std::span<const float> a = sent;
    std::span<const float> b = got;
    if (shift >= 0) {
        b = b.subspan(static_cast<size_t>(shift));
    } else {
        a = a.subspan(static_cast<size_t>(-shift));
    }
    if (b.size() + 512 < a.size()) {
        return 0;
    }
    return bestCorrelation(a, b, 200).second;
}

} // namespace timbrelo::test
