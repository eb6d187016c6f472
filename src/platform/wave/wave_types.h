#pragma once
// The records and result codes shared by the audio back ends and the audio pipeline.

#include <cstdint>

namespace timbrelo {

using MmResult = uint32_t;
inline constexpr MmResult MMSYSERR_NOERROR = 0;
inline constexpr MmResult MMSYSERR_ERROR = 1;
inline constexpr MmResult MMSYSERR_BADDEVICEID = 2;
inline constexpr MmResult MMSYSERR_NOTENABLED = 3;
inline constexpr MmResult MMSYSERR_ALLOCATED = 4;
inline constexpr MmResult MMSYSERR_INVALHANDLE = 5;
inline constexpr MmResult MMSYSERR_NODRIVER = 6;
inline constexpr MmResult MMSYSERR_NOMEM = 7;
inline constexpr MmResult MMSYSERR_NOTSUPPORTED = 8;
inline constexpr MmResult MMSYSERR_INVALPARAM = 11;
inline constexpr MmResult WAVERR_BADFORMAT = 32;
inline constexpr MmResult WAVERR_STILLPLAYING = 33;
inline constexpr MmResult WAVERR_UNPREPARED = 34;

// Device number that means "the system's preferred device".
inline constexpr uint32_t kWaveMapper = 0xFFFFFFFFu;
// Longest device product name, as the device lists report it.
inline constexpr uint32_t kMaxProductName = 31;

// The wave format record; also the 18-byte "fmt " chunk of WAV files.
struct WaveFormat {
    uint16_t formatTag = 1; // 1 = PCM
    uint16_t channels = 0;
    uint32_t samplesPerSec = 0;
    uint32_t avgBytesPerSec = 0;
    uint16_t blockAlign = 0;
    uint16_t bitsPerSample = 0;
    uint16_t cbSize = 0;

    static WaveFormat pcm(uint16_t channels, uint32_t rate, uint16_t bits) {
        WaveFormat f;
        f.channels = channels;
        f.samplesPerSec = rate;
        f.bitsPerSample = bits;
        f.blockAlign = static_cast<uint16_t>(channels * (bits / 8));
        f.avgBytesPerSec = rate * f.blockAlign;
        return f;
    }
    bool operator==(const WaveFormat&) const = default;
};
inline constexpr uint32_t kWaveFormatBytes = 18;

// Header flags.
inline constexpr uint32_t WHDR_DONE = 0x01;
inline constexpr uint32_t WHDR_PREPARED = 0x02;
inline constexpr uint32_t WHDR_INQUEUE = 0x10;

// One buffer handed to a device.
struct WaveHeader {
    uint8_t* data = nullptr;
    uint32_t bufferLength = 0;
    uint32_t bytesRecorded = 0; // input: bytes filled; output: bytes to play
    uintptr_t user = 0;
    uint32_t flags = 0;
};

// Buffer count of capture and playback: channels + bits / 8 + rate / 11025.
constexpr uint32_t bufferCountFor(uint32_t channels, uint32_t bits, uint32_t rate) {
    return channels + bits / 8 + rate / 11025;
}

} // namespace timbrelo
