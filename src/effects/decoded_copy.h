#pragma once
// The copy of decoded background music kept while debugging: a WAV file whose header always
// matches what has been written so far, so it can be played at any moment. Write errors end
// the copy quietly (it is a diagnostic, never worth stopping the music for). Reader thread.

#include <cstdint>
#include <string>

namespace timbrelo {

class DecodedCopy {
  public:
    DecodedCopy() = default;
    ~DecodedCopy() { close(); }
    DecodedCopy(const DecodedCopy&) = delete;
    DecodedCopy& operator=(const DecodedCopy&) = delete;

    // Replaces whatever is at `path` (never following a link) with an empty 16-bit WAV file.
    void create(const std::string& path, uint32_t rate, uint16_t channels);
    // Appends interleaved frames; stops at 4 GiB, the most a WAV file can describe.
    void append(const int16_t* samples, uint32_t frames, uint16_t channels);
    void close();

  private:
    static constexpr uint32_t kHeaderBytes = 46;

    bool writeAt(const void* data, size_t bytes, uint64_t offset);
    void writeSizes();

    int fd_ = -1;
    uint32_t dataBytes_ = 0;
};

} // namespace timbrelo
