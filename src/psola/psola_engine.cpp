#include "psola/psola_engine.h"

#include <algorithm>
#include <cmath>

namespace timbrelo {
namespace {

constexpr float kPiF = 3.1415927f;
// A grain wider than this would overlap itself in the rings; marks never lie that far apart
// (they are at most a block and a period apart), so such a pair ends the block's grains.
constexpr int32_t kMaxGrainPeriod = PsolaEngine::kRingSize / 4;

float saneFactor(float f) {
    if (std::isnan(f)) {
        return 1.0f;
    }
    return std::clamp(f, PsolaEngine::kMinFactor, PsolaEngine::kMaxFactor);
}

} // namespace

PsolaEngine::PsolaEngine(int32_t blockLength, float pitchFactor, float formantFactor)
    : pitchFactor_(saneFactor(pitchFactor)), formantFactor_(saneFactor(formantFactor)),
      blockLength_(std::clamp(blockLength, 2, kMaxBlockLength)),
      stretchedLength_(static_cast<int32_t>(blockLength_ * formantFactor_ + 0.5f)),
      inputRing_(kRingSize, 0.0f), outputRing_(kRingSize, 0.0f), outputBlock_(blockLength_, 0.0f),
      stretchedBlock_(stretchedLength_, 0.0f), window_(kMaxGrainPeriod + 1, 0.0f) {
    if (formantFactor_ > 1) {
        lowPass_ = std::make_unique<SpectralLowPass>(stretchedLength_);
    }
}

void PsolaEngine::reset() {
    lastPushed_ = 0;
    previousPushed_ = 0;
    writePosition_ = 0;
    anchorMark_ = 0;
    synthesisPosition_ = 0;
    readPosition_ = 0;
    grainPeriod_ = 0;
    marks_.fill(0);
    markCount_ = 0;
    std::fill(inputRing_.begin(), inputRing_.end(), 0.0f);
    std::fill(outputRing_.begin(), outputRing_.end(), 0.0f);
    std::fill(outputBlock_.begin(), outputBlock_.end(), 0.0f);
    std::fill(stretchedBlock_.begin(), stretchedBlock_.end(), 0.0f);
    if (lowPass_) {
        lowPass_->reset();
    }
}

int32_t PsolaEngine::delayFrames() const {
    const double n = blockLength_;
    const double stretched = n * n / stretchedLength_; // the emitted stretch's lag, resampled
    return static_cast<int32_t>(std::lround(n + stretched)) + (lowPass_ ? blockLength_ : 0);
}

size_t PsolaEngine::ringIndex(int64_t position) {
    const int64_t r = position % kRingSize;
    return static_cast<size_t>(r < 0 ? r + kRingSize : r);
}

std::optional<int64_t> PsolaEngine::findPeak(int64_t from, int64_t to, int64_t limit) const {
    const int64_t last = std::min(to, limit - 1);
    if (from > last) {
        return std::nullopt;
    }
    int64_t best = from;
    float bestMagnitude = -1;
    size_t index = ringIndex(from - blockLength_);
    for (int64_t position = from; position <= last; ++position) {
        const float magnitude = std::abs(inputRing_[index]);
        if (magnitude >= bestMagnitude) {
            bestMagnitude = magnitude;
            best = position;
        }
        if (++index == kRingSize) {
            index = 0;
        }
    }
    return best;
}

void PsolaEngine::pushMark(int64_t position) {
    previousPushed_ = lastPushed_;
    lastPushed_ = position;
    if (position - previousPushed_ > 0) {
        ++markCount_;
        if (markCount_ < kMaxMarks) {
            marks_[markCount_] = position;
            anchorMark_ = position;
        } else {
            --markCount_;
        }
    }
}

const float* PsolaEngine::grainWindow(int32_t period) {
    if (period != windowPeriod_) {
        const auto p = static_cast<float>(period);
        for (int32_t t = 0; t <= period; ++t) {
            const float angle = static_cast<float>(t) * kPiF / p;
            window_[t] = static_cast<float>((std::cos(double{angle}) + 1) * 0.5);
        }
        windowPeriod_ = period;
    }
    return window_.data();
}

// Adds the grain around `mark` (two periods of input, Hann-windowed) to the output timeline
// centred on `centre`.
void PsolaEngine::addGrain(int64_t centre, int64_t mark, int32_t period) {
    const float* w = grainWindow(period);
    size_t out = ringIndex(centre - period);
    size_t in = ringIndex(mark - period - blockLength_);
    for (int32_t t = -period; t <= period; ++t) {
        outputRing_[out] += w[t < 0 ? -t : t] * inputRing_[in];
        if (++out == kRingSize) {
            out = 0;
        }
        if (++in == kRingSize) {
            in = 0;
        }
    }
}

const float* PsolaEngine::processBlock(const int16_t* x, int32_t n, int32_t period) {
    if (x == nullptr || n != blockLength_) {
        return nullptr;
    }
    const int32_t p = std::min(period, n);
    const int32_t half = p / 4;

    size_t index = ringIndex(writePosition_);
    for (int32_t i = 0; i < n; ++i) {
        inputRing_[index] = x[i];
        if (++index == kRingSize) {
            index = 0;
        }
    }
    writePosition_ += n;

    // Pitch marks: the block's largest peak, then one period apart backward to the anchor
    // and forward to the end, each on the largest peak within a quarter period.
    markCount_ = 0;
    marks_[0] = anchorMark_;
    const int64_t firstPeak =
        findPeak(anchorMark_, writePosition_, writePosition_).value_or(anchorMark_);
    std::array<int64_t, kMaxBackwardMarks> backward;
    int32_t backwardCount = 0;
    if (p >= 1) {
        for (int64_t c = firstPeak - p; c > anchorMark_;) {
            const int64_t m = findPeak(c - half, c + half, writePosition_).value_or(anchorMark_);
            if (m > anchorMark_) {
                backward[backwardCount++] = m;
                if (backwardCount == kMaxBackwardMarks) {
                    break;
                }
            }
            c = m - p;
        }
    }
    for (int32_t i = backwardCount - 1; i >= 0; --i) {
        pushMark(backward[i]);
    }
    pushMark(firstPeak);
    if (p >= 1) {
        for (int64_t c = firstPeak + p; c < writePosition_;) {
            const int64_t m = findPeak(c - half, c + half, writePosition_).value_or(writePosition_);
            if (m < writePosition_) {
                pushMark(m);
            }
            c = m + p;
        }
    }

    // Overlap-add: grains from successive mark pairs until the synthesis position passes the
    // read position; when the marks run out the last pair is used again.
    const double spacingScale = double{formantFactor_} / pitchFactor_;
    for (int32_t j = 0; readPosition_ >= synthesisPosition_ && markCount_ != 0;) {
        if (j < markCount_) {
            ++j;
        }
        const int64_t pairPeriod = marks_[j] - marks_[j - 1];
        if (pairPeriod <= 0 || pairPeriod > kMaxGrainPeriod) {
            break;
        }
        grainPeriod_ = static_cast<int32_t>(pairPeriod);
        addGrain(synthesisPosition_, marks_[j - 1], grainPeriod_);
        // Not the nearest integer to P * F / R: with F = R = 1 the spacing is P + 1.
        const auto spacing = static_cast<int64_t>((grainPeriod_ + 0.5) * spacingScale + 0.5);
        synthesisPosition_ += std::max<int64_t>(spacing, 1);
    }

    const int32_t length = stretchedLength_;
    index = ringIndex(readPosition_ - n - length);
    for (int32_t i = 0; i < length; ++i) {
        stretchedBlock_[i] = outputRing_[index];
        outputRing_[index] = 0;
        if (++index == kRingSize) {
            index = 0;
        }
    }
    readPosition_ += length;
    if (lowPass_) {
        lowPass_->filterBlock(stretchedBlock_.data(), 1.0f / formantFactor_);
    }

    // Resample the stretched block to n samples; past its end, extrapolate from the last two.
    const float* s = stretchedBlock_.data();
    for (int32_t i = 0; i < n; ++i) {
        const float pos = static_cast<float>(i) * formantFactor_;
        const auto k = static_cast<int32_t>(pos);
        const float a = pos - static_cast<float>(k);
        if (k + 1 < length) {
            outputBlock_[i] = (1 - a) * s[k] + a * s[k + 1];
        } else {
            const auto e = static_cast<float>(k + 1 - length);
            outputBlock_[i] = (e + 1 + a) * s[length - 1] - (e + a) * s[length - 2];
        }
    }
    return outputBlock_.data();
}

} // namespace timbrelo
