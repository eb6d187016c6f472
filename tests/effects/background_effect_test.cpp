#include "effects/background_effect.h"
#include "effects/effect_chain.h"
#include "platform/debug.h"
#include "support/audio_files.h"
#include "support/process.h"
#include "support/signals.h"
#include "support/temp_dir.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <sys/stat.h>

using namespace timbrelo;
using namespace timbrelo::test;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kBlock = 512;

class BackgroundEffectTest : public ::testing::Test {
  protected:
    TempDir dir;
    TempDir config;
    ScopedEnv xdg{"XDG_CONFIG_HOME", config.path()};
    ScopedEnv tmp{"TMPDIR", dir.path()}; // where a debugging copy would go
    BackgroundEffect effect;

    void SetUp() override { effect.setInputFormat(22050, 16, 2); }

    std::string wav(const std::string& name, const std::vector<int16_t>& samples,
                    uint32_t rate = 22050, uint16_t channels = 2) {
        writeWav(dir.file(name), samples, rate, channels);
        return dir.file(name);
    }
    std::string constantWav(const std::string& name, int16_t value, size_t frames = 4000) {
        return wav(name, std::vector<int16_t>(2 * frames, value));
    }

    // Runs `frames` frames of a constant voice through the effect in blocks; with `waitForMusic`
    // each block waits until the reader has music ready for it.
    std::vector<int16_t> play(size_t frames, int16_t voice = 0, bool waitForMusic = true) {
        const std::vector<int16_t> in(2 * kBlock, voice);
        std::vector<int16_t> out;
        for (size_t done = 0; done < frames; done += kBlock) {
            if (waitForMusic && !musicReady(kBlock)) {
                ADD_FAILURE() << "no music after " << done << " frames";
                return out;
            }
            const bool produced = effect.process(in.data(), kBlock) == 0;
            const int16_t* result = produced ? effect.outBuffer() : in.data();
            out.insert(out.end(), result, result + 2 * kBlock);
        }
        return out;
    }

    bool musicReady(uint32_t frames) {
        return eventually([&] { return effect.bufferedFrames() >= frames; }, 10s);
    }
};

std::vector<int16_t> distinct(const std::vector<int16_t>& out, int16_t except = 0x7FFF) {
    std::vector<int16_t> values;
    for (int16_t v : out) {
        if (v != except && std::find(values.begin(), values.end(), v) == values.end()) {
            values.push_back(v);
        }
    }
    return values;
}

TEST_F(BackgroundEffectTest, CrossfadesVoiceAndMusicAtTheLevel) {
    const std::string music = constantWav("constant.WAV", -5000); // capitals: still WAV
    ASSERT_EQ(effect.openFile(music.c_str()), 1);
    EXPECT_TRUE(effect.enabled());
    // 10000 x 0.6 - 5000 x 0.4 with the level 0.4 as a float, a hair above 0.4, truncated.
    EXPECT_EQ(distinct(play(2048, 10000)), std::vector<int16_t>{3999});

    effect.setParameter(0.5f, 0);
    effect.setParameter(0.9f, Effect::kOn); // -2 is not a level
    effect.setParameter(std::numeric_limits<float>::quiet_NaN(), 0);
    EXPECT_EQ(effect.level(), 0.5f);
    EXPECT_EQ(distinct(play(2048, 10000)), std::vector<int16_t>{2500});

    effect.setParameter(3.0f, 0); // far beyond full scale: held at the limit, not wrapped
    EXPECT_EQ(distinct(play(1024, 10000)), std::vector<int16_t>{-32768});
}

TEST_F(BackgroundEffectTest, ALevelOfZeroAtOpenKeepsItOffButNotLater) {
    const std::string music = constantWav("music.wav", -5000);
    effect.setParameter(0.0f, 0);
    EXPECT_EQ(effect.openFile(music.c_str()), 1);
    EXPECT_FALSE(effect.enabled());
    const std::vector<int16_t> voice(2 * kBlock, 1234);
    EXPECT_NE(effect.process(voice.data(), kBlock), 0);
    effect.setParameter(0.5f, 0); // the level does not switch it on
    EXPECT_FALSE(effect.enabled());

    ASSERT_EQ(effect.openFile(music.c_str()), 1);
    EXPECT_TRUE(effect.enabled());
    effect.setParameter(0.0f, 0);
    EXPECT_EQ(distinct(play(1024, 1234)), std::vector<int16_t>{1234}); // on, voice at full scale
}

TEST_F(BackgroundEffectTest, AWavFileLoopsOverItsSamplesAndNothingElse) {
    std::vector<int16_t> samples(2 * 1000);
    for (int i = 0; i < 1000; ++i) {
        samples[2 * i] = static_cast<int16_t>(i * 7 - 3500);
        samples[2 * i + 1] = static_cast<int16_t>(i * -5 + 11);
    }
    const std::string path = wav("loop.wav", samples);
    writeFile(path, readFile(path) + std::string("LIST\4\0\0\0abcd", 12)); // a chunk behind
    effect.setParameter(1.0f, 0);
    ASSERT_EQ(effect.openFile(path.c_str()), 1);
    const std::vector<int16_t> out = play(6000);
    for (size_t f = 0; f < out.size() / 2; ++f) {
        ASSERT_EQ(out[2 * f], samples[2 * (f % 1000)]) << "frame " << f;
        ASSERT_EQ(out[2 * f + 1], samples[2 * (f % 1000) + 1]) << "frame " << f;
    }
}

TEST_F(BackgroundEffectTest, AWavFileThatCannotBePlayedLeavesTheMusicSilent) {
    DebugCapture debug;
    const std::string missing = dir.file("missing.wav");
    writeFile(dir.file("noise.wav"), "RIFF....WAVEjunk");
    std::vector<int16_t> eightBit(100, 0x4040);
    const std::string narrow = wav("narrow.wav", eightBit);
    {
        // An 8-bit file: its samples must not be read as 16-bit ones.
        std::string bytes = readFile(narrow);
        bytes[34] = 8;
        writeFile(narrow, bytes);
    }
    for (const std::string& path : {missing, dir.file("noise.wav"), narrow}) {
        EXPECT_EQ(effect.openFile(path.c_str()), 1) << path;
        EXPECT_TRUE(effect.enabled());
        // Music of zeros: the voice at its share only (10000 x 0.6, truncated).
        EXPECT_EQ(distinct(play(2048, 10000, false)), std::vector<int16_t>{5999}) << path;
    }
    EXPECT_TRUE(debug.contains("Open wave file fail:" + missing + ".\n"));
    EXPECT_TRUE(debug.contains("noise.wav: no \"fmt \" chunk.\n"));
    EXPECT_TRUE(debug.contains("narrow.wav: not 16-bit PCM"));
}

TEST_F(BackgroundEffectTest, FileNamesChooseTheReader) {
    EXPECT_FALSE(BackgroundEffect::isMp3Name("/x/Song.WAV"));
    EXPECT_FALSE(BackgroundEffect::isMp3Name("song.wav"));
    EXPECT_TRUE(BackgroundEffect::isMp3Name("song.mp3"));
    EXPECT_TRUE(BackgroundEffect::isMp3Name("song.wave"));
    EXPECT_TRUE(BackgroundEffect::isMp3Name("wav"));
}

TEST_F(BackgroundEffectTest, AnMp3FileThatCannotBeOpenedChangesNothing) {
    const std::string music = constantWav("music.wav", 8000);
    effect.setParameter(1.0f, 0);
    ASSERT_EQ(effect.openFile(music.c_str()), 1);
    EXPECT_EQ(effect.openFile(dir.file("absent.mp3").c_str()), 0);
    EXPECT_EQ(effect.openFile(nullptr), 0);
    EXPECT_TRUE(effect.enabled());
    EXPECT_EQ(distinct(play(2048)), std::vector<int16_t>{8000});
}

TEST_F(BackgroundEffectTest, AnMp3IsHeardAtTheChainRateThroughItsLeftChannel) {
    const std::string path = dir.file("two.mp3");
    writeMp3(path, makeStereoTones(440, 660, 2.0, 44100), 44100, 2);
    effect.setParameter(1.0f, 0);
    ASSERT_EQ(effect.openFile(path.c_str()), 1);
    const std::vector<int16_t> out = play(22050);
    for (int c = 0; c < 2; ++c) {
        EXPECT_NEAR(measureToneFrequency(slice(channelOf(out, 2, c), 0.1, 0.9), 22050), 440, 0.5)
            << "channel " << c;
    }
}

TEST_F(BackgroundEffectTest, AnMp3LoopsWithoutAGapOrABurst) {
    // 220 whole periods: the loop point continues the tone in phase.
    const std::string path = dir.file("loop.mp3");
    writeMp3(path, makeTone(440, 0.5, 44100, 2, 0.4), 44100, 2);
    effect.setParameter(1.0f, 0);
    ASSERT_EQ(effect.openFile(path.c_str()), 1);
    const std::vector<float> left = channelOf(play(4 * 11025), 2, 0);
    // Level in every 10 ms window, and the largest second difference (a click's signature;
    // the tone alone has 0.4 x 32767 x (2 pi 440 / 22050)^2 = 206).
    double quietest = 1e9, loudest = 0, sharpest = 0;
    for (size_t at = 2205; at + 220 <= left.size(); at += 110) {
        const double level = rms(std::span<const float>(left).subspan(at, 220));
        quietest = std::min(quietest, level);
        loudest = std::max(loudest, level);
    }
    for (size_t i = 2205; i < left.size(); ++i) {
        sharpest = std::max(sharpest, double(std::fabs(left[i] - 2 * left[i - 1] + left[i - 2])));
    }
    EXPECT_GT(20 * std::log10(quietest / loudest), -1.0);
    EXPECT_LT(sharpest, 300);
}

TEST_F(BackgroundEffectTest, ANewFileNeverPlaysTheOldOneAndStopSilences) {
    const std::string first = constantWav("first.wav", 8000);
    const std::string second = constantWav("second.wav", -8000);
    effect.setParameter(1.0f, 0);
    ASSERT_EQ(effect.openFile(first.c_str()), 1);
    EXPECT_EQ(distinct(play(1024)), std::vector<int16_t>{8000});
    ASSERT_EQ(effect.openFile(second.c_str()), 1);
    // Until the new music is ready the music is silent, never the old file.
    const std::vector<int16_t> early = play(1024, 0, false);
    EXPECT_EQ(std::count(early.begin(), early.end(), 8000), 0);
    EXPECT_EQ(distinct(play(2048)), std::vector<int16_t>{-8000});

    effect.stop();
    EXPECT_FALSE(effect.enabled());
    const std::vector<int16_t> voice(2 * kBlock, 77);
    EXPECT_NE(effect.process(voice.data(), kBlock), 0);
    ASSERT_EQ(effect.openFile(first.c_str()), 1);
    const std::vector<int16_t> again = play(2048);
    EXPECT_EQ(std::count(again.begin(), again.end(), -8000), 0);
    EXPECT_EQ(distinct(again), std::vector<int16_t>{8000});
}

TEST_F(BackgroundEffectTest, MusicThatKeepsFailingEndsInSilenceAndSaysSo) {
    DebugCapture debug;
    // A folder opens but every read fails; an empty file ends before any music.
    ASSERT_EQ(effect.openFile(dir.path().c_str()), 1);
    EXPECT_TRUE(eventually([&] { return debug.contains("can't be read; playing silence.\n"); }))
        << debug.text();
    EXPECT_EQ(distinct(play(1024, 10000, false)), std::vector<int16_t>{5999});

    writeFile(dir.file("empty.mp3"), "");
    ASSERT_EQ(effect.openFile(dir.file("empty.mp3").c_str()), 1);
    EXPECT_TRUE(eventually([&] { return debug.contains("holds no music; playing silence.\n"); }))
        << debug.text();
    EXPECT_EQ(distinct(play(1024, 10000, false)), std::vector<int16_t>{5999});
}

TEST_F(BackgroundEffectTest, TheDecodedCopyIsWrittenOnlyWhileDebugging) {
    const std::string path = dir.file("tone.mp3");
    writeMp3(path, makeTone(440, 0.5, 44100, 2), 44100, 2);
    const std::string fallback = dir.file("Decoder.wav");
    ASSERT_EQ(effect.openFile(path.c_str()), 1);
    play(2048);
    EXPECT_FALSE(fileExists(fallback));

    TempDir chosen;
    ::mkdir((config.path() + "/Tonvari").c_str(), 0700);
    writeFile(config.path() + "/Tonvari/cfg", "tempDir " + chosen.path() + "\n");
    DebugCapture debug;
    ASSERT_EQ(effect.openFile(path.c_str()), 1);
    play(4096);
    const std::optional<WavContents> copy = readWav(chosen.file("Decoder.wav"));
    ASSERT_TRUE(copy.has_value());
    // It describes what it holds: the converted music.
    EXPECT_EQ(copy->format, WaveFormat::pcm(2, 22050, 16));
    EXPECT_GE(copy->data.size(), 4096u * 4);
    EXPECT_EQ(copy->data.size() % 4, 0u);
    EXPECT_FALSE(fileExists(fallback));
}

TEST_F(BackgroundEffectTest, AMonoChainHearsTheLeftChannel) {
    std::vector<int16_t> samples(2 * 2000);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = i % 2 == 0 ? 1000 : -1000;
    }
    effect.setInputFormat(22050, 16, 1);
    effect.setParameter(1.0f, 0);
    ASSERT_EQ(effect.openFile(wav("lr.wav", samples).c_str()), 1);
    ASSERT_TRUE(musicReady(1000));
    const std::vector<int16_t> voice(1000, 0);
    ASSERT_EQ(effect.process(voice.data(), 1000), 0);
    EXPECT_EQ(effect.outFrames(), 1000u);
    EXPECT_EQ(distinct({effect.outBuffer(), effect.outBuffer() + 1000}),
              std::vector<int16_t>{1000});
}

TEST(BackgroundInChain, TheDefaultChainPlaysMusicInSlotThree) {
    TempDir dir;
    writeWav(dir.file("m.wav"), std::vector<int16_t>(8000, 4000), 22050, 2);
    EffectChain chain;
    chain.setConfigSource(EffectConfigSource::text(""));
    chain.setFormat(2, 22050, 16);
    chain.load();
    auto* background = dynamic_cast<BackgroundEffect*>(chain.slot(EffectChain::kBackgroundSlot));
    ASSERT_NE(background, nullptr);
    chain.setBackgroundLevel(1.0f);
    ASSERT_EQ(chain.openBackground(dir.file("m.wav").c_str()), 1);
    ASSERT_TRUE(eventually([&] { return background->bufferedFrames() >= 256; }));
    const std::vector<int16_t> voice(512, 0);
    uint32_t frames = 0;
    const int16_t* out = chain.run(voice.data(), 256, &frames);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(frames, 256u);
    EXPECT_EQ(out[100], 4000);
    chain.stopBackground();
    EXPECT_EQ(chain.run(voice.data(), 256, &frames), nullptr);
}

} // namespace
