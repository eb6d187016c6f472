#include "effects/psola_effect.h"
#include "platform/debug.h"
#include "psola/psola_engine.h"
#include "support/signals.h"

#include <cmath>
#include <gtest/gtest.h>
#include <vector>

using namespace timbrelo;
using namespace timbrelo::test;

namespace {

constexpr double kRate = 22050;
constexpr int32_t kBlock = PsolaEffect::kBlockLength;

// An effect switched on with the given voice, as the presets send it.
std::unique_ptr<PsolaEffect> makeEffect(int channels, float pitch, float formant) {
    auto effect = std::make_unique<PsolaEffect>();
    effect->setInputFormat(22050, 16, channels);
    effect->setParameter(0, Effect::kOn);
    effect->setParameter(formant, 1);
    effect->setParameter(pitch, 0);
    return effect;
}

// Feeds interleaved input in buffers of `chunk` frames and collects everything produced.
std::vector<int16_t> runEffect(PsolaEffect& effect, const std::vector<int16_t>& input, int channels,
                               uint32_t chunk = 512) {
    std::vector<int16_t> out;
    const size_t frames = input.size() / channels;
    for (size_t start = 0; start < frames; start += chunk) {
        const auto n = static_cast<uint32_t>(std::min<size_t>(chunk, frames - start));
        EXPECT_EQ(effect.process(input.data() + start * channels, n), 0);
        out.insert(out.end(), effect.outBuffer(),
                   effect.outBuffer() + effect.outFrames() * channels);
    }
    return out;
}

std::vector<int16_t> stereoVoice(double f0, double seconds, double amplitude = 0.5) {
    return toInterleaved16(makeVoice(f0, seconds, kRate, amplitude), 2);
}

// Frames short of a block wait for the next call. What a call brings beyond the output waits
// for the next calls; only what neither buffer can hold is dropped, and said so.
TEST(PsolaEffect, PartialBlocksWaitAndLargeCallsLoseOnlyWhatCannotFit) {
    DebugCapture debug;
    const std::vector<int16_t> big(60000, 300);
    auto mono = makeEffect(1, 1.0f, 1.0f);
    EXPECT_EQ(mono->process(big.data(), 500), 0);
    EXPECT_EQ(mono->outFrames(), 0u);
    EXPECT_EQ(mono->pendingSamples(), 500);
    EXPECT_EQ(mono->process(big.data(), 1500), 0);
    EXPECT_EQ(mono->outFrames(), 1764u);
    EXPECT_EQ(mono->pendingSamples(), 236);
    EXPECT_EQ(mono->process(big.data(), 646), 0);
    EXPECT_EQ(mono->outFrames(), 882u);
    EXPECT_EQ(mono->pendingSamples(), 0);

    // Stereo: the output holds 10240 frames, that is 11 blocks a call.
    auto stereo = makeEffect(2, 1.0f, 1.0f);
    ASSERT_EQ(stereo->process(big.data(), 30000), 0);
    EXPECT_EQ(stereo->outFrames(), 11u * kBlock);
    uint32_t total = stereo->outFrames();
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(stereo->process(big.data(), 0), 0);
        total += stereo->outFrames();
    }
    EXPECT_EQ(total, 30000u / kBlock * kBlock);
    EXPECT_EQ(stereo->pendingSamples(), 30000 % kBlock);

    // Prepared for calls of 30000 frames, the effect drops nothing of such a call.
    mono->process(big.data(), 700);
    mono->prepare({{22050, 1}, 30000});
    EXPECT_EQ(mono->pendingSamples(), 0);
    ASSERT_EQ(mono->process(big.data(), 30000), 0);
    total = mono->outFrames();
    ASSERT_EQ(mono->process(big.data(), 0), 0);
    EXPECT_EQ(total + mono->outFrames(), 30000u / kBlock * kBlock);
    EXPECT_EQ(debug.text().find("dropped"), std::string::npos) << debug.text();

    // Unprepared and mono, a call of 50000 frames overfills both buffers.
    auto unprepared = makeEffect(1, 1.0f, 1.0f);
    ASSERT_EQ(unprepared->process(big.data(), 50000), 0);
    EXPECT_EQ(unprepared->outFrames(), 23u * kBlock);
    EXPECT_EQ(unprepared->pendingSamples(), PsolaEffect::kBufferSamples);
    EXPECT_TRUE(debug.contains("psola: buffers full, 9234 frames dropped.\n"));
}

TEST(PsolaEffect, StereoTakesTheFirstChannelAndWritesBoth) {
    std::vector<int16_t> input = stereoVoice(150, 0.5);
    for (size_t i = 1; i < input.size(); i += 2) {
        input[i] = static_cast<int16_t>(i * 7919 % 20000 - 10000); // noise on the right
    }
    auto effect = makeEffect(2, 1.3f, 1.1f);
    const std::vector<int16_t> out = runEffect(*effect, input, 2);
    ASSERT_EQ(out.size(), (input.size() / 2 / kBlock) * kBlock * 2);
    for (size_t i = 0; i < out.size(); i += 2) {
        ASSERT_EQ(out[i], out[i + 1]) << i;
    }
    // Same result as the clean voice in mono: the right channel was ignored.
    auto reference = makeEffect(1, 1.3f, 1.1f);
    const std::vector<int16_t> mono = toInterleaved16(makeVoice(150, 0.5, kRate, 0.5), 1);
    const std::vector<int16_t> monoOut = runEffect(*reference, mono, 1);
    ASSERT_EQ(monoOut.size() * 2, out.size());
    for (size_t i = 0; i < monoOut.size(); ++i) {
        ASSERT_EQ(monoOut[i], out[2 * i]) << i;
    }
}

TEST(PsolaEffect, NewEngineStartsWithTwoSilentBlocks) {
    auto effect = makeEffect(2, 1.0f, 1.0f);
    const std::vector<int16_t> out = runEffect(*effect, stereoVoice(150, 0.3), 2);
    ASSERT_GE(out.size(), 6u * kBlock);
    for (int32_t i = 0; i < 4 * kBlock; ++i) {
        ASSERT_EQ(out[i], 0) << i;
    }
    EXPECT_GT(rms(channelOf(out, 2, 0)), 500);
}

TEST(PsolaEffect, SaturatesInsteadOfWrapping) {
    // Four times the pitch stacks four grains at every point: far beyond 16 bits. The voice
    // has strong positive pulses, so its inverse reaches the negative end.
    for (const float sign : {1.0f, -1.0f}) {
        std::vector<float> voice = makeVoice(100, 1.0, kRate, 0.95);
        for (float& v : voice) {
            v *= sign;
        }
        auto effect = makeEffect(1, 4.0f, 1.0f);
        const std::vector<int16_t> out = runEffect(*effect, toInterleaved16(voice, 1), 1);
        const auto [lo, hi] = std::minmax_element(out.begin(), out.end());
        EXPECT_EQ(sign > 0 ? *hi : *lo, sign > 0 ? 32767 : -32768);
        // No wrap-around: a saturated run never flips to the other extreme next door.
        for (size_t i = 1; i < out.size(); ++i) {
            ASSERT_LT(std::abs(out[i] - out[i - 1]), 40000) << i;
        }
    }
}

TEST(PsolaEffect, SwitchingOffAndOn) {
    DebugCapture debug;
    PsolaEffect effect;
    effect.setInputFormat(22050, 16, 1);
    const std::vector<int16_t> input(600, 1000);
    EXPECT_EQ(effect.process(input.data(), 600), 1); // starts switched off
    effect.setParameter(0, Effect::kOn);
    EXPECT_EQ(debug.text(), "use psola.\n");
    EXPECT_EQ(effect.process(input.data(), 600), 0);
    EXPECT_EQ(effect.pendingSamples(), 600);
    effect.setParameter(0, Effect::kOff);
    EXPECT_TRUE(debug.contains("not use psola.\n"));
    EXPECT_EQ(effect.process(input.data(), 600), 1);
    EXPECT_EQ(effect.pendingSamples(), 600); // off keeps the partial block
    effect.setParameter(0, Effect::kOn);
    EXPECT_EQ(effect.process(input.data(), 100), 0);
    EXPECT_EQ(effect.pendingSamples(), 100); // on drops it
    effect.setParameter(5, 7);               // unknown kinds do nothing
    EXPECT_EQ(effect.pendingSamples(), 100);
}

TEST(PsolaEffect, FactorsReachANewEngineBeforeTheNextBlockAndBadArgumentsAreRefused) {
    PsolaEffect effect;
    effect.setInputFormat(22050, 16, 1);
    effect.setParameter(0, Effect::kOn);
    EXPECT_FLOAT_EQ(effect.engine().pitchFactor(), 2.6f);
    EXPECT_FLOAT_EQ(effect.engine().formantFactor(), 1.4f);
    effect.setParameter(1.3f, 1); // formant alone waits for the next pitch factor
    const std::vector<int16_t> input(100, 0);
    effect.process(input.data(), 100);
    EXPECT_FLOAT_EQ(effect.engine().formantFactor(), 1.4f);
    effect.setParameter(1.6f, 0);
    effect.process(input.data(), 100);
    EXPECT_FLOAT_EQ(effect.engine().pitchFactor(), 1.6f);
    EXPECT_FLOAT_EQ(effect.engine().formantFactor(), 1.3f);
    // A zero factor is accepted but the engine keeps it in a working range.
    effect.setParameter(0.0f, 0);
    effect.process(input.data(), 100);
    EXPECT_FLOAT_EQ(effect.engine().pitchFactor(), PsolaEngine::kMinFactor);
    // Factors that arrive after a pitch factor but before the next block still reach the
    // engine built for it.
    effect.setParameter(2.0f, 0);
    effect.setParameter(1.6f, 1);
    const char* pitch[] = {"1.8"};
    effect.parseArgs(1, pitch);
    effect.process(input.data(), 100);
    EXPECT_FLOAT_EQ(effect.engine().pitchFactor(), 1.8f);
    EXPECT_FLOAT_EQ(effect.engine().formantFactor(), 1.6f);

    // A configuration line before any format never reaches an engine.
    DebugCapture debug;
    PsolaEffect unformatted;
    const char* one[] = {"1.25"};
    EXPECT_EQ(unformatted.parseArgs(1, one), 0);
    EXPECT_FLOAT_EQ(unformatted.pitchFactor(), 1.25f);
    EXPECT_FLOAT_EQ(unformatted.engine().pitchFactor(), 2.6f);
    const char* two[] = {"1.0", "2.0"};
    EXPECT_EQ(unformatted.parseArgs(2, two), -1);
    EXPECT_EQ(unformatted.parseArgs(0, nullptr), -1);
    EXPECT_TRUE(debug.contains("psola: number of params not right."));
    // Anything but one number within the engine's range is refused and changes nothing.
    for (const char* bad : {"high", "nan", "-1", "1e38", "0.2", "4.5", "1.5x", "inf"}) {
        const char* arg[] = {bad};
        EXPECT_EQ(unformatted.parseArgs(1, arg), -1) << bad;
        EXPECT_FALSE(unformatted.argsProblem().empty()) << bad;
    }
    EXPECT_FLOAT_EQ(unformatted.pitchFactor(), 1.25f);
}

// The left channel of everything the effect hands out for the input, in calls of 512 frames.
std::vector<float> leftOut(PsolaEffect& effect, const std::vector<int16_t>& stereo) {
    return channelOf(runEffect(effect, stereo, 2), 2, 0);
}

TEST(PsolaEffect, ResetForgetsThePastVoice) {
    // After a reset the effect sounds like a new one with the same factors: engine (with
    // its low-pass), partial block and analysis history all forgotten.
    const std::vector<int16_t> before = stereoVoice(210, 1.3);
    const std::vector<int16_t> after = stereoVoice(130, 1.5);
    auto used = makeEffect(2, 1.6f, 1.3f);
    used->prepare({{22050, 2}, 512});
    runEffect(*used, before, 2);
    EXPECT_GT(used->pendingSamples(), 0);
    used->reset();
    EXPECT_EQ(used->pendingSamples(), 0);
    auto fresh = makeEffect(2, 1.6f, 1.3f);
    const std::vector<float> expected = leftOut(*fresh, after);
    EXPECT_GT(rms(expected), 500);
    EXPECT_EQ(leftOut(*used, after), expected);
}

// Lag of the voice as heard by a consumer that starts with blockFrames() frames of silence
// and then plays the output as it comes: the best match of the two amplitude envelopes.
long heardLag(PsolaEffect& effect, const std::vector<float>& voice) {
    std::vector<float> heard(effect.blockFrames(), 0.0f);
    const std::vector<float> out = leftOut(effect, toInterleaved16(voice, 2));
    heard.insert(heard.end(), out.begin(), out.end());
    constexpr size_t kHop = 8;
    const auto envelope = [](const std::vector<float>& x) {
        std::vector<float> e(x.size() / kHop);
        for (size_t i = 0; i < e.size() * kHop; ++i) {
            e[i / kHop] += std::abs(x[i]);
        }
        return e;
    };
    return static_cast<long>(kHop) *
           bestCorrelation(envelope(voice), envelope(heard), 5000 / kHop).first;
}

TEST(PsolaEffect, LatencyIsTheLagOfTheVoice) {
    // A pulse-train voice in bursts of irregular length, so the envelopes match at one lag.
    std::vector<float> voice = makeVoice(150, 8.0, kRate, 0.5);
    uint32_t seed = 1;
    for (size_t t = 0, on = 0; t < voice.size(); on ^= 1) {
        seed = seed * 1103515245u + 12345u;
        const size_t length = 900 + (seed >> 8) % 2200;
        if (on == 0 || t < 2000) {
            std::fill(voice.begin() + t, voice.begin() + std::min(voice.size(), t + length), 0.0f);
        }
        t += length;
    }
    const double period = kRate / 150;
    // Gathering (882) + the engine: 2 blocks at a formant factor of 1, else a block for the
    // marks, 882 * 882 / L for the emitted stretch and, above 1, a block for the low-pass.
    const struct {
        float pitch, formant;
        uint32_t latency, tail;
    } cases[] = {{1.0f, 1.0f, 2646, 368}, {1.6f, 1.3f, 3324, 284}, {2.0f, 1.6f, 3197, 230}};
    for (const auto& c : cases) {
        auto effect = makeEffect(2, c.pitch, c.formant);
        effect->prepare({{22050, 2}, 512});
        EXPECT_EQ(effect->blockFrames(), 882u);
        EXPECT_EQ(effect->latencyFrames(), c.latency) << c.pitch << "/" << c.formant;
        EXPECT_EQ(effect->tailFrames(), c.tail) << c.pitch << "/" << c.formant;
        // Grains sit on pitch marks, so the voice moves by up to about a period or two.
        const long lag = heardLag(*effect, voice);
        EXPECT_GE(lag, static_cast<long>(c.latency - period / 2)) << c.pitch << "/" << c.formant;
        EXPECT_LE(lag, static_cast<long>(c.latency + 2 * period)) << c.pitch << "/" << c.formant;
        effect->setParameter(0, Effect::kOff);
        EXPECT_EQ(effect->latencyFrames() + effect->blockFrames() + effect->tailFrames(), 0u);
    }
}

// The left channel of the effect's output for a steady synthetic voice, past its start.
std::vector<float> steadyOut(double f0, float pitch, float formant) {
    auto effect = makeEffect(2, pitch, formant);
    return slice(channelOf(runEffect(*effect, stereoVoice(f0, 3.0), 2), 2, 0), 0.2, 1.0);
}

TEST(PsolaEffect, PitchFactorMovesThePitchAndFormantFactorOnlyTheEnvelope) {
    for (double f0 : {120.0, 220.0}) {
        const double period = kRate / f0;
        for (auto [pitch, formant] :
             {std::pair{1.6f, 1.3f}, std::pair{2.0f, 1.6f}, std::pair{1.0f, 1.3f}}) {
            const double expected = pitch == 1.0f ? 1.0 : pitch * period / (period + 0.5);
            const double ratio = measurePitchMedian(steadyOut(f0, pitch, formant), kRate) / f0;
            EXPECT_NEAR(ratio / expected, 1.0, 0.02)
                << "f0 " << f0 << ", R " << pitch << ", F " << formant;
        }
    }
    const double before = spectralCentroid(steadyOut(120, 1.0f, 1.0f), kRate);
    const double after = spectralCentroid(steadyOut(120, 1.0f, 1.3f), kRate);
    EXPECT_GT(after / before, 1.15) << before << " -> " << after;
}

// The engine on its own, block by block.
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

TEST(PsolaEngine, ANewEngineIsSilentForTwoBlocksAndNeutralFactorsAddASampleAPeriod) {
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

    // With R = F = 1 the grain spacing is P + 1.
    const double period = kRate / 150;
    PsolaEngine steady(kBlock, 1.0f, 1.0f);
    const std::vector<float> heard = run(steady, voiceBlocks(150, 30), 147);
    const double measured = measurePitchMedian(slice(heard, 0.2, 1.0), kRate);
    EXPECT_NEAR(measured / 150, period / (period + 1), 0.005);
}

TEST(PsolaEngine, StretchedLengthAndLowPassFollowTheFormantFactor) {
    for (auto [pitch, formant, length, lowPass] :
         {std::tuple{1.0f, 1.0f, 882, false}, {1.6f, 1.3f, 1147, true}, {1.0f, 0.5f, 441, false}}) {
        PsolaEngine engine(kBlock, pitch, formant);
        EXPECT_EQ(engine.stretchedLength(), length) << formant;
        EXPECT_EQ(engine.hasLowPass(), lowPass) << formant;
    }
    PsolaEngine down(kBlock, 1.0f, 0.5f);
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

} // namespace
