#pragma once
// Where a simulated input device gets its samples: a generated tone, samples handed over in
// memory, or the sample data of a WAV file. A source belongs to one device; every stream
// opened on the device plays it from its beginning (one stream at a time: they share it).
//
// Threads: begin on the control thread that opens a stream; read on that stream's thread.

#include "platform/audio_io/stream_format.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace timbrelo {

class PcmSource {
  public:
    virtual ~PcmSource() = default;
    // Prepares to deliver in `format` from the source's beginning; false when the source
    // can't (the stream's open is then refused with BadFormat).
    virtual bool begin(const StreamFormat& format) = 0;
    // Fills up to `samples.size() / channels` frames and returns how many it filled: fewer
    // only at the end of the input, 0 once it is over. May block (a test holding it back).
    virtual uint32_t read(std::span<int16_t> samples) = 0;
};

// A sine tone of `frequency` Hz and peak `amplitude` (0..1 of full scale) on every channel,
// for `seconds` seconds, or endlessly when seconds <= 0. Any rate and channel count.
class ToneSource : public PcmSource {
  public:
    ToneSource(double frequency, double amplitude, double seconds);
    bool begin(const StreamFormat& format) override;
    uint32_t read(std::span<int16_t> samples) override;

  private:
    double frequency_;
    double amplitude_;
    double seconds_;
    StreamFormat format_;
    uint64_t frame_ = 0;
    uint64_t endFrame_ = 0;
};

// Interleaved samples in `format`, delivered once per stream; a stream of another format is
// refused.
class MemorySource : public PcmSource {
  public:
    MemorySource(std::vector<int16_t> samples, StreamFormat format);
    bool begin(const StreamFormat& format) override;
    uint32_t read(std::span<int16_t> samples) override;

  private:
    std::vector<int16_t> samples_;
    StreamFormat format_;
    size_t position_ = 0; // in samples
};

// The sample data of a 16-bit PCM WAV file, read from the file as the stream goes; delivered
// once per stream, to streams of the file's own format.
class WavFileSource : public PcmSource {
  public:
    // Null with a one-line reason in `error` when the file can't be read as such a WAV file.
    // Control thread; reads the file's header.
    static std::unique_ptr<WavFileSource> open(const std::string& path, std::string& error);
    ~WavFileSource() override;
    WavFileSource(const WavFileSource&) = delete;
    WavFileSource& operator=(const WavFileSource&) = delete;

    bool begin(const StreamFormat& format) override;
    uint32_t read(std::span<int16_t> samples) override;
    const StreamFormat& format() const { return format_; }

  private:
    WavFileSource(int fd, StreamFormat format, uint64_t dataStart, uint64_t dataBytes);

    int fd_;
    StreamFormat format_;
    uint64_t dataStart_; // file offset of the first sample
    uint64_t dataBytes_; // whole frames only
    uint64_t offset_;
    uint64_t remaining_;
};

} // namespace timbrelo
