// Kept in one file: frame analysis, candidate scoring and the path search work on one pitch
// track layout and tune against each other; apart they would be harder to check as a whole.

#include "psola/pitch_analysis.h"

#include "platform/debug.h"
#include "psola/fft_table.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

namespace timbrelo {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr float kOutOfIndex = 10000000.0f;
constexpr int32_t kSincDepth = 30;

// Truncation toward zero that saturates instead of overflowing (NaN gives 0), for figures
// derived from caller-supplied parameters.
int32_t truncToInt(double v) {
    if (std::isnan(v)) {
        return 0;
    }
    if (v >= static_cast<double>(std::numeric_limits<int32_t>::max())) {
        return std::numeric_limits<int32_t>::max();
    }
    if (v <= static_cast<double>(std::numeric_limits<int32_t>::min())) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(v);
}

// Turns a transformed frame (1-based, FFT length n) into its power spectrum, so that the
// backward transform gives the autocorrelation.
void powerSpectrum(double* data, int32_t n) {
    data[1] = data[1] * data[1];
    for (int32_t i = 2; i < n; i += 2) {
        data[i] = data[i] * data[i] + data[i + 1] * data[i + 1];
        data[i + 1] = 0;
    }
    data[n] = data[n] * data[n];
}

// Hann window and its autocorrelation, normalised to 1 at lag 0.
void prepareWindow(float* window, double* wr, FftTableD& table, const PitchWindow& w) {
    const int32_t length = w.windowLength;
    for (int32_t i = 0; i < length; ++i) {
        window[i] = static_cast<float>(0.5 - 0.5 * std::cos((2.0 * i + 2.0) * kPi / (length + 1)));
    }
    std::fill(wr, wr + w.fftLength + 1, 0.0);
    for (int32_t i = 0; i < length; ++i) {
        wr[i + 1] = window[i];
    }
    forwardInPlace(table, wr);
    powerSpectrum(wr, w.fftLength);
    backwardInPlace(table, wr);
    for (int32_t i = 2; i <= length; ++i) {
        wr[i] /= wr[1];
    }
    wr[1] = 1;
}

// The value by which a full candidate list judges its members: strength, with a small
// preference for higher frequencies.
float candidateScore(float strength, float octaveCost, float minimumPitch, float frequency) {
    return strength - octaveCost * static_cast<float>(std::log2(minimumPitch / frequency));
}

// The work arrays of one analyser.
struct FrameWork {
    const PitchWindow& w;
    double* frame;       // 1-based, fftLength entries; becomes the autocorrelation
    const double* wr;    // the window's autocorrelation, 1-based
    const float* window; // windowLength values
    float* correlation;  // lags -windowLength .. +windowLength
    FftTableD& table;
};

// Empties a frame whose storage holds at least n candidates: n zeroed ones, all in use.
void clearFrame(PitchFrame& frame, int32_t n) {
    std::fill_n(frame.candidates.begin(), n, PitchCandidate{});
    frame.candidateCount = n;
    frame.capacity = n;
}

// Analyses frame k: intensity, autocorrelation and the candidate list.
void analyseFrame(const AnalysisSound& sound, const FrameWork& ws, PitchTrack& track, int32_t k,
                  float globalPeak, float minimumPitch, float voicingThreshold, float octaveCost) {
    const PitchWindow& w = ws.w;
    const int32_t nx = sound.nx();
    const float* s = sound.samples.data();
    PitchFrame& frame = track.frames[k];
    const int32_t left = frameLeftSample(sound, track.firstTime, track.timeStep, k);
    const int32_t right = left + 1;

    // Mean over two periods of the minimum pitch around the frame's centre.
    const int32_t meanFrom = right - w.samplesPerPeriod;
    const int32_t meanTo = left + w.samplesPerPeriod;
    const bool meanOutside = meanFrom < 0 || meanTo >= nx;
    if (meanOutside) {
        debugWrite("1: out of boundary\n");
    }
    double sum = 0;
    for (int32_t j = meanFrom; j <= meanTo; ++j) {
        sum += meanOutside ? sampleAt(sound, j) : s[j];
    }
    const float localMean =
        w.samplesPerPeriod > 0 ? static_cast<float>(sum / (2.0 * w.samplesPerPeriod)) : 0.0f;

    const int32_t start = right - w.halfWindow;
    const bool frameOutside = start < 0 || left + w.halfWindow >= nx;
    if (frameOutside) {
        debugWrite("2: out of boundary\n");
    }
    double* ac = ws.frame;
    for (int32_t j = 1; j <= w.windowLength; ++j) {
        const int32_t index = start + j - 1;
        const float v = frameOutside ? sampleAt(sound, index) : s[index];
        ac[j] = (v - localMean) * ws.window[j - 1];
    }
    std::fill(ac + w.windowLength + 1, ac + w.fftLength + 1, 0.0);

    float localPeak = 0;
    const int32_t peakFrom = std::max(1, w.halfWindow + 1 - w.halfPeriod);
    const int32_t peakTo = std::min(w.windowLength, w.halfWindow + w.halfPeriod);
    for (int32_t j = peakFrom; j <= peakTo; ++j) {
        localPeak = std::max(localPeak, static_cast<float>(std::abs(ac[j])));
    }
    frame.intensity = localPeak > globalPeak ? 1.0f : localPeak / globalPeak;

    clearFrame(frame, track.maxCandidates);
    frame.candidateCount = 1;
    if (localPeak == 0) {
        return;
    }

    forwardInPlace(ws.table, ac);
    powerSpectrum(ac, w.fftLength);
    backwardInPlace(ws.table, ac);

    float* r = ws.correlation + w.windowLength; // r[-windowLength .. windowLength]
    const double* wr = ws.wr;
    r[0] = 1.0f;
    for (int32_t i = 1; i <= w.reach; ++i) {
        r[i] = r[-i] = static_cast<float>(ac[i + 1] / (ac[1] * wr[i + 1]));
    }

    const float rate = 1.0f / sound.dx;
    for (int32_t i = 2; i < w.maxLag && i < w.reach; ++i) {
        if (!(r[i] > 0.5f * voicingThreshold && r[i] > r[i - 1] && r[i] >= r[i + 1])) {
            continue;
        }
        // A parabola through the three lags refines the peak; r[i] is a strict maximum on
        // the left, so the curvature is positive.
        const float dr = 0.5f * (r[i + 1] - r[i - 1]);
        const float d2r = 2 * r[i] - r[i - 1] - r[i + 1];
        const float frequency = rate / (static_cast<float>(i) + dr / d2r);
        float strength = static_cast<float>(
            interpolateSinc(r - w.reach, 2 * w.reach + 1, rate / frequency + w.reach, kSincDepth));
        if (strength > 1) {
            strength = 1 / strength;
        }

        int32_t place;
        if (frame.candidateCount < frame.capacity) {
            place = frame.candidateCount++;
        } else {
            if (frame.candidateCount < 2) {
                continue; // only the unvoiced candidate fits
            }
            int32_t weakest = 1;
            float weakestScore = candidateScore(frame.candidates[1].strength, octaveCost,
                                                minimumPitch, frame.candidates[1].frequency);
            for (int32_t c = 2; c < frame.candidateCount; ++c) {
                const float score = candidateScore(frame.candidates[c].strength, octaveCost,
                                                   minimumPitch, frame.candidates[c].frequency);
                if (score < weakestScore) {
                    weakest = c;
                    weakestScore = score;
                }
            }
            if (weakestScore >= candidateScore(strength, octaveCost, minimumPitch, frequency)) {
                continue;
            }
            place = weakest;
        }
        frame.candidates[place] = {frequency, strength};
    }
}

} // namespace

// The figures below are evaluated in double precision from the single-precision inputs: the
// window length of a 0.04 s window at 1/22050 s must come out at 881 (just below 882), which
// a pure single-precision quotient rounds up to 882.
std::optional<PitchWindow> pitchWindow(const AnalysisSound& sound, float minimumPitch,
                                       float periodsPerWindow) {
    const double dx = sound.dx;
    PitchWindow w;
    w.samplesPerPeriod = truncToInt(std::floor(1.0 / dx / minimumPitch));
    w.halfPeriod = w.samplesPerPeriod / 2 + 1;
    w.windowDuration = periodsPerWindow / minimumPitch;
    w.windowLength = truncToInt(std::floor(w.windowDuration / dx));
    w.halfWindow = w.windowLength / 2 - 1;
    if (w.halfWindow < 2) {
        debugWrite("Analysis window too short.\n");
        return std::nullopt;
    }
    w.windowLength = 2 * w.halfWindow;
    w.maxLag = std::min(truncToInt(std::floor(w.windowLength / double{periodsPerWindow}) + 2),
                        w.windowLength);
    w.reach = truncToInt(w.windowLength * 0.5);
    w.fftLength = 1;
    while (1.5 * w.windowLength > w.fftLength) {
        w.fftLength *= 2;
    }
    return w;
}

namespace {

// The frame layout for a sound of nx samples; `report` writes the diagnostics.
std::optional<FrameLayout> layoutFor(int32_t nx, float dx, float x1, float windowDuration,
                                     float timeStep, bool report) {
    if (report && (windowDuration <= 0 || timeStep <= 0)) {
        debugWrite("parameters has error defined \n");
    }
    const float duration = static_cast<float>(nx) * dx;
    if (windowDuration > duration) {
        if (report) {
            debugWrite("me shorter than window length.\n");
        }
        return std::nullopt;
    }
    FrameLayout layout;
    layout.frameCount = truncToInt(std::floor((double{duration} - windowDuration) / timeStep) + 1);
    if (layout.frameCount < 1) {
        if (report) {
            debugWrite("no enough frames number!\n");
        }
        layout.frameCount = 0;
    }
    const auto centre = static_cast<float>(double{x1} - 0.5 * dx + 0.5 * double{duration});
    const auto span = static_cast<float>(double{timeStep} * layout.frameCount);
    layout.firstTime = static_cast<float>(centre - 0.5 * span + 0.5 * timeStep);
    return layout;
}

} // namespace

std::optional<FrameLayout> layoutFrames(const AnalysisSound& sound, float windowDuration,
                                        float timeStep) {
    return layoutFor(sound.nx(), sound.dx, sound.x1, windowDuration, timeStep, true);
}

int32_t frameLeftSample(const AnalysisSound& sound, float firstTime, float timeStep, int32_t k) {
    const double t = double{firstTime} + double{timeStep} * k;
    return truncToInt(std::floor((t - sound.x1) / sound.dx)) + 1;
}

std::unique_ptr<PitchTrack> createPitchTrack(float xmin, float xmax, int32_t frameCount,
                                             float timeStep, float firstTime, float ceiling,
                                             int32_t maxCandidates) {
    try {
        auto track = std::make_unique<PitchTrack>();
        track->xmin = xmin;
        track->xmax = xmax;
        track->frameCount = std::max(frameCount, 0);
        track->timeStep = timeStep;
        track->firstTime = firstTime;
        track->ceiling = ceiling;
        track->maxCandidates = maxCandidates;
        track->frames.resize(static_cast<size_t>(track->frameCount));
        return track;
    } catch (const std::bad_alloc&) {
        debugWrite("no space, error!\n");
        debugWrite("Pitch not created.\n");
        return nullptr;
    }
}

int32_t initPitchFrame(PitchFrame& frame, int32_t n) {
    if (n < 1) {
        return 0;
    }
    try {
        frame.candidates.assign(static_cast<size_t>(n), PitchCandidate{});
    } catch (const std::bad_alloc&) {
        debugWrite("no enough space!\n");
        return 0;
    }
    frame.candidateCount = n;
    frame.capacity = n;
    return 1;
}

float sampleAt(const AnalysisSound& sound, int32_t index) {
    if (index >= 0 && index < sound.nx()) {
        return sound.samples[index];
    }
    debugWrite("out of index\n");
    return kOutOfIndex;
}

double interpolateSinc(const float* y, int32_t n, double x, int32_t maxDepth) {
    if (n < 1) {
        return kOutOfIndex;
    }
    if (x > n - 1) {
        return y[n - 1];
    }
    if (!(x >= 0)) {
        return y[0];
    }
    const int32_t left = static_cast<int32_t>(std::floor(x));
    const int32_t right = left + 1;
    if (x == left) {
        return y[left];
    }
    const int32_t depth = std::min({maxDepth, left, n - 1 - left});
    if (depth <= 0) {
        return y[static_cast<int32_t>(std::floor(x + 0.5))];
    }
    if (depth == 1) {
        return y[left] + (x - left) * (y[right] - y[left]);
    }
    if (depth == 2) {
        const double yl = y[left], yr = y[right];
        const double dyl = 0.5 * (yr - y[left - 1]), dyr = 0.5 * (y[right + 1] - yl);
        const double fil = x - left, fir = right - x;
        return yl * fir + yr * fil -
               fil * fir * (0.5 * (dyr - dyl) + (fil - 0.5) * (dyl + dyr - 2 * (yr - yl)));
    }
    // A sinc tapered by a raised cosine that reaches zero one point beyond the depth.
    double result = 0;
    {
        double phase = (x - left) * kPi;
        double halfSine = 0.5 * std::sin(phase);
        const double span = x - (right - depth) + 1;
        double a = phase / span;
        const double step = kPi / span;
        for (int32_t ix = left; ix >= right - depth; --ix) {
            result += y[ix] * (halfSine / phase) * (1 + std::cos(a));
            phase += kPi;
            a += step;
            halfSine = -halfSine;
        }
    }
    {
        double phase = (right - x) * kPi;
        double halfSine = 0.5 * std::sin(phase);
        const double span = (left + depth) - x + 1;
        double a = phase / span;
        const double step = kPi / span;
        for (int32_t ix = right; ix <= left + depth; ++ix) {
            result += y[ix] * (halfSine / phase) * (1 + std::cos(a));
            phase += kPi;
            a += step;
            halfSine = -halfSine;
        }
    }
    return result;
}

bool findPitchPath(PitchTrack& track, float silenceThreshold, float voicingThreshold,
                   float octaveCost, float octaveJumpCost, float voicedUnvoicedCost, float ceiling,
                   bool pullFormants) {
    size_t k = 0;
    for (const PitchFrame& frame : track.frames) {
        k = std::max(k, static_cast<size_t>(std::max(frame.candidateCount, 0)));
    }
    std::vector<float> delta;
    std::vector<int32_t> psi;
    try {
        delta.resize(track.frames.size() * k);
        psi.resize(track.frames.size() * k);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return findPitchPath(track, silenceThreshold, voicingThreshold, octaveCost, octaveJumpCost,
                         voicedUnvoicedCost, ceiling, pullFormants, delta, psi);
}

bool findPitchPath(PitchTrack& track, float silenceThreshold, float voicingThreshold,
                   float octaveCost, float octaveJumpCost, float voicedUnvoicedCost, float ceiling,
                   bool pullFormants, std::span<float> delta, std::span<int32_t> psi) {
    const int32_t frameCount = static_cast<int32_t>(track.frames.size());
    int32_t k = 0;
    for (const PitchFrame& frame : track.frames) {
        if (frame.candidateCount < 1 ||
            frame.candidateCount > static_cast<int32_t>(frame.candidates.size())) {
            return false; // nothing to choose from in this frame
        }
        k = std::max(k, frame.candidateCount);
    }
    track.ceiling = ceiling;
    if (frameCount == 0) {
        return true;
    }
    const float ceiling2 = pullFormants ? 2 * ceiling : ceiling;
    const float correction = 0.01f / track.timeStep;
    const size_t needed = static_cast<size_t>(frameCount) * k;
    if (delta.size() < needed || psi.size() < needed) {
        return false;
    }
    // Every score read below is written first in this call, so the arrays need no clearing.
    auto at = [k](int32_t frame, int32_t candidate) {
        return static_cast<size_t>(frame) * k + candidate;
    };

    // Local scores: a voiced candidate scores its strength, slightly favouring high
    // frequencies; the unvoiced one scores high in quiet frames.
    for (int32_t f = 0; f < frameCount; ++f) {
        const PitchFrame& frame = track.frames[f];
        float unvoicedStrength =
            silenceThreshold <= 0
                ? 0.0f
                : 2 - frame.intensity / (silenceThreshold / (1 + voicingThreshold));
        unvoicedStrength = voicingThreshold + std::max(0.0f, unvoicedStrength);
        for (int32_t c = 0; c < frame.candidateCount; ++c) {
            const PitchCandidate& cand = frame.candidates[c];
            const bool voiceless = cand.frequency == 0 || cand.frequency > ceiling2;
            delta[at(f, c)] =
                voiceless
                    ? unvoicedStrength
                    : cand.strength -
                          octaveCost * static_cast<float>(std::log2(ceiling / cand.frequency));
        }
    }

    // Forward pass: the best-scoring way to reach each candidate.
    for (int32_t f = 1; f < frameCount; ++f) {
        const PitchFrame& previous = track.frames[f - 1];
        const PitchFrame& current = track.frames[f];
        for (int32_t c2 = 0; c2 < current.candidateCount; ++c2) {
            const float f2 = current.candidates[c2].frequency;
            const bool voiceless2 = f2 <= 0 || f2 >= ceiling2;
            float best = -std::numeric_limits<float>::infinity();
            int32_t bestFrom = 0;
            for (int32_t c1 = 0; c1 < previous.candidateCount; ++c1) {
                const float f1 = previous.candidates[c1].frequency;
                const bool voiceless1 = f1 <= 0 || f1 >= ceiling2;
                float cost;
                if (voiceless1 != voiceless2) {
                    cost = voicedUnvoicedCost * correction;
                } else if (voiceless1) {
                    cost = 0;
                } else {
                    cost = octaveJumpCost * correction *
                           static_cast<float>(std::abs(std::log2(f1 / f2)));
                }
                const float value = delta[at(f - 1, c1)] - cost + delta[at(f, c2)];
                if (value > best) {
                    best = value;
                    bestFrom = c1;
                }
            }
            delta[at(f, c2)] = best;
            psi[at(f, c2)] = bestFrom;
        }
    }

    const int32_t last = frameCount - 1;
    int32_t place = 0;
    for (int32_t c = 1; c < track.frames[last].candidateCount; ++c) {
        if (delta[at(last, c)] > delta[at(last, place)]) {
            place = c;
        }
    }
    for (int32_t f = last; f >= 0; --f) {
        std::swap(track.frames[f].candidates[0], track.frames[f].candidates[place]);
        place = psi[at(f, place)];
    }
    return true;
}

struct PitchAnalyzer::Workspace {
    PitchWindow w;
    std::vector<double> frame; // 1-based, fftLength entries; becomes the autocorrelation
    std::vector<double> windowCorrelation;
    std::vector<float> window;
    std::vector<float> correlation; // lags -windowLength .. +windowLength
    FftTableD table;
    std::vector<float> delta; // the path finder's scores, frames x maximum candidates
    std::vector<int32_t> psi;
};

PitchAnalyzer::PitchAnalyzer(int32_t length, float dx, const PitchSettings& settings)
    : length_(std::max(length, 0)), dx_(dx), settings_(settings) {
    PitchSettings& s = settings_;
    if (s.ceiling / s.minimumPitch > static_cast<float>(s.maxCandidates)) {
        s.maxCandidates = truncToInt(s.ceiling / s.minimumPitch);
    }
    if (s.timeStep <= 0) {
        s.timeStep = s.periodsPerWindow / s.minimumPitch / 4.0f;
    }
    const float duration = static_cast<float>(length_) * dx;
    if (!(duration > 0) || double{s.periodsPerWindow} / duration > s.minimumPitch) {
        debugPrintf("For this Sound, the parameter 'minimum pitch'\t\t\tmay not be less than %f "
                    ".8g Hz.",
                    duration > 0 ? static_cast<double>(s.periodsPerWindow / duration) : HUGE_VAL);
        return;
    }
    if (s.ceiling > 0.5 / dx) {
        s.ceiling = static_cast<float>(0.5 / dx);
    }
    AnalysisSound shape; // the figures below depend on the length and sampling period only
    shape.dx = dx;
    const std::optional<PitchWindow> w = pitchWindow(shape, s.minimumPitch, s.periodsPerWindow);
    if (!w) {
        return;
    }
    const std::optional<FrameLayout> layout =
        layoutFor(length_, dx, 0.0f, w->windowDuration, s.timeStep, true);
    if (!layout) {
        return;
    }
    frameCount_ = layout->frameCount;
    std::unique_ptr<PitchTrack> track = createPitchTrack(
        0, 0, frameCount_, s.timeStep, layout->firstTime, s.ceiling, s.maxCandidates);
    if (!track) {
        return;
    }
    track_ = std::move(*track);
    for (PitchFrame& frame : track_.frames) {
        if (initPitchFrame(frame, std::max(s.maxCandidates, 1)) == 0) {
            debugWrite("pitch frame init unsuccessful\n");
            return;
        }
    }
    try {
        auto ws = std::make_unique<Workspace>();
        ws->w = *w;
        ws->frame.assign(static_cast<size_t>(w->fftLength) + 1, 0.0);
        ws->windowCorrelation.assign(static_cast<size_t>(w->fftLength) + 1, 0.0);
        ws->window.assign(static_cast<size_t>(w->windowLength), 0.0f);
        ws->correlation.assign(2 * static_cast<size_t>(w->windowLength) + 1, 0.0f);
        const size_t scores =
            static_cast<size_t>(frameCount_) * static_cast<size_t>(std::max(s.maxCandidates, 1));
        ws->delta.assign(scores, 0.0f);
        ws->psi.assign(scores, 0);
        if (!ws->table.create(w->fftLength)) {
            return;
        }
        // The window and its autocorrelation are the same for every sound of this shape.
        prepareWindow(ws->window.data(), ws->windowCorrelation.data(), ws->table, *w);
        ws_ = std::move(ws);
    } catch (const std::bad_alloc&) {
        return;
    }
    ok_ = true;
}

PitchAnalyzer::~PitchAnalyzer() = default;

const PitchTrack* PitchAnalyzer::analyse(const AnalysisSound& sound) {
    if (!ok_) {
        return nullptr;
    }
    if (sound.nx() != length_ || sound.dx != dx_) {
        debugWrite("pitch analysis: the sound does not fit the analyser\n");
        return nullptr;
    }
    const PitchSettings& s = settings_;
    PitchTrack& track = track_;
    track.xmin = sound.xmin;
    track.xmax = sound.xmax;
    track.ceiling = s.ceiling;
    // Only the first time depends on where the sound starts.
    track.firstTime =
        layoutFor(length_, dx_, sound.x1, ws_->w.windowDuration, s.timeStep, false)->firstTime;

    double sum = 0;
    for (float v : sound.samples) {
        sum += v;
    }
    const float mean = static_cast<float>(sum / sound.nx());
    float globalPeak = 0;
    for (float v : sound.samples) {
        globalPeak = std::max(globalPeak, std::abs(v - mean));
    }
    if (globalPeak == 0) {
        // Silence: every frame is unvoiced and there is no path to find.
        for (PitchFrame& frame : track.frames) {
            clearFrame(frame, 1);
            frame.intensity = 0;
        }
        return &track;
    }

    if (track.maxCandidates < 1) {
        return nullptr; // no room for the unvoiced candidate
    }
    Workspace& ws = *ws_;
    const FrameWork work{ws.w,
                         ws.frame.data(),
                         ws.windowCorrelation.data(),
                         ws.window.data(),
                         ws.correlation.data(),
                         ws.table};
    for (int32_t k = 0; k < track.frameCount; ++k) {
        analyseFrame(sound, work, track, k, globalPeak, s.minimumPitch, s.voicingThreshold,
                     s.octaveCost);
    }
    if (!findPitchPath(track, s.silenceThreshold, s.voicingThreshold, s.octaveCost,
                       s.octaveJumpCost, s.voicedUnvoicedCost, s.ceiling, false, ws.delta,
                       ws.psi)) {
        return nullptr;
    }
    return &track;
}

std::unique_ptr<PitchTrack>
analysePitch(const AnalysisSound& sound, float timeStep, float minimumPitch, float periodsPerWindow,
             int32_t maxCandidates, float silenceThreshold, float voicingThreshold,
             float octaveCost, float octaveJumpCost, float voicedUnvoicedCost, float ceiling) {
    PitchAnalyzer analyzer(sound.nx(), sound.dx,
                           {timeStep, minimumPitch, periodsPerWindow, maxCandidates,
                            silenceThreshold, voicingThreshold, octaveCost, octaveJumpCost,
                            voicedUnvoicedCost, ceiling});
    if (analyzer.analyse(sound) == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<PitchTrack>(new (std::nothrow) PitchTrack(std::move(analyzer.track_)));
}

} // namespace timbrelo
