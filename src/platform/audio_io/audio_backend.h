#pragma once
// What the audio pipeline needs of a sound system: numbered input and output devices with
// product names, the default devices, and streams that move frames through a callback on
// the back end's own audio thread. A back end only moves frames; everything the program
// decides stays above it.
//
// Counts are frames of interleaved signed 16-bit samples (see StreamFormat) unless a name
// says bytes. This rule applies throughout.

#include "platform/audio_io/audio_result.h"
#include "platform/audio_io/stream_format.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace timbrelo {

// Device number that means "the system's default device".
inline constexpr uint32_t kDefaultDevice = 0xFFFFFFFFu;
// Longest device product name the device lists report.
inline constexpr uint32_t kMaxProductName = 31;

// Receives a capture stream's audio.
class CaptureSink {
  public:
    // One block of `samples.size() / channels` frames, the block size asked for at open.
    // Audio thread of the stream; one call at a time, in order. Must not block.
    virtual void onCaptured(std::span<const int16_t> samples) = 0;
    // The stream ended by itself (the device went away, or a finite source ran out:
    // Ok); nothing follows. Audio thread of the stream.
    virtual void onCaptureEnded(AudioResult why) = 0;

  protected:
    ~CaptureSink() = default;
};

// An open capture stream. It starts stopped.
class CaptureStream {
  public:
    // Closes the stream; returns after any callback in progress has returned. Any thread
    // but the stream's own audio thread.
    virtual ~CaptureStream() = default;
    // Starts delivering blocks. Control thread.
    virtual AudioResult start() = 0;
    // Stops delivering and drops what the device still holds; returns once no callback
    // runs and none will until the next start. Control thread, or the stream's own audio
    // thread (then callbacks end when the current one returns).
    virtual AudioResult stop() = 0;
};

// Supplies a playback stream's audio.
class PlaybackSource {
  public:
    // Fills up to `samples.size() / channels` frames and returns how many it filled; the
    // stream plays silence for the rest. Audio thread of the stream. Must not block.
    virtual uint32_t onPlaybackRequest(std::span<int16_t> samples) = 0;
    // The stream ended by itself (the device went away); nothing follows.
    virtual void onPlaybackEnded(AudioResult why) = 0;

  protected:
    ~PlaybackSource() = default;
};

// An open playback stream. It starts stopped.
class PlaybackStream {
  public:
    // Closes the stream; returns after any callback in progress has returned.
    virtual ~PlaybackStream() = default;
    // Starts asking for audio. Control thread.
    virtual AudioResult start() = 0;
    // Stops asking and drops what the device still holds; returns once no callback runs.
    virtual AudioResult stop() = 0;
    // Frames the device holds that have been asked for and not played yet: the stream's
    // share of the delay (an estimate). Any thread.
    virtual uint32_t queuedFrames() const = 0;
};

class AudioBackend {
  public:
    virtual ~AudioBackend() = default;

    // Device lists and names. Control threads; may wait for the sound system (bounded).
    virtual uint32_t inputDeviceCount() = 0;
    // The product name (at most kMaxProductName characters); "" when it can't be queried.
    virtual std::string inputDeviceName(uint32_t index) = 0;
    virtual uint32_t outputDeviceCount() = 0;
    virtual std::string outputDeviceName(uint32_t index) = 0;

    // Opens input device `index` (or kDefaultDevice). Blocks of `blockFrames` frames reach
    // `sink` once started. `sink` must outlive the stream.
    virtual AudioResult openCapture(uint32_t index, const StreamFormat& format,
                                    uint32_t blockFrames, CaptureSink& sink,
                                    std::unique_ptr<CaptureStream>& stream) = 0;
    // Opens output device `index` (or kDefaultDevice); `periodFrames` is how much the
    // stream asks for at a time and about how much it keeps queued at the device.
    virtual AudioResult openPlayback(uint32_t index, const StreamFormat& format,
                                     uint32_t periodFrames, PlaybackSource& source,
                                     std::unique_ptr<PlaybackStream>& stream) = 0;

    // The system's default devices, as numbers of the lists above. Control threads.
    virtual AudioResult defaultInput(uint32_t& index) = 0;
    virtual AudioResult setDefaultInput(uint32_t index) = 0;
    virtual AudioResult defaultOutput(uint32_t& index) = 0;
    virtual AudioResult setDefaultOutput(uint32_t index) = 0;

    // A short name for messages: "pulse" or "sim".
    virtual const char* kind() const = 0;
};

} // namespace timbrelo
