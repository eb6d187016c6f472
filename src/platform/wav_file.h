#pragma once
// Finding the format and the sample data of a RIFF "WAVE" file.

#include <cstdint>
#include <string>

namespace timbrelo {

// The "fmt " chunk of a WAV file as the file states it.
struct WavFormat {
    uint16_t tag = 0; // 1: PCM
    uint16_t channels = 0;
    uint32_t rate = 0;
    uint32_t byteRate = 0;
    uint16_t blockAlign = 0;
    uint16_t bits = 0;
};
// Size of the "fmt " chunk the program writes (the fields above and an extra size of 0).
inline constexpr uint32_t kWavFormatChunkBytes = 18;

struct WavInfo {
    WavFormat format;
    uint64_t dataOffset = 0; // file offset of the first sample byte
    uint64_t dataBytes = 0;  // size of the "data" chunk, cut to what the file really holds
};

// Reads the chunk list of the open file descriptor. False with a one-line reason in `error`
// when the file is not a WAV file with a "fmt " chunk before its "data" chunk. The file
// position is left unspecified.
bool readWavInfo(int fd, WavInfo& info, std::string& error);

} // namespace timbrelo
