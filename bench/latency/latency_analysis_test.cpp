// The latency probe's analysis on recordings made up here, where the truth is known: a path
// that delays, drops and fills in silence, streams whose clocks drift and whose reads come
// late, a changed voice that only its loudness lines up, and sounds after idle stretches.

#include "machine_stalls.h"
#include "path_analysis.h"
#include "test_voice.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <random>

using namespace timbrelo::bench;

namespace {

constexpr double kPi = 3.14159265358979323846;

// What a path did to the sound at output moment t: the reference moment heard then, or NaN
// for silence.
using PathShape = std::function<double(double t)>;

struct Scene {
    double seconds = 20;
    double refRate = 22050, outRate = 22050;
    double refPpm = 0, outPpm = 0;             // the streams' clocks against the wall clock
    double refStart = 100.0, outStart = 100.4; // when each recording began
    std::function<bool(double t)> refSounds = [](double) { return true; };
    std::function<double(double sample, double t)> change = [](double v, double) { return v; };
};

// Timing points as the probe takes them: a read every 10 ms, each up to 6 ms late.
std::vector<ClockPoint> timingOf(size_t frames, double rate, double start, double ppm,
                                 uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> late(0, 0.006);
    std::vector<ClockPoint> points;
    const auto block = static_cast<size_t>(rate * 0.01);
    for (size_t n = block; n <= frames; n += block) {
        points.push_back(
            {static_cast<double>(n),
             start + static_cast<double>(n) / (rate * (1 + ppm * 1e-6)) + late(random)});
    }
    return points;
}

struct Pair {
    Recording reference, output;
};

// A reference recording of the test voice (silent where `refSounds` says so) and an output
// recording that hears what `shape` says, both with their own clocks.
Pair makePair(const Scene& s, const PathShape& shape) {
    Pair p;
    TestVoice voice(s.refRate, 7);
    const auto refFrames = static_cast<size_t>(s.seconds * s.refRate);
    std::vector<float> clean(refFrames);
    p.reference.rate = s.refRate;
    p.reference.connectTime = s.refStart;
    p.reference.samples.resize(refFrames);
    const double refFps = s.refRate * (1 + s.refPpm * 1e-6);
    for (size_t i = 0; i < refFrames; ++i) {
        const double t = s.refStart + static_cast<double>(i) / refFps;
        clean[i] = s.refSounds(t) ? voice.next() : 0.0f;
        p.reference.samples[i] = static_cast<int16_t>(std::lround(clean[i] * 32767));
    }
    p.reference.timing = timingOf(refFrames, s.refRate, s.refStart, s.refPpm, 1);

    const auto outFrames = static_cast<size_t>((s.seconds - 0.5) * s.outRate);
    const double outFps = s.outRate * (1 + s.outPpm * 1e-6);
    p.output.rate = s.outRate;
    p.output.connectTime = s.outStart;
    p.output.samples.resize(outFrames);
    for (size_t j = 0; j < outFrames; ++j) {
        const double t = s.outStart + static_cast<double>(j) / outFps;
        const double heard = shape(t);
        double v = 0;
        if (!std::isnan(heard)) {
            const double at = (heard - s.refStart) * refFps;
            const auto below = static_cast<long>(std::floor(at));
            if (below >= 0 && static_cast<size_t>(below) + 1 < refFrames) {
                const double w = at - static_cast<double>(below);
                v = clean[static_cast<size_t>(below)] * (1 - w) +
                    clean[static_cast<size_t>(below) + 1] * w;
            }
        }
        p.output.samples[j] = static_cast<int16_t>(std::lround(s.change(v, t) * 32767));
    }
    p.output.timing = timingOf(outFrames, s.outRate, s.outStart, s.outPpm, 2);
    return p;
}

TEST(StreamClockTest, FollowsADriftingStreamFromLateReadsAndAStall) {
    const double rate = 22050, ppm = 450;
    std::vector<ClockPoint> points = timingOf(static_cast<size_t>(rate * 30), rate, 50, ppm, 3);
    EXPECT_NEAR(StreamClock(points, rate).measuredRate() / rate - 1, ppm * 1e-6, 30e-6);
    // Twelve seconds in, the stream stalls for 80 ms: everything after it comes later.
    for (ClockPoint& p : points) {
        p.time += p.frame >= rate * 12 ? 0.08 : 0;
    }
    const StreamClock clock(points, rate);
    // (Away from the block of the step, where the clock ramps from one level to the other.)
    for (const double second : {1.0, 6.0, 11.0, 17.0, 20.0, 29.0}) {
        const double frame = second * rate;
        const double truth = 50 + frame / (rate * (1 + ppm * 1e-6)) + (second >= 12 ? 0.08 : 0);
        EXPECT_NEAR(clock.timeOf(frame), truth, 0.0005) << second;
        EXPECT_NEAR(clock.frameAt(clock.timeOf(frame)), frame, 0.5) << second;
    }
    // Reads came 0..6 ms late.
    EXPECT_GT(clock.jitter(), 0.001);
    EXPECT_LT(clock.jitter(), 0.005);

    // From 20 s on the server holds the data back for 4 s and then hands it all over at once:
    // the stream's clock ran on all the same.
    for (ClockPoint& p : points) {
        p.time = std::max(p.time, p.frame >= rate * 20 && p.frame < rate * 24
                                      ? 50 + 24.08 + 0.002 * p.frame / rate
                                      : p.time);
    }
    const StreamClock held(points, rate);
    for (const double second : {19.0, 21.0, 22.5, 24.5, 27.0}) {
        const double frame = second * rate;
        EXPECT_NEAR(held.timeOf(frame), 50 + frame / (rate * (1 + ppm * 1e-6)) + 0.08, 0.001)
            << second;
    }
}

TEST(TestVoiceTest, PeaksAtFourTenthsAndIsNeverSilent) {
    TestVoice voice(22050, 1);
    float peak = 0;
    float quietest = 1; // the loudest sample of the quietest 5 ms
    float windowPeak = 0;
    for (int i = 0; i < 22050 * 30; ++i) {
        const float v = std::abs(voice.next());
        peak = std::max(peak, v);
        windowPeak = std::max(windowPeak, v);
        if (i % 110 == 109) {
            quietest = std::min(quietest, windowPeak);
            windowPeak = 0;
        }
    }
    EXPECT_GT(peak, 0.3f);
    EXPECT_LE(peak, 0.42f);
    EXPECT_GT(quietest, 0.002f);
}

TEST(AnalysePathTest, CopyWithDelayGapAndSkipAcrossDriftingClocks) {
    Scene s;
    s.refPpm = -200;
    s.outPpm = 350;
    // 112 ms late; 23 ms of silence instead of voice at 105 s and 8 ms of near-silence
    // (a faint hiss, as a resampler may leave) at 108 s; 30 ms left out at 114 s.
    s.change = [](double v, double t) { return t >= 108.0 && t < 108.008 ? 2e-4 : v; };
    const PathShape shape = [](double t) {
        if (t >= 105.0 && t < 105.023) {
            return double{NAN};
        }
        return t - (t >= 114.0 ? 0.082 : 0.112);
    };
    const Pair p = makePair(s, shape);
    const PathReport r = analysePath(p.reference, p.output);
    ASSERT_EQ(r.problem, "");
    EXPECT_NEAR(r.median, 0.112, 0.001);
    EXPECT_NEAR(r.min, 0.082, 0.002);
    EXPECT_NEAR(r.early, 0.112, 0.001);
    EXPECT_NEAR(r.late, 0.082, 0.001);
    EXPECT_GT(r.exact, r.delays.size() * 9 / 10);
    ASSERT_EQ(r.gaps.size(), 2u);
    EXPECT_NEAR(r.gaps[0].time, 105.0, 0.002);
    EXPECT_NEAR(r.gaps[0].seconds, 0.023, 0.002);
    EXPECT_NEAR(r.gaps[1].seconds, 0.008, 0.002);
    EXPECT_EQ(r.skips, 1);
    EXPECT_NEAR(r.skippedSeconds, 0.030, 0.003);
    EXPECT_EQ(r.inserts, 0);
    EXPECT_NEAR(r.clockPpm, 550, 100);
    EXPECT_NEAR(r.firstVoice, 0.0, 0.01); // voice was there from the output's start

    // The same at another rate on the output side (PipeWire hands sources out at 48 kHz).
    s.outRate = 48000;
    const Pair wide = makePair(s, shape);
    const PathReport w = analysePath(wide.reference, wide.output);
    EXPECT_NEAR(w.median, 0.112, 0.001);
    EXPECT_GT(w.exact, w.delays.size() * 9 / 10);
    EXPECT_EQ(w.gaps.size(), 2u);
    EXPECT_EQ(w.skips, 1);
}

TEST(AnalysePathTest, ChangedVoiceLinesUpByLoudnessAndCountsRegularGaps) {
    Scene s;
    // Ring modulation: nothing of the waveform is left, the loudness is.
    s.change = [](double v, double t) { return v * std::cos(2 * kPi * 530 * t); };
    // 250 ms late, and from 103 s on 30 ms of every 100 ms lost.
    const Pair p = makePair(s, [](double t) {
        const double phase = std::fmod(t - 103.0, 0.1);
        return (t >= 103.0 && phase < 0.03) ? double{NAN} : t - 0.25;
    });
    const PathReport r = analysePath(p.reference, p.output);
    ASSERT_EQ(r.problem, "");
    EXPECT_NEAR(r.median, 0.25, 0.004);
    EXPECT_EQ(r.exact, 0u);
    EXPECT_GT(r.delays.size(), r.windows * 8 / 10);
    EXPECT_EQ(r.skips, -1); // no copy: steps of the delay are not told
    EXPECT_NEAR(static_cast<double>(r.gaps.size()), (119.5 - 103.0) * 10, 4);
    EXPECT_NEAR(r.gapSeconds / r.expectedSeconds, 0.3 * 16.5 / 19.1, 0.03);
}

TEST(AnalysePathTest, SoundsAfterIdleStretchesWithACutBeginningAndOutputThatNeverCame) {
    Scene s;
    s.outStart = 100.0;
    // Spells of sound at 101..105, 107..111 and 113..117 s.
    s.refSounds = [](double t) {
        return (t >= 101 && t < 105) || (t >= 107 && t < 111) || (t >= 113 && t < 117);
    };
    // 230 ms late; the first 20 ms of the second spell never come out; nothing of the
    // third comes out at all.
    const Pair p = makePair(s, [](double t) {
        const double heard = t - 0.23;
        if ((heard >= 107 && heard < 107.02) || heard >= 112.9) {
            return double{NAN};
        }
        return heard;
    });
    const PathReport r = analysePath(p.reference, p.output);
    ASSERT_EQ(r.problem, "");
    EXPECT_NEAR(r.median, 0.23, 0.001);
    ASSERT_EQ(r.spells.size(), 3u);
    EXPECT_TRUE(r.spells[0].heard);
    EXPECT_NEAR(r.spells[0].onset, 0.23, 0.003);
    EXPECT_NEAR(r.spells[0].lost, 0.0, 0.003);
    EXPECT_NEAR(r.spells[1].lost, 0.02, 0.003);
    EXPECT_FALSE(r.spells[2].heard);
    // Neither the idle stretches nor the cut beginning count as gaps.
    EXPECT_TRUE(r.gaps.empty()) << r.gaps.size() << " gaps, the first at " << r.gaps[0].time;
}

TEST(AnalysePathTest, SaysWhyWhenThereIsNothingToMeasure) {
    Scene s;
    s.seconds = 6;
    const Pair silent = makePair(s, [](double) { return double{NAN}; });
    EXPECT_EQ(analysePath(silent.reference, silent.output).problem, "no voice reached the output");
    // Another voice altogether.
    Pair other = makePair(s, [](double t) { return t; });
    TestVoice stranger(s.outRate, 99);
    for (int16_t& v : other.output.samples) {
        v = static_cast<int16_t>(std::lround(stranger.next() * 32767));
    }
    EXPECT_EQ(analysePath(other.reference, other.output).problem,
              "the output does not match the reference anywhere");
    EXPECT_EQ(analysePath(Recording{}, other.output).problem,
              "nothing recorded from the reference");
}

// A gap is the machine's when it begins during a stall or while the server and the recorder
// catch up after it; the recorder's blocks may place its start a little early.
TEST(MachineStallsTest, AGapCountsAsTheMachinesOnlyDuringOrJustAfterAStall) {
    const std::vector<MachineStall> stalls = {{10.0, 0.02}, {30.0, 0.015}};
    const std::vector<Gap> gaps = {{9.98, 0.01}, {10.1, 0.02}, {10.2, 0.02},
                                   {20.0, 0.03}, {29.9, 0.01}, {30.01, 0.01}};
    EXPECT_EQ(gapsAfterStalls(gaps, stalls), 3u);
    EXPECT_EQ(gapsAfterStalls(gaps, {}), 0u);
    EXPECT_EQ(gapsAfterStalls({}, stalls), 0u);
}

} // namespace
