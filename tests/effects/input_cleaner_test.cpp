// The input cleaner on voices in room noise made here: what it takes out, what it leaves, its
// delay, its switches and its settings lines. The allocation check replaces the C allocation
// functions of this program (not under a sanitizer, which owns them).

#include "effects/input_cleaner.h"
#include "support/noisy_voice.h"
#include "support/signals.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <span>
#include <vector>

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define COUNT_ALLOCATIONS 1
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
}
namespace {
std::atomic<long> g_allocations{0};
std::atomic<bool> g_counting{false};
void noteAllocation() {
    if (g_counting.load(std::memory_order_relaxed)) {
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    }
}
} // namespace
extern "C" void* malloc(size_t size) {
    noteAllocation();
    return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) {
    noteAllocation();
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* p, size_t size) {
    noteAllocation();
    return __libc_realloc(p, size);
}
#endif

namespace {

using namespace timbrelo;
using namespace timbrelo::test;

constexpr uint32_t kLatency = 2 * InputCleaner::kFrameLength - 1;

// Runs interleaved stereo through the stage in blocks of the given sizes, in turn; a block the
// stage declines passes unchanged, as the capture engine passes it on.
std::vector<int16_t> runStage(InputCleaner& stage, const std::vector<int16_t>& in,
                              const std::vector<uint32_t>& blocks = {512}) {
    std::vector<int16_t> out(in.size());
    size_t at = 0;
    for (size_t k = 0; at < in.size() / 2; ++k) {
        const auto n =
            static_cast<uint32_t>(std::min<size_t>(blocks[k % blocks.size()], in.size() / 2 - at));
        const int16_t* src =
            stage.process(in.data() + 2 * at, n) == 0 ? stage.outBuffer() : in.data() + 2 * at;
        std::copy(src, src + 2 * size_t{n}, out.begin() + static_cast<long>(2 * at));
        at += n;
    }
    return out;
}

// What a prepared stage with these settings makes of interleaved stereo.
std::vector<int16_t> cleaned(const std::vector<int16_t>& in, const InputCleanerSettings& settings,
                             float releaseMs = InputCleaner::kDefaultReleaseMs) {
    InputCleaner stage;
    stage.prepare({});
    stage.apply(settings);
    stage.setGateReleaseMs(releaseMs);
    return runStage(stage, in);
}

std::vector<float> cleanedChannel(const NoisyVoice& scene, const InputCleanerSettings& settings,
                                  float releaseMs = InputCleaner::kDefaultReleaseMs) {
    return channelOf(cleaned(toInterleaved16(scene.mixed, 2), settings, releaseMs), 2, 0);
}

// The largest change from one sample to the next, after `from`.
int largestStep(const std::vector<int16_t>& stereo, size_t from) {
    int step = 0;
    for (size_t i = 2 * from + 2; i < stereo.size(); ++i) {
        step = std::max(step, std::abs(stereo[i] - stereo[i - 2]));
    }
    return step;
}

TEST(InputCleaner, OffOrUnpreparedLeavesTheBlockAlone) {
    const std::vector<int16_t> voice = toInterleaved16(makeVoice(120, 0.2, 22050), 2);
    InputCleaner stage;
    stage.setDenoise(true);
    EXPECT_EQ(stage.process(voice.data(), 512), 1) << "unprepared";

    stage.prepare({});
    EXPECT_EQ(stage.latencyFrames(), kLatency);
    ASSERT_EQ(stage.process(voice.data(), 512), 0);
    const std::vector<int16_t> before(stage.outBuffer(), stage.outBuffer() + 1024);
    stage.setParameter(0, Effect::kOff);
    EXPECT_FALSE(stage.enabled());
    EXPECT_EQ(stage.latencyFrames(), 0u);
    EXPECT_EQ(stage.process(voice.data() + 1024, 512), 1);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), stage.outBuffer()))
        << "an off stage wrote its buffer";

    // Either part switches the stage on; the kinds reach the same switches.
    stage.setParameter(-40, 1);
    EXPECT_TRUE(stage.gateOn());
    EXPECT_FLOAT_EQ(stage.gateThresholdDb(), -40);
    stage.setParameter(0, 2);
    stage.setParameter(0, Effect::kOn);
    EXPECT_EQ(stage.settings(), (InputCleanerSettings{true, 30, false, -40}));
    stage.setParameter(1000, 0);
    stage.setParameter(NAN, 1);
    EXPECT_FLOAT_EQ(stage.strengthDb(), InputCleaner::kMaxStrengthDb) << "clamped";
    EXPECT_FLOAT_EQ(stage.gateThresholdDb(), -40) << "NaN ignored";
}

TEST(InputCleaner, DelayIsExactlyTheReportedLatencyForAnyBlockSize) {
    // Different channels, so a mix-up shows; blocks that straddle the frames every way.
    const std::vector<float> voice = makeVoice(130, 1.5, 22050, 0.6);
    std::vector<int16_t> in = toInterleaved16(voice, 2);
    for (size_t i = 1; i < in.size(); i += 2) {
        in[i] = static_cast<int16_t>(-in[i] / 2);
    }
    InputCleaner stage;
    stage.prepare({});
    stage.setGateThresholdDb(InputCleaner::kMinGateDb);
    stage.setGate(true); // wide open: a plain delay once its attack has passed
    const std::vector<int16_t> out = runStage(stage, in, {1, 7, 215, 216, 217, 512, 300, 4096});
    const size_t settled = 2 * (kLatency + 441);
    for (size_t i = settled; i < in.size(); ++i) {
        ASSERT_EQ(out[i], in[i - 2 * kLatency]) << "sample " << i;
    }
    EXPECT_EQ(stage.process(in.data(), 5000), 0);
    EXPECT_EQ(stage.outFrames(), InputCleaner::kMaxBlockFrames) << "a block beyond the buffer";

    // With noise suppression the voice comes out at the same delay.
    const NoisyVoice scene = makeNoisyVoice(30);
    const std::vector<float> cleaned = cleanedChannel(scene, {true, 30, false, -45});
    const std::span<const float> sent = std::span(scene.voice).subspan(44100, 44100);
    const std::span<const float> got = std::span(cleaned).subspan(44100, 44100 + 2000);
    const auto [lag, correlation] = bestCorrelation(sent, got, 1000);
    EXPECT_EQ(lag, static_cast<long>(kLatency));
    EXPECT_GT(correlation, 0.95);
}

TEST(InputCleaner, CleansNoisyVoiceAtEverySnr) {
    for (const double snr : {5.0, 10.0, 20.0}) {
        SCOPED_TRACE(testing::Message() << snr << " dB SNR");
        const NoisyVoice scene = makeNoisyVoice(snr);
        const double noise = pauseLevelDb(scene, scene.mixed, 0);
        const double clean = cleanVoiceLevelDb(scene);

        const std::vector<float> denoised = cleanedChannel(scene, {true, 30, false, -45});
        EXPECT_GE(noise - pauseLevelDb(scene, denoised, kLatency), 15.0);
        EXPECT_NEAR(voiceLevelDb(scene, denoised, kLatency), clean, 1.0);
        EXPECT_LT(pitchErrorPercent(scene, denoised, kLatency), 1.0);

        // A gate set between the cleaned noise and the voice silences the pauses.
        const std::vector<float> gated = cleanedChannel(scene, {true, 30, true, -30});
        EXPECT_NEAR(voiceLevelDb(scene, gated, kLatency), clean, 1.0);
        if (snr >= 10) {
            EXPECT_GE(noise - pauseLevelDb(scene, gated, kLatency), 25.0);
        }
    }
    // The strength reaches the preprocessor.
    const NoisyVoice scene = makeNoisyVoice(10);
    EXPECT_GT(pauseLevelDb(scene, cleanedChannel(scene, {true, 8, false, -45}), kLatency),
              pauseLevelDb(scene, cleanedChannel(scene, {true, 30, false, -45}), kLatency) + 4);
}

TEST(InputCleaner, HalvesThePsolaPresetsPitchErrorInNoise) {
    // At 5 dB SNR the noise throws the changed voice's pitch off.
    const NoisyVoice scene = makeNoisyVoice(5);
    const std::vector<float> cleaned = cleanedChannel(scene, {true, 30, true, -30});
    for (const auto& [pitch, formant] : {std::pair{1.6f, 1.3f}, std::pair{2.0f, 1.6f}}) {
        SCOPED_TRACE(testing::Message() << "preset " << pitch << "/" << formant);
        const double off =
            psolaPitchFigures(scene, scene.mixed, 0, pitch, formant).outputErrorPercent;
        const double on =
            psolaPitchFigures(scene, cleaned, kLatency, pitch, formant).outputErrorPercent;
        EXPECT_GT(off, 10.0) << "the noise no longer disturbs the pitch: the test proves nothing";
        EXPECT_LT(on, 0.6 * off);
    }
    // At 10 dB the error is smaller and varies from room to room; over four rooms the stage
    // must still halve it, not trade the noise for octave slips of its own.
    double off = 0;
    double on = 0;
    for (uint32_t seed = 7; seed < 11; ++seed) {
        const NoisyVoice room = makeNoisyVoice(10, 22050, 0.3, seed);
        const std::vector<float> denoised = cleanedChannel(room, {true, 30, false, -45});
        off += psolaPitchFigures(room, room.mixed, 0, 1.6f, 1.3f).outputErrorPercent;
        on += psolaPitchFigures(room, denoised, kLatency, 1.6f, 1.3f).outputErrorPercent;
    }
    EXPECT_LT(on, 0.5 * off) << "10 dB SNR, 4 rooms: " << on / 4 << "% against " << off / 4 << "%";
}

TEST(InputCleaner, GateClosesInPausesAfterItsRelease) {
    // A quiet room (-70 dB) and a gate at -40 dBFS without noise suppression.
    const NoisyVoice scene = makeNoisyVoice(50);
    const auto outside = [&](const std::vector<float>& out, double after) {
        float largest = 0;
        const auto skip = static_cast<size_t>(after * scene.rate);
        for (const Span& p : scene.pauses) {
            for (size_t i = p.begin + skip + kLatency; i + 500 < p.end + kLatency; ++i) {
                largest = std::max(largest, std::abs(out[i]));
            }
        }
        return largest;
    };
    const std::vector<float> gated = cleanedChannel(scene, {false, 30, true, -40});
    EXPECT_EQ(outside(gated, 0.25), 0.0f) << "hold, then 100 dB down in a 60 ms release";
    EXPECT_NEAR(voiceLevelDb(scene, gated, kLatency), cleanVoiceLevelDb(scene), 0.2);

    const std::vector<float> slow = cleanedChannel(scene, {false, 30, true, -40}, 500);
    EXPECT_GT(outside(slow, 0.25), 0.0f) << "the release setting does not reach the gate";
}

TEST(InputCleaner, KeepsStereoChannelsApart) {
    // Voice on the left only; each channel has noise of its own.
    const NoisyVoice left = makeNoisyVoice(10, 22050, 0.3, 7);
    const NoisyVoice right = makeNoisyVoice(10, 22050, 0.3, 21);
    std::vector<int16_t> in = toInterleaved16(left.mixed, 2);
    const std::vector<int16_t> noiseOnly = toInterleaved16(right.noise, 1);
    for (size_t i = 0; i < noiseOnly.size(); ++i) {
        in[2 * i + 1] = noiseOnly[i];
    }
    const std::vector<int16_t> out = cleaned(in, {true, 30, false, -45});
    const std::vector<float> outLeft = channelOf(out, 2, 0);
    const std::vector<float> outRight = channelOf(out, 2, 1);
    EXPECT_NEAR(voiceLevelDb(left, outLeft, kLatency), cleanVoiceLevelDb(left), 1.0);
    EXPECT_LT(voiceLevelDb(left, outRight, kLatency), cleanVoiceLevelDb(left) - 15)
        << "the voice leaked into the other channel";

    // A mono microphone's two channels come out alike.
    const std::vector<int16_t> twin =
        cleaned(toInterleaved16(left.mixed, 2), {true, 30, false, -45});
    for (size_t i = 0; i < twin.size(); i += 2) {
        ASSERT_EQ(twin[i], twin[i + 1]) << "frame " << i / 2;
    }
}

TEST(InputCleaner, SwitchingNoiseSuppressionWhileRunningDoesNotClick) {
    // A low tone, whose largest step is small: a jump in the output stands out.
    const std::vector<int16_t> tone = makeTone(200, 3.0, 22050, 2, 0.3);
    InputCleaner stage;
    stage.prepare({});
    stage.setGateThresholdDb(InputCleaner::kMinGateDb);
    stage.setGate(true);
    std::vector<int16_t> out(tone.size());
    const uint32_t frames = static_cast<uint32_t>(tone.size() / 2);
    for (uint32_t at = 0; at < frames; at += 300) {
        if (at == 22050 - 22050 % 300) {
            stage.setDenoise(true);
        } else if (at == 44100 - 44100 % 300) {
            stage.setDenoise(false);
        }
        const uint32_t n = std::min(300u, frames - at);
        ASSERT_EQ(stage.process(tone.data() + 2 * size_t{at}, n), 0);
        std::copy(stage.outBuffer(), stage.outBuffer() + 2 * n, out.begin() + 2 * long{at});
    }
    EXPECT_LE(largestStep(out, kLatency + 441), largestStep(tone, 0) * 3 / 2);
    EXPECT_EQ(stage.latencyFrames(), kLatency);
    // Back to a plain delay, at the same delay.
    for (size_t i = 2 * (44100 + 2 * kLatency); i < out.size(); ++i) {
        ASSERT_EQ(out[i], tone[i - 2 * kLatency]) << "sample " << i;
    }
}

#ifdef COUNT_ALLOCATIONS
TEST(InputCleaner, ProcessingAllocatesNothingWhileSettingsChange) {
    const NoisyVoice scene = makeNoisyVoice(10);
    const std::vector<int16_t> in = toInterleaved16(scene.mixed, 2);
    InputCleaner stage;
    stage.prepare({});
    stage.setDenoise(true);
    g_allocations = 0;
    g_counting = true;
    for (size_t block = 0; (block + 1) * 512 * 2 <= in.size(); ++block) {
        switch (block % 40) {
        case 5:
            stage.setStrengthDb(static_cast<float>(10 + block % 37));
            break;
        case 10:
            stage.setGate(block % 80 == 10);
            break;
        case 15:
            stage.setGateThresholdDb(-30.0f - static_cast<float>(block % 17));
            stage.setGateReleaseMs(static_cast<float>(20 + block % 300));
            break;
        case 20:
            stage.setDenoise(block % 120 != 20);
            break;
        case 30:
            stage.reset();
            break;
        default:
            break;
        }
        stage.process(in.data() + block * 1024, 512);
    }
    g_counting = false;
    EXPECT_EQ(g_allocations.load(), 0);
}
#endif

TEST(InputCleanerSettings, LinesRoundTripBesideTheOthersAndDamageGivesDefaults) {
    TempDir dir;
    const std::string cfg = dir.file("cfg");
    writeFile(cfg, "psola 1.0\nInput Dev Mic\n");
    EXPECT_EQ(loadInputCleanerSettingsFrom(cfg), InputCleanerSettings{}) << "nothing stored yet";
    const InputCleanerSettings chosen{true, 24, false, -52.5f};
    ASSERT_TRUE(saveInputCleanerSettingsTo(cfg, chosen));
    EXPECT_EQ(readFile(cfg), "psola 1.0\nInput Dev Mic\nDenoise on 24\nGate off -52.5\n");
    EXPECT_EQ(loadInputCleanerSettingsFrom(cfg), chosen);
    ASSERT_TRUE(saveInputCleanerSettingsTo(cfg, {false, 24, true, -40}));
    EXPECT_EQ(readFile(cfg), "psola 1.0\nInput Dev Mic\nDenoise off 24\nGate on -40\n");

    writeFile(cfg, "Denoise on 500\nGate on -45dB\n");
    InputCleanerSettings damaged = loadInputCleanerSettingsFrom(cfg);
    EXPECT_TRUE(damaged.denoise);
    EXPECT_FLOAT_EQ(damaged.strengthDb, InputCleaner::kMaxStrengthDb);
    EXPECT_FALSE(damaged.gate) << "an unreadable line leaves its part off";
    EXPECT_FLOAT_EQ(damaged.gateDb, InputCleaner::kDefaultGateDb);
    writeFile(cfg, "Denoise yes\nGate on\n");
    EXPECT_EQ(loadInputCleanerSettingsFrom(cfg), InputCleanerSettings{});

    EXPECT_FALSE(saveInputCleanerSettingsTo(dir.file("missing"), chosen));
    EXPECT_FALSE(fileExists(dir.file("missing")));
}

} // namespace
