#include "platform/debug.h"
#include "psola/pitch_analysis.h"
#include "support/signals.h"

#include <cmath>
#include <gtest/gtest.h>
#include <vector>

using namespace timbrelo;
using namespace timbrelo::test;

namespace {

constexpr double kRate = 22050;
constexpr int32_t kSoundLength = 1544;

// The analysis sound as the voice engine sets it up.
AnalysisSound engineSound(std::vector<float> samples) {
    AnalysisSound sound;
    sound.dx = 1.0f / 22050.0f;
    sound.x1 = sound.dx / 2;
    sound.xmin = 0;
    sound.xmax = 0.04f;
    sound.samples = std::move(samples);
    return sound;
}

// analysePitch with the voice engine's parameters.
std::unique_ptr<PitchTrack> analyse(const AnalysisSound& sound) {
    return analysePitch(sound, 0.01f, 75.0f, 3.0f, 15, 0.03f, 0.45f, 0.01f, 0.35f, 0.14f, 500.0f);
}

std::vector<float> sine(double frequency, size_t length, double amplitude = 8000) {
    std::vector<float> x(length);
    for (size_t i = 0; i < length; ++i) {
        x[i] = static_cast<float>(amplitude * std::sin(2 * M_PI * frequency * i / kRate));
    }
    return x;
}

TEST(PitchAnalysis, LayoutOfTheEngineBuffer) {
    const AnalysisSound sound = engineSound(std::vector<float>(kSoundLength, 0.0f));
    const std::optional<PitchWindow> w = pitchWindow(sound, 75.0f, 3.0f);
    ASSERT_TRUE(w.has_value());
    EXPECT_EQ(w->samplesPerPeriod, 294);
    EXPECT_EQ(w->halfPeriod, 148);
    EXPECT_EQ(w->halfWindow, 439);
    EXPECT_EQ(w->windowLength, 878);
    EXPECT_EQ(w->maxLag, 294);
    EXPECT_EQ(w->reach, 439);
    EXPECT_EQ(w->fftLength, 2048);

    const std::optional<FrameLayout> layout = layoutFrames(sound, w->windowDuration, 0.01f);
    ASSERT_TRUE(layout.has_value());
    EXPECT_EQ(layout->frameCount, 4);
    const int32_t lefts[] = {441, 662, 882, 1103};
    for (int32_t k = 0; k < 4; ++k) {
        EXPECT_EQ(frameLeftSample(sound, layout->firstTime, 0.01f, k), lefts[k]) << k;
    }
}

TEST(PitchAnalysis, SilenceIsUnvoicedWithoutPathFindingAndAQuietStretchEndsUnvoiced) {
    const auto track = analyse(engineSound(std::vector<float>(kSoundLength, 0.0f)));
    ASSERT_NE(track, nullptr);
    ASSERT_EQ(track->frameCount, 4);
    for (const PitchFrame& frame : track->frames) {
        ASSERT_EQ(frame.candidateCount, 1);
        EXPECT_EQ(frame.candidates[0].frequency, 0.0f);
        EXPECT_EQ(frame.candidates[0].strength, 0.0f);
        EXPECT_EQ(frame.intensity, 0.0f);
    }
    // A constant is silence too once its mean is taken out.
    const auto constant = analyse(engineSound(std::vector<float>(kSoundLength, 500.0f)));
    ASSERT_NE(constant, nullptr);
    EXPECT_EQ(constant->frames[0].candidateCount, 1);

    // Loud voice in the first half, a faint one (below 0.03/1.45 of the peak) in the second.
    std::vector<float> samples = makeVoice(150, 0.1, kRate, 0.8);
    samples.resize(kSoundLength);
    for (size_t i = 800; i < samples.size(); ++i) {
        samples[i] *= 0.005f;
    }
    const auto quiet = analyse(engineSound(std::move(samples)));
    ASSERT_NE(quiet, nullptr);
    EXPECT_NEAR(quiet->frames[0].candidates[0].frequency, 150, 1.5);
    EXPECT_EQ(quiet->frames[3].candidates[0].frequency, 0.0f);
    EXPECT_LT(quiet->frames[3].intensity, 0.03 / 1.45);
}

TEST(PitchAnalysis, SinesAndVoicesGiveTheirFundamentalInEveryFrame) {
    DebugCapture debug;
    const auto track = analyse(engineSound(sine(200, kSoundLength)));
    ASSERT_NE(track, nullptr);
    EXPECT_EQ(track->maxCandidates, 15); // 500/75 is below 15: not raised
    ASSERT_EQ(track->frameCount, 4);
    for (const PitchFrame& frame : track->frames) {
        EXPECT_NEAR(frame.candidates[0].frequency, 200.0, 2.0);
        EXPECT_GT(frame.candidates[0].strength, 0.95);
        EXPECT_LE(frame.candidates[0].strength, 1.0);
        EXPECT_NEAR(frame.intensity, 1.0, 0.05);
    }
    EXPECT_EQ(debug.text().find("out of"), std::string::npos) << debug.text();

    for (double f0 : {80.0, 120.0, 200.0, 300.0}) {
        // Start past the resonators' onset so every frame sees a steady voice.
        const std::vector<float> voice = makeVoice(f0, 0.2, kRate, 0.6);
        std::vector<float> samples(voice.begin() + 1000, voice.begin() + 1000 + kSoundLength);
        const auto track = analyse(engineSound(std::move(samples)));
        ASSERT_NE(track, nullptr);
        ASSERT_EQ(track->frameCount, 4);
        for (int32_t k = 0; k < 4; ++k) {
            const PitchCandidate& chosen = track->frames[k].candidates[0];
            EXPECT_NEAR(chosen.frequency, f0, 0.01 * f0) << "f0 " << f0 << ", frame " << k;
            EXPECT_GT(chosen.strength, 0.45) << "f0 " << f0 << ", frame " << k;
        }
    }
}

TEST(PitchAnalysis, FailuresReportAndGiveNoTrack) {
    DebugCapture debug;
    // 3 periods of 75 Hz need 0.04 s; 600 samples last 0.027 s.
    EXPECT_EQ(analyse(engineSound(sine(200, 600))), nullptr);
    EXPECT_TRUE(debug.contains("For this Sound, the parameter 'minimum pitch'\t\t\tmay not be "
                               "less than 110.250"));
    debug.clear();
    EXPECT_EQ(analyse(engineSound({})), nullptr);
    EXPECT_TRUE(debug.contains("may not be less than"));

    debug.clear();
    const AnalysisSound sound = engineSound(sine(200, kSoundLength));
    EXPECT_EQ(
        analysePitch(sound, 0.01f, 20000.0f, 3.0f, 15, 0.03f, 0.45f, 0.01f, 0.35f, 0.14f, 500.0f),
        nullptr);
    EXPECT_EQ(debug.text(), "Analysis window too short.\n");

    debug.clear();
    EXPECT_FALSE(layoutFrames(sound, 0.5f, 0.01f).has_value());
    EXPECT_EQ(debug.text(), "me shorter than window length.\n");
    debug.clear();
    layoutFrames(sound, 0.04f, -0.01f);
    EXPECT_TRUE(debug.contains("parameters has error defined \n"));
}

void expectSameTrack(const PitchTrack& a, const PitchTrack& b, const char* what) {
    ASSERT_EQ(a.frameCount, b.frameCount) << what;
    EXPECT_EQ(a.firstTime, b.firstTime) << what;
    EXPECT_EQ(a.xmax, b.xmax) << what;
    EXPECT_EQ(a.ceiling, b.ceiling) << what;
    for (int32_t k = 0; k < a.frameCount; ++k) {
        const PitchFrame& fa = a.frames[k];
        const PitchFrame& fb = b.frames[k];
        ASSERT_EQ(fa.candidateCount, fb.candidateCount) << what << ", frame " << k;
        EXPECT_EQ(fa.capacity, fb.capacity) << what << ", frame " << k;
        EXPECT_EQ(fa.intensity, fb.intensity) << what << ", frame " << k;
        for (int32_t c = 0; c < fa.candidateCount; ++c) {
            EXPECT_EQ(fa.candidates[c].frequency, fb.candidates[c].frequency) << what << k << c;
            EXPECT_EQ(fa.candidates[c].strength, fb.candidates[c].strength) << what << k << c;
        }
    }
}

TEST(PitchAnalyzer, AReusedAnalyserGivesWhatAFreshAnalysisGives) {
    // Voiced, silent and voiced again, at another start time: nothing of one sound may
    // linger in the next one's track.
    PitchAnalyzer analyzer(kSoundLength, 1.0f / 22050.0f);
    ASSERT_TRUE(analyzer.ok());
    EXPECT_EQ(analyzer.frameCount(), 4);
    const std::vector<float> low = makeVoice(110, 0.2, kRate, 0.6);
    const std::vector<float> high = makeVoice(260, 0.2, kRate, 0.3);
    std::vector<AnalysisSound> sounds;
    sounds.push_back(engineSound({low.begin() + 1000, low.begin() + 1000 + kSoundLength}));
    sounds.push_back(engineSound(std::vector<float>(kSoundLength, 0.0f)));
    sounds.push_back(engineSound({high.begin() + 500, high.begin() + 500 + kSoundLength}));
    sounds.back().x1 = 0.25f;
    sounds.back().xmax = 0.3f;
    sounds.push_back(sounds[0]);
    for (size_t i = 0; i < sounds.size(); ++i) {
        const PitchTrack* reused = analyzer.analyse(sounds[i]);
        const auto fresh = analyse(sounds[i]);
        ASSERT_NE(reused, nullptr);
        ASSERT_NE(fresh, nullptr);
        expectSameTrack(*reused, *fresh, i == 1 ? "silence" : "voice");
    }
    EXPECT_NEAR(analyzer.analyse(sounds[2])->frames[1].candidates[0].frequency, 260, 3);

    // A sound of another shape is refused; so is everything when the settings do not fit.
    DebugCapture debug;
    EXPECT_EQ(analyzer.analyse(engineSound(sine(200, 1000))), nullptr);
    EXPECT_TRUE(debug.contains("does not fit"));
    PitchSettings tooHigh;
    tooHigh.minimumPitch = 20000;
    PitchAnalyzer bad(kSoundLength, 1.0f / 22050.0f, tooHigh);
    EXPECT_FALSE(bad.ok());
    EXPECT_EQ(bad.analyse(sounds[0]), nullptr);
    EXPECT_TRUE(debug.contains("Analysis window too short.\n"));
}

TEST(InterpolateSinc, ReconstructsABandLimitedSignal) {
    std::vector<float> y(200);
    for (size_t i = 0; i < y.size(); ++i) {
        y[i] = static_cast<float>(std::sin(0.3 * i) + 0.5 * std::cos(0.07 * i));
    }
    const int32_t n = static_cast<int32_t>(y.size());
    for (double x : {50.25, 100.5, 120.9, 150.01}) {
        const double expected = std::sin(0.3 * x) + 0.5 * std::cos(0.07 * x);
        EXPECT_NEAR(interpolateSinc(y.data(), n, x, 30), expected, 2e-3) << x;
    }
    EXPECT_EQ(interpolateSinc(y.data(), n, 40.0, 30), y[40]);
    // Near the ends the depth shrinks: the nearest point at the first interval, linear at
    // the second, cubic at the third.
    EXPECT_EQ(interpolateSinc(y.data(), n, 0.5, 30), y[1]);
    EXPECT_NEAR(interpolateSinc(y.data(), n, 1.5, 30), 0.5 * (y[1] + y[2]), 1e-6);
    const double cubic = interpolateSinc(y.data(), n, 2.5, 30);
    EXPECT_NEAR(cubic, std::sin(0.75) + 0.5 * std::cos(0.175), 5e-3);
    EXPECT_EQ(interpolateSinc(y.data(), n, 500.0, 30), y[199]);
    EXPECT_EQ(interpolateSinc(y.data(), n, -2.0, 30), y[0]);
    EXPECT_EQ(interpolateSinc(y.data(), 0, 1.0, 30), 10000000.0);
    EXPECT_EQ(interpolateSinc(y.data(), n, 7.3, 0), y[7]);
}

// A track made by hand for the path finder: each frame lists (frequency, strength) pairs
// after the unvoiced candidate.
PitchTrack handTrack(const std::vector<std::vector<PitchCandidate>>& voiced, float intensity) {
    PitchTrack track;
    track.timeStep = 0.01f;
    track.frameCount = static_cast<int32_t>(voiced.size());
    track.maxCandidates = 15;
    track.frames.resize(voiced.size());
    for (size_t f = 0; f < voiced.size(); ++f) {
        PitchFrame& frame = track.frames[f];
        initPitchFrame(frame, 15);
        frame.candidateCount = 1;
        for (const PitchCandidate& c : voiced[f]) {
            frame.candidates[frame.candidateCount++] = c;
        }
        frame.intensity = intensity;
    }
    return track;
}

// findPitchPath with the voice engine's parameters.
bool findPath(PitchTrack& track) {
    return findPitchPath(track, 0.03f, 0.45f, 0.01f, 0.35f, 0.14f, 500.0f, false);
}

TEST(PitchPath, PrefersASteadyPitchKeepsQuietAndOverCeilingFramesUnvoicedAndRefusesEmptyOnes) {
    // Frame 1 has a slightly stronger candidate an octave up; the jump costs more than it
    // gains.
    PitchTrack track = handTrack(
        {{{120, 0.9f}, {240, 0.5f}}, {{120, 0.85f}, {240, 0.9f}}, {{120, 0.9f}, {240, 0.5f}}},
        1.0f);
    ASSERT_TRUE(findPath(track));
    for (const PitchFrame& frame : track.frames) {
        EXPECT_EQ(frame.candidates[0].frequency, 120.0f);
    }
    EXPECT_EQ(track.ceiling, 500.0f);

    // Quiet frames; frames whose every candidate is voiceless (above the ceiling), where ties
    // keep the unvoiced one first.
    for (PitchTrack track : {handTrack({{{150, 1.0f}}, {{150, 1.0f}}}, 0.03f / 1.45f),
                             handTrack({{{900, 1.0f}}, {{950, 1.0f}}}, 1.0f)}) {
        ASSERT_TRUE(findPath(track));
        EXPECT_EQ(track.frames[0].candidates[0].frequency, 0.0f);
        EXPECT_EQ(track.frames[1].candidates[0].frequency, 0.0f);
    }
    PitchTrack empty = handTrack({{{150, 1.0f}}, {}}, 1.0f);
    empty.frames[1].candidateCount = 0;
    EXPECT_FALSE(findPath(empty));
}

} // namespace
