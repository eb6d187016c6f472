#include "effects/phase_vocoder.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace timbrelo {
namespace {

constexpr float kPi = std::numbers::pi_v<float>;
constexpr float kTwoPi = 2.0f * kPi;
// Phase advance of bin k per step, divided by k.
constexpr float kExpectedAdvance = kTwoPi * PhaseVocoder::kStep / PhaseVocoder::kFrameSize;
constexpr float kOsamp = static_cast<float>(PhaseVocoder::kOversampling);

// Brings an accumulated phase back into [-pi, pi]. A float phase that only grows loses its
// fraction within minutes (bin 64 advances by 100 rad per frame), and the voice turns rough.
float wrapPhase(float p) {
    if (!(std::fabs(p) < 1.0e6f)) {
        return 0.0f; // a non-finite factor must not poison the phase for good
    }
    return p - kTwoPi * std::nearbyint(p / kTwoPi);
}

} // namespace

PhaseVocoder::PhaseVocoder() : fft_(kFrameSize) {
    std::array<double, kFrameSize> w;
    double overlapGain = 0.0;
    for (size_t k = 0; k < kFrameSize; ++k) {
        w[k] = -0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(k) /
                               static_cast<double>(kFrameSize)) +
               0.5;
        overlapGain += w[k] * w[k] / kStep;
    }
    // Every output sample is the sum of four frames, each windowed twice: the squared Hann
    // windows add up to 1.5, which the weight divides out so that an unshifted voice leaves at
    // its own level.
    for (size_t k = 0; k < kFrameSize; ++k) {
        window_[k] = static_cast<float>(w[k]);
        outWeight_[k] = static_cast<float>(2.0 * w[k] /
                                           (static_cast<double>(kFrameSize / 2) *
                                            static_cast<double>(kOversampling) * overlapGain));
    }
}

void PhaseVocoder::processFrame(float factor) {
    constexpr size_t N = kFrameSize;

    for (size_t k = 0; k < N; ++k) {
        workspace_[2 * k] = inFifo_[k] * window_[k];
        workspace_[2 * k + 1] = 0.0f;
    }
    fft_.forward(workspace_.data());

    // Analysis: the true frequency of each bin from its phase advance since the last frame.
    for (size_t k = 0; k < kBins; ++k) {
        const float re = workspace_[2 * k];
        const float im = workspace_[2 * k + 1];
        const float phase = std::atan2(im, re);
        float d = phase - lastPhase_[k];
        lastPhase_[k] = phase;
        d -= static_cast<float>(k) * kExpectedAdvance;
        int q = static_cast<int>(d / kPi);
        q += q >= 0 ? (q & 1) : -(q & 1);
        d -= kPi * static_cast<float>(q);
        d = kOsamp * d / kTwoPi;
        anaFreq_[k] = static_cast<float>(k) + d;
        // Only the positive half is resynthesised, so each bin stands in for its mirror too;
        // the DC and Nyquist bins have none, and doubling them would boost the lowest band.
        anaMagn_[k] = (k == 0 || k == kBins - 1 ? 1.0f : 2.0f) * std::sqrt(re * re + im * im);
    }

    // The shift: bin k moves to bin trunc(k * factor). Whatever lands outside 0..64 is dropped,
    // which keeps any factor (negative, NaN, huge) inside the spectrum.
    synMagn_.fill(0.0f);
    synFreq_.fill(0.0f);
    for (size_t k = 0; k < kBins; ++k) {
        const float target = static_cast<float>(k) * factor;
        if (target > -1.0f && target < static_cast<float>(kBins)) {
            const size_t j = static_cast<size_t>(static_cast<int>(target));
            synMagn_[j] += anaMagn_[k];
            synFreq_[j] = anaFreq_[k] * factor;
        }
    }

    // Synthesis: advance each bin's phase by its new frequency.
    for (size_t k = 0; k < kBins; ++k) {
        float d = synFreq_[k] - static_cast<float>(k);
        d = kTwoPi * d / kOsamp + static_cast<float>(k) * kExpectedAdvance;
        sumPhase_[k] = wrapPhase(sumPhase_[k] + d);
        workspace_[2 * k] = synMagn_[k] * std::cos(sumPhase_[k]);
        workspace_[2 * k + 1] = synMagn_[k] * std::sin(sumPhase_[k]);
    }
    std::fill(workspace_.begin() + N + 2, workspace_.end(), 0.0f);
    fft_.inverse(workspace_.data());

    for (size_t k = 0; k < N; ++k) {
        outputAccum_[k] += outWeight_[k] * workspace_[2 * k];
    }
    std::copy_n(outputAccum_.begin(), kStep, outFifo_.begin());
    std::copy(outputAccum_.begin() + kStep, outputAccum_.begin() + kStep + N, outputAccum_.begin());
    std::copy(inFifo_.begin() + kStep, inFifo_.end(), inFifo_.begin());
}

} // namespace timbrelo
