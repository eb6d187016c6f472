#pragma once
// One WAV file being recorded: a RIFF "WAVE" file with an 18-byte "fmt " chunk that holds
// the capture format and a "data" chunk that grows with every append. The sizes are written
// after every append, so a program killed during a recording leaves a playable file.

#include "audio/recording_notices.h"
#include "platform/audio_io/stream_format.h"
#include "platform/riff_writer.h"

#include <cstdint>
#include <span>
#include <string>

namespace timbrelo {

class WavRecording {
  public:
    // Size of the "fmt " record: format tag, channels, rate, bytes per second, block align,
    // bits per sample, extra size.
    static constexpr uint32_t kFormatBytes = 18;

    WavRecording() = default;
    WavRecording(const WavRecording&) = delete;
    WavRecording& operator=(const WavRecording&) = delete;

    // Replaces any file at `path` by a new one with the header for `format`. False after
    // "Open wave file failed.", leaving no file behind. Control thread; blocks on file I/O.
    bool create(const std::string& path, const StreamFormat& format, RecordingNotices& notices);
    // Appends samples and updates the sizes. The first failure says "Write file failed.";
    // later appends are dropped and the file keeps what it had. Writer thread; blocks on
    // file I/O.
    void append(std::span<const int16_t> samples, RecordingNotices& notices);
    // Writes the final sizes and closes the file. Writer thread; blocks on file I/O.
    void close(RecordingNotices& notices);

    bool isOpen() const { return file_.isOpen(); }

    // The "fmt " record for `format` (16-bit PCM).
    static void formatRecord(const StreamFormat& format, uint8_t (&record)[kFormatBytes]);

  private:
    RiffWriter file_;
    bool failed_ = false;
};

} // namespace timbrelo
