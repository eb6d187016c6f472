#include "audio/mp3_recording.h"

#include "platform/debug.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <unistd.h>

namespace timbrelo {
namespace {

bool writeFully(int fd, const uint8_t* data, size_t bytes) {
    while (bytes > 0) {
        const ssize_t n = ::write(fd, data, bytes);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        bytes -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

Mp3Recording::~Mp3Recording() {
    if (streamLive_) {
        encoder_.closeStream(stream_);
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool Mp3Recording::open(const EncoderEntries& encoder, const std::string& path,
                        const StreamFormat& format, uint32_t stagingBytes,
                        RecordingNotices& notices) {
    BE_CONFIG config;
    std::memset(&config, 0, sizeof config);
    config.dwConfig = BE_CONFIG_LAME;
    BE_CONFIG_LHV1& c = config.format.LHV1;
    c.dwStructVersion = 1;
    c.dwStructSize = sizeof config;
    c.dwSampleRate = format.rate;
    c.dwReSampleRate = 0;
    c.nMode = format.channels == 1 ? BE_MP3_MODE_MONO : BE_MP3_MODE_JSTEREO;
    c.dwBitrate = 128;
    c.dwMaxBitrate = 0;
    c.nPreset = LQP_STANDARD;
    c.dwMpegVersion = MPEG1;
    c.bOriginal = 1;
    c.bWriteVBRHeader = 1;
    c.bNoRes = 1;

    uint32_t samples = 0;
    uint32_t outputBytes = 0;
    HBE_STREAM stream = 0;
    if (BE_ERR rc = encoder.initStream(&config, &samples, &outputBytes, &stream); rc != 0) {
        notices.addf("%s (%lu)", loadString(IDS_ENCODER_STREAM), static_cast<unsigned long>(rc));
        return false;
    }
    const uint32_t chunkBytes = samples * sizeof(int16_t);
    // Room for more than one chunk, or the staging buffer could never encode.
    const uint32_t capacity = std::max(stagingBytes, 2 * chunkBytes);

    ::unlink(path.c_str()); // when it can't go, the exclusive create below fails and says so
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        encoder.closeStream(stream);
        notices.addf("Error creating file %s", path.c_str());
        return false;
    }
    try {
        output_.assign(outputBytes, 0);
        staging_.assign(capacity, 0);
    } catch (const std::bad_alloc&) {
        encoder.closeStream(stream);
        ::close(fd);
        ::unlink(path.c_str());
        notices.add(IDS_OUT_OF_MEMORY);
        return false;
    }
    encoder_ = encoder;
    fd_ = fd;
    stream_ = stream;
    streamLive_ = true;
    stagingFill_ = 0;
    chunkBytes_ = chunkBytes;
    path_ = path;
    failed_ = false;
    return true;
}

void Mp3Recording::stage(std::span<const int16_t> samples, RecordingNotices& notices) {
    if (fd_ < 0) {
        return;
    }
    const auto* data = reinterpret_cast<const uint8_t*>(samples.data());
    uint32_t bytes = static_cast<uint32_t>(samples.size_bytes());
    const uint32_t capacity = static_cast<uint32_t>(staging_.size());
    uint8_t* staging = staging_.data();
    while (bytes > 0) {
        const uint32_t p = std::min(capacity - stagingFill_, bytes);
        std::memcpy(staging + stagingFill_, data, p);
        stagingFill_ += p;
        data += p;
        bytes -= p;
        // Only whole chunks with more behind them: an exact chunk waits for the next flush.
        uint32_t done = 0;
        while (stagingFill_ - done > chunkBytes_) {
            encode(staging + done, chunkBytes_, notices);
            done += chunkBytes_;
        }
        if (done > 0) {
            std::memmove(staging, staging + done, stagingFill_ - done);
            stagingFill_ -= done;
        }
    }
}

void Mp3Recording::close(RecordingNotices& notices) {
    if (fd_ < 0) {
        return;
    }
    // The staging buffer's last partial chunk is part of the recording too.
    for (uint32_t at = 0; at < stagingFill_; at += chunkBytes_) {
        encode(staging_.data() + at, std::min(chunkBytes_, stagingFill_ - at), notices);
    }
    stagingFill_ = 0;
    if (streamLive_) {
        uint32_t bytes = 0;
        if (BE_ERR rc = encoder_.deinitStream(stream_, output_.data(), &bytes); rc != 0) {
            encoder_.closeStream(stream_);
            streamLive_ = false;
            notices.addf("beExitStream failed (%lu)", static_cast<unsigned long>(rc));
        }
        if (bytes > 0) {
            writeOut(output_.data(), bytes, notices);
        }
    }
    if (streamLive_) {
        encoder_.closeStream(stream_);
        streamLive_ = false;
    }
    std::vector<uint8_t>().swap(output_);
    std::vector<uint8_t>().swap(staging_);
    if (::close(fd_) != 0 && !failed_) {
        notices.add(IDS_WRITE_FILE_FAILED);
    }
    fd_ = -1;
    const BE_ERR rc = encoder_.writeInfoTag != nullptr
                          ? encoder_.writeInfoTag(stream_, path_.c_str())
                          : encoder_.writeVbrHeader(path_.c_str());
    if (rc != 0) {
        debugPrintf("MP3 length tag not written to %s (%lu)\n", path_.c_str(),
                    static_cast<unsigned long>(rc));
    }
    stream_ = 0;
}

void Mp3Recording::encode(const uint8_t* pcm, uint32_t bytes, RecordingNotices& notices) {
    // After a failure the stream is closed: nothing may call into it again.
    if (!streamLive_) {
        return;
    }
    uint32_t out = 0;
    const BE_ERR rc = encoder_.encodeChunk(
        stream_, bytes / 2, reinterpret_cast<const int16_t*>(pcm), output_.data(), &out);
    if (rc != 0) {
        encoder_.closeStream(stream_);
        streamLive_ = false;
        notices.addf("m_ForMp3_Proc_hEncodeChunk() failed (%lu)", static_cast<unsigned long>(rc));
        return;
    }
    if (out > 0) {
        writeOut(output_.data(), out, notices);
    }
}

void Mp3Recording::writeOut(const uint8_t* data, uint32_t bytes, RecordingNotices& notices) {
    if (failed_) {
        return;
    }
    if (!writeFully(fd_, data, bytes)) {
        failed_ = true;
        notices.add(IDS_WRITE_FILE_FAILED);
    }
}

} // namespace timbrelo
