#pragma once
// Plays audio that arrives in blocks of any size from another thread (the preview player:
// the changed voice from the capture thread; the render player: what programs play to the
// virtual speaker, from the render reader). Blocks go into a jitter buffer (see
// JitterBuffer) that the output stream takes from at its own pace; playback starts by itself
// with the first block, once the buffer holds a burst and a small margin, and silence keeps
// the device running when nothing arrives.
//
// Threads: `addData` on one producer thread at a time; the stream's requests on the back
// end's audio thread; `selectDevice`, `setFormat`, `openStream`, `play`, `stop` and the
// destructor on a control thread, one at a time. The producer and the stream share only the
// jitter buffer and atomics; no lock is taken.

#include "audio/delivery_targets.h"
#include "platform/audio_io/audio_backend.h"
#include "platform/audio_io/jitter_buffer.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

namespace timbrelo {

enum class PlayerState : int32_t { Idle = 0, Ready = 1, Playing = 2, Stopping = 3 };

class DCAudioPlayer : public PcmTarget, private PlaybackSource {
  public:
    // The jitter buffer holds up to this much (61440 bytes of the pipeline format).
    static constexpr uint32_t kRingFrames = 15360;
    // The output stream asks for this much at a time (about 6 ms).
    static constexpr uint32_t kPeriodFrames = 128;
    // Until told otherwise, audio is expected in bursts of up to this many frames.
    static constexpr uint32_t kDefaultBurstFrames = 512;

    struct Options {
        uint32_t periodFrames = kPeriodFrames;
        // The fill held in hand beyond the bursts (about 3 ms).
        uint32_t marginFrames = 66;
        // A producer silent for this long has stopped; its next audio primes afresh.
        std::chrono::milliseconds idleAfter{100};
        // Step of `stop`'s wait for what is buffered to play out, and how much longer than
        // the buffered audio lasts it waits at most.
        std::chrono::milliseconds pollStep{5};
        std::chrono::milliseconds drainSlack{2000};
    };

    explicit DCAudioPlayer(AudioBackend& backend);
    DCAudioPlayer(AudioBackend& backend, Options options);
    virtual ~DCAudioPlayer();
    DCAudioPlayer(const DCAudioPlayer&) = delete;
    DCAudioPlayer& operator=(const DCAudioPlayer&) = delete;

    // Stops the player, closes its stream and stores the output device. False, after "Error
    // audio device.", for a number at or above the device count (kDefaultDevice is always
    // taken).
    bool selectDevice(uint32_t deviceIndex);
    // The format of the next `openStream`.
    void setFormat(const StreamFormat& format) { format_ = format; }
    // The longest stretch the producer may leave without audio; primes the next start.
    void setBurstFrames(uint32_t frames);
    uint32_t burstFrames() const { return burst_.load(); }
    // Opens the output stream (closing one still open first) and starts it; it plays silence
    // until audio arrives. False after "WAVEOUT:%x:%s waveOutOpen()".
    bool openStream();
    // Appends a block; starts playback with the first block after an open or a stop. A
    // block that does not fit is dropped whole. Producer thread.
    void addData(std::span<const int16_t> samples) override;
    // Starts playback; true when playing. False with "Player status error." unless ready,
    // and false without a message when no stream is open (its failure was already shown).
    bool play();
    // Lets what is buffered play out (bounded), then stops and closes the stream. Does
    // nothing unless playing (or the device went away by itself).
    void stop();

    PlayerState state() const { return state_.load(); }
    uint32_t deviceIndex() const { return deviceIndex_; }
    const StreamFormat& format() const { return format_; }
    bool deviceOpen() const { return stream_ != nullptr; }
    uint32_t bufferedFrames() const { return buffer_.fillFrames(); }
    JitterBuffer::Stats stats() const { return buffer_.stats(); }
    uint64_t droppedBlocks() const { return droppedBlocks_.load(); }
    // What the player adds to the delay now: the fill held plus what the device holds.
    uint32_t delayFrames() const;

  private:
    uint32_t onPlaybackRequest(std::span<int16_t> samples) override;
    void onPlaybackEnded(AudioResult why) override;
    bool startPlaying(bool complain);
    void closeStream();

    AudioBackend& backend_;
    Options options_;
    JitterBuffer buffer_;

    std::atomic<PlayerState> state_{PlayerState::Idle};
    uint32_t deviceIndex_ = kDefaultDevice;
    StreamFormat format_ = kPipelineFormat;
    std::unique_ptr<PlaybackStream> stream_;
    std::atomic<bool> streamOpen_{false};
    std::atomic<bool> deviceLost_{false};
    std::atomic<uint32_t> burst_{kDefaultBurstFrames};
    std::atomic<uint64_t> droppedBlocks_{0};
};

} // namespace timbrelo
