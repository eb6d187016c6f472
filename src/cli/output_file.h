#pragma once
// The output of `process`: written through the recording writer (MP3 when the name ends in
// ".mp3" in any case, otherwise WAV) under a short temporary name in the same folder
// (".timbrelo-PID-XXXXXX.partial.wav"), and renamed to its real name only when everything
// went well, so a failed run leaves no partial file. A path that exists must be a regular
// file or a link to one (the link's target is then written); a device, a pipe or a folder is
// refused, never replaced. A signal (SIGINT, SIGTERM, SIGHUP) removes the temporary file and
// ends the process with 128 + the signal; temporaries of processes that died without that
// chance (kill -9) are removed by the next run that writes into the same folder.
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

    // Checks that `path` can take the output: false with a one-line reason when it can't be
    // written there, or when `frames` frames of the pipeline format would not fit a WAV file
    // (4 GiB) or the free space of its disk. Creates nothing. Main thread.
    static bool check(const std::string& path, uint64_t frames, std::string& error);
    // Creates the temporary file and starts writing; false with a one-line reason. Main thread.
    bool open(const std::string& path, std::string& error);
    // Frames of the pipeline format (any number); waits while the writer catches up.
    void write(std::span<const int16_t> samples);
    // Finishes the file and gives it its name; false with the reason on failure.
    bool commit(std::string& error);

    // Temporaries left in `folder` by processes that no longer run; returns how many went.
    static int removeStaleTemporaries(const std::string& folder);

  private:
    void discard();
    std::string firstMessage() const;
    // Says what went wrong with a failed write, in the user's words.
    std::string explainWriteFailure(const std::string& message) const;

    RecordingWriter writer_;
    std::unique_ptr<MessageCapture> messages_;
    std::string path_; // where the result goes (a link's target)
    std::string tempPath_;
    bool open_ = false;
    size_t queuedSamples_ = 0; // written since the writer was last waited for
};

} // namespace timbrelo::cli
