#include "effects/cartoon_effect.h"
#include "effects/complex_fft.h"
#include "effects/effect_chain.h"
#include "platform/debug.h"
#include "support/signals.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <gtest/gtest.h>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

using namespace timbrelo;
using namespace timbrelo::test;

namespace {

constexpr double kRate = 22050;
constexpr size_t kBlock = 512; // frames per call, as the capture engine hands them over

std::unique_ptr<CartoonEffect> makeCartoon(float factor, uint32_t channels) {
    auto effect = std::make_unique<CartoonEffect>();
    effect->setInputFormat(static_cast<uint32_t>(kRate), 16, channels);
    effect->setParameter(factor, 0);
    effect->setParameter(0, Effect::kOn);
    return effect;
}

// Runs a whole interleaved signal through the effect in blocks of `block` frames.
std::vector<int16_t> runThrough(CartoonEffect& effect, const std::vector<int16_t>& in,
                                uint32_t channels, size_t block = kBlock) {
    std::vector<int16_t> out;
    const size_t frames = in.size() / channels;
    for (size_t at = 0; at < frames; at += block) {
        const auto n = static_cast<uint32_t>(std::min(block, frames - at));
        EXPECT_EQ(effect.process(in.data() + at * channels, n), 0);
        EXPECT_EQ(effect.outFrames(), n);
        out.insert(out.end(), effect.outBuffer(),
                   effect.outBuffer() + effect.outFrames() * channels);
    }
    return out;
}

double shiftedToneHz(float factor, uint32_t channels, int channel = 0) {
    auto effect = makeCartoon(factor, channels);
    const auto out =
        runThrough(*effect, makeTone(300, 2.0, kRate, static_cast<int>(channels)), channels);
    return measureToneFrequency(
        slice(channelOf(out, static_cast<int>(channels), channel), 0.2, 1.0), kRate);
}

} // namespace

// Against a direct DFT in double precision, both directions, unscaled.
TEST(ComplexFft, MatchesDirectTransform) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (size_t n : {2u, 8u, 128u}) {
        ComplexFft fft(n);
        std::vector<float> x(2 * n);
        for (float& v : x) {
            v = dist(rng);
        }
        for (int sign : {-1, 1}) {
            std::vector<float> y = x;
            sign < 0 ? fft.forward(y.data()) : fft.inverse(y.data());
            for (size_t k = 0; k < n; ++k) {
                std::complex<double> sum = 0;
                for (size_t t = 0; t < n; ++t) {
                    const double arg = sign * 2 * std::numbers::pi * double(k * t) / double(n);
                    sum += std::complex<double>(x[2 * t], x[2 * t + 1]) * std::polar(1.0, arg);
                }
                EXPECT_NEAR(y[2 * k], sum.real(), 1e-4 * n) << "n=" << n << " k=" << k;
                EXPECT_NEAR(y[2 * k + 1], sum.imag(), 1e-4 * n) << "n=" << n << " k=" << k;
            }
        }
    }
    EXPECT_THROW(ComplexFft(96), std::invalid_argument);
}

// The lag is one whole frame: a sample leaves once all four frames covering it are added.
TEST(CartoonEffect, UnitFactorDelaysByOneFrameAndScalesBy09) {
    auto effect = makeCartoon(1.0f, 1);
    const auto in = toInterleaved16(makeVoice(140, 1.0, kRate, 0.5), 1);
    const auto out = runThrough(*effect, in, 1);
    ASSERT_EQ(out.size(), in.size());
    for (size_t i = 0; i < 32; ++i) {
        ASSERT_EQ(out[i], 0) << "output before the first frame at " << i;
    }
    double err2 = 0;
    double ref2 = 0;
    for (size_t i = 1024; i < in.size(); ++i) {
        const double want = 0.9 * in[i - PhaseVocoder::kDelay];
        err2 += (out[i] - want) * (out[i] - want);
        ref2 += want * want;
    }
    EXPECT_LT(10 * std::log10(err2 / ref2), -60.0) << "error relative to 0.9 x input, in dB";
}

TEST(CartoonEffect, MovesToneByFactorInMonoAndStereo) {
    for (uint32_t channels : {1u, 2u}) {
        SCOPED_TRACE(channels);
        EXPECT_NEAR(shiftedToneHz(1.4f, channels), 420.0, 1.0);
        EXPECT_NEAR(shiftedToneHz(1.99f, channels), 597.0, 1.5);
        EXPECT_NEAR(shiftedToneHz(0.7f, channels), 210.0, 1.0);
        EXPECT_NEAR(shiftedToneHz(1.4f, channels, static_cast<int>(channels) - 1), 420.0, 1.0);
    }
}

// The formants move with the pitch: the voice's spectral centroid rises by the factor.
TEST(CartoonEffect, RaisesFormantsOfVoice) {
    const auto voice = makeVoice(150, 2.0, kRate, 0.5);
    auto effect = makeCartoon(1.5f, 2);
    const auto out = runThrough(*effect, toInterleaved16(voice, 2), 2);
    const double ratio = spectralCentroid(slice(channelOf(out, 2, 0), 0.2, 1.0), kRate) /
                         spectralCentroid(slice(voice, 0.2, 1.0), kRate);
    EXPECT_NEAR(ratio, 1.5, 0.12);
}

// Each channel is shifted on its own: the two channels of a stereo run are exactly what two
// mono runs make of them, whatever the buffer sizes.
TEST(CartoonEffect, ChannelsAreIndependent) {
    const auto left = makeTone(300, 0.5, kRate, 1);
    const auto right = toInterleaved16(makeVoice(200, 0.5, kRate, 0.6), 1);
    std::vector<int16_t> stereo;
    for (size_t i = 0; i < left.size(); ++i) {
        stereo.push_back(left[i]);
        stereo.push_back(right[i]);
    }
    auto both = makeCartoon(1.3f, 2);
    const auto out = runThrough(*both, stereo, 2, 441);
    auto monoLeft = makeCartoon(1.3f, 1);
    auto monoRight = makeCartoon(1.3f, 1);
    const auto expectLeft = runThrough(*monoLeft, left, 1, 97);
    const auto expectRight = runThrough(*monoRight, right, 1, 512);
    for (size_t i = 0; i < left.size(); ++i) {
        ASSERT_EQ(out[2 * i], expectLeft[i]) << "left at " << i;
        ASSERT_EQ(out[2 * i + 1], expectRight[i]) << "right at " << i;
    }
}

// However the input is cut into calls, the output is the same: the state runs on between
// calls, and a frame is processed exactly when 32 new samples have arrived.
TEST(CartoonEffect, OutputDoesNotDependOnCallSizes) {
    const auto in = toInterleaved16(makeVoice(180, 0.3, kRate, 0.7), 1);
    auto whole = makeCartoon(1.3f, 1);
    const auto reference = runThrough(*whole, in, 1, CartoonEffect::kMaxSamples);
    for (size_t block : {1u, 7u, 31u, 32u, 33u, 500u}) {
        auto effect = makeCartoon(1.3f, 1);
        EXPECT_EQ(runThrough(*effect, in, 1, block), reference) << "block " << block;
    }

    auto effect = makeCartoon(1.0f, 1);
    const std::vector<int16_t> loud(31, 30000);
    ASSERT_EQ(effect->process(loud.data(), 31), 0);
    EXPECT_TRUE(std::all_of(effect->outBuffer(), effect->outBuffer() + 31,
                            [](int16_t v) { return v == 0; }));
}

// Magnitudes scale with the input and phases do not, so four times the input gives four times
// the output; where that exceeds the 16-bit range it saturates instead of wrapping. At factor
// 0.5 this loud tone leaves about 7% above its own level, and so over full scale.
TEST(CartoonEffect, SaturatesOverRangeOutput) {
    const auto quiet = makeTone(400, 0.5, kRate, 1, 0.2495);
    std::vector<int16_t> loud(quiet.size());
    std::transform(quiet.begin(), quiet.end(), loud.begin(),
                   [](int16_t v) { return static_cast<int16_t>(4 * v); });
    auto a = makeCartoon(0.5f, 1);
    auto b = makeCartoon(0.5f, 1);
    const auto quietOut = runThrough(*a, quiet, 1);
    const auto loudOut = runThrough(*b, loud, 1);
    bool sawTop = false;
    bool sawBottom = false;
    for (size_t i = 0; i < quietOut.size(); ++i) {
        const double want = std::clamp(4.0 * quietOut[i], -32768.0, 32767.0);
        ASSERT_NEAR(loudOut[i], want, 8.0) << "at " << i;
        sawTop |= loudOut[i] == 32767;
        sawBottom |= loudOut[i] == -32768;
    }
    EXPECT_TRUE(sawTop);
    EXPECT_TRUE(sawBottom);
}

// Any factor keeps the synthesis inside the spectrum (the sanitizer build checks the indices),
// and none leaves the state unusable: a normal factor afterwards shifts as before.
TEST(CartoonEffect, SurvivesAnyFactor) {
    auto effect = makeCartoon(1.0f, 2);
    const auto tone = makeTone(300, 0.2, kRate, 2);
    const float inf = std::numeric_limits<float>::infinity();
    for (float factor : {-1.0f, -0.5f, -1e30f, 0.0f, 2.0f, 3.5f, 1e30f, 3e38f, inf, -inf,
                         std::numeric_limits<float>::quiet_NaN()}) {
        effect->setParameter(factor, 0);
        runThrough(*effect, tone, 2);
    }
    effect->setParameter(1.4f, 0);
    const auto out = runThrough(*effect, makeTone(300, 1.0, kRate, 2), 2);
    EXPECT_NEAR(measureToneFrequency(slice(channelOf(out, 2, 0), 0.3, 1.0), kRate), 420.0, 1.0);
}

// The synthesis phases keep their precision however long the voice runs: after two minutes
// an unshifted voice still comes out as itself (a phase that only grows loses its fraction).
TEST(CartoonEffect, StaysCleanAfterLongRun) {
    auto effect = makeCartoon(1.0f, 1);
    const auto voice = toInterleaved16(makeVoice(140, 10.0, kRate, 0.5), 1);
    std::vector<int16_t> out;
    for (int pass = 0; pass < 12; ++pass) {
        out = runThrough(*effect, voice, 1, CartoonEffect::kMaxSamples);
    }
    double err2 = 0;
    double ref2 = 0;
    for (size_t i = PhaseVocoder::kDelay; i < out.size(); ++i) {
        const double want = 0.9 * voice[i - PhaseVocoder::kDelay];
        err2 += (out[i] - want) * (out[i] - want);
        ref2 += want * want;
    }
    EXPECT_LT(10 * std::log10(err2 / ref2), -40.0);
}

TEST(CartoonEffect, LongBuffersAreCutToWhatFits) {
    auto mono = makeCartoon(1.0f, 1);
    const std::vector<int16_t> in(2 * 3000, 1000);
    ASSERT_EQ(mono->process(in.data(), 3000), 0);
    EXPECT_EQ(mono->outFrames(), 2048u);
    auto stereo = makeCartoon(1.0f, 2);
    ASSERT_EQ(stereo->process(in.data(), 1500), 0);
    EXPECT_EQ(stereo->outFrames(), 1024u);
}

TEST(CartoonEffect, SwitchesAndMessages) {
    DebugCapture debug;
    CartoonEffect effect;
    effect.setInputFormat(22050, 16, 2);
    EXPECT_STREQ(effect.name(), "cartoon");
    EXPECT_EQ(effect.pitchFactor(), 0.0f);
    const std::vector<int16_t> in(64, 100);
    EXPECT_EQ(effect.process(in.data(), 32), 1) << "off at construction";
    effect.setParameter(0, Effect::kOn);
    EXPECT_EQ(debug.text(), "use cartoon.\n");
    EXPECT_EQ(effect.process(in.data(), 32), 0);
    effect.setParameter(1.7f, 3);
    EXPECT_EQ(effect.pitchFactor(), 1.7f);
    debug.clear();
    effect.setParameter(5.0f, Effect::kOff);
    EXPECT_EQ(debug.text(), "not use cartoon.\n");
    EXPECT_EQ(effect.pitchFactor(), 1.7f);
    EXPECT_EQ(effect.process(in.data(), 32), 1);
}

TEST(CartoonEffect, ConfigurationLines) {
    DebugCapture debug;
    EffectChain chain;
    chain.setConfigSource(EffectConfigSource::text("cartoon 1.5\n"
                                                   "cartoon\n"
                                                   "cartoon 1.2 1.3\n"
                                                   "cartoon abc\n"));
    chain.setFormat(2, 22050, 16);
    ASSERT_EQ(chain.load(), 0);
    auto* cartoon = dynamic_cast<CartoonEffect*>(chain.slot(EffectChain::kCartoonSlot));
    ASSERT_NE(cartoon, nullptr);
    EXPECT_EQ(cartoon->pitchFactor(), 1.5f) << "rejected and unreadable lines keep the factor";
    EXPECT_NE(debug.text().find("cartoon: number of params not right.cartoon"), std::string::npos)
        << debug.text();

    // The line made the cartoon reachable through the chain's entry point.
    chain.setCartoonParameter(1.99f, 0);
    chain.setCartoonParameter(0, Effect::kOn);
    EXPECT_EQ(cartoon->pitchFactor(), 1.99f);
    const auto tone = makeTone(300, 1.0, kRate, 2);
    uint32_t frames = 0;
    std::vector<int16_t> out;
    for (size_t at = 0; at + kBlock <= tone.size() / 2; at += kBlock) {
        const int16_t* result = chain.run(tone.data() + 2 * at, kBlock, &frames);
        ASSERT_EQ(result, cartoon->outBuffer());
        out.insert(out.end(), result, result + 2 * frames);
    }
    EXPECT_NEAR(measureToneFrequency(slice(channelOf(out, 2, 0), 0.3, 1.0), kRate), 597.0, 1.5);
}
