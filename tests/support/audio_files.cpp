#include "support/audio_files.h"

#include "support/signals.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace timbrelo::test {
namespace {

void put(std::ofstream& out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.put(static_cast<char>(v >> (8 * i)));
    }
}

} // namespace

void writeWav(const std::string& path, std::span<const int16_t> samples, uint32_t rate,
              uint16_t channels) {
    std::ofstream out(path, std::ios::binary);
    const auto dataBytes = static_cast<uint32_t>(samples.size() * 2);
    out.write("RIFF", 4);
    put(out, 36 + dataBytes, 4);
    out.write("WAVEfmt ", 8);
    put(out, 16, 4);
    put(out, 1, 2);
    put(out, channels, 2);
    put(out, rate, 4);
    put(out, rate * channels * 2, 4);
    put(out, channels * 2u, 2);
    put(out, 16, 2);
    out.write("data", 4);
    put(out, dataBytes, 4);
    out.write(reinterpret_cast<const char*>(samples.data()), dataBytes);
    if (!out) {
        throw std::runtime_error("can't write " + path);
    }
}

void writeMp3(const std::string& path, std::span<const int16_t> samples, uint32_t rate,
              uint16_t channels, const std::string& options) {
    const std::string wav = path + ".source.wav";
    writeWav(wav, samples, rate, channels);
    const std::string command =
        "lame --quiet " + options + " '" + wav + "' '" + path + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("the MP3 encoder failed (is Debian's package \"lame\" "
                                 "installed?): " +
                                 command);
    }
    std::remove(wav.c_str());
}

std::vector<int16_t> makeStereoTones(double left, double right, double seconds, double rate,
                                     double amplitude) {
    const std::vector<int16_t> l = makeTone(left, seconds, rate, 1, amplitude);
    const std::vector<int16_t> r = makeTone(right, seconds, rate, 1, amplitude);
    std::vector<int16_t> out(l.size() * 2);
    for (size_t i = 0; i < l.size(); ++i) {
        out[2 * i] = l[i];
        out[2 * i + 1] = r[i];
    }
    return out;
}

} // namespace timbrelo::test
