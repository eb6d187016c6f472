// The cartoon voice (a phase vocoder that moves every partial) and the echo.
#include "effects/cartoon_effect.h"
#include "effects/complex_fft.h"
#include "effects/echo_effect.h"
#include "effects/effect_chain.h"
#include "platform/debug.h"
#include "support/signals.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

using namespace timbrelo;
using namespace timbrelo::test;

namespace {

// What the effect, switched on, makes of interleaved input in calls of `block` frames.
std::vector<int16_t> runThrough(Effect& effect, const std::vector<int16_t>& in, uint32_t channels,
                                size_t block = 512) {
    effect.setParameter(0, Effect::kOn);
    std::vector<int16_t> out;
    for (size_t at = 0; at < in.size() / channels; at += block) {
        const auto n = static_cast<uint32_t>(std::min(block, in.size() / channels - at));
        EXPECT_EQ(effect.process(in.data() + at * channels, n), 0);
        out.insert(out.end(), effect.outBuffer(),
                   effect.outBuffer() + effect.outFrames() * channels);
    }
    return out;
}

constexpr double kRate = 22050;

std::unique_ptr<CartoonEffect> makeCartoon(float factor, uint32_t channels) {
    auto effect = std::make_unique<CartoonEffect>();
    effect->setInputFormat(static_cast<uint32_t>(kRate), 16, channels);
    effect->setParameter(factor, 0);
    effect->setParameter(0, Effect::kOn);
    return effect;
}

double shiftedToneHz(float factor, uint32_t channels) {
    auto effect = makeCartoon(factor, channels);
    const auto c = static_cast<int>(channels);
    const auto out = runThrough(*effect, makeTone(300, 2.0, kRate, c), channels);
    return measureToneFrequency(slice(channelOf(out, c, c - 1), 0.2, 1.0), kRate);
}

// Error of a mono output against the input delayed by one frame and scaled by 0.9, in dB.
double errorAgainstDelayedInputDb(const std::vector<int16_t>& out, const std::vector<int16_t>& in) {
    double err2 = 0;
    double ref2 = 0;
    for (size_t i = 1024; i < out.size(); ++i) {
        const double want = 0.9 * in[i - PhaseVocoder::kDelay];
        err2 += (out[i] - want) * (out[i] - want);
        ref2 += want * want;
    }
    return 10 * std::log10(err2 / ref2);
}

const char* const kSaturation = "echo: warning >>> gain-out can cause saturation of output <<<\n";

// Parses one configuration line's blank-separated arguments at the given format.
int32_t parse(EchoEffect& echo, const std::string& args, uint32_t rate = 44100,
              uint32_t channels = 2) {
    std::istringstream in(args);
    std::vector<std::string> tokens(std::istream_iterator<std::string>(in), {});
    std::vector<const char*> argv;
    for (const auto& t : tokens) {
        argv.push_back(t.c_str());
    }
    echo.setInputFormat(rate, 16, channels);
    return echo.parseArgs(static_cast<int32_t>(argv.size()), argv.data());
}

std::vector<int16_t> impulse(size_t samples, int16_t height) {
    std::vector<int16_t> x(samples, 0);
    x[0] = height;
    return x;
}

} // namespace

// The transform itself is checked through the effect: any error in it shows in the tests below.
TEST(ComplexFft, RefusesLengthsThatAreNotPowersOfTwo) {
    EXPECT_THROW(ComplexFft(96), std::invalid_argument);
}

// Factor 1 gives back the input, one frame late, at 0.9 of its level; it still does so after
// two minutes (a phase that only grows would have lost its fraction by then).
TEST(CartoonEffect, UnitFactorGivesTheDelayedInputAndOthersMoveTheTone) {
    auto effect = makeCartoon(1.0f, 1);
    const auto voice = toInterleaved16(makeVoice(140, 10.0, kRate, 0.5), 1);
    auto out = runThrough(*effect, voice, 1, CartoonEffect::kMaxSamples);
    ASSERT_TRUE(std::all_of(out.begin(), out.begin() + 32, [](int16_t v) { return v == 0; }));
    EXPECT_LT(errorAgainstDelayedInputDb(out, voice), -60.0);
    for (int pass = 0; pass < 11; ++pass) {
        out = runThrough(*effect, voice, 1, CartoonEffect::kMaxSamples);
    }
    EXPECT_LT(errorAgainstDelayedInputDb(out, voice), -40.0);

    for (uint32_t channels : {1u, 2u}) {
        SCOPED_TRACE(channels);
        EXPECT_NEAR(shiftedToneHz(1.4f, channels), 420.0, 1.0);
        EXPECT_NEAR(shiftedToneHz(1.99f, channels), 597.0, 1.5);
        EXPECT_NEAR(shiftedToneHz(0.7f, channels), 210.0, 1.0);
    }
}

// The channels are shifted apart: a stereo run gives exactly what two mono runs give, and the
// state runs on between calls, so how the input is cut into calls changes nothing.
TEST(CartoonEffect, ChannelsAndCallSizesAreIndependent) {
    const auto left = makeTone(300, 0.5, kRate, 1);
    const auto right = toInterleaved16(makeVoice(200, 0.5, kRate, 0.6), 1);
    std::vector<int16_t> stereo;
    for (size_t i = 0; i < left.size(); ++i) {
        stereo.insert(stereo.end(), {left[i], right[i]});
    }
    const auto out = runThrough(*makeCartoon(1.3f, 2), stereo, 2, 441);
    std::vector<int16_t> outLeft;
    std::vector<int16_t> outRight;
    for (size_t i = 0; i < out.size(); i += 2) {
        outLeft.push_back(out[i]);
        outRight.push_back(out[i + 1]);
    }
    EXPECT_EQ(runThrough(*makeCartoon(1.3f, 1), right, 1), outRight);
    for (size_t block : {1u, 31u, 32u, 33u, 2048u}) {
        EXPECT_EQ(runThrough(*makeCartoon(1.3f, 1), left, 1, block), outLeft) << block;
    }
    // Fewer than 32 new samples make no frame: the output is still the silent FIFO.
    auto effect = makeCartoon(1.0f, 1);
    const std::vector<int16_t> loud(31, 30000);
    ASSERT_EQ(effect->process(loud.data(), 31), 0);
    EXPECT_EQ(std::vector<int16_t>(effect->outBuffer(), effect->outBuffer() + 31),
              std::vector<int16_t>(31, 0));
}

// Magnitudes scale with the input and phases do not, so four times the input gives four times
// the output; where that exceeds the 16-bit range it saturates instead of wrapping. At factor
// 0.5 this loud tone leaves about 7% above its own level, and so over full scale.
TEST(CartoonEffect, SaturatesOverRangeOutputAndSurvivesAnyFactor) {
    const auto quiet = makeTone(400, 0.5, kRate, 1, 0.2495);
    std::vector<int16_t> loud(quiet.size());
    std::transform(quiet.begin(), quiet.end(), loud.begin(),
                   [](int16_t v) { return static_cast<int16_t>(4 * v); });
    const auto quietOut = runThrough(*makeCartoon(0.5f, 1), quiet, 1);
    const auto loudOut = runThrough(*makeCartoon(0.5f, 1), loud, 1);
    for (size_t i = 0; i < quietOut.size(); ++i) {
        ASSERT_NEAR(loudOut[i], std::clamp(4.0 * quietOut[i], -32768.0, 32767.0), 8.0) << i;
    }
    EXPECT_EQ(*std::max_element(loudOut.begin(), loudOut.end()), 32767);
    EXPECT_EQ(*std::min_element(loudOut.begin(), loudOut.end()), -32768);

    // Any factor keeps the synthesis inside the spectrum (the sanitizer build checks the indices),
    // and none leaves the state unusable: a normal factor afterwards shifts as before.
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

    // A buffer longer than the output buffer is cut to the frames that fit.
    const std::vector<int16_t> in(3000, 1000);
    ASSERT_EQ(effect->process(in.data(), 1500), 0);
    EXPECT_EQ(effect->outFrames(), 1024u);
}

TEST(CartoonEffect, SwitchesAndConfigurationLines) {
    DebugCapture debug;
    EffectChain chain;
    chain.setConfigSource(EffectConfigSource::text("cartoon 1.5\ncartoon\ncartoon 1.2 1.3\n"
                                                   "cartoon abc\ncartoon nan\ncartoon 1.2x\n"
                                                   "cartoon 0.2\ncartoon 4.5\ncartoon -inf\n"));
    chain.setFormat(2, 22050, 16);
    ASSERT_EQ(chain.load(), 0);
    auto* cartoon = dynamic_cast<CartoonEffect*>(chain.slot(EffectChain::kCartoonSlot));
    ASSERT_NE(cartoon, nullptr);
    EXPECT_EQ(cartoon->pitchFactor(), 1.5f) << "refused lines keep the factor";
    EXPECT_NE(debug.text().find("cartoon: number of params not right.cartoon"), std::string::npos);
    // Every line after the first is refused, each with its reason.
    std::vector<std::string> problems;
    for (const ConfigProblem& p : chain.configProblems()) {
        problems.push_back(p.text());
    }
    EXPECT_EQ(problems, (std::vector<std::string>{
                            "configuration:2: cartoon takes one number, the factor",
                            "configuration:3: cartoon takes one number, the factor",
                            "configuration:4: cartoon: \"abc\" is not a number",
                            "configuration:5: cartoon: the factor \"nan\" is outside 0.25..4",
                            "configuration:6: cartoon: \"1.2x\" is not a number",
                            "configuration:7: cartoon: the factor \"0.2\" is outside 0.25..4",
                            "configuration:8: cartoon: the factor \"4.5\" is outside 0.25..4",
                            "configuration:9: cartoon: the factor \"-inf\" is outside 0.25..4",
                        }));

    const std::vector<int16_t> in(64, 100);
    EXPECT_EQ(cartoon->process(in.data(), 32), 1) << "off until switched on";
    debug.clear();
    chain.setCartoonParameter(0, Effect::kOn);
    chain.setCartoonParameter(1.99f, 0);
    chain.setCartoonParameter(5.0f, Effect::kOff);
    EXPECT_EQ(debug.text(), "Set pitch shift.\nuse cartoon.\nSet pitch shift.\n"
                            "Set pitch shift.\nnot use cartoon.\n");
    EXPECT_EQ(cartoon->pitchFactor(), 1.99f);
    EXPECT_EQ(cartoon->process(in.data(), 32), 1);
}

TEST(EchoEffect, ConfigurationLinesAndARejectedLineChangesNothing) {
    struct Case {
        const char* args;
        int32_t result;
        std::string messages;
    };
    const Case cases[] = {
        {"0.8 0.9 100 0.3", 0, ""},
        {"1.0 0.5 10 1.0", 0, ""},
        {"0 0 10 0", 0, ""},
        {"0.8 0.9 100 0.3 200 0.25", 0, kSaturation}, // 1.55 x 0.8 > 1 / 0.9
        {"0.8 0.9 100", -1, "echo: number of params not right.\n"},
        {"0.8 0.9 100 0.3 200", -1, "echo: number of params not right.\n"},
        {"0.8 0.9", -1, "echo: number of params not right.\n"},
        {"1.01 1 10 0.5", -1, "echo: gain-in must be less than 1.0!\n"},
        {"-0.1 1 10 0.5", -1, "echo: gain-in must be positive!\n"},
        {"nan 1 10 0.5", -1, "echo: gain-in must be positive!\n"},
        {"0.5 -1 10 0.5", -1, "echo: gain-out must be positive!\n"},
        {"0.5 1 10 1.01", -1, "echo: decay must be less than 1.0!\n"},
        {"0.5 1 10 0.5 20 -0.2", -1, "echo: decay must be positive!\n"},
        {"0.5 1 0.01 0.3", -1, "echo: delay must be positive!\n"}, // 0.441 samples
        {"0.5 1 58049 0.3", 0, ""},                                // 2,559,960 samples
        {"0.5 1 58050 0.3", -1, "echo: delay is too big!\n"},      // 2,560,005 samples
        {"0.5 1 -5 0.3", -1, "echo: delay must be positive!\n"},
        {"0.5 1 nan 0.3", -1, "echo: delay must be positive!\n"},
        {"nan nan nan nan", -1, "echo: gain-in must be positive!\n"},
        {"0.5 inf 10 0.3", -1, "echo: gain-out must be positive!\n"},
        {"0.5 nan 10 0.3", -1, "echo: gain-out must be positive!\n"},
        {"0.5 1 10 0.3x", -1, "echo: param is not a number.\n"},
        {"0.5 1 1 0.1 2 0.1 3 0.1 4 0.1 5 0.1 6 0.1 7 0.1 8 0.1", -1, "echo: too many delays.\n"},
    };
    for (const Case& c : cases) {
        DebugCapture debug;
        EchoEffect echo;
        EXPECT_EQ(parse(echo, c.args), c.result) << c.args;
        EXPECT_EQ(debug.text(), c.messages) << c.args;
        EXPECT_EQ(echo.argsProblem().empty(), c.result == 0) << c.args;
    }
    EchoEffect echo;
    ASSERT_EQ(parse(echo, "0.5 1 100 0.3 58049 0.2"), 0);
    EXPECT_EQ(echo.delaySamples(0), 4410u);
    EXPECT_EQ(echo.delayLineLength(), 2'559'960u);

    // Seven pairs make an echo; an eighth refuses the line, saying so.
    ASSERT_EQ(parse(echo, "1 1 1 0.1 2 0.1 3 0.1 4 0.1 5 0.1 6 0.1 7 0.1", 1000, 1), 0);
    EXPECT_EQ(echo.delayCount(), 7u);
    const std::vector<int16_t> want = {10000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 0, 0, 0};
    EXPECT_EQ(runThrough(echo, impulse(11, 10000), 1, 11), want);
    ASSERT_EQ(parse(echo, "1 1 1 0.1 2 0.1 3 0.1 4 0.1 5 0.1 6 0.1 7 0.1 8 0.5 9 0.5", 1000, 1),
              -1);
    EXPECT_EQ(echo.argsProblem(), "echo: at most 7 delay/decay pairs, not 9");

    // A rejected line changes nothing: the echo goes on as the last accepted line set it.
    ASSERT_EQ(parse(echo, "1 1 6 0.5", 1000, 1), 0);
    std::vector<int16_t> taps(40, 0);
    taps[0] = 10000;
    taps[6] = 5000;
    for (const char* bad : {"0.5 1 4 0.25 9 0.5 3 1.5", "1 1", "0.5 inf 2 0.5", "0.2 1 -3 0.5"}) {
        ASSERT_EQ(parse(echo, bad, 1000, 1), -1) << bad;
        EXPECT_EQ(echo.gainIn(), 1.0f) << bad;
        EXPECT_EQ(echo.delayCount(), 1u) << bad;
        EXPECT_EQ(echo.delayLineLength(), 6u) << bad;
    }
    EXPECT_EQ(runThrough(echo, impulse(40, 10000), 1, 7), taps);
}

// The taps stand at exactly the delays, counted in interleaved samples (so an odd delay lands
// in the other channel), with the decays as amplitudes, also across calls.
TEST(EchoEffect, ImpulseGivesTapsAtDelays) {
    for (uint32_t channels : {1u, 2u}) {
        EchoEffect echo;
        // At 22050 Hz: 10 ms = 220.5 -> 220 samples, 25 ms = 551.25 -> 551 samples.
        ASSERT_EQ(parse(echo, "0.5 0.8 10 0.6 25 0.35", 22050, channels), 0);
        std::vector<int16_t> want(2000, 0);
        const auto tap = [](float decay) {
            return static_cast<int16_t>(std::trunc(double(0.8f) * double(decay) * 10000));
        };
        want[0] = tap(0.5f);
        want[220] = tap(0.6f);
        want[551] = tap(0.35f);
        EXPECT_EQ(runThrough(echo, impulse(2000, 10000), channels, 100), want) << channels;
    }
}

TEST(EchoEffect, LongBuffersAreCutToWholeFramesAndSumsSaturate) {
    const std::vector<int16_t> in(3 * 3000, 100);
    for (auto [channels, frames, processed] :
         {std::tuple{2u, 1500u, 1024u}, {1u, 3000u, 2048u}, {3u, 700u, 682u}, {2u, 300u, 300u}}) {
        EchoEffect echo;
        ASSERT_EQ(parse(echo, "1 1 10 0.5", 22050, channels), 0);
        echo.setParameter(0, Effect::kOn);
        ASSERT_EQ(echo.process(in.data(), frames), 0);
        EXPECT_EQ(echo.outFrames(), processed) << channels << " channels";
    }

    // A sum beyond the 16-bit range saturates; it must not wrap (40000 would become -25536).
    EchoEffect echo;
    ASSERT_EQ(parse(echo, "1 1 1 1", 1000, 1), 0);
    const std::vector<int16_t> loud = {20000, 20000, -20000, -20000, 0, 32767, 32767, 0};
    EXPECT_EQ(runThrough(echo, loud, 1, 8),
              (std::vector<int16_t>{20000, 32767, 0, -32768, -20000, 32767, 32767, 32767}));
}

TEST(EchoEffect, SwitchesAndChainLine) {
    const std::vector<int16_t> in = {1000, 0, 0, 0};
    EchoEffect unconfigured;
    unconfigured.setParameter(0, Effect::kOn);
    EXPECT_EQ(unconfigured.process(in.data(), 4), 1) << "no delay line yet";
    ASSERT_EQ(parse(unconfigured, "0.5 1 60000 0.5"), -1);
    EXPECT_EQ(unconfigured.process(in.data(), 4), 1) << "still no delay line";

    EffectChain chain;
    chain.setConfigSource(EffectConfigSource::text("echo 0.5 1.0 1 0.5\n"));
    chain.setFormat(1, 1000, 16);
    ASSERT_EQ(chain.load(), 0);
    Effect* echo = chain.slot(EffectChain::kEchoSlot);
    ASSERT_NE(echo, nullptr);
    EXPECT_STREQ(echo->name(), "echo");
    uint32_t frames = 0;
    EXPECT_EQ(chain.run(in.data(), 4, &frames), nullptr) << "off until switched on";
    echo->setParameter(0, Effect::kOn);
    echo->setParameter(3.0f, 0);
    EXPECT_EQ(echo->parameter(), 0.0f) << "other kinds are ignored";
    const int16_t* out = chain.run(in.data(), 4, &frames);
    ASSERT_EQ(out, echo->outBuffer());
    EXPECT_EQ(std::vector<int16_t>(out, out + frames), (std::vector<int16_t>{500, 500, 0, 0}));
    echo->setParameter(0, Effect::kOff);
    EXPECT_EQ(chain.run(in.data(), 4, &frames), nullptr);
}
