#pragma once
// The format of an audio stream: interleaved signed 16-bit little-endian samples. The whole
// program runs at the pipeline format, 2 channels at 22050 Hz; counts are in frames (one
// sample per channel) unless a name says bytes.

#include <cstdint>

namespace timbrelo {

struct StreamFormat {
    uint32_t rate = 0;
    uint32_t channels = 0;

    constexpr uint32_t frameBytes() const { return channels * 2; }
    constexpr uint32_t bytesPerSecond() const { return rate * frameBytes(); }
    constexpr uint32_t framesToBytes(uint32_t frames) const { return frames * frameBytes(); }
    constexpr double framesToMs(double frames) const {
        return rate == 0 ? 0.0 : frames * 1000.0 / rate;
    }
    constexpr bool valid() const { return rate > 0 && (channels == 1 || channels == 2); }
    constexpr bool operator==(const StreamFormat&) const = default;
};

// The pipeline format: capture, both directions of the virtual device, the players and
// recordings.
inline constexpr StreamFormat kPipelineFormat{22050, 2};

// How many blocks capture and playback keep in flight: channels + bytes per sample +
// rate / 11025, which is 6 for the pipeline format. It sizes the recording writer's MP3
// staging buffer.
constexpr uint32_t blockCountFor(const StreamFormat& format) {
    return format.channels + 2 + format.rate / 11025;
}

} // namespace timbrelo
