// The effects take their controls (factors, switches, settings, music files) from the window's
// or the command line's thread while the capture thread processes buffers through them; this
// program runs both at once (and under ThreadSanitizer), and checks the effects work as
// before afterwards.

#include "effects/background_effect.h"
#include "effects/cartoon_effect.h"
#include "effects/echo_effect.h"
#include "effects/effect_chain.h"
#include "effects/input_cleaner.h"
#include "support/audio_files.h"
#include "support/audio_thread.h"
#include "support/signals.h"
#include "support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace timbrelo;
using namespace timbrelo::test;
using namespace std::chrono_literals;

namespace {

constexpr double kRate = 22050;
constexpr uint32_t kBlock = 512;

TEST(EffectControlsThreads, VoiceFactorsAndSwitchesWhileTheChainRuns) {
    EffectChain chain;
    chain.setConfigSource(EffectConfigSource::text("echo 0.6 1 40 0.4\ncartoon 1.5\n"));
    chain.setFormat(2, static_cast<uint32_t>(kRate), 16);
    ASSERT_EQ(chain.load(), 0);
    auto* echo = dynamic_cast<EchoEffect*>(chain.slot(EffectChain::kEchoSlot));
    auto* cartoon = dynamic_cast<CartoonEffect*>(chain.slot(EffectChain::kCartoonSlot));
    ASSERT_NE(echo, nullptr);
    ASSERT_NE(cartoon, nullptr);

    const auto tone = makeTone(300, 1.0, kRate, 2);
    std::atomic<int> produced{0};
    std::atomic<int> passedOver{0};
    size_t call = 0; // the audio thread's own
    AudioThread audio([&] {
        uint32_t frames = 0;
        const size_t at = (call++ * kBlock) % (tone.size() / 2 - kBlock);
        ++(chain.run(tone.data() + 2 * at, kBlock, &frames) != nullptr ? produced : passedOver);
        EXPECT_EQ(frames, kBlock);
    });
    const float factors[] = {1.4f, 1.99f, 0.7f, -1.0f, 2.0f};
    for (int i = 0; audio.steps() < 200; ++i) {
        chain.setCartoonParameter(factors[i % 5], 0);
        chain.setCartoonParameter(0, i % 3 == 0 ? Effect::kOff : Effect::kOn);
        echo->setParameter(0, i % 4 == 0 ? Effect::kOff : Effect::kOn);
        std::this_thread::yield();
    }
    audio.stop();
    EXPECT_EQ(produced + passedOver, audio.steps());

    echo->setParameter(0, Effect::kOff);
    chain.setCartoonParameter(1.4f, 0);
    chain.setCartoonParameter(0, Effect::kOn);
    std::vector<int16_t> out;
    uint32_t frames = 0;
    for (size_t at = 0; at + kBlock <= tone.size() / 2; at += kBlock) {
        const int16_t* result = chain.run(tone.data() + 2 * at, kBlock, &frames);
        ASSERT_EQ(result, cartoon->outBuffer());
        out.insert(out.end(), result, result + 2 * frames);
    }
    EXPECT_NEAR(measureToneFrequency(slice(channelOf(out, 2, 0), 0.3, 1.0), kRate), 420.0, 1.0);
}

TEST(EffectControlsThreads, CleanerSettingsChangeWhileBlocksFlow) {
    InputCleaner stage;
    stage.prepare({});
    const std::vector<int16_t> voice = toInterleaved16(makeVoice(140, 1.0, kRate, 0.5), 2);
    std::atomic<uint32_t> badDelay{0};
    size_t offset = 0; // the audio thread's own
    AudioThread audio([&] {
        if (stage.process(voice.data() + offset, kBlock) == 0) {
            volatile long sum = 0;
            for (uint32_t i = 0; i < stage.outFrames() * 2; ++i) {
                sum = sum + stage.outBuffer()[i];
            }
        }
        // Whatever the switches, the delay is all or nothing.
        const uint32_t delay = stage.latencyFrames();
        if (delay != 0 && delay != 2 * stage.frameLength() - 1) {
            badDelay.store(delay);
        }
        offset = (offset + 2 * kBlock) % 40960;
    });

    for (int round = 0; round < 80; ++round) {
        switch (round % 6) {
        case 0:
            stage.setDenoise(round % 12 == 0);
            break;
        case 1:
            stage.setStrengthDb(static_cast<float>(round % 50));
            break;
        case 2:
            stage.setParameter(-30.0f - static_cast<float>(round % 40), 1);
            break;
        case 3:
            stage.setGateReleaseMs(static_cast<float>(10 * round));
            break;
        case 4:
            stage.apply({round % 4 == 0, 20, round % 8 == 0, -50});
            break;
        default:
            stage.setParameter(0, Effect::kOff);
            break;
        }
        audio.waitSteps(2);
    }
    const InputCleanerSettings last{true, 24, true, -42};
    stage.apply(last);
    audio.waitSteps(2);
    audio.stop();
    EXPECT_EQ(stage.settings(), last);
    EXPECT_EQ(badDelay.load(), 0u);
}

// Two background effects decode at once, sharing the process-wide decoder list and dither
// state, while files are opened and stopped.
TEST(EffectControlsThreads, MusicFilesOpenAndStopWhileTheEffectsProcess) {
    TempDir dir;
    ScopedEnv tmp("TMPDIR", dir.path());
    ScopedEnv xdg("XDG_CONFIG_HOME", dir.path());
    writeWav(dir.file("steady.wav"), std::vector<int16_t>(4000, 3000), 22050, 2);
    writeWav(dir.file("mono.wav"), makeTone(300, 0.3, 44100, 1), 44100, 1);
    writeMp3(dir.file("tone.mp3"), makeTone(440, 0.3, 44100, 2), 44100, 2);
    writeMp3(dir.file("low.mp3"), makeTone(220, 0.2, 22050, 1), 22050, 1);
    const std::vector<std::string> files = {dir.file("tone.mp3"),    dir.file("steady.wav"),
                                            dir.file("missing.wav"), dir.file("low.mp3"),
                                            dir.file("mono.wav"),    dir.path()};
    // A step of silence through the effect that keeps the last sample it produced.
    const std::vector<int16_t> silence(2 * kBlock, 0);
    const auto processing = [&silence](BackgroundEffect& effect, std::atomic<int>& last) {
        return [&silence, &effect, &last] {
            if (effect.process(silence.data(), kBlock) == 0) {
                last.store(effect.outBuffer()[2 * kBlock - 1]);
            }
            std::this_thread::sleep_for(200us);
        };
    };

    BackgroundEffect other;
    other.setInputFormat(22050, 16, 2);
    ASSERT_EQ(other.openFile(dir.file("low.mp3").c_str()), 1);
    std::atomic<int> otherLast{0};
    AudioThread otherThread(processing(other, otherLast));

    BackgroundEffect effect;
    effect.setInputFormat(22050, 16, 2);
    std::atomic<int> last{0};
    {
        AudioThread thread(processing(effect, last));
        for (int round = 0; round < 60; ++round) {
            effect.setParameter(0.1f * (round % 10), 0);
            effect.openFile(files[round % files.size()].c_str());
            std::this_thread::sleep_for(std::chrono::microseconds(round % 7 * 700));
            if (round % 4 == 0) {
                effect.stop();
            }
            if (round % 9 == 0) {
                other.openFile(files[round % 2 == 0 ? 0 : 3].c_str());
            }
        }
        // The last file wins: its music alone comes out.
        effect.setParameter(1.0f, 0);
        ASSERT_EQ(effect.openFile(dir.file("steady.wav").c_str()), 1);
        for (int i = 0; i < 5000 && last.load() != 3000; ++i) {
            std::this_thread::sleep_for(1ms);
        }
        EXPECT_EQ(last.load(), 3000);
    }
    // Destroyed while its reader may still be busy.
    other.openFile(dir.file("tone.mp3").c_str());
}

} // namespace
