#pragma once
// An audio file of any format libsndfile reads, converted on the fly to the pipeline format
// (22050 Hz, stereo, 16-bit) and followed by a stretch of silence: the input of file
// processing. The file is read in small pieces, so memory stays flat for any length.
//
// Rates outside 1000..384000 Hz are refused. An input that is not a regular file (a pipe, a
// device) is read on a thread of its own (PipeFeed), and one that gives nothing for the stall
// timeout ends: at the open with an error, later with a read error.

#include "cli/pipe_feed.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

typedef struct sf_private_tag SNDFILE;
typedef struct soxr* soxr_t;

namespace timbrelo::cli {

class AudioFileSource {
  public:
    static constexpr int kMinRate = 1000;
    static constexpr int kMaxRate = 384000;
    static constexpr std::chrono::milliseconds kDefaultStall{30000};

    // Null with a one-line reason (without the path) when the file can't be read or holds no
    // audio, or when a pipe gives no header within `stall`.
    static std::unique_ptr<AudioFileSource> open(const std::string& path, std::string& error,
                                                 std::chrono::milliseconds stall = kDefaultStall);
    ~AudioFileSource();

    // Frames of silence delivered after the file's end (set before the first read).
    void setPadding(uint64_t frames) { paddingFrames_ = paddingLeft_ = frames; }
    // Sees every block delivered.
    void setObserver(std::function<void(const int16_t*, uint32_t frames)> observer) {
        observer_ = std::move(observer);
    }

    // Copies up to `frames` stereo frames; fewer only at the end of the input and its
    // padding (0 once both are over).
    size_t readFrames(int16_t* dst, size_t frames);

    double inputSeconds() const { return static_cast<double>(fileFrames_) / fileRate_; }
    // Pipeline frames the input will give, padding excluded (an estimate until the end; 0
    // when a pipe does not say).
    uint64_t expectedFrames() const;
    // False for a pipe or a device, whose length is not known ahead.
    bool lengthKnown() const { return feed_ == nullptr; }
    // Pipeline frames delivered so far, padding included.
    uint64_t framesDelivered() const { return delivered_.load(); }
    // A read error met in the middle of the file (the input then ends there).
    std::string readError() const;

  private:
    AudioFileSource() = default;
    // Converts the next piece of the file (or the resampler's tail, or padding) into pending_;
    // false when everything has been delivered.
    bool refill();
    // The file has given all it has (or failed): notes a read error, goes on with the tail.
    bool finishFile();
    // Reads the next frames of the file as floats into fileBlock_; how many, 0 at the end.
    size_t readFileBlock();

    SNDFILE* file_ = nullptr;
    std::unique_ptr<PipeFeed> feed_; // instead of file_ for a pipe or a device
    std::chrono::milliseconds stall_{kDefaultStall};
    soxr_t resampler_ = nullptr;
    int fileChannels_ = 0;
    int fileRate_ = 0;
    uint64_t fileFrames_ = 0;
    bool direct16_ = false; // already 22050 Hz stereo: read 16-bit samples as they are
    bool fileDone_ = false;
    bool flushed_ = false;
    uint64_t paddingFrames_ = 0;
    uint64_t paddingLeft_ = 0;

    std::vector<float> fileBlock_;   // interleaved, file channels
    std::vector<float> stereoBlock_; // interleaved stereo at the file rate
    std::vector<float> resampled_;   // interleaved stereo at the pipeline rate
    std::vector<int16_t> pending_;   // converted samples not yet delivered
    size_t pendingPos_ = 0;

    std::function<void(const int16_t*, uint32_t)> observer_;
    std::atomic<uint64_t> delivered_{0};
    std::string readError_;
};

} // namespace timbrelo::cli
