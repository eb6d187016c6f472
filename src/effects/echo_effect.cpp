#include "effects/echo_effect.h"

#include "effects/float_arg.h"
#include "platform/debug.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>
#include <string>

namespace timbrelo {
namespace {

// trunc(rate x ms / 1000), or -1 for a delay that is negative or not a number, or one above
// the limit for one beyond it.
int64_t delayToSamples(uint32_t rate, float ms) {
    const double samples = std::trunc(static_cast<double>(rate) * static_cast<double>(ms) / 1000.0);
    if (!(samples >= 0.0)) {
        return -1;
    }
    if (samples > EchoEffect::kMaxDelaySamples) {
        return int64_t{EchoEffect::kMaxDelaySamples} + 1;
    }
    return static_cast<int64_t>(samples);
}

std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

// Truncated toward zero and saturated: an over-range sum must not wrap into a loud click.
int16_t toSample(double v) {
    if (v >= 32767.0) {
        return 32767;
    }
    if (v <= -32768.0) {
        return -32768;
    }
    return v == v ? static_cast<int16_t>(v) : 0;
}

} // namespace

EchoEffect::EchoEffect() : Effect("echo", kMaxSamples) {}

void EchoEffect::setParameter(float /*value*/, int32_t kind) {
    if (kind == kOff) {
        setEnabled(false);
    } else if (kind == kOn) {
        setEnabled(true);
    }
}

int32_t EchoEffect::parseArgs(int32_t argc, const char* const* argv) {
    if (argc < 4 || argc % 2 != 0) {
        return refuseArgs("echo: number of params not right.\n",
                          "echo takes gain-in, gain-out and one to seven delay/decay pairs");
    }
    const auto pairs = static_cast<size_t>(argc - 2) / 2;
    if (pairs > kMaxPairs) {
        return refuseArgs("echo: too many delays.\n",
                          "echo: at most 7 delay/decay pairs, not " + std::to_string(pairs));
    }
    float values[2 + 2 * kMaxPairs] = {};
    for (int32_t i = 0; i < argc; ++i) {
        if (!readWholeFloatArg(argv[i], values[i])) {
            return refuseArgs("echo: param is not a number.\n",
                              "echo: " + quoteArg(argv[i]) + " is not a number");
        }
    }
    const float gainIn = values[0];
    const float gainOut = values[1];
    if (!(gainIn >= 0.0f)) {
        return refuseArgs("echo: gain-in must be positive!\n",
                          "echo: gain-in " + quoteArg(argv[0]) + " is outside 0..1");
    }
    if (gainIn > 1.0f) {
        return refuseArgs("echo: gain-in must be less than 1.0!\n",
                          "echo: gain-in " + quoteArg(argv[0]) + " is outside 0..1");
    }
    if (!(gainOut >= 0.0f) || !std::isfinite(gainOut)) {
        return refuseArgs("echo: gain-out must be positive!\n",
                          "echo: gain-out " + quoteArg(argv[1]) +
                              " must be a finite number of at least 0");
    }
    std::array<uint32_t, kMaxPairs> delaySamples{};
    uint32_t maxDelay = 0;
    for (size_t i = 0; i < pairs; ++i) {
        const float ms = values[2 + 2 * i];
        const float decay = values[3 + 2 * i];
        const char* delayText = argv[2 + 2 * i];
        const int64_t samples = delayToSamples(inFormat_.rate, ms);
        if (samples <= 0) {
            return refuseArgs("echo: delay must be positive!\n",
                              "echo: the delay " + quoteArg(delayText) +
                                  " ms must be positive (at least one sample)");
        }
        if (samples > kMaxDelaySamples) {
            return refuseArgs(
                "echo: delay is too big!\n",
                "echo: the delay " + quoteArg(delayText) + " ms is longer than " +
                    number(std::floor(kMaxDelaySamples * 1000.0 / std::max(inFormat_.rate, 1u))) +
                    " ms");
        }
        if (!(decay >= 0.0f)) {
            return refuseArgs("echo: decay must be positive!\n",
                              "echo: the decay " + quoteArg(argv[3 + 2 * i]) + " is outside 0..1");
        }
        if (decay > 1.0f) {
            return refuseArgs("echo: decay must be less than 1.0!\n",
                              "echo: the decay " + quoteArg(argv[3 + 2 * i]) + " is outside 0..1");
        }
        delaySamples[i] = static_cast<uint32_t>(samples);
        maxDelay = std::max(maxDelay, delaySamples[i]);
    }

    // Accepted: only now does the line replace what an earlier one set.
    try {
        delayLine_.assign(maxDelay, 0);
    } catch (const std::bad_alloc&) {
        return refuseArgs("echo: no memory for the delay line.\n",
                          "echo: no memory for a delay line of " + std::to_string(maxDelay) +
                              " samples");
    }
    writePos_ = 0;
    gainIn_ = gainIn;
    gainOut_ = gainOut;
    delayCount_ = pairs;
    maxDelay_ = maxDelay;
    tapCount_ = 0;
    float decaySum = 1.0f;
    for (size_t i = 0; i < pairs; ++i) {
        delayMs_[i] = values[2 + 2 * i];
        decay_[i] = values[3 + 2 * i];
        delaySamples_[i] = delaySamples[i];
        taps_[tapCount_++] = {delaySamples[i], static_cast<double>(decay_[i])};
        decaySum += decay_[i];
    }
    if (decaySum * gainIn_ > 1.0 / gainOut_) {
        debugWrite("echo: warning >>> gain-out can cause saturation of output <<<\n");
    }
    return acceptArgs();
}

uint32_t EchoEffect::tailFrames() const {
    const uint32_t channels = inFormat_.channels == 2 ? 2 : 1;
    return enabled() ? maxDelay_ / channels : 0;
}

int32_t EchoEffect::process(const int16_t* samples, uint32_t frames) {
    const size_t channels = inFormat_.channels;
    if (!enabled() || delayLine_.empty() || channels == 0) {
        return 1;
    }
    size_t n = std::min<size_t>(static_cast<size_t>(frames) * channels, kMaxSamples);
    n -= n % channels;

    const size_t length = delayLine_.size();
    const double gainIn = gainIn_;
    const double gainOut = gainOut_;
    int16_t* out = outData();
    size_t w = writePos_;
    for (size_t s = 0; s < n; ++s) {
        const int16_t x = samples[s];
        double y = gainIn * x;
        for (size_t t = 0; t < tapCount_; ++t) {
            const Tap& tap = taps_[t];
            const size_t r = w >= tap.delay ? w - tap.delay : w + length - tap.delay;
            y += tap.decay * delayLine_[r];
        }
        out[s] = toSample(gainOut * y);
        delayLine_[w] = x;
        w = w + 1 == length ? 0 : w + 1;
    }
    writePos_ = w;
    setOutFrames(static_cast<uint32_t>(n / channels));
    return 0;
}

} // namespace timbrelo
