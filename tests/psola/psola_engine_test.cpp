#include "psola/psola_effect.h"
#include "psola/psola_engine.h"
#include "support/signals.h"

#include <cmath>
#include <gtest/gtest.h>
#include <vector>

using namespace timbrelo;
using namespace timbrelo::test;

namespace {

constexpr int32_t kBlock = 882;
constexpr double kRate = 22050;

std::vector<int16_t> voiceBlocks(double f0, int blocks) {
    const std::vector<float> voice = makeVoice(f0, (blocks * kBlock + 2000) / kRate, kRate, 0.5);
    std::vector<int16_t> out(blocks * kBlock);
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<int16_t>(std::lround(voice[i + 2000]));
    }
    return out;
}

std::vector<float> run(PsolaEngine& engine, const std::vector<int16_t>& input, int32_t period) {
    std::vector<float> out;
    for (size_t start = 0; start + kBlock <= input.size(); start += kBlock) {
        const float* block = engine.processBlock(input.data() + start, kBlock, period);
        EXPECT_NE(block, nullptr);
        if (block == nullptr) {
            break;
        }
        out.insert(out.end(), block, block + kBlock);
    }
    return out;
}

TEST(PsolaEngine, PeriodFromFrequency) {
    EXPECT_EQ(PsolaEffect::periodFromFrequency(500), 44);
    EXPECT_EQ(PsolaEffect::periodFromFrequency(75), 294);
    EXPECT_EQ(PsolaEffect::periodFromFrequency(200), 110);
    EXPECT_EQ(PsolaEffect::periodFromFrequency(501), 294);
    EXPECT_EQ(PsolaEffect::periodFromFrequency(74.9f), 294);
    EXPECT_EQ(PsolaEffect::periodFromFrequency(0), 294);
}

TEST(PsolaEngine, NewEngineIsSilentForTwoBlocksThenPlaysTheFirst) {
    // Only the first input block carries sound; the third output block must carry it.
    std::vector<int16_t> input(4 * kBlock, 0);
    const std::vector<int16_t> voice = voiceBlocks(150, 1);
    std::copy(voice.begin(), voice.end(), input.begin());
    PsolaEngine engine(kBlock, 1.0f, 1.0f);
    const std::vector<float> out = run(engine, input, 147);
    ASSERT_EQ(out.size(), input.size());
    for (int32_t i = 0; i < 2 * kBlock; ++i) {
        ASSERT_EQ(out[i], 0.0f) << i;
    }
    const std::vector<float> third(out.begin() + 2 * kBlock, out.begin() + 3 * kBlock);
    const std::vector<float> first(voice.begin(), voice.end());
    EXPECT_GT(rms(third), 0.5 * rms(first));
    // Grains keep the waveform: the third block lines up with the first input block.
    EXPECT_GT(bestCorrelation(first, third, 40).second, 0.8);
}

TEST(PsolaEngine, StretchedLengthAndLowPassFollowTheFormantFactor) {
    PsolaEngine neutral(kBlock, 1.0f, 1.0f);
    EXPECT_EQ(neutral.stretchedLength(), kBlock);
    EXPECT_FALSE(neutral.hasLowPass());
    PsolaEngine up(kBlock, 1.6f, 1.3f);
    EXPECT_EQ(up.stretchedLength(), 1147);
    EXPECT_TRUE(up.hasLowPass());
    PsolaEngine down(kBlock, 1.0f, 0.5f);
    EXPECT_EQ(down.stretchedLength(), 441);
    EXPECT_FALSE(down.hasLowPass());
    // Resampling a half-length block reaches past its end and extrapolates: still finite.
    const std::vector<float> out = run(down, voiceBlocks(120, 4), 184);
    for (float v : out) {
        ASSERT_TRUE(std::isfinite(v));
    }
    EXPECT_GT(rms(slice(out, 0.5, 1.0)), 100);
}

TEST(PsolaEngine, BadFactorsAreClampedAndCannotHang) {
    const std::vector<int16_t> input = voiceBlocks(200, 6);
    for (auto [r, f] : {std::pair{0.0f, 1.0f}, std::pair{1.0f, 0.0f}, std::pair{-2.0f, -1.0f},
                        std::pair{1e9f, 1e-9f}, std::pair{NAN, INFINITY}}) {
        PsolaEngine engine(kBlock, r, f);
        EXPECT_GE(engine.pitchFactor(), PsolaEngine::kMinFactor);
        EXPECT_LE(engine.pitchFactor(), PsolaEngine::kMaxFactor);
        EXPECT_GE(engine.formantFactor(), PsolaEngine::kMinFactor);
        EXPECT_LE(engine.formantFactor(), PsolaEngine::kMaxFactor);
        for (float v : run(engine, input, 110)) {
            ASSERT_TRUE(std::isfinite(v)) << r << " " << f;
        }
    }
    PsolaEngine nanEngine(kBlock, NAN, NAN);
    EXPECT_EQ(nanEngine.pitchFactor(), 1.0f);
    // Blocks of another length than the engine's are refused, not overrun.
    EXPECT_EQ(nanEngine.processBlock(input.data(), 1000, 110), nullptr);
}

TEST(PsolaEngine, MarksIncreaseAndAreCappedPerBlock) {
    // A 10-sample period would give 88 marks a block; the list keeps 49. The first pulse of
    // each block is the largest, so the forward walk from it has to fill the list.
    std::vector<int16_t> input(5 * kBlock);
    for (size_t i = 0; i < input.size(); ++i) {
        input[i] = static_cast<int16_t>(i % 10 == 3 ? 20000 : (i % 10) * 100);
        if (i % kBlock == 3) {
            input[i] = 30000;
        }
    }
    PsolaEngine engine(kBlock, 1.0f, 1.0f);
    for (int b = 0; b < 5; ++b) {
        ASSERT_NE(engine.processBlock(input.data() + b * kBlock, kBlock, 10), nullptr);
        EXPECT_LE(engine.markCount(), PsolaEngine::kMaxMarks - 1);
        const auto marks = engine.marks();
        for (size_t i = 1; i < marks.size(); ++i) {
            ASSERT_GT(marks[i], marks[i - 1]) << "block " << b;
        }
    }
    EXPECT_EQ(engine.markCount(), PsolaEngine::kMaxMarks - 1);

    // With a real period the marks sit one period apart on the pulses.
    PsolaEngine voiced(kBlock, 1.0f, 1.0f);
    const std::vector<int16_t> voice = voiceBlocks(150, 3);
    run(voiced, voice, 147);
    const auto marks = voiced.marks();
    ASSERT_GE(marks.size(), 4u);
    for (size_t i = 2; i < marks.size(); ++i) {
        EXPECT_NEAR(static_cast<double>(marks[i] - marks[i - 1]), 147.0, 3.0);
    }
}

TEST(PsolaEngine, FindPeakPrefersTheLaterOfEqualPeaks) {
    PsolaEngine engine(kBlock, 1.0f, 1.0f);
    std::vector<int16_t> block(kBlock, 0);
    block[100] = -500;
    block[300] = 500;
    engine.processBlock(block.data(), kBlock, 294);
    // Position p holds input sample p - n: the block's samples are at 882 + index.
    EXPECT_EQ(engine.findPeak(kBlock, 2 * kBlock, 2 * kBlock), kBlock + 300);
    EXPECT_EQ(engine.findPeak(kBlock, kBlock + 200, 2 * kBlock), kBlock + 100);
    // Zeros tie everywhere: the last position below the limit wins.
    EXPECT_EQ(engine.findPeak(kBlock + 400, kBlock + 600, kBlock + 500), kBlock + 499);
    EXPECT_FALSE(engine.findPeak(kBlock + 10, kBlock + 20, kBlock + 10).has_value());
}

TEST(PsolaEngine, NeutralFactorsLowerThePitchByOneSampleAPeriod) {
    // With R = F = 1 the grain spacing is P + 1.
    constexpr double f0 = 150;
    const double period = kRate / f0;
    PsolaEngine engine(kBlock, 1.0f, 1.0f);
    const std::vector<float> out = run(engine, voiceBlocks(f0, 30), 147);
    const double measured = measurePitchMedian(slice(out, 0.2, 1.0), kRate);
    EXPECT_NEAR(measured / f0, period / (period + 1), 0.005);
}

} // namespace
