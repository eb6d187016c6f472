#include "support/audio_files.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/wait.h>
#include <unistd.h>

namespace timbrelo::test {

std::string runCommand(const std::string& command, int* status) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        if (status != nullptr) {
            *status = -1;
        }
        return out;
    }
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        out.append(buffer, n);
    }
    const int rc = ::pclose(pipe);
    if (status != nullptr) {
        *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    return out;
}

std::string shellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') {
            q += "'\\''";
        } else {
            q += c;
        }
    }
    return q + "'";
}

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
    const std::string raw =
        runCommand("sox -q " + shellQuote(path) + " -t raw -e signed-integer -b 16 -L -c " +
                   std::to_string(channels) + " - 2>/dev/null");
    return asSamples(std::vector<uint8_t>(raw.begin(), raw.end()));
}

std::vector<int16_t> decodeMp3WithLame(const std::string& path, const std::string& scratchDir) {
    const std::string wav = scratchDir + "/lame-decoded.wav";
    int status = 0;
    runCommand("lame --quiet --decode " + shellQuote(path) + " " + shellQuote(wav) + " 2>/dev/null",
               &status);
    std::optional<WavContents> w = readWav(wav);
    ::unlink(wav.c_str());
    return status == 0 && w ? asSamples(w->data) : std::vector<int16_t>{};
}

std::vector<uint8_t> asBytes(const std::vector<int16_t>& samples) {
    std::vector<uint8_t> out(samples.size() * 2);
    std::memcpy(out.data(), samples.data(), out.size());
    return out;
}

std::vector<int16_t> asSamples(const std::vector<uint8_t>& bytes) {
    std::vector<int16_t> out(bytes.size() / 2);
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}

} // namespace timbrelo::test
