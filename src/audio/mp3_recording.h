#pragma once
// One MP3 file being recorded: PCM is staged and handed to the encoder library a chunk at a
// time (the chunk the library asks for), and what the encoder gives back goes to the file.
// Closing encodes what is staged, finishes the stream and writes the file's length tag.

#include "audio/encoder_library.h"
#include "audio/recording_notices.h"
#include "platform/audio_io/stream_format.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace timbrelo {

class Mp3Recording {
  public:
    Mp3Recording() = default;
    // Closes the file without finishing the stream when `close` was not called.
    ~Mp3Recording();
    Mp3Recording(const Mp3Recording&) = delete;
    Mp3Recording& operator=(const Mp3Recording&) = delete;

    // Opens an encoder stream for `format` (128 kbit/s) through `encoder`, replaces any file
    // at `path` by a new one and sets up a staging buffer of `stagingBytes` (at least two
    // chunks). False after a notice ("Error opening encoding stream (code)", "Error creating
    // file <path>" or "Out of memory."), with no stream open and no file left. Control
    // thread; blocks on the encoder and file I/O.
    bool open(const EncoderEntries& encoder, const std::string& path, const StreamFormat& format,
              uint32_t stagingBytes, RecordingNotices& notices);
    // Stages samples and encodes every whole chunk that has more staged behind it (an exact
    // chunk waits for the next call). A failed encode closes the stream with a notice; later
    // samples are dropped. Writer thread; blocks on the encoder and file I/O.
    void stage(std::span<const int16_t> samples, RecordingNotices& notices);
    // Encodes what is staged, finishes the stream, writes its last bytes, closes the file and
    // writes the length tag. Writer thread; blocks on the encoder and file I/O.
    void close(RecordingNotices& notices);

    bool isOpen() const { return fd_ >= 0; }

  private:
    void encode(const uint8_t* pcm, uint32_t bytes, RecordingNotices& notices);
    void writeOut(const uint8_t* data, uint32_t bytes, RecordingNotices& notices);

    EncoderEntries encoder_;
    int fd_ = -1;
    HBE_STREAM stream_ = 0;
    bool streamLive_ = false; // false once the stream is closed, even after a failure
    std::vector<uint8_t> output_;
    std::vector<uint8_t> staging_; // its size is the staging capacity
    uint32_t stagingFill_ = 0;     // bytes
    uint32_t chunkBytes_ = 0;
    std::string path_;
    bool failed_ = false; // a write failed: the file keeps what it had, nothing more
};

} // namespace timbrelo
