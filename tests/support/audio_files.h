#pragma once
// Audio files for tests, made at test time: WAV files written here, MP3 files encoded from
// them with Debian's `lame` program.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace timbrelo::test {

// Writes interleaved 16-bit samples as a PCM WAV file ("fmt " then "data").
void writeWav(const std::string& path, std::span<const int16_t> samples, uint32_t rate,
              uint16_t channels);

// Encodes the samples to an MP3 file with the `lame` program (`options` go on its command
// line). Throws std::runtime_error, naming the package, when the encoder fails or is missing.
void writeMp3(const std::string& path, std::span<const int16_t> samples, uint32_t rate,
              uint16_t channels, const std::string& options = "-b 128");

// Left and right channels of different tones, interleaved.
std::vector<int16_t> makeStereoTones(double left, double right, double seconds, double rate,
                                     double amplitude = 0.4);

} // namespace timbrelo::test
