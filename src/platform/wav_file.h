#pragma once
// Finding the format and the sample data of a RIFF "WAVE" file.

#include "platform/wave/wave_types.h"

#include <cstdint>
#include <string>

namespace timbrelo {

struct WavInfo {
    WaveFormat format;
    uint64_t dataOffset = 0; // file offset of the first sample byte
    uint64_t dataBytes = 0;  // size of the "data" chunk, cut to what the file really holds
};

// Reads the chunk list of the open file descriptor. False with a one-line reason in `error`
// when the file is not a WAV file with a "fmt " chunk before its "data" chunk. The file
// position is left unspecified.
bool readWavInfo(int fd, WavInfo& info, std::string& error);

} // namespace timbrelo
