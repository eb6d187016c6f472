#include "platform/wave/pcm_source.h"

#include "platform/wav_file.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <numbers>
#include <unistd.h>

namespace timbrelo {

ToneSource::ToneSource(double frequency, double amplitude, double seconds)
    : frequency_(frequency), amplitude_(amplitude), seconds_(seconds) {}

bool ToneSource::begin(const WaveFormat& format) {
    if (format.formatTag != 1 || format.bitsPerSample != 16 || format.channels == 0 ||
        format.samplesPerSec == 0) {
        return false;
    }
    format_ = format;
    frame_ = 0;
    endFrame_ = seconds_ > 0 ? static_cast<uint64_t>(seconds_ * format.samplesPerSec) : UINT64_MAX;
    return true;
}

size_t ToneSource::read(uint8_t* dst, size_t bytes) {
    const size_t frameBytes = format_.blockAlign;
    size_t frames = std::min<uint64_t>(bytes / frameBytes, endFrame_ - frame_);
    for (size_t i = 0; i < frames; ++i, ++frame_) {
        // The phase is taken modulo one period so that long runs keep full precision.
        const double cycles =
            std::fmod(static_cast<double>(frame_) * frequency_ / format_.samplesPerSec, 1.0);
        const auto v = static_cast<int16_t>(
            std::lround(amplitude_ * 32767.0 * std::sin(2.0 * std::numbers::pi * cycles)));
        for (uint16_t c = 0; c < format_.channels; ++c) {
            std::memcpy(dst + i * frameBytes + c * 2, &v, 2);
        }
    }
    return frames * frameBytes;
}

MemorySource::MemorySource(std::vector<int16_t> samples, WaveFormat format)
    : samples_(std::move(samples)), format_(format) {}

bool MemorySource::begin(const WaveFormat& format) {
    position_ = 0;
    return format == format_;
}

size_t MemorySource::read(uint8_t* dst, size_t bytes) {
    const size_t total = samples_.size() * sizeof(int16_t);
    size_t n = std::min(bytes, total - position_);
    std::memcpy(dst, reinterpret_cast<const uint8_t*>(samples_.data()) + position_, n);
    position_ += n;
    return n;
}

std::unique_ptr<WavFileSource> WavFileSource::open(const std::string& path, std::string& error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    WavInfo info;
    std::string reason;
    if (!readWavInfo(fd, info, reason)) {
        ::close(fd);
        error = path + ": " + reason;
        return nullptr;
    }
    if (info.format.formatTag != 1 || info.format.bitsPerSample != 16) {
        ::close(fd);
        error = path + ": only 16-bit PCM WAV files can be played";
        return nullptr;
    }
    return std::unique_ptr<WavFileSource>(
        new WavFileSource(fd, info.format, info.dataOffset, info.dataBytes));
}

WavFileSource::WavFileSource(int fd, WaveFormat format, uint64_t offset, uint64_t bytes)
    : fd_(fd), format_(format), dataStart_(offset), dataBytes_(bytes), offset_(offset),
      remaining_(bytes) {}

WavFileSource::~WavFileSource() {
    ::close(fd_);
}

bool WavFileSource::begin(const WaveFormat& format) {
    offset_ = dataStart_;
    remaining_ = dataBytes_;
    return format.channels == format_.channels && format.samplesPerSec == format_.samplesPerSec &&
           format.bitsPerSample == format_.bitsPerSample;
}

size_t WavFileSource::read(uint8_t* dst, size_t bytes) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(bytes, remaining_));
    size_t got = 0;
    while (got < want) {
        ssize_t n = ::pread(fd_, dst + got, want - got, static_cast<off_t>(offset_));
        if (n <= 0) {
            remaining_ = 0; // a read error ends the input
            break;
        }
        got += static_cast<size_t>(n);
        offset_ += static_cast<uint64_t>(n);
        remaining_ -= static_cast<uint64_t>(n);
    }
    return got;
}

} // namespace timbrelo
