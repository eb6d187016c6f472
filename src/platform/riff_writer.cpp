#include "platform/riff_writer.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace timbrelo {
namespace {

constexpr uint64_t kMaxChunkBytes = 0xFFFFFFFEu; // the largest even 32-bit size

void putLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

} // namespace

RiffWriter::~RiffWriter() {
    close();
}

RiffWriter::RiffWriter(RiffWriter&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), end_(other.end_), chunks_(other.chunks_),
      depth_(std::exchange(other.depth_, 0)) {}

RiffWriter& RiffWriter::operator=(RiffWriter&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        end_ = other.end_;
        chunks_ = other.chunks_;
        depth_ = std::exchange(other.depth_, 0);
    }
    return *this;
}

bool RiffWriter::create(const std::string& path) {
    close();
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        return false;
    }
    // Exclusive: if something recreated the name since the unlink, it is not ours to clobber.
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    end_ = 0;
    depth_ = 0;
    return fd_ >= 0;
}

bool RiffWriter::createChunk(const char (&id)[5], const char* formType) {
    if (fd_ < 0 || depth_ == kMaxDepth) {
        return false;
    }
    uint8_t head[12];
    std::memcpy(head, id, 4);
    putLe32(head + 4, 0);
    size_t headBytes = 8;
    if (formType != nullptr) {
        std::memcpy(head + 8, formType, 4);
        headBytes = 12;
    }
    const Chunk chunk{end_ + 4, end_ + 8};
    if (!writeAll(head, headBytes)) {
        return false;
    }
    chunks_[depth_++] = chunk;
    return true;
}

bool RiffWriter::write(const void* data, size_t bytes) {
    if (fd_ < 0 || depth_ == 0) {
        return false;
    }
    // The outermost chunk is the largest.
    if (end_ + bytes - chunks_[0].bodyStart > kMaxChunkBytes) {
        errno = EFBIG;
        return false;
    }
    return writeAll(data, bytes);
}

bool RiffWriter::ascend() {
    if (fd_ < 0 || depth_ == 0) {
        return false;
    }
    const Chunk& chunk = chunks_[depth_ - 1];
    if ((end_ - chunk.bodyStart) % 2 != 0) {
        const uint8_t pad = 0;
        if (!writeAll(&pad, 1)) {
            return false;
        }
    }
    if (!writeSize(chunk, end_)) {
        return false;
    }
    --depth_;
    return true;
}

bool RiffWriter::updateSizes() {
    for (int i = 0; i < depth_; ++i) {
        if (!writeSize(chunks_[i], end_)) {
            return false;
        }
    }
    return fd_ >= 0;
}

bool RiffWriter::close() {
    if (fd_ < 0) {
        return true;
    }
    const int fd = std::exchange(fd_, -1);
    depth_ = 0;
    return ::close(fd) == 0;
}

bool RiffWriter::writeAll(const void* data, size_t bytes) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (bytes > 0) {
        const ssize_t n = ::write(fd_, p, bytes);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        bytes -= static_cast<size_t>(n);
        end_ += static_cast<uint64_t>(n);
    }
    return true;
}

bool RiffWriter::writeSize(const Chunk& chunk, uint64_t end) {
    uint8_t size[4];
    putLe32(size, static_cast<uint32_t>(end - chunk.bodyStart));
    return ::pwrite(fd_, size, sizeof size, static_cast<off_t>(chunk.sizeOffset)) ==
           static_cast<ssize_t>(sizeof size);
}

} // namespace timbrelo
