#pragma once
// A voice in recorded-like room noise, made at test time with everything known about it
// (where the syllables and pauses are, each syllable's pitch, the voice and the noise apart),
// and the measurements of what an input-cleaning stage makes of it. Samples are floats on
// the 16-bit scale, like makeVoice's.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace timbrelo::test {

// Pink noise (power falling 3 dB an octave), RMS 1, the same for the same seed.
std::vector<float> makePinkNoise(size_t samples, uint32_t seed = 7);

// Mains hum: `mainsHz` and its harmonics up to the eleventh, the odd ones stronger; RMS 1.
std::vector<float> makeHum(size_t samples, double rate, double mainsHz = 50);

// Keyboard-like clicks: 4 ms bursts that die away in about a millisecond, at random
// intervals averaging 1 / perSecond; peak 1.
std::vector<float> makeClicks(size_t samples, double rate, double perSecond = 3,
                              uint32_t seed = 11);

// Room noise as a desk microphone picks it up: pink noise, hum 8 dB below it and clicks
// peaking 12 dB above the pink noise's RMS; RMS 1 overall.
std::vector<float> makeRoomNoise(size_t samples, double rate, uint32_t seed = 7);

struct Span {
    size_t begin = 0; // samples
    size_t end = 0;
};

struct Syllable {
    Span at;
    double f0 = 0; // Hz
};

// Noise alone for a lead-in (the noise estimate settles, as before anyone speaks), then
// syllables of known, steady pitch between pauses, then a last pause.
struct NoisyVoice {
    double rate = 22050;
    std::vector<float> voice; // the voice alone
    std::vector<float> noise; // the noise alone, at the chosen SNR
    std::vector<float> mixed; // voice + noise, as the microphone hands it over
    std::vector<Syllable> syllables;
    std::vector<Span> pauses; // between and after the syllables, lead-in excluded
};

// About 18 s: 1.5 s of lead-in and sixteen syllables at 105..168 Hz. `snrDb` is the voice's
// RMS over its syllables against the noise's RMS; `voicePeak` is of full scale.
NoisyVoice makeNoisyVoice(double snrDb, double rate = 22050, double voicePeak = 0.3,
                          uint32_t seed = 7);

// Measurements of `out`, a processed version of the scene `delay` samples behind it. Each
// leaves out guard stretches at the edges of what it measures, where a gate's hold and
// release or a pitch change legitimately act.

// RMS level in dB (re. full scale) of the pauses' inner parts.
double pauseLevelDb(const NoisyVoice& scene, std::span<const float> out, size_t delay);
// RMS level in dB of the syllables' inner parts.
double voiceLevelDb(const NoisyVoice& scene, std::span<const float> out, size_t delay);
// The same on the clean voice: the reference for voiceLevelDb.
double cleanVoiceLevelDb(const NoisyVoice& scene);
// Mean absolute error, in percent, of the pitch measured in 2048-sample windows inside the
// syllables against each syllable's pitch times `factor`.
double pitchErrorPercent(const NoisyVoice& scene, std::span<const float> out, size_t delay,
                         double factor = 1.0);

// The psola effect run on `in` (the scene's mixed signal as some stage handed it on,
// `delay` samples late) with the pitch and formant factors, in its own blocks.
struct PsolaPitchFigures {
    // Where its grains land: the percentage of blocks (those whose analysis saw only a
    // syllable or only a pause) in which the effect's own analysis chose a wrong pitch, off by
    // more than 5% in a syllable or any pitch at all in a pause.
    double analysisErrorPercent = 0;
    // Mean absolute error, percent, of the output's pitch against the true pitch x factor.
    double outputErrorPercent = 0;
};
PsolaPitchFigures psolaPitchFigures(const NoisyVoice& scene, std::span<const float> in,
                                    size_t delay, float pitchFactor, float formantFactor);

} // namespace timbrelo::test
