#include "support/audio_files.h"

#include "support/process.h"
#include "support/signals.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <unistd.h>

namespace timbrelo::test {

std::vector<uint8_t> fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::optional<WavContents> readWav(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    WavInfo info;
    std::string error;
    const bool ok = readWavInfo(fd, info, error);
    ::close(fd);
    if (!ok) {
        return std::nullopt;
    }
    const std::vector<uint8_t> bytes = fileBytes(path);
    WavContents w;
    w.format = info.format;
    std::memcpy(&w.riffSize, bytes.data() + 4, 4);
    std::memcpy(&w.dataSize, bytes.data() + info.dataOffset - 4, 4);
    w.data.assign(bytes.begin() + static_cast<long>(info.dataOffset),
                  bytes.begin() + static_cast<long>(info.dataOffset + info.dataBytes));
    return w;
}

std::vector<int16_t> decodeMp3WithSox(const std::string& path, int channels) {
    const std::string raw = runCommand({"sox", "-q", path, "-t", "raw", "-e", "signed-integer",
                                        "-b", "16", "-L", "-c", std::to_string(channels), "-"})
                                .output;
    return asSamples(std::vector<uint8_t>(raw.begin(), raw.end()));
}

std::vector<int16_t> decodeMp3WithLame(const std::string& path, const std::string& scratchDir) {
    const std::string wav = scratchDir + "/lame-decoded.wav";
    const int status = runCommand({"lame", "--quiet", "--decode", path, wav}).status;
    std::optional<WavContents> w = readWav(wav);
    ::unlink(wav.c_str());
    return status == 0 && w ? asSamples(w->data) : std::vector<int16_t>{};
}

std::vector<uint8_t> asBytes(const std::vector<int16_t>& samples) {
    std::vector<uint8_t> out(samples.size() * 2);
    if (!out.empty()) {
        std::memcpy(out.data(), samples.data(), out.size());
    }
    return out;
}

std::vector<int16_t> asSamples(const std::vector<uint8_t>& bytes) {
    std::vector<int16_t> out(bytes.size() / 2);
    if (!out.empty()) { // an empty vector's data may be null, which memcpy must not get
        std::memcpy(out.data(), bytes.data(), out.size() * 2);
    }
    return out;
}

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
              uint16_t channels) {
    const std::string wav = path + ".source.wav";
    writeWav(wav, samples, rate, channels);
    if (runCommand({"lame", "--quiet", "-b", "128", wav, path}).status != 0) {
        throw std::runtime_error("the MP3 encoder failed on " + wav +
                                 " (is Debian's package \"lame\" installed?)");
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

std::string junkBytes(size_t size, uint32_t seed) {
    std::string junk(size, '\0');
    for (char& c : junk) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 23);
    }
    return junk;
}

} // namespace timbrelo::test
