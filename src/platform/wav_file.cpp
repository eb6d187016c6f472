#include "platform/wav_file.h"

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace timbrelo {
namespace {

uint32_t le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}
uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

bool readAt(int fd, uint64_t offset, void* dst, size_t bytes) {
    return ::pread(fd, dst, bytes, static_cast<off_t>(offset)) == static_cast<ssize_t>(bytes);
}

} // namespace

bool readWavInfo(int fd, WavInfo& info, std::string& error) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = "can't read the file";
        return false;
    }
    const uint64_t fileSize = static_cast<uint64_t>(st.st_size);
    uint8_t riff[12];
    if (!readAt(fd, 0, riff, sizeof riff) || std::memcmp(riff, "RIFF", 4) != 0 ||
        std::memcmp(riff + 8, "WAVE", 4) != 0) {
        error = "not a RIFF WAVE file";
        return false;
    }
    bool haveFormat = false;
    uint64_t pos = 12;
    while (pos + 8 <= fileSize) {
        uint8_t head[8];
        if (!readAt(fd, pos, head, sizeof head)) {
            break;
        }
        const uint64_t size = le32(head + 4);
        const uint64_t body = pos + 8;
        if (std::memcmp(head, "fmt ", 4) == 0) {
            uint8_t fmt[16];
            if (size < 16 || !readAt(fd, body, fmt, sizeof fmt)) {
                error = "the \"fmt \" chunk is damaged";
                return false;
            }
            info.format.tag = le16(fmt);
            info.format.channels = le16(fmt + 2);
            info.format.rate = le32(fmt + 4);
            info.format.byteRate = le32(fmt + 8);
            info.format.blockAlign = le16(fmt + 12);
            info.format.bits = le16(fmt + 14);
            haveFormat = true;
        } else if (std::memcmp(head, "data", 4) == 0) {
            if (!haveFormat) {
                error = "the \"data\" chunk comes before the \"fmt \" chunk";
                return false;
            }
            info.dataOffset = body;
            info.dataBytes = std::min(size, fileSize - body);
            return true;
        }
        pos = body + size + (size & 1); // chunks are padded to even sizes
    }
    error = haveFormat ? "no \"data\" chunk" : "no \"fmt \" chunk";
    return false;
}

} // namespace timbrelo
