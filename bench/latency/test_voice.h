#pragma once
// A test voice that never pauses: a glottal pulse train whose pitch drifts slowly between
// about 95 and 160 Hz, through three formant resonators that glide from vowel to vowel, with
// a little breath noise. Syllables of random length and loudness start with a short dip and a
// sharp rise, so that the loudness curve has a clear shape at every moment: two recordings of
// the voice can be lined up by it even after a pitch or formant change. Peaks reach about 0.4
// of full scale; between syllables the loudness dips to a tenth of that, never to silence.

#include <array>
#include <cstdint>
#include <random>

namespace timbrelo::bench {

class TestVoice {
  public:
    // `seed` picks the syllable pattern; two voices with different seeds do not correlate.
    TestVoice(double rate, uint32_t seed);

    // The next sample, about -0.4..0.4.
    float next();
    double rate() const { return rate_; }

  private:
    struct Resonator {
        double a1 = 0, a2 = 0, gain = 0, y1 = 0, y2 = 0;
        void tune(double frequency, double bandwidth, double rate);
        double step(double x);
    };

    void reset();
    double nextRaw();
    void startSyllable();

    double rate_;
    uint32_t seed_;
    double outputGain_ = 1;
    std::mt19937 random_;
    std::normal_distribution<double> noise_{0.0, 1.0};
    uint64_t n_ = 0;
    double phase_ = 0;     // glottal cycle, 0..1
    double lfoPhase_ = 0;  // pitch drift
    double lfoPhase2_ = 0; // second, unrelated pitch drift
    uint64_t syllableLeft_ = 0;
    uint64_t syllableLength_ = 1;
    double dip_ = 0;    // samples of the dip before the rise
    double attack_ = 0; // samples of the rise
    std::array<double, 3> formants_{};
    std::array<double, 3> fromFormants_{};
    std::array<double, 3> toFormants_{};
    std::array<Resonator, 3> resonators_{};
    double loudness_ = 0.1;
    double peakLoudness_ = 1;
};

} // namespace timbrelo::bench
