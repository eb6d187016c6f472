#pragma once
// Pitch analysis of a short stretch of voice: short-term autocorrelation with a Hann window,
// computed through the FFT and divided by the window's own autocorrelation. Local maxima
// of each frame's autocorrelation become pitch candidates with a strength; a Viterbi path
// finder then picks one candidate per frame (a voiced one or the unvoiced one) by weighing
// strengths against octave, octave-jump and voicing-change costs. After the path finder,
// candidate 0 of every frame is the chosen one.
//
// Signal, window and correlation values are single precision; the FFT frames and the
// window autocorrelation are double precision. Diagnostic lines go to the debug channel.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace timbrelo {

// The signal to analyse; owned by the caller.
struct AnalysisSound {
    float x1 = 0;   // time of the first sample, seconds
    float xmin = 0; // start of the time domain, seconds
    float xmax = 0; // end of the time domain, seconds
    float dx = 0;   // sampling period, seconds
    std::vector<float> samples;

    int32_t nx() const { return static_cast<int32_t>(samples.size()); }
};

struct PitchCandidate {
    float frequency = 0; // Hz; 0 means unvoiced
    float strength = 0;
};

struct PitchFrame {
    // At least `capacity` records, `candidateCount` in use.
    std::vector<PitchCandidate> candidates;
    int32_t candidateCount = 0;
    int32_t capacity = 0;
    float intensity = 0; // 0 .. 1 of the signal's peak
};

struct PitchTrack {
    float xmin = 0;
    float xmax = 0;
    int32_t frameCount = 0;
    float timeStep = 0;  // seconds between frame centres
    float firstTime = 0; // centre time of frame 0
    float ceiling = 0;   // the path finder stores the ceiling it used
    int32_t maxCandidates = 0;
    std::vector<PitchFrame> frames;
};

// The analysis settings. The defaults are the voice engine's.
struct PitchSettings {
    float timeStep = 0.01f; // seconds between frames; 0 or less: a quarter window
    float minimumPitch = 75.0f;
    float periodsPerWindow = 3.0f;
    int32_t maxCandidates = 15; // raised to ceiling / minimum pitch when that is more
    float silenceThreshold = 0.03f;
    float voicingThreshold = 0.45f;
    float octaveCost = 0.01f;
    float octaveJumpCost = 0.35f;
    float voicedUnvoicedCost = 0.14f;
    float ceiling = 500.0f; // Hz; lowered to the Nyquist frequency when above it
};

// Pitch analysis of sounds of one length and sampling period, with every work array (FFT
// frame and table, window and its autocorrelation, the track with each frame's candidate
// storage, the path finder's scores) allocated once at construction, so that `analyse`
// allocates nothing and can run on an audio thread. One analyser serves one thread.
class PitchAnalyzer {
  public:
    // Sizes the analysis for sounds of `length` samples `dx` seconds apart (allocates; not
    // for audio threads). When the settings do not fit such a sound, or memory runs out, it
    // writes what analysePitch would write and ok() is false.
    PitchAnalyzer(int32_t length, float dx, const PitchSettings& settings = {});
    ~PitchAnalyzer();
    PitchAnalyzer(const PitchAnalyzer&) = delete;
    PitchAnalyzer& operator=(const PitchAnalyzer&) = delete;

    bool ok() const { return ok_; }
    int32_t length() const { return length_; }
    float dx() const { return dx_; }
    // The number of frames every track of this analyser has.
    int32_t frameCount() const { return frameCount_; }

    // Analyses a sound of the analyser's length and sampling period (its x1, xmin and xmax
    // may vary). The track is the analyser's, valid until the next call; null when !ok() or
    // the sound does not fit. Allocates nothing; runs on the thread that owns the analyser.
    const PitchTrack* analyse(const AnalysisSound& sound);

  private:
    struct Workspace;
    friend std::unique_ptr<PitchTrack> analysePitch(const AnalysisSound& sound, float timeStep,
                                                    float minimumPitch, float periodsPerWindow,
                                                    int32_t maxCandidates, float silenceThreshold,
                                                    float voicingThreshold, float octaveCost,
                                                    float octaveJumpCost, float voicedUnvoicedCost,
                                                    float ceiling);

    bool ok_ = false;
    int32_t length_;
    float dx_;
    PitchSettings settings_; // as adjusted for the sound
    int32_t frameCount_ = 0;
    std::unique_ptr<Workspace> ws_;
    PitchTrack track_;
};

// Analyses the sound with a PitchAnalyzer made for it and hands the track over; null when the
// parameters do not fit the sound or memory runs out. Allocates: for callers off the audio
// threads that analyse sounds of any length.
std::unique_ptr<PitchTrack>
analysePitch(const AnalysisSound& sound, float timeStep, float minimumPitch, float periodsPerWindow,
             int32_t maxCandidates, float silenceThreshold, float voicingThreshold,
             float octaveCost, float octaveJumpCost, float voicedUnvoicedCost, float ceiling);

// The window figures that analysePitch derives from the sound and its parameters.
struct PitchWindow {
    int32_t samplesPerPeriod = 0; // of the minimum pitch
    int32_t halfPeriod = 0;
    float windowDuration = 0;
    int32_t windowLength = 0; // even: twice the half window
    int32_t halfWindow = 0;
    int32_t maxLag = 0;
    int32_t reach = 0;     // of the sinc interpolation of the autocorrelation
    int32_t fftLength = 0; // the smallest power of two not below 1.5 window lengths
};
// Null (after "Analysis window too short.\n") when the window would be too short.
std::optional<PitchWindow> pitchWindow(const AnalysisSound& sound, float minimumPitch,
                                       float periodsPerWindow);

struct FrameLayout {
    int32_t frameCount = 0;
    float firstTime = 0;
};
// Places as many frames of the window duration as fit, centred on the sound.
std::optional<FrameLayout> layoutFrames(const AnalysisSound& sound, float windowDuration,
                                        float timeStep);

// The sample just left of frame k's centre (the window is centred between it and the next).
int32_t frameLeftSample(const AnalysisSound& sound, float firstTime, float timeStep, int32_t k);

// A track of `frameCount` empty frames; null after "no space, error!\n" when memory runs out.
std::unique_ptr<PitchTrack> createPitchTrack(float xmin, float xmax, int32_t frameCount,
                                             float timeStep, float firstTime, float ceiling,
                                             int32_t maxCandidates);

// Gives the frame n zeroed candidates, all in use; 0 when n < 1 or memory runs out, else 1.
int32_t initPitchFrame(PitchFrame& frame, int32_t n);

// samples[index], or 10000000.0 after "out of index\n" for an index outside the sound.
float sampleAt(const AnalysisSound& sound, int32_t index);

// Interpolates the 0-based array y of n values at position x with a tapered sinc of at most
// `maxDepth` points on each side (fewer near the ends; linear or cubic at depth 1 or 2).
double interpolateSinc(const float* y, int32_t n, double x, int32_t maxDepth);

// Reorders each frame's candidates so that the cheapest path stands at index 0. False when
// memory runs out or a frame has no candidate.
bool findPitchPath(PitchTrack& track, float silenceThreshold, float voicingThreshold,
                   float octaveCost, float octaveJumpCost, float voicedUnvoicedCost, float ceiling,
                   bool pullFormants);
// The same with the caller's score arrays of at least frames x largest candidate count
// entries each (false when they are shorter); allocates nothing.
bool findPitchPath(PitchTrack& track, float silenceThreshold, float voicingThreshold,
                   float octaveCost, float octaveJumpCost, float voicedUnvoicedCost, float ceiling,
                   bool pullFormants, std::span<float> delta, std::span<int32_t> psi);

} // namespace timbrelo
