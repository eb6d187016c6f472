#pragma once

#include <cstdint>

namespace timbrelo {

// Sample rate in Hz, bits per sample, channel count.
struct AudioFormat {
    uint32_t rate = 0;
    uint32_t bits = 0;
    uint32_t channels = 0;
};

// The one format of the whole pipeline: 2 channels, 22050 Hz, 16-bit signed little-endian.
inline constexpr uint32_t kPipelineRate = 22050;
inline constexpr uint32_t kPipelineChannels = 2;
inline constexpr uint32_t kPipelineBits = 16;
inline constexpr uint32_t kPipelineFrameBytes = kPipelineChannels * kPipelineBits / 8;

// Saturates a wide sample to the 16-bit range.
constexpr int16_t saturate16(int32_t v) {
    return static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
}

} // namespace timbrelo
