#pragma once
// Where a simulated input device gets its samples: a WAV file in the pipeline format,
// a generated tone, or samples handed over in memory.

#include "platform/wave/wave_types.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace timbrelo {

class PcmSource {
  public:
    virtual ~PcmSource() = default;
    // Prepares to deliver in this format from the source's beginning; false when the source
    // can't (the device open is then refused).
    virtual bool begin(const WaveFormat& format) = 0;
    // Copies up to `bytes` bytes; fewer only at the end of the input (0 once it is over).
    virtual size_t read(uint8_t* dst, size_t bytes) = 0;
};

// A sine tone at the given frequency and peak amplitude (0..1 of full scale) on every channel,
// for `seconds` seconds, or endlessly when seconds <= 0. Any rate and channel count, 16 bits.
class ToneSource : public PcmSource {
  public:
    ToneSource(double frequency, double amplitude, double seconds);
    bool begin(const WaveFormat& format) override;
    size_t read(uint8_t* dst, size_t bytes) override;

  private:
    double frequency_;
    double amplitude_;
    double seconds_;
    WaveFormat format_;
    uint64_t frame_ = 0;
    uint64_t endFrame_ = 0;
};

// Interleaved 16-bit samples in the given format, delivered once.
class MemorySource : public PcmSource {
  public:
    MemorySource(std::vector<int16_t> samples, WaveFormat format);
    bool begin(const WaveFormat& format) override;
    size_t read(uint8_t* dst, size_t bytes) override;

  private:
    std::vector<int16_t> samples_;
    WaveFormat format_;
    size_t position_ = 0; // in bytes
};

// The sample data of a WAV file, which must be 16-bit PCM; delivered once.
class WavFileSource : public PcmSource {
  public:
    // Null with a one-line reason in `error` when the file can't be read as such a WAV file.
    static std::unique_ptr<WavFileSource> open(const std::string& path, std::string& error);
    ~WavFileSource() override;
    bool begin(const WaveFormat& format) override;
    size_t read(uint8_t* dst, size_t bytes) override;
    const WaveFormat& format() const { return format_; }

  private:
    WavFileSource(int fd, WaveFormat format, uint64_t offset, uint64_t bytes);
    int fd_;
    WaveFormat format_;
    uint64_t dataStart_;
    uint64_t dataBytes_;
    uint64_t offset_;
    uint64_t remaining_;
};

} // namespace timbrelo
