#include "effects/echo_effect.h"

#include "effects/float_arg.h"
#include "platform/debug.h"

#include <algorithm>
#include <cmath>

namespace timbrelo {
namespace {

// trunc(rate x ms / 1000). Anything that is not a count of samples from 0 to the limit
// (negative, NaN, huge) becomes one above the limit, which the caller reports as too big.
uint32_t delayToSamples(uint32_t rate, float ms) {
    const double samples = std::trunc(static_cast<double>(rate) * static_cast<double>(ms) / 1000.0);
    if (samples == 0.0) {
        return 0;
    }
    if (!(samples >= 1.0 && samples <= EchoEffect::kMaxDelaySamples)) {
        return EchoEffect::kMaxDelaySamples + 1;
    }
    return static_cast<uint32_t>(samples);
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
    delayCount_ = 0;
    validPairs_ = 0;
    if (argc < 4 || argc % 2 != 0) {
        debugWrite("echo: number of params not right.\n");
        selectTaps();
        return -1;
    }
    readFloatArg(argv[0], gainIn_);
    readFloatArg(argv[1], gainOut_);
    for (int32_t i = 2; i + 1 < argc; i += 2) {
        if (delayCount_ == kMaxPairs) {
            debugWrite("echo: too many delays.\n");
            continue;
        }
        readFloatArg(argv[i], delayMs_[delayCount_]);
        readFloatArg(argv[i + 1], decay_[delayCount_]);
        ++delayCount_;
    }

    const int32_t result = checkValues();
    if (result == 0) {
        delayLine_.assign(maxDelay_, 0);
        writePos_ = 0;
    }
    selectTaps();
    if (result == 0) {
        float decaySum = 1.0f;
        for (size_t i = 0; i < delayCount_; ++i) {
            decaySum += decay_[i];
        }
        if (decaySum * gainIn_ > 1.0 / gainOut_) {
            debugWrite("echo: warning >>> gain-out can cause saturation of output <<<\n");
        }
    }
    return result;
}

int32_t EchoEffect::checkValues() {
    maxDelay_ = 0;
    if (!(gainIn_ >= 0.0f)) {
        debugWrite("echo: gain-in must be positive!\n");
        return -1;
    }
    if (gainIn_ > 1.0f) {
        debugWrite("echo: gain-in must be less than 1.0!\n");
        return -1;
    }
    if (!(gainOut_ >= 0.0f)) {
        debugWrite("echo: gain-out must be positive!\n");
        return -1;
    }
    for (size_t i = 0; i < delayCount_; ++i) {
        delaySamples_[i] = delayToSamples(inFormat_.rate, delayMs_[i]);
        if (delaySamples_[i] == 0) {
            debugWrite("echo: delay must be positive!\n");
            return -1;
        }
        if (delaySamples_[i] > kMaxDelaySamples) {
            debugWrite("echo: delay is too big!\n");
            return -1;
        }
        if (!(decay_[i] >= 0.0f)) {
            debugWrite("echo: decay must be positive!\n");
            return -1;
        }
        if (decay_[i] > 1.0f) {
            debugWrite("echo: decay must be less than 1.0!\n");
            return -1;
        }
        maxDelay_ = std::max(maxDelay_, delaySamples_[i]);
        validPairs_ = i + 1;
    }
    return 0;
}

void EchoEffect::selectTaps() {
    tapCount_ = 0;
    for (size_t i = 0; i < validPairs_; ++i) {
        if (delaySamples_[i] >= 1 && delaySamples_[i] <= delayLine_.size()) {
            taps_[tapCount_++] = {delaySamples_[i], static_cast<double>(decay_[i])};
        }
    }
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
