#pragma once
// The semitone pitch shifter in front of the effect chain, over the SoundTouch library.
// Pitch requests come from the user-interface thread and are taken over by the audio thread
// at its next buffer; the sample conversion to and from the library's float samples uses
// buffers allocated here, so the steady buffer path allocates nothing. (Taking over a new
// pitch makes the library recompute a few small filter tables: the one allocation on the
// audio thread, once per user action.)

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

    PitchShifter();
    ~PitchShifter();

    // Resets the shifter for a new capture: empty, the given channel count, 22050 Hz, no tempo
    // or rate change, 0 semitones, quick seek and anti-alias filter off. Only while no audio
    // thread uses the shifter.
    void configure(uint32_t channels);

    // Asks for a pitch in semitones; taken over at the next putSamples.
    void requestSemitones(float semitones);
    float requestedSemitones() const { return requested_.load(); }

    void putSamples(const int16_t* samples, uint32_t frames);
    // Takes at most maxFrames frames of output; returns the number taken.
    uint32_t receiveSamples(int16_t* out, uint32_t maxFrames);
    // Pushes out what is inside and drops it (capture stop).
    void flushAndDrop();

    uint32_t channels() const { return channels_; }

  private:
    void applyPendingPitch();

    std::unique_ptr<soundtouch::SoundTouch> touch_;
    std::vector<float> scratch_;
    uint32_t channels_ = 2;
    std::atomic<float> requested_{0.0f};
    std::atomic<bool> pending_{false};
};

} // namespace timbrelo
