// The sample-rate converter at any pair of rates and channel counts, fed blocks of any size
// (and empty calls that take its carried-over input).
#include "effects/resample_effect.h"

#include <cstdlib>
#include <cstring>
#include <vector>

using namespace timbrelo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 12) {
        return 0;
    }
    uint32_t in = 0;
    uint32_t out = 0;
    std::memcpy(&in, data, 4);
    std::memcpy(&out, data + 4, 4);
    // Mostly the rates music comes in, sometimes anything at all.
    if ((data[8] & 0x80) == 0) {
        if (in < 1000 || in > 384000) {
            in = 1000 + in % 383001;
        }
        if (out < 8000 || out > 96000) {
            out = 8000 + out % 88001;
        }
    }
    const uint32_t channels = 1 + data[8] % 4;
    ResampleEffect converter;
    converter.setInputFormat(in, 16, channels);
    converter.setOutputFormat(out, 16, 2);
    converter.prepare();
    const auto* samples = reinterpret_cast<const int16_t*>(data + 12);
    uint32_t left = static_cast<uint32_t>((size - 12) / 2 / channels);
    size_t at = 0;
    for (int call = 0; call < 10000; ++call) {
        uint32_t frames = left == 0 ? 0 : 1 + (data[9 + call % 3] * 131u + call) % left;
        uint32_t produced = 0;
        const uint32_t offered = frames;
        converter.convert(frames > 0 ? samples + at * channels : nullptr, &frames, &produced);
        if (produced > ResampleEffect::kOutFrames || frames > offered) {
            std::abort();
        }
        at += frames;
        left -= frames;
        if (left == 0 && converter.carriedSamples() == 0) {
            break;
        }
    }
    return 0;
}
