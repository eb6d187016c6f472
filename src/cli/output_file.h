#pragma once
// The output of `process`: written through the recording writer (MP3 when the name ends in
// ".mp3" in any case, otherwise WAV) under a temporary name in the same folder, and renamed
// to its real name only when everything went well, so a failed run leaves no partial file.
//
// Every message the pipeline shows while the file is open is kept: a run that showed one
// (a write error, a device error) fails instead of leaving a damaged file behind.

#include "audio/recording_writer.h"
#include "platform/messages.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace timbrelo::cli {

class OutputFile {
  public:
    OutputFile();
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // False with a one-line reason when the file can't be written.
    bool open(const std::string& path, std::string& error);
    // Frames of the pipeline format (any number); waits while the writer catches up.
    void write(std::span<const int16_t> samples);
    // Finishes the file and gives it its name; false with the reason on failure.
    bool commit(std::string& error);

  private:
    void discard();
    std::string firstMessage() const;

    RecordingWriter writer_;
    std::unique_ptr<MessageCapture> messages_;
    std::string path_;
    std::string tempPath_;
    bool open_ = false;
    size_t queuedSamples_ = 0; // written since the writer was last waited for
};

} // namespace timbrelo::cli
