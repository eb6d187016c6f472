#pragma once
// The buffer between a producer that delivers audio in bursts (the capture thread: a
// 512-frame block every 23 ms, or a psola block of 882 frames every one or two blocks) and
// a device that takes it at its own steady pace in small requests (a sound server stream).
//
// - Priming: when a stream begins, the consumer plays silence until its first audio arrives,
//   then as much silence ahead of it as brings the level to the stream's largest burst plus
//   a small margin, so the first burst-free stretch can't run it dry.
// - Steady fill: the smallest fill a request leaves behind, over each second, is held at the
//   margin plus the largest request (a burst may land just after a request instead of just
//   before). The producer's and the device's clocks never run quite alike: only when the
//   last four windows all sat above (or all below) that level is half the difference
//   corrected, by dropping or repeating single frames at the quietest point of a request,
//   spread over the next window, so scheduling noise is never "corrected" and the delay
//   neither grows nor shrinks.
// - Underrun: a stream that still runs but has nothing to give plays silence (counted); when
//   its audio comes back the margin grows by the silence played, up to kMaxMarginMs (but not
//   for a request larger than any before, which is held in hand from then on; and not when
//   the producer fell silent for longer than the idle span: then the next audio primes
//   afresh). After a calm spell (no underrun for calmWindows windows) a grown margin gives
//   back 1 ms a window, down to the configured one, so one bad stall does not cost delay
//   for good. Corrections for drift are spread out, at most kMaxCorrectionPpm.
// - Catch-up requests: a device that stalled asks for all it missed at once. Such a request
//   raises the level held (the next stall is then covered), but only for a calm spell: after
//   calmWindows windows without a larger request, the level steps back 1 ms a window, down to
//   the largest request of the last window and never below the stream's opening request (a
//   device fills its whole buffer first: that much must stay in hand for its next catch-up).
// - Overflow: a push that does not fit is cut to what fits (counted).
//
// Threads: one producer (push, beginStream, endStream) and one consumer (pull) at a time;
// everything they share is atomic, nothing is allocated or locked after construction.
// Stats and fill may be read from any thread.

#include "platform/audio_io/stream_format.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>

namespace timbrelo {

class JitterBuffer {
  public:
    static constexpr double kMaxMarginMs = 60.0;
    // The fastest the level is corrected. The null sink behind a virtual microphone runs
    // 1500-2600 ppm fast at a short period (PulseAudio 16), and a real microphone may be a few
    // hundred ppm off the other way: this leaves room over both.
    static constexpr uint32_t kMaxCorrectionPpm = 5000;

    struct Config {
        StreamFormat format = kPipelineFormat;
        // Room for this much audio; more is an overflow.
        uint32_t capacityFrames = 22050;
        // The fill kept in hand at the consumer's requests beyond what bursts need.
        uint32_t marginFrames = 66;
        // Frames between level checks: the smallest fill over this stretch is held at the
        // margin.
        uint32_t windowFrames = 22050;
        // Whether an underrun raises the margin (a producer whose stalls are scheduling
        // noise), or not (a producer that simply falls silent now and then).
        bool growMarginOnUnderrun = true;
        // After this many frames in a row with nothing to give, the stream counts as idle:
        // the next audio primes afresh (0: never).
        uint32_t idleFrames = 0;
        // Windows without an underrun before a grown margin starts to shrink (0: never).
        uint32_t calmWindows = 30;
    };

    struct Stats {
        uint64_t underruns = 0;      // requests that found the buffer short while streaming
        uint64_t underrunFrames = 0; // frames of silence played for them
        uint64_t overflowFrames = 0; // frames pushed that did not fit
        uint64_t droppedFrames = 0;  // frames dropped to hold the fill (clock drift)
        uint64_t repeatedFrames = 0; // frames repeated to hold the fill
    };

    explicit JitterBuffer(const Config& config);
    ~JitterBuffer();
    JitterBuffer(const JitterBuffer&) = delete;
    JitterBuffer& operator=(const JitterBuffer&) = delete;

    // Producer: a stream begins whose audio arrives in bursts of at most `burstFrames`
    // frames (the longest stretch without audio, in frames). What is still buffered from
    // before is dropped; the consumer primes afresh.
    void beginStream(uint32_t burstFrames);
    // Producer: the largest burst changed (a new voice); takes effect at the next priming.
    void setBurstFrames(uint32_t burstFrames);
    // Producer: appends whole frames; returns how many fitted.
    uint32_t push(std::span<const int16_t> samples);
    // Producer: no more audio for now. The consumer plays what is buffered, then silence
    // without counting underruns.
    void endStream();

    // Consumer: fills all of `samples` (whole frames): buffered audio, then silence where
    // there is none. Returns the frames of audio given.
    uint32_t pull(std::span<int16_t> samples);

    // Any thread.
    Stats stats() const;
    uint32_t fillFrames() const;
    // The margin now (it grows after underruns), the level a request should leave behind
    // (the margin and the largest request), and the level a stream starts at (that and the
    // largest burst).
    uint32_t marginFrames() const { return margin_.load(std::memory_order_relaxed); }
    uint32_t targetFrames() const;
    uint32_t primeFrames() const;
    bool streaming() const { return streaming_.load(std::memory_order_acquire); }
    const StreamFormat& format() const { return config_.format; }

  private:
    enum class Phase { Idle, Priming, Playing };

    void copyOut(int16_t* dst, uint64_t from, uint32_t frames) const;
    // Copies `frames` frames to dst while consuming frames +/- one at the quietest point.
    uint32_t copyAdjusted(int16_t* dst, uint64_t from, uint32_t frames, int step);
    // `leftover`: what a request left in the buffer; the smallest over a window is held at
    // the margin.
    void checkLevel(uint32_t leftover, uint32_t frames);
    // Frames from the end of this request of `frames` to the next correction.
    uint32_t nextCorrection(uint32_t frames) const;
    // At each whole window: a margin grown by stalls shrinks again after a calm spell, and so
    // does the request held for a catch-up.
    void shrinkMarginAfterCalm();
    void settleRequestAfterCalm();
    // One step of such a give-back: 1 ms down, not below `floor`.
    void stepDownTo(std::atomic<uint32_t>& value, uint32_t floor) const;

    const Config config_;
    const uint32_t channels_;
    std::unique_ptr<int16_t[]> ring_;

    // Producer side.
    std::atomic<uint64_t> written_{0};
    std::atomic<uint64_t> streamStart_{0}; // written_ when the stream began
    std::atomic<uint32_t> burst_{0};
    std::atomic<uint32_t> generation_{0};
    std::atomic<bool> streaming_{false};

    // Consumer side.
    std::atomic<uint64_t> read_{0};
    std::atomic<uint32_t> margin_;
    std::atomic<uint32_t> request_{0}; // the largest request of the last calm spell
    uint32_t openingRequest_ = 0;      // the first request the consumer made
    uint32_t windowMaxRequest_ = 0;    // the largest request of this window
    uint32_t requestCalmWindows_ = 0;  // whole windows since request_ last rose
    uint32_t seenGeneration_ = 0;
    Phase phase_ = Phase::Idle;
    uint32_t windowLeft_ = 0;
    uint32_t windowMinFill_ = UINT32_MAX;
    std::array<uint32_t, 4> history_{}; // the lowest level of the last windows
    size_t historyNext_ = 0;
    int32_t pendingAdjust_ = 0;      // > 0: frames to repeat, < 0: frames to drop
    uint32_t correctionSpacing_ = 0; // frames between corrections
    uint32_t untilCorrection_ = 0;
    uint32_t emptyRun_ = 0;    // frames of silence given in a row while playing
    uint32_t lateFrames_ = 0;  // of those, the ones the producer was late with
    uint32_t calmWindows_ = 0; // whole windows since the last underrun
    uint32_t lead_ = 0;        // silence still to play ahead of a stream's first audio

    std::atomic<uint64_t> underruns_{0};
    std::atomic<uint64_t> underrunFrames_{0};
    std::atomic<uint64_t> overflowFrames_{0};
    std::atomic<uint64_t> droppedFrames_{0};
    std::atomic<uint64_t> repeatedFrames_{0};
};

} // namespace timbrelo
