#pragma once
// Reads, decodes and converts the music of one file, block by block, for the background
// effect's reader thread: WAV samples or MP3 frames, brought to the chain's rate as 16-bit
// stereo. A WAV file loops over its samples (never its header); an MP3 file loops by taking a
// fresh decoder from the process-wide list. A file that keeps failing is given up (with a
// debug line) and the reader then has nothing more to give.
//
// Every call returns after a bounded amount of work (one read, one frame, or a bounded search
// for a frame), so the thread that drives it sees a stop or a new file promptly.

#include "effects/audio_format.h"
#include "effects/decoded_copy.h"
#include "effects/mp3_decoder.h"
#include "effects/music_file.h"
#include "effects/resample_effect.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace timbrelo {

class MusicReader {
  public:
    // Reads or decodes failing this many times in a row give a file up.
    static constexpr int kMaxFailures = 8;

    enum class Produced {
        kMusic,      // converted music is pending (possibly none yet while the converter fills)
        kNothingYet, // worked without result (a search through junk); call again
        kDone        // the file has nothing more to give
    };

    explicit MusicReader(std::shared_ptr<Mp3Decoder> decoder);
    ~MusicReader();
    MusicReader(const MusicReader&) = delete;
    MusicReader& operator=(const MusicReader&) = delete;

    // Takes over an opened music file; the output is 16-bit stereo at `chainRate`. With a
    // `copyPath`, decoded MP3 music is also written there (see DecodedCopy).
    void start(MusicFile file, uint32_t chainRate, const std::string& copyPath);
    // Closes the file; produce then returns kDone.
    void close();

    // Makes the next block of music when nothing is pending.
    Produced produce();
    // Converted music not handed on yet, in stereo frames.
    const int16_t* cursor() const { return cursor_; }
    uint32_t pending() const { return pending_; }
    void consumed(uint32_t frames) {
        cursor_ += 2 * static_cast<size_t>(frames);
        pending_ -= frames;
    }

  private:
    enum class Kind { kNone, kWav, kMp3 };

    Produced giveUp(const char* why);
    void convert(const int16_t* samples, uint32_t frames);
    Produced produceWav();
    Produced produceMp3();
    // The first frame after opening sets the converter's input; a stream that changes its
    // rate or channels later sets it again rather than play at the wrong speed.
    bool takeFrameFormat();
    void openDecoder();
    // Starts the stream again with a fresh decoder from the process-wide list.
    bool restart();

    Kind kind_ = Kind::kNone;
    MusicFile file_;
    ResampleEffect converter_;
    const int16_t* cursor_ = nullptr;
    uint32_t pending_ = 0;

    uint64_t wavPosition_ = 0; // within the data chunk
    std::vector<int16_t> readBuffer_;

    std::shared_ptr<Mp3Decoder> decoder_;
    std::vector<uint8_t> blockBuffer_;
    DecodedBlock block_;
    bool formatPending_ = true;
    bool heardSinceStart_ = false;
    uint64_t searched_ = 0; // bytes read since the last frame
    std::string copyPath_;
    DecodedCopy copy_;
};

} // namespace timbrelo
