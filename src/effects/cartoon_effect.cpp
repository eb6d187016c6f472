#include "effects/cartoon_effect.h"

#include "effects/float_arg.h"
#include "platform/debug.h"

#include <algorithm>

namespace timbrelo {
namespace {

// Full scale times the output gain, clipped to the 16-bit range and truncated toward zero.
int16_t toSample(float shifted) {
    const float v = 32768.0f * shifted * CartoonEffect::kOutputGain;
    if (v >= 32767.0f) {
        return 32767;
    }
    if (v <= -32768.0f) {
        return -32768;
    }
    return v == v ? static_cast<int16_t>(v) : 0;
}

} // namespace

CartoonEffect::CartoonEffect() : Effect("cartoon", kMaxSamples) {}

void CartoonEffect::setParameter(float value, int32_t kind) {
    if (kind == kOff) {
        setEnabled(false);
        debugWrite("not use cartoon.\n");
    } else if (kind == kOn) {
        setEnabled(true);
        debugWrite("use cartoon.\n");
    } else {
        pitchFactor_.store(value, std::memory_order_relaxed);
    }
}

int32_t CartoonEffect::parseArgs(int32_t argc, const char* const* argv) {
    if (argc != 1) {
        return refuseArgs("cartoon: number of params not right.",
                          "cartoon takes one number, the factor");
    }
    float factor = 0;
    if (!readWholeFloatArg(argv[0], factor)) {
        return refuseArgs("cartoon: param is not a number.",
                          "cartoon: " + quoteArg(argv[0]) + " is not a number");
    }
    if (!(factor >= kMinFactor && factor <= kMaxFactor)) {
        return refuseArgs("cartoon: factor out of range.",
                          "cartoon: the factor " + quoteArg(argv[0]) + " is outside 0.25..4");
    }
    pitchFactor_.store(factor, std::memory_order_relaxed);
    return acceptArgs();
}

int32_t CartoonEffect::process(const int16_t* samples, uint32_t frames) {
    if (!enabled()) {
        return 1;
    }
    const float factor = pitchFactor();
    const size_t channels = inFormat_.channels == 2 ? 2 : 1;
    const size_t n = std::min<size_t>(frames, kMaxSamples / channels);
    int16_t* out = outData();
    for (size_t c = 0; c < channels; ++c) {
        PhaseVocoder& vocoder = vocoders_[c];
        for (size_t i = 0; i < n; ++i) {
            const size_t at = i * channels + c;
            out[at] = toSample(vocoder.push(static_cast<float>(samples[at]) / 32768.0f, factor));
        }
    }
    setOutFrames(static_cast<uint32_t>(n));
    return 0;
}

} // namespace timbrelo
