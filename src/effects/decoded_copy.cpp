#include "effects/decoded_copy.h"

#include "platform/debug.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace timbrelo {
namespace {

void put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
    put16(p, v);
    put16(p + 2, v >> 16);
}

} // namespace

void DecodedCopy::create(const std::string& path, uint32_t rate, uint16_t channels) {
    close();
    // A fixed name in a shared folder: replace whatever is there, never follow a link.
    ::unlink(path.c_str());
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        debugPrintf("Can't write %s: %s.\n", path.c_str(), std::strerror(errno));
        return;
    }
    uint8_t h[kHeaderBytes] = {};
    std::memcpy(h, "RIFF", 4);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    put32(h + 16, 18);
    put16(h + 20, 1);
    put16(h + 22, channels);
    put32(h + 24, rate);
    put32(h + 28, rate * channels * 2);
    put16(h + 32, channels * 2);
    put16(h + 34, 16);
    std::memcpy(h + 38, "data", 4);
    dataBytes_ = 0;
    if (!writeAt(h, sizeof h, 0)) {
        close();
        return;
    }
    writeSizes();
}

void DecodedCopy::append(const int16_t* samples, uint32_t frames, uint16_t channels) {
    if (fd_ < 0 || frames == 0) {
        return;
    }
    const uint64_t bytes = uint64_t{frames} * channels * 2;
    if (kHeaderBytes - 8 + uint64_t{dataBytes_} + bytes > UINT32_MAX) {
        close(); // full: what is there stays a valid file
        return;
    }
    if (!writeAt(samples, bytes, kHeaderBytes + uint64_t{dataBytes_})) {
        close();
        return;
    }
    dataBytes_ += static_cast<uint32_t>(bytes);
    writeSizes();
}

void DecodedCopy::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool DecodedCopy::writeAt(const void* data, size_t bytes, uint64_t offset) {
    return ::pwrite(fd_, data, bytes, static_cast<off_t>(offset)) == static_cast<ssize_t>(bytes);
}

void DecodedCopy::writeSizes() {
    uint8_t v[4];
    put32(v, kHeaderBytes - 8 + dataBytes_);
    writeAt(v, 4, 4);
    put32(v, dataBytes_);
    writeAt(v, 4, kHeaderBytes - 4);
}

} // namespace timbrelo
