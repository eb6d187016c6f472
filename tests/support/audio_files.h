#pragma once
// Audio files for tests, with tools that are not the program's own: WAV files written and read
// here through their chunk list, MP3 files made and decoded by Debian's encoder and sox.

#include "platform/wav_file.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace timbrelo::test {

struct WavContents {
    WavFormat format;
    uint32_t riffSize = 0;     // as the header says
    uint32_t dataSize = 0;     // as the header says
    std::vector<uint8_t> data; // the "data" chunk, cut to what the file holds
};
// Nothing when the file is not a WAV file with "fmt " and "data".
std::optional<WavContents> readWav(const std::string& path);

// MP3 decoded by sox (its MP3 handler), interleaved 16-bit samples of `channels` channels.
// The decoder does not trim the encoder's delay.
std::vector<int16_t> decodeMp3WithSox(const std::string& path, int channels);
// MP3 decoded by the lame front end, which trims delay and padding by the file's length tag.
std::vector<int16_t> decodeMp3WithLame(const std::string& path, const std::string& scratchDir);

std::vector<uint8_t> fileBytes(const std::string& path);
std::vector<uint8_t> asBytes(const std::vector<int16_t>& samples);
std::vector<int16_t> asSamples(const std::vector<uint8_t>& bytes);

// `size` bytes of reproducible junk (no file format of any kind), the same for the same seed.
std::string junkBytes(size_t size, uint32_t seed);

// Writes interleaved 16-bit samples as a PCM WAV file ("fmt " then "data").
void writeWav(const std::string& path, std::span<const int16_t> samples, uint32_t rate,
              uint16_t channels);

// Encodes the samples to a 128 kbit/s MP3 file with the `lame` program. Throws
// std::runtime_error, naming the package, when the encoder fails or is missing.
void writeMp3(const std::string& path, std::span<const int16_t> samples, uint32_t rate,
              uint16_t channels);

// Left and right channels of different tones, interleaved.
std::vector<int16_t> makeStereoTones(double left, double right, double seconds, double rate,
                                     double amplitude = 0.4);

} // namespace timbrelo::test
