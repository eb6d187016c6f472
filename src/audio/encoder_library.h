#pragma once
// The MP3 encoder library, loaded at run time when the first MP3 recording starts and released
// when capture stops, and its seven entry points.

#include "audio/recording_notices.h"
#include "lame_enc/lame_enc.h"

#include <atomic>
#include <string>

namespace timbrelo {

struct EncoderEntries {
    BEINITSTREAM initStream = nullptr;
    BEENCODECHUNK encodeChunk = nullptr;
    BEDEINITSTREAM deinitStream = nullptr;
    BECLOSESTREAM closeStream = nullptr;
    BEVERSION version = nullptr;
    BEWRITEVBRHEADER writeVbrHeader = nullptr;
    BEWRITEINFOTAG writeInfoTag = nullptr; // optional: without it the VBR header is written
};

class EncoderLibrary {
  public:
    static constexpr const char* kDefaultName = "liblame_enc.so";

    EncoderLibrary() = default;
    // Releases the library; no stream of it may be open any more.
    ~EncoderLibrary();
    EncoderLibrary(const EncoderLibrary&) = delete;
    EncoderLibrary& operator=(const EncoderLibrary&) = delete;

    // The library to load next: a bare file name is looked for next to the executable, then
    // on the normal library path; a name with a '/' is loaded as it is. Control thread.
    void setName(std::string name) { name_ = std::move(name); }

    // Loads the library and finds its entry points, unless that was done. False after
    // "Error loading MP3 encoder." or, when a required entry point is missing (the library
    // then stays loaded until `unload`), "Unable to get MP3 encoder interfaces.". Control
    // thread; blocks on loading the library.
    bool load(RecordingNotices& notices);
    // Releases the library. Every stream made through it must be closed. Control thread.
    void unload();

    // True between a successful `load` and `unload`. Any thread.
    bool usable() const { return usable_.load(); }
    // The entry points; valid while `usable`. Control thread.
    const EncoderEntries& entries() const { return entries_; }

  private:
    std::string name_ = kDefaultName;
    void* module_ = nullptr;
    EncoderEntries entries_;
    std::atomic<bool> usable_{false};
};

} // namespace timbrelo
