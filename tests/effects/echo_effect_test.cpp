#include "effects/echo_effect.h"
#include "effects/effect_chain.h"
#include "platform/debug.h"

#include <cmath>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace timbrelo;

namespace {

// Parses one configuration line's arguments (blank-separated) at the given format.
int32_t parse(EchoEffect& echo, const std::string& args, uint32_t rate = 44100,
              uint32_t channels = 2) {
    std::vector<std::string> tokens;
    for (size_t pos = 0; pos < args.size();) {
        const size_t end = std::min(args.find(' ', pos), args.size());
        tokens.push_back(args.substr(pos, end - pos));
        pos = end + 1;
    }
    std::vector<const char*> argv;
    for (const auto& t : tokens) {
        argv.push_back(t.c_str());
    }
    echo.setInputFormat(rate, 16, channels);
    return echo.parseArgs(static_cast<int32_t>(argv.size()), argv.data());
}

// What the effect makes of `in` (interleaved), processed in calls of `block` frames.
std::vector<int16_t> runThrough(EchoEffect& echo, const std::vector<int16_t>& in, uint32_t channels,
                                size_t block) {
    std::vector<int16_t> out;
    const size_t frames = in.size() / channels;
    for (size_t at = 0; at < frames; at += block) {
        const auto n = static_cast<uint32_t>(std::min(block, frames - at));
        EXPECT_EQ(echo.process(in.data() + at * channels, n), 0);
        EXPECT_EQ(echo.outFrames(), n);
        out.insert(out.end(), echo.outBuffer(), echo.outBuffer() + echo.outFrames() * channels);
    }
    return out;
}

std::vector<int16_t> impulse(size_t samples, int16_t height) {
    std::vector<int16_t> x(samples, 0);
    x[0] = height;
    return x;
}

// The output sample the effect must make of gain x decay x height, truncated toward zero.
int16_t expected(float gainOut, float decay, int16_t height) {
    return static_cast<int16_t>(std::trunc(double(gainOut) * (double(decay) * double(height))));
}

} // namespace

TEST(EchoEffectParse, ArgumentCounts) {
    DebugCapture debug;
    EchoEffect echo;
    EXPECT_EQ(parse(echo, "0.8 0.9 100 0.3"), 0);
    EXPECT_EQ(echo.delayCount(), 1u);
    EXPECT_EQ(debug.text(), "");
    for (const char* line : {"0.8 0.9 100", "0.8 0.9 100 0.3 200", "0.8 0.9", ""}) {
        debug.clear();
        EXPECT_EQ(parse(echo, line), -1) << '"' << line << '"';
        EXPECT_EQ(debug.text(), "echo: number of params not right.\n");
    }
}

TEST(EchoEffectParse, DelaysInSamples) {
    DebugCapture debug;
    EchoEffect echo;
    EXPECT_EQ(parse(echo, "0.5 1 100 0.3"), 0);
    EXPECT_EQ(echo.delaySamples(0), 4410u);
    EXPECT_EQ(echo.delayLineLength(), 4410u);
    EXPECT_EQ(parse(echo, "0.5 1 58049 0.3"), 0);
    EXPECT_EQ(echo.delaySamples(0), 2'559'960u);
    EXPECT_EQ(debug.text(), "");

    const std::pair<const char*, const char*> rejected[] = {
        {"0.5 1 0.01 0.3", "echo: delay must be positive!\n"},
        {"0.5 1 0 0.3", "echo: delay must be positive!\n"},
        {"0.5 1 58050 0.3", "echo: delay is too big!\n"},
        {"0.5 1 -5 0.3", "echo: delay is too big!\n"},
        {"0.5 1 nan 0.3", "echo: delay is too big!\n"},
        {"0.5 1 1e30 0.3", "echo: delay is too big!\n"},
    };
    for (const auto& [line, message] : rejected) {
        debug.clear();
        EXPECT_EQ(parse(echo, line), -1) << line;
        EXPECT_EQ(debug.text(), message) << line;
    }
}

TEST(EchoEffectParse, GainAndDecayBounds) {
    DebugCapture debug;
    EchoEffect echo;
    EXPECT_EQ(parse(echo, "1.0 1.0 10 1.0"), 0);
    EXPECT_EQ(parse(echo, "0 0 10 0"), 0);
    EXPECT_EQ(debug.text().find("!"), std::string::npos) << debug.text();

    const std::pair<const char*, const char*> rejected[] = {
        {"1.01 1 10 0.5", "echo: gain-in must be less than 1.0!\n"},
        {"-0.1 1 10 0.5", "echo: gain-in must be positive!\n"},
        {"nan 1 10 0.5", "echo: gain-in must be positive!\n"},
        {"0.5 -1 10 0.5", "echo: gain-out must be positive!\n"},
        {"0.5 1 10 1.01", "echo: decay must be less than 1.0!\n"},
        {"0.5 1 10 -0.2", "echo: decay must be positive!\n"},
        {"0.5 1 10 0.5 20 2", "echo: decay must be less than 1.0!\n"},
    };
    for (const auto& [line, message] : rejected) {
        debug.clear();
        EXPECT_EQ(parse(echo, line), -1) << line;
        EXPECT_EQ(debug.text(), message) << line;
    }
}

TEST(EchoEffectParse, SaturationWarningStillAccepts) {
    DebugCapture debug;
    EchoEffect echo;
    EXPECT_EQ(parse(echo, "0.8 0.9 100 0.3 200 0.25"), 0);
    EXPECT_EQ(debug.text(), "echo: warning >>> gain-out can cause saturation of output <<<\n");
    EXPECT_EQ(echo.delayCount(), 2u);
    debug.clear();
    EXPECT_EQ(parse(echo, "0.5 0.9 100 0.3 200 0.25"), 0); // 1.55 x 0.5 < 1 / 0.9
    EXPECT_EQ(debug.text(), "");
}

// Seven pairs are kept; the rest are reported and play no part.
TEST(EchoEffectParse, PairsBeyondSevenAreIgnored) {
    DebugCapture debug;
    EchoEffect echo;
    ASSERT_EQ(parse(echo, "1 1 1 0.1 2 0.1 3 0.1 4 0.1 5 0.1 6 0.1 7 0.1 8 0.5 9 0.5", 1000, 1), 0);
    EXPECT_EQ(debug.text(), "echo: too many delays.\necho: too many delays.\n"
                            "echo: warning >>> gain-out can cause saturation of output <<<\n");
    EXPECT_EQ(echo.delayCount(), 7u);
    EXPECT_EQ(echo.delayLineLength(), 7u);
    echo.setParameter(0, Effect::kOn);
    const auto out = runThrough(echo, impulse(16, 10000), 1, 16);
    for (size_t i = 1; i <= 7; ++i) {
        EXPECT_EQ(out[i], 1000) << i;
    }
    EXPECT_EQ(out[8], 0);
    EXPECT_EQ(out[9], 0);
}

// The taps stand at exactly the delays, counted in interleaved samples (so an odd delay lands
// in the other channel), with the decays as amplitudes, also across calls.
TEST(EchoEffect, ImpulseGivesTapsAtDelays) {
    for (uint32_t channels : {1u, 2u}) {
        SCOPED_TRACE(channels);
        EchoEffect echo;
        // At 22050 Hz: 10 ms = 220.5 -> 220 samples, 25 ms = 551.25 -> 551 samples.
        ASSERT_EQ(parse(echo, "0.5 0.8 10 0.6 25 0.35", 22050, channels), 0);
        echo.setParameter(0, Effect::kOn);
        const auto out = runThrough(echo, impulse(2000, 10000), channels, 100);
        ASSERT_EQ(out.size(), 2000u);
        for (size_t i = 0; i < out.size(); ++i) {
            int16_t want = 0;
            if (i == 0) {
                want = expected(0.8f, 0.5f, 10000);
            } else if (i == 220) {
                want = expected(0.8f, 0.6f, 10000);
            } else if (i == 551) {
                want = expected(0.8f, 0.35f, 10000);
            }
            ASSERT_EQ(out[i], want) << "at sample " << i;
        }
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
    echo.setParameter(0, Effect::kOn);
    const std::vector<int16_t> in = {20000, 20000, -20000, -20000, 0, 32767, 32767, 0};
    EXPECT_EQ(runThrough(echo, in, 1, 8),
              (std::vector<int16_t>{20000, 32767, 0, -32768, -20000, 32767, 32767, 32767}));
}

// A rejected line keeps the previous delay line and the gains and pairs as far as they were
// read; only the pairs whose delays fit that line are applied, so nothing reads outside it.
TEST(EchoEffect, RejectedLineStaysInsideOldDelayLine) {
    DebugCapture debug;
    EchoEffect echo;
    ASSERT_EQ(parse(echo, "1 1 6 0.5", 1000, 1), 0);
    echo.setParameter(0, Effect::kOn);
    debug.clear();
    ASSERT_EQ(parse(echo, "0.5 1 4 0.25 9 0.5 3 1.5", 1000, 1), -1);
    EXPECT_EQ(debug.text(), "echo: decay must be less than 1.0!\n");
    EXPECT_EQ(echo.gainIn(), 0.5f);
    EXPECT_EQ(echo.delayCount(), 3u);
    EXPECT_EQ(echo.delayLineLength(), 6u);

    const auto out = runThrough(echo, impulse(40, 10000), 1, 7);
    std::vector<int16_t> want(40, 0);
    want[0] = 5000;
    want[4] = 2500; // 9 does not fit the line of 6; the third pair is the faulty one
    EXPECT_EQ(out, want);

    // Too few arguments: no pairs, and the gains stay as the last line read them.
    ASSERT_EQ(parse(echo, "1 1", 1000, 1), -1);
    EXPECT_EQ(echo.delayCount(), 0u);
    EXPECT_EQ(runThrough(echo, impulse(8, 100), 1, 8),
              (std::vector<int16_t>{50, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(EchoEffect, ProducesNothingWhileOffOrUnconfigured) {
    const std::vector<int16_t> in(64, 1000);
    EchoEffect echo;
    EXPECT_STREQ(echo.name(), "echo");
    echo.setParameter(0, Effect::kOn);
    EXPECT_EQ(echo.process(in.data(), 32), 1) << "no line yet";
    ASSERT_EQ(parse(echo, "0.5 1 60000 0.5"), -1) << "too big";
    EXPECT_EQ(echo.process(in.data(), 32), 1) << "no line accepted yet";

    ASSERT_EQ(parse(echo, "0.5 1 10 0.5"), 0);
    EXPECT_EQ(echo.process(in.data(), 32), 0);
    echo.setParameter(3.0f, 0);
    echo.setParameter(3.0f, 1);
    EXPECT_EQ(echo.parameter(), 0.0f) << "the value is never stored";
    EXPECT_TRUE(echo.enabled());
    echo.setParameter(0, Effect::kOff);
    EXPECT_EQ(echo.process(in.data(), 32), 1);
}

// An "echo" line configures the chain's first slot, which is then reached through the
// Effect interface.
TEST(EchoEffect, ConfiguredByChainLine) {
    EffectChain chain;
    chain.setConfigSource(EffectConfigSource::text("echo 0.5 1.0 1 0.5\n"));
    chain.setFormat(1, 1000, 16);
    ASSERT_EQ(chain.load(), 0);
    Effect* echo = chain.slot(EffectChain::kEchoSlot);
    ASSERT_NE(echo, nullptr);
    EXPECT_STREQ(echo->name(), "echo");
    uint32_t frames = 0;
    const std::vector<int16_t> in = {1000, 0, 0, 0};
    EXPECT_EQ(chain.run(in.data(), 4, &frames), nullptr) << "off until switched on";
    echo->setParameter(0, Effect::kOn);
    const int16_t* out = chain.run(in.data(), 4, &frames);
    ASSERT_EQ(out, echo->outBuffer());
    ASSERT_EQ(frames, 4u);
    EXPECT_EQ(std::vector<int16_t>(out, out + 4), (std::vector<int16_t>{500, 500, 0, 0}));
}
