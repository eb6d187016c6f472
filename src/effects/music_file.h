#pragma once
// Opening a background-music file and making sure it can play before anything is changed: a
// regular file (or a link to one) that holds sound at a rate the converter takes. A WAV file
// (a name ending in ".wav" in any case) must be 16-bit PCM with at least one frame; any other
// name is read as MP3 and must decode to at least one frame of audio.

#include "platform/wav_file.h"

#include <cstdint>
#include <string>

namespace timbrelo {

// Music rates that are converted; anything else is refused.
inline constexpr uint32_t kMinMusicRate = 1000;
inline constexpr uint32_t kMaxMusicRate = 384000;
// Bytes of an MP3 file searched for its first frame before it is refused as holding none.
inline constexpr uint64_t kMusicSearchBytes = uint64_t{16} << 20;

// An open music file. Owns its descriptor; movable only.
struct MusicFile {
    std::string path;
    bool mp3 = false;
    int fd = -1;
    WavInfo wav; // WAV files: the format and where the samples are

    MusicFile() = default;
    MusicFile(MusicFile&& other) noexcept { *this = std::move(other); }
    MusicFile& operator=(MusicFile&& other) noexcept;
    MusicFile(const MusicFile&) = delete;
    MusicFile& operator=(const MusicFile&) = delete;
    ~MusicFile() { close(); }

    void close();
};

// Any name that does not end in ".wav" (in any case) is read as MP3.
bool isMp3Name(const std::string& path);

// Opens `path` as music and checks that it can play; an MP3 file is decoded up to its first
// frame and left positioned at its start. False with a one-line reason in `why` (without the
// path). Reads at most kMusicSearchBytes; never blocks on a pipe. Control thread.
bool openMusicFile(const std::string& path, MusicFile& file, std::string& why);

} // namespace timbrelo
