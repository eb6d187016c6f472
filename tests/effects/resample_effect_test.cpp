#include "effects/resample_effect.h"
#include "support/signals.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <vector>

using namespace timbrelo;
using namespace timbrelo::test;

namespace {

std::unique_ptr<ResampleEffect> converter(uint32_t inRate, uint32_t inChannels,
                                          uint32_t outRate = 22050) {
    auto c = std::make_unique<ResampleEffect>();
    c->setInputFormat(inRate, 16, inChannels);
    c->setOutputFormat(outRate, 16, 2);
    EXPECT_TRUE(c->prepare());
    return c;
}

// Feeds the input in blocks of `block` frames (then drains what was carried over) and
// returns everything written, interleaved stereo.
std::vector<int16_t> run(ResampleEffect& c, const std::vector<int16_t>& in, uint32_t channels,
                         uint32_t block) {
    std::vector<int16_t> out;
    const auto take = [&](uint32_t frames) {
        out.insert(out.end(), c.outBuffer(), c.outBuffer() + 2 * size_t{frames});
    };
    const size_t frames = in.size() / channels;
    for (size_t at = 0; at < frames;) {
        uint32_t n = static_cast<uint32_t>(std::min<size_t>(block, frames - at));
        uint32_t produced = 0;
        EXPECT_EQ(c.convert(in.data() + at * channels, &n, &produced), 0);
        EXPECT_LE(produced, ResampleEffect::kOutFrames);
        EXPECT_EQ(produced, c.outFrames());
        take(produced);
        at += n;
    }
    for (uint32_t produced = 1; c.carriedSamples() > 0 && produced > 0;) {
        uint32_t none = 0;
        c.convert(nullptr, &none, &produced);
        take(produced);
    }
    return out;
}

TEST(ResampleEffect, HalvesTheRateWithTheInterpolatedTableAndRemovesWhatLiesAboveTheNewNyquist) {
    auto c = converter(44100, 2);
    EXPECT_FALSE(c->exact());
    EXPECT_EQ(c->inputRatio(), 2);
    EXPECT_EQ(c->outputRatio(), 1);
    EXPECT_EQ(c->tableDensity(), 128);
    EXPECT_EQ(c->filterStep(), 1 << 22);

    const std::vector<int16_t> tone = makeTone(1000, 1.0, 44100, 2);
    uint32_t n = 4096;
    uint32_t produced = 0;
    c->convert(tone.data(), &n, &produced);
    EXPECT_EQ(n, 4096u);
    EXPECT_NEAR(produced, 2048, 40); // less the filter's look-ahead at the start

    const std::vector<int16_t> out = run(*converter(44100, 2), tone, 2, 4096);
    EXPECT_NEAR(out.size() / 2.0, 22050, 60);
    const std::vector<float> left = slice(channelOf(out, 2, 0), 0.2, 0.8);
    EXPECT_NEAR(measureToneFrequency(left, 22050), 1000, 0.5);
    EXPECT_NEAR(rms(left) / rms(slice(channelOf(tone, 2, 0), 0.2, 0.8)), 1.0, 0.01);

    const std::vector<int16_t> high = makeTone(15000, 1.0, 44100, 1);
    const std::vector<int16_t> filtered = run(*converter(44100, 1), high, 1, 4096);
    const double remaining = rms(slice(channelOf(filtered, 2, 0), 0.1, 0.9));
    EXPECT_LT(20 * std::log10(std::max(remaining, 1e-9) / rms(channelOf(high, 1, 0))), -60);
}

TEST(ResampleEffect, DoublesTheRateWithExactCoefficientsAndCarriesInputOver) {
    auto c = converter(11025, 1);
    EXPECT_TRUE(c->exact());
    EXPECT_EQ(c->inputRatio(), 1);
    EXPECT_EQ(c->outputRatio(), 2);
    EXPECT_EQ(c->tableDensity(), 2);

    // Blocks of 8192 frames give twice as much output as one call can hold: what doesn't fit
    // waits for the next call, and no music is lost.
    const std::vector<int16_t> tone = makeTone(1000, 3.0, 11025, 1);
    const std::vector<int16_t> out = run(*c, tone, 1, 8192);
    EXPECT_NEAR(out.size() / 2.0, 2.0 * tone.size(), 100);
    const std::vector<float> left = slice(channelOf(out, 2, 0), 0.2, 0.8);
    EXPECT_NEAR(measureToneFrequency(left, 22050), 1000, 0.5);
    EXPECT_NEAR(rms(left) / rms(channelOf(tone, 1, 0)), 1.0, 0.01);
    EXPECT_EQ(channelOf(out, 2, 0), channelOf(out, 2, 1));
}

TEST(ResampleEffect, BlocksJoinWithoutASeam) {
    for (uint32_t rate : {44100u, 11025u, 32000u}) {
        const std::vector<int16_t> tone = makeTone(700, 1.0, rate, 1);
        const std::vector<int16_t> whole = run(*converter(rate, 1), tone, 1, 8192);
        const std::vector<int16_t> pieces = run(*converter(rate, 1), tone, 1, 300);
        ASSERT_EQ(whole.size(), pieces.size()) << rate;
        for (size_t i = 0; i < whole.size(); ++i) {
            ASSERT_NEAR(whole[i], pieces[i], 1) << rate << " Hz, sample " << i;
        }
    }
}

TEST(ResampleEffect, EqualRatesCopyMonoBecomesStereoAndStereoIsHeardThroughItsLeft) {
    auto stereo = converter(22050, 2);
    EXPECT_FALSE(stereo->ready());
    const std::vector<int16_t> in = {1, -2, 3, -4, 5, -6};
    uint32_t n = 3;
    uint32_t produced = 0;
    stereo->convert(in.data(), &n, &produced);
    ASSERT_EQ(produced, 3u);
    EXPECT_EQ(std::vector<int16_t>(stereo->outBuffer(), stereo->outBuffer() + 6), in);

    auto mono = converter(22050, 1);
    n = 3;
    mono->convert(in.data(), &n, &produced);
    ASSERT_EQ(produced, 3u);
    EXPECT_EQ(std::vector<int16_t>(mono->outBuffer(), mono->outBuffer() + 6),
              (std::vector<int16_t>{1, 1, -2, -2, 3, 3}));

    std::vector<int16_t> two = makeTone(500, 1.0, 44100, 2);
    for (size_t i = 1; i < two.size(); i += 2) {
        two[i] = static_cast<int16_t>(i % 7 * 3000); // something else on the right
    }
    const std::vector<int16_t> out = run(*converter(44100, 2), two, 2, 4096);
    const std::vector<float> right = slice(channelOf(out, 2, 1), 0.2, 0.8);
    EXPECT_NEAR(measureToneFrequency(right, 22050), 500, 0.5);
    EXPECT_EQ(channelOf(out, 2, 0), channelOf(out, 2, 1));
}

TEST(ResampleEffect, RatiosOutsideTheExactTableStillConvert) {
    // 22001 -> 22050 reduces to 449 : 450, whose exact filter would not fit the table.
    auto c = converter(22001, 1);
    EXPECT_FALSE(c->exact());
    EXPECT_TRUE(c->ready());
    const std::vector<int16_t> out = run(*c, makeTone(1000, 1.0, 22001, 1), 1, 4096);
    EXPECT_NEAR(measureToneFrequency(slice(channelOf(out, 2, 0), 0.2, 0.8), 22050), 1000, 0.5);

    ResampleEffect none;
    none.setInputFormat(0, 16, 2);
    none.setOutputFormat(22050, 16, 2);
    EXPECT_FALSE(none.prepare());
    ResampleEffect extreme;
    extreme.setInputFormat(1, 16, 1);
    extreme.setOutputFormat(22050, 16, 2);
    EXPECT_FALSE(extreme.prepare());
    // Rates past the signed range (a damaged header) are refused, not sized into a filter; so
    // is a ratio too small for the filter table to step through.
    for (const auto& [in, out] :
         {std::pair{0xffac4444u, 0xffffffffu}, {44100u, 0x80000001u}, {0x3a00ac44u, 29u}}) {
        ResampleEffect huge;
        huge.setInputFormat(in, 16, 1);
        huge.setOutputFormat(out, 16, 2);
        EXPECT_FALSE(huge.prepare()) << in << " -> " << out;
    }
}

} // namespace
