#include "effects/echo_effect.h"
#include "effects/effect_chain.h"
#include "platform/debug.h"

#include <cmath>
#include <gtest/gtest.h>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

using namespace timbrelo;

namespace {

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

// What the switched-on effect makes of `in` (interleaved), in calls of `block` frames.
std::vector<int16_t> runThrough(EchoEffect& echo, const std::vector<int16_t>& in, uint32_t channels,
                                size_t block) {
    echo.setParameter(0, Effect::kOn);
    std::vector<int16_t> out;
    for (size_t at = 0; at < in.size() / channels; at += block) {
        const auto n = static_cast<uint32_t>(std::min(block, in.size() / channels - at));
        EXPECT_EQ(echo.process(in.data() + at * channels, n), 0);
        out.insert(out.end(), echo.outBuffer(), echo.outBuffer() + echo.outFrames() * channels);
    }
    return out;
}

std::vector<int16_t> impulse(size_t samples, int16_t height) {
    std::vector<int16_t> x(samples, 0);
    x[0] = height;
    return x;
}

} // namespace

TEST(EchoEffect, ConfigurationLines) {
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
        {"0.5 1 -5 0.3", -1, "echo: delay is too big!\n"},
        {"0.5 1 nan 0.3", -1, "echo: delay is too big!\n"},
    };
    for (const Case& c : cases) {
        DebugCapture debug;
        EchoEffect echo;
        EXPECT_EQ(parse(echo, c.args), c.result) << c.args;
        EXPECT_EQ(debug.text(), c.messages) << c.args;
    }
    EchoEffect echo;
    ASSERT_EQ(parse(echo, "0.5 1 100 0.3 58049 0.2"), 0);
    EXPECT_EQ(echo.delaySamples(0), 4410u);
    EXPECT_EQ(echo.delayLineLength(), 2'559'960u);
}

// Seven pairs are kept; the rest are reported and play no part.
TEST(EchoEffect, PairsBeyondSevenAreIgnored) {
    DebugCapture debug;
    EchoEffect echo;
    ASSERT_EQ(parse(echo, "1 1 1 0.1 2 0.1 3 0.1 4 0.1 5 0.1 6 0.1 7 0.1 8 0.5 9 0.5", 1000, 1), 0);
    EXPECT_EQ(debug.text(),
              "echo: too many delays.\necho: too many delays.\n" + std::string(kSaturation));
    EXPECT_EQ(echo.delayCount(), 7u);
    const std::vector<int16_t> want = {10000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 0, 0, 0};
    EXPECT_EQ(runThrough(echo, impulse(11, 10000), 1, 11), want);
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

TEST(EchoEffect, LongBuffersAreCutToWholeFramesThatFit) {
    const std::vector<int16_t> in(3 * 3000, 100);
    for (auto [channels, frames, processed] :
         {std::tuple{2u, 1500u, 1024u}, {1u, 3000u, 2048u}, {3u, 700u, 682u}, {2u, 300u, 300u}}) {
        EchoEffect echo;
        ASSERT_EQ(parse(echo, "1 1 10 0.5", 22050, channels), 0);
        echo.setParameter(0, Effect::kOn);
        ASSERT_EQ(echo.process(in.data(), frames), 0);
        EXPECT_EQ(echo.outFrames(), processed) << channels << " channels";
    }
}

// A sum beyond the 16-bit range saturates; it must not wrap (40000 would become -25536).
TEST(EchoEffect, SaturatesInsteadOfWrapping) {
    EchoEffect echo;
    ASSERT_EQ(parse(echo, "1 1 1 1", 1000, 1), 0);
    const std::vector<int16_t> in = {20000, 20000, -20000, -20000, 0, 32767, 32767, 0};
    EXPECT_EQ(runThrough(echo, in, 1, 8),
              (std::vector<int16_t>{20000, 32767, 0, -32768, -20000, 32767, 32767, 32767}));
}

// A rejected line keeps the previous delay line and the gains and pairs as far as they were
// read; of its pairs only those checked before the fault that fit the line are applied, so
// nothing reads outside the line.
TEST(EchoEffect, RejectedLineStaysInsideOldDelayLine) {
    EchoEffect echo;
    ASSERT_EQ(parse(echo, "1 1 6 0.5", 1000, 1), 0);
    ASSERT_EQ(parse(echo, "0.5 1 4 0.25 9 0.5 3 1.5", 1000, 1), -1);
    EXPECT_EQ(echo.gainIn(), 0.5f);
    EXPECT_EQ(echo.delayCount(), 3u);
    EXPECT_EQ(echo.delayLineLength(), 6u);
    std::vector<int16_t> want(40, 0);
    want[0] = 5000;
    want[4] = 2500; // 9 does not fit the line of 6; the third pair is the faulty one
    EXPECT_EQ(runThrough(echo, impulse(40, 10000), 1, 7), want);

    // Too few arguments: no pairs, and the gains stay as the last line read them.
    ASSERT_EQ(parse(echo, "1 1", 1000, 1), -1);
    EXPECT_EQ(runThrough(echo, impulse(8, 100), 1, 8),
              (std::vector<int16_t>{50, 0, 0, 0, 0, 0, 0, 0}));
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
