#pragma once
// Test signals with known properties, and independent measurements of what comes out.

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace timbrelo::test {

// A sine tone, `channels` identical channels interleaved, peak amplitude 0..1 of full scale.
std::vector<int16_t> makeTone(double frequency, double seconds, double rate, int channels,
                              double amplitude = 0.5);

// Full-scale white noise, the same for the same seed.
std::vector<int16_t> makeNoise(size_t samples, uint32_t seed = 1);

// A voiced sound with a known fundamental: a pulse train at f0 through three formant
// resonators (about 700, 1200 and 2600 Hz), peak amplitude 0..1, one channel.
std::vector<float> makeVoice(double f0, double seconds, double rate, double amplitude = 0.5);

// Interleaves a mono signal into `channels` identical channels of 16-bit samples.
std::vector<int16_t> toInterleaved16(std::span<const float> mono, int channels);

// One channel of an interleaved signal, as floats.
std::vector<float> channelOf(std::span<const int16_t> interleaved, int channels, int channel);

// The part of a signal between two fractions of its length (0..1).
std::vector<float> slice(std::span<const float> x, double from, double to);

// Frequency of a (nearly) pure tone from its upward zero crossings, interpolated.
double measureToneFrequency(std::span<const float> x, double rate);

// Fundamental frequency of a periodic signal (a voice) by the cumulative-mean-normalised
// difference method over the whole span; 0 when no period is found between minHz and maxHz.
double measurePitch(std::span<const float> x, double rate, double minHz = 60, double maxHz = 1000);

// Median of measurePitch over windows of `window` samples stepping by `window` / 2.
double measurePitchMedian(std::span<const float> x, double rate, size_t window = 2048,
                          double minHz = 60, double maxHz = 1000);

// The signal with `silence` zero samples before and after it.
std::vector<float> padded(std::span<const float> x, size_t silence);

// Largest absolute value.
float peak(std::span<const float> x);

// Index of the first sample that reaches `fraction` of the peak; the size when none does.
size_t onset(std::span<const float> x, float fraction = 0.1f);

// Where a run of digital silence reaches `minFrames` samples, between the first and the last
// sound of `x` (a dropped block or one filled with zeros, in a recording of a steady sound).
std::vector<size_t> silentRuns(std::span<const float> x, size_t minFrames);

// Root mean square.
double rms(std::span<const float> x);

// Magnitude spectrum |X(k)|, k = 0..n/2, of the first power-of-two samples (Hann window).
std::vector<double> magnitudeSpectrum(std::span<const float> x);

// Amplitude-weighted mean frequency of the spectrum, in Hz.
double spectralCentroid(std::span<const float> x, double rate);

// Level of a tone at `frequency` relative to the whole signal's power, in dB.
double toneLevelDb(std::span<const float> x, double rate, double frequency);

// Best normalised cross-correlation of b against a over lags -maxLag..maxLag
// (b[i + lag] ~ a[i]); returns {lag, correlation}.
std::pair<long, double> bestCorrelation(std::span<const float> a, std::span<const float> b,
                                        long maxLag);

// The signal found again, whole, in a recording: the best correlation around where it starts;
// 0 when it is not there or cut short.
double correlationFound(std::span<const float> sent, std::span<const float> got);

} // namespace timbrelo::test
