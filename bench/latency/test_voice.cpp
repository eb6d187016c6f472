#include "test_voice.h"

#include <algorithm>
#include <cmath>

namespace timbrelo::bench {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kPeak = 0.4;
constexpr double kFloor = 0.3; // loudness a syllable decays towards, relative to its peak
constexpr double kDip = 0.15;  // loudness between syllables: low, never silent

// Formant frequencies (Hz) of five vowels, spoken by a low voice.
constexpr std::array<std::array<double, 3>, 5> kVowels = {{
    {730, 1090, 2440}, // a
    {530, 1840, 2480}, // e
    {300, 2200, 2900}, // i
    {570, 840, 2410},  // o
    {320, 920, 2300},  // u
}};
constexpr std::array<double, 3> kBandwidths = {90, 110, 160};

} // namespace

void TestVoice::Resonator::tune(double frequency, double bandwidth, double rate) {
    const double r = std::exp(-kPi * bandwidth / rate);
    a1 = 2 * r * std::cos(2 * kPi * frequency / rate);
    a2 = -r * r;
    gain = 1 - r; // keeps the peak gain of the three resonators alike
}

double TestVoice::Resonator::step(double x) {
    const double y = gain * x + a1 * y1 + a2 * y2;
    y2 = y1;
    y1 = y;
    return y;
}

TestVoice::TestVoice(double rate, uint32_t seed) : rate_(rate), seed_(seed) {
    // Measure the loudest moment of a stretch of the voice once, to scale peaks to kPeak.
    reset();
    double peak = 1e-9;
    for (uint64_t i = 0; i < static_cast<uint64_t>(rate * 6); ++i) {
        peak = std::max(peak, std::abs(nextRaw()));
    }
    outputGain_ = kPeak / peak;
    reset();
}

void TestVoice::reset() {
    random_.seed(seed_);
    n_ = 0;
    phase_ = 0;
    lfoPhase_ = std::uniform_real_distribution<double>(0, 1)(random_);
    lfoPhase2_ = std::uniform_real_distribution<double>(0, 1)(random_);
    resonators_ = {};
    formants_ = kVowels[0];
    toFormants_ = kVowels[0];
    syllableLeft_ = 0;
}

void TestVoice::startSyllable() {
    // 130..350 ms, never a steady rhythm: a lag of one syllable must not look like a match.
    syllableLength_ =
        static_cast<uint64_t>(rate_ * std::uniform_real_distribution<double>(0.13, 0.35)(random_));
    syllableLeft_ = syllableLength_;
    dip_ = rate_ * std::uniform_real_distribution<double>(0.015, 0.045)(random_);
    attack_ = rate_ * std::uniform_real_distribution<double>(0.005, 0.012)(random_);
    peakLoudness_ = std::uniform_real_distribution<double>(0.5, 1.0)(random_);
    fromFormants_ = formants_;
    toFormants_ = kVowels[std::uniform_int_distribution<size_t>(0, kVowels.size() - 1)(random_)];
}

double TestVoice::nextRaw() {
    if (syllableLeft_ == 0) {
        startSyllable();
    }
    const uint64_t into = syllableLength_ - syllableLeft_;
    --syllableLeft_;
    // Loudness: a short consonant-like dip, a quick rise, then a decay towards kFloor.
    const double t = static_cast<double>(into);
    double target = kDip;
    if (t >= dip_) {
        const double sinceDip = t - dip_;
        target =
            sinceDip < attack_
                ? kDip + (1 - kDip) * sinceDip / attack_
                : kFloor + (1 - kFloor) * std::exp(-(sinceDip - attack_) /
                                                   (0.3 * static_cast<double>(syllableLength_)));
        target *= peakLoudness_;
    }
    loudness_ = std::max(target, kDip);

    // The vowel glides over the first 60 ms of a syllable; retune every 32 samples.
    if (n_ % 32 == 0) {
        const double glide = std::min(1.0, t / (0.06 * rate_));
        for (size_t k = 0; k < 3; ++k) {
            formants_[k] = fromFormants_[k] + (toFormants_[k] - fromFormants_[k]) * glide;
            resonators_[k].tune(std::min(formants_[k], 0.45 * rate_), kBandwidths[k], rate_);
        }
    }

    // Pitch: two slow, unrelated drifts around 120 Hz (about 95..160 Hz).
    lfoPhase_ += 0.13 / rate_;
    lfoPhase2_ += 0.37 / rate_;
    const double f0 = 122 * std::pow(2.0, 0.28 * std::sin(2 * kPi * lfoPhase_) +
                                              0.12 * std::sin(2 * kPi * lfoPhase2_));
    phase_ += f0 / rate_;
    double excitation = 0;
    if (phase_ >= 1) {
        phase_ -= 1;
        excitation = 1;
    }
    // Breath noise keeps the voice from ever being silent between glottal pulses.
    excitation += 0.03 * noise_(random_);
    ++n_;

    double y = 0;
    for (size_t k = 0; k < 3; ++k) {
        y += resonators_[k].step(excitation) * (k == 0 ? 1.0 : 0.6);
    }
    return y * loudness_;
}

float TestVoice::next() {
    return static_cast<float>(std::clamp(nextRaw() * outputGain_, -0.95, 0.95));
}

} // namespace timbrelo::bench
