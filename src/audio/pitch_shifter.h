#pragma once
// The semitone pitch shifter in front of the effect chain, over the SoundTouch library.
//
// It can be bypassed: a voice that does not shift by semitones passes it untouched and
// carries none of its delay. Its time-stretch windows are kept short (30 ms sequences), which
// suits speech and keeps its delay near 45 ms instead of about 100 ms.
//
// Threads: `configure` on a control thread while no audio thread uses the shifter; the
// requests (`requestSemitones`, `setBypassed`) on control threads, taken over by the audio
// thread at its next `putSamples`; `putSamples`, `receiveSamples` and `flushAndDrop` on the
// audio thread. The audio thread allocates nothing: `configure` sizes every buffer for any
// shift between -24 and +24 semitones.

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace soundtouch {
class SoundTouch;
}

namespace timbrelo {

class PitchShifter {
  public:
    static constexpr uint32_t kRate = 22050;
    // Largest number of frames converted in one step.
    static constexpr uint32_t kChunkFrames = 1024;
    static constexpr float kMaxSemitones = 24.0f;

    PitchShifter();
    ~PitchShifter();

    // Resets the shifter for a new capture: empty, the given channel count, 22050 Hz, no tempo
    // or rate change, 0 semitones, quick seek and anti-alias filter off. The bypass stays.
    void configure(uint32_t channels);

    // Asks for a pitch in semitones (clamped to +-kMaxSemitones); taken over at the next
    // putSamples.
    void requestSemitones(float semitones);
    float requestedSemitones() const { return requested_.load(); }
    // Bypassed: the audio thread passes blocks on untouched and the shifter forgets what it
    // held. Taken over at the next block.
    void setBypassed(bool bypassed) { bypassed_.store(bypassed, std::memory_order_release); }
    bool bypassed() const { return bypassed_.load(std::memory_order_acquire); }

    // Frames by which the output lags the input at the requested pitch while not bypassed
    // (0 when bypassed). Any thread.
    uint32_t latencyFrames() const;
    // The longest stretch of input, in frames, the shifter may answer with no output while
    // it gathers a processing sequence (0 when bypassed). Any thread.
    uint32_t blockFrames() const;

    // Audio thread: takes over the requests made since the last block (putSamples does this
    // too; a bypassed voice calls it alone).
    void takeOverRequests();
    void putSamples(const int16_t* samples, uint32_t frames);
    // Takes at most maxFrames frames of output; returns the number taken.
    uint32_t receiveSamples(int16_t* out, uint32_t maxFrames);
    // Pushes out what is inside and drops it (capture stop).
    void flushAndDrop();

    uint32_t channels() const { return channels_; }

  private:

    std::unique_ptr<soundtouch::SoundTouch> touch_;
    std::vector<float> scratch_;
    uint32_t channels_ = 2;
    std::atomic<float> requested_{0.0f};
    std::atomic<bool> pending_{false};
    std::atomic<bool> bypassed_{false};
    bool wasBypassed_ = false; // audio thread: the state of the last block
    std::atomic<uint32_t> latency_{0};
    std::atomic<uint32_t> sequence_{0};
};

} // namespace timbrelo
