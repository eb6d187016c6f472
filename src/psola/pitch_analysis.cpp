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

// The per-call work arrays of the analysis.
struct Workspace {
    std::vector<double> frame; // 1-based, fftLength entries; becomes the autocorrelation
    std::vector<double> windowCorrelation;
    std::vector<float> window;
    std::vector<float> correlation; // lags -windowLength .. +windowLength
    FftTableD table;

    bool allocate(const PitchWindow& w) {
        try {
            frame.assign(static_cast<size_t>(w.fftLength) + 1, 0.0);
            windowCorrelation.assign(static_cast<size_t>(w.fftLength) + 1, 0.0);
            window.assign(static_cast<size_t>(w.windowLength), 0.0f);
            correlation.assign(2 * static_cast<size_t>(w.windowLength) + 1, 0.0f);
        } catch (const std::bad_alloc&) {
            return false;
        }
        return table.create(w.fftLength);
    }
};

// Hann window and its autocorrelation, normalised to 1 at lag 0.
void prepareWindow(Workspace& ws, const PitchWindow& w) {
    const int32_t length = w.windowLength;
    for (int32_t i = 0; i < length; ++i) {
        ws.window[i] =
            static_cast<float>(0.5 - 0.5 * std::cos((2.0 * i + 2.0) * kPi / (length + 1)));
    }
    double* wr = ws.windowCorrelation.data();
    std::fill(ws.windowCorrelation.begin(), ws.windowCorrelation.end(), 0.0);
    for (int32_t i = 0; i < length; ++i) {
        wr[i + 1] = ws.window[i];
    }
    forwardInPlace(ws.table, wr);
    powerSpectrum(wr, w.fftLength);
    backwardInPlace(ws.table, wr);
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

// Analyses frame k: intensity, autocorrelation and the candidate list.
bool analyseFrame(const AnalysisSound& sound, const PitchWindow& w, Workspace& ws,
                  PitchTrack& track, int32_t k, float globalPeak, float minimumPitch,
                  float voicingThreshold, float octaveCost) {
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
    double* ac = ws.frame.data();
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

    if (initPitchFrame(frame, track.maxCandidates) == 0) {
        return false;
    }
    frame.candidateCount = 1;
    frame.candidates[0] = {0.0f, 0.0f};
    if (localPeak == 0) {
        return true;
    }

    forwardInPlace(ws.table, ac);
    powerSpectrum(ac, w.fftLength);
    backwardInPlace(ws.table, ac);

    float* r = ws.correlation.data() + w.windowLength; // r[-windowLength .. windowLength]
    const double* wr = ws.windowCorrelation.data();
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
    return true;
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

std::optional<FrameLayout> layoutFrames(const AnalysisSound& sound, float windowDuration,
                                        float timeStep) {
    if (windowDuration <= 0 || timeStep <= 0) {
        debugWrite("parameters has error defined \n");
    }
    const float duration = static_cast<float>(sound.nx()) * sound.dx;
    if (windowDuration > duration) {
        debugWrite("me shorter than window length.\n");
        return std::nullopt;
    }
    FrameLayout layout;
    layout.frameCount = truncToInt(std::floor((double{duration} - windowDuration) / timeStep) + 1);
    if (layout.frameCount < 1) {
        debugWrite("no enough frames number!\n");
        layout.frameCount = 0;
    }
    const auto centre =
        static_cast<float>(double{sound.x1} - 0.5 * sound.dx + 0.5 * double{duration});
    const auto span = static_cast<float>(double{timeStep} * layout.frameCount);
    layout.firstTime = static_cast<float>(centre - 0.5 * span + 0.5 * timeStep);
    return layout;
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
    std::vector<float> delta;
    std::vector<int32_t> psi;
    try {
        delta.assign(static_cast<size_t>(frameCount) * k, 0.0f);
        psi.assign(static_cast<size_t>(frameCount) * k, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
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

std::unique_ptr<PitchTrack>
analysePitch(const AnalysisSound& sound, float timeStep, float minimumPitch, float periodsPerWindow,
             int32_t maxCandidates, float silenceThreshold, float voicingThreshold,
             float octaveCost, float octaveJumpCost, float voicedUnvoicedCost, float ceiling) {
    if (ceiling / minimumPitch > static_cast<float>(maxCandidates)) {
        maxCandidates = truncToInt(ceiling / minimumPitch);
    }
    if (timeStep <= 0) {
        timeStep = periodsPerWindow / minimumPitch / 4.0f;
    }
    const float duration = static_cast<float>(sound.nx()) * sound.dx;
    if (!(duration > 0) || double{periodsPerWindow} / duration > minimumPitch) {
        debugPrintf("For this Sound, the parameter 'minimum pitch'\t\t\tmay not be less than %f "
                    ".8g Hz.",
                    duration > 0 ? static_cast<double>(periodsPerWindow / duration) : HUGE_VAL);
        return nullptr;
    }
    if (ceiling > 0.5 / sound.dx) {
        ceiling = static_cast<float>(0.5 / sound.dx);
    }
    const std::optional<PitchWindow> w = pitchWindow(sound, minimumPitch, periodsPerWindow);
    if (!w) {
        return nullptr;
    }
    const std::optional<FrameLayout> layout = layoutFrames(sound, w->windowDuration, timeStep);
    if (!layout) {
        return nullptr;
    }
    std::unique_ptr<PitchTrack> track =
        createPitchTrack(sound.xmin, sound.xmax, layout->frameCount, timeStep, layout->firstTime,
                         ceiling, maxCandidates);
    if (!track) {
        return nullptr;
    }

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
        for (PitchFrame& frame : track->frames) {
            if (initPitchFrame(frame, 1) == 0) {
                debugWrite("pitch frame init unsuccessful\n");
                return nullptr;
            }
            frame.intensity = 0;
        }
        return track;
    }

    Workspace ws;
    if (!ws.allocate(*w)) {
        return nullptr;
    }
    prepareWindow(ws, *w);
    for (int32_t k = 0; k < track->frameCount; ++k) {
        if (!analyseFrame(sound, *w, ws, *track, k, globalPeak, minimumPitch, voicingThreshold,
                          octaveCost)) {
            return nullptr;
        }
    }
    if (!findPitchPath(*track, silenceThreshold, voicingThreshold, octaveCost, octaveJumpCost,
                       voicedUnvoicedCost, ceiling, false)) {
        return nullptr;
    }
    return track;
}

} // namespace timbrelo
