#include "sim/pcm_source.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <numbers>
#include <sys/stat.h>
#include <unistd.h>

namespace timbrelo {

ToneSource::ToneSource(double frequency, double amplitude, double seconds)
    : frequency_(frequency), amplitude_(amplitude), seconds_(seconds) {}

bool ToneSource::begin(const StreamFormat& format) {
    if (!format.valid()) {
        return false;
    }
    format_ = format;
    frame_ = 0;
    endFrame_ = seconds_ > 0 ? static_cast<uint64_t>(seconds_ * format.rate) : UINT64_MAX;
    return true;
}

uint32_t ToneSource::read(std::span<int16_t> samples) {
    const auto frames = static_cast<uint32_t>(
        std::min<uint64_t>(samples.size() / format_.channels, endFrame_ - frame_));
    for (uint32_t i = 0; i < frames; ++i, ++frame_) {
        // The phase is taken modulo one period so that long runs keep full precision.
        const double cycles =
            std::fmod(static_cast<double>(frame_) * frequency_ / format_.rate, 1.0);
        const auto v = static_cast<int16_t>(
            std::lround(amplitude_ * 32767.0 * std::sin(2.0 * std::numbers::pi * cycles)));
        std::fill_n(samples.begin() + size_t{i} * format_.channels, format_.channels, v);
    }
    return frames;
}

MemorySource::MemorySource(std::vector<int16_t> samples, StreamFormat format)
    : samples_(std::move(samples)), format_(format) {}

bool MemorySource::begin(const StreamFormat& format) {
    position_ = 0;
    return format == format_;
}

uint32_t MemorySource::read(std::span<int16_t> samples) {
    const size_t channels = format_.channels;
    const size_t frames =
        std::min(samples.size() / channels, (samples_.size() - position_) / channels);
    std::copy_n(samples_.begin() + static_cast<ptrdiff_t>(position_), frames * channels,
                samples.begin());
    position_ += frames * channels;
    return static_cast<uint32_t>(frames);
}

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

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatExtensible = 0xFFFE;

// Finds the format and the sample data of a 16-bit PCM RIFF "WAVE" file; false with a reason.
bool readWavHeader(int fd, StreamFormat& format, uint64_t& dataStart, uint64_t& dataBytes,
                   std::string& error) {
    struct stat st {};
    uint8_t riff[12];
    if (::fstat(fd, &st) != 0 || !readAt(fd, 0, riff, sizeof riff) ||
        std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0) {
        error = "not a RIFF WAVE file";
        return false;
    }
    const auto fileSize = static_cast<uint64_t>(st.st_size);
    bool haveFormat = false;
    for (uint64_t pos = 12; pos + 8 <= fileSize;) {
        uint8_t head[8];
        if (!readAt(fd, pos, head, sizeof head)) {
            break;
        }
        const uint64_t size = le32(head + 4);
        const uint64_t body = pos + 8;
        if (std::memcmp(head, "fmt ", 4) == 0) {
            uint8_t fmt[26] = {};
            if (size < 16 || !readAt(fd, body, fmt, std::min<uint64_t>(size, sizeof fmt))) {
                error = "the \"fmt \" chunk is damaged";
                return false;
            }
            const uint16_t tag = le16(fmt);
            const bool pcm = tag == kFormatPcm ||
                             (tag == kFormatExtensible && size >= 26 && le16(fmt + 24) == 1);
            format = StreamFormat{le32(fmt + 4), le16(fmt + 2)};
            if (!pcm || le16(fmt + 14) != 16 || !format.valid()) {
                error = "only 16-bit PCM WAV files of one or two channels can be played";
                return false;
            }
            haveFormat = true;
        } else if (std::memcmp(head, "data", 4) == 0) {
            if (!haveFormat) {
                error = "the \"data\" chunk comes before the \"fmt \" chunk";
                return false;
            }
            dataStart = body;
            // Cut to what the file really holds, in whole frames.
            const uint64_t held = std::min(size, fileSize - body);
            dataBytes = held - held % format.frameBytes();
            return true;
        }
        pos = body + size + (size & 1); // chunks are padded to even sizes
    }
    error = haveFormat ? "no \"data\" chunk" : "no \"fmt \" chunk";
    return false;
}

} // namespace

std::unique_ptr<WavFileSource> WavFileSource::open(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    StreamFormat format;
    uint64_t dataStart = 0;
    uint64_t dataBytes = 0;
    std::string reason;
    if (!readWavHeader(fd, format, dataStart, dataBytes, reason)) {
        ::close(fd);
        error = path + ": " + reason;
        return nullptr;
    }
    return std::unique_ptr<WavFileSource>(new WavFileSource(fd, format, dataStart, dataBytes));
}

WavFileSource::WavFileSource(int fd, StreamFormat format, uint64_t dataStart, uint64_t dataBytes)
    : fd_(fd), format_(format), dataStart_(dataStart), dataBytes_(dataBytes), offset_(dataStart),
      remaining_(dataBytes) {}

WavFileSource::~WavFileSource() {
    ::close(fd_);
}

bool WavFileSource::begin(const StreamFormat& format) {
    offset_ = dataStart_;
    remaining_ = dataBytes_;
    return format == format_;
}

uint32_t WavFileSource::read(std::span<int16_t> samples) {
    // The samples are little-endian in the file and in memory alike.
    const uint32_t frameBytes = format_.frameBytes();
    const uint64_t want =
        std::min<uint64_t>(samples.size() / format_.channels * frameBytes, remaining_);
    auto* dst = reinterpret_cast<uint8_t*>(samples.data());
    uint64_t got = 0;
    while (got < want) {
        const ssize_t n = ::pread(fd_, dst + got, want - got, static_cast<off_t>(offset_));
        if (n <= 0) {
            remaining_ = 0; // a read error ends the input
            break;
        }
        got += static_cast<uint64_t>(n);
        offset_ += static_cast<uint64_t>(n);
        remaining_ -= static_cast<uint64_t>(n);
    }
    // A torn last frame (a read error mid-frame) is not delivered.
    return static_cast<uint32_t>(got / frameBytes);
}

} // namespace timbrelo
