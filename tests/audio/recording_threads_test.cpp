#include "audio/capture_engine.h"
#include "audio/recording_writer.h"
#include "platform/messages.h"
#include "platform/wave/sim_audio_backend.h"
#include "support/audio_files.h"
#include "support/capture_fixtures.h"
#include "support/signals.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <latch>
#include <ostream>
#include <thread>

using namespace timbrelo;
using namespace timbrelo::test;
using namespace std::chrono_literals;

namespace {

// Writes `blocks` blocks of one constant sample value, of sizes between 4 and 8192 bytes;
// returns the number of samples written.
size_t produce(RecordingWriter& writer, uint32_t tag, int16_t value, int blocks, uint32_t seed,
               std::latch& go) {
    std::vector<int16_t> block(RecordingWriter::kMaxBlockBytes / 2, value);
    size_t samples = 0;
    go.arrive_and_wait();
    for (int i = 0; i < blocks; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const uint32_t bytes = 4 * (1 + (seed >> 8) % (RecordingWriter::kMaxBlockBytes / 4));
        writer.write(reinterpret_cast<const uint8_t*>(block.data()), bytes, tag);
        samples += bytes / 2;
        if (i % 16 == 0) {
            std::this_thread::yield();
        }
    }
    return samples;
}

TEST(RecordingThreads, TwoProducersMixWithoutLosingOrRepeatingASample) {
    TempDir dir;
    MessageCapture messages;
    RecordingWriter writer;
    const std::string path = dir.file("call.wav");
    ASSERT_EQ(writer.startRecording(kEffectSlot, path), 1);

    constexpr int16_t kVoice = 1000;
    constexpr int16_t kRender = 2000;
    const int16_t mixed = RecordingWriter::mix(kVoice, kRender);
    std::latch go(2);
    size_t voiceSamples = 0;
    size_t renderSamples = 0;
    std::thread voice([&] { voiceSamples = produce(writer, kVoiceTag, kVoice, 600, 1, go); });
    std::thread render([&] { renderSamples = produce(writer, kRenderTag, kRender, 600, 2, go); });
    voice.join();
    render.join();
    writer.stopRecording(kEffectSlot, "wav");

    const std::optional<WavContents> wav = readWav(path);
    ASSERT_TRUE(wav);
    size_t voiceOnly = 0;
    size_t renderOnly = 0;
    size_t both = 0;
    for (int16_t s : asSamples(wav->data)) {
        if (s == kVoice) {
            ++voiceOnly;
        } else if (s == kRender) {
            ++renderOnly;
        } else {
            ASSERT_EQ(s, mixed);
            ++both;
        }
    }
    // Every sample of each source is in the file once: alone, or mixed with the other's.
    EXPECT_EQ(voiceOnly + both, voiceSamples);
    EXPECT_EQ(renderOnly + both, renderSamples);
    EXPECT_TRUE(messages.messages().empty());
}

enum class Records { Input, Processed, Nothing };

struct Route {
    bool effectsOn;
    RecordSlot slot;
    Records records;
};

void PrintTo(const Route& r, std::ostream* os) {
    *os << (r.slot == kOriginSlot ? "Origin" : "Effect")
        << (r.effectsOn ? ", effects on" : ", effects off");
}

class CaptureRecordingTest : public ::testing::TestWithParam<Route> {
  protected:
    TempDir dir;
    SimAudioBackend backend;
    CollectingDevice link;
    MessageCapture messages;

    std::unique_ptr<CaptureEngine> makeEngine() {
        CaptureEngine::Options options;
        options.stopGrace = 20ms;
        auto engine = std::make_unique<CaptureEngine>(backend, options);
        engine->chain().setConfigSource(EffectConfigSource::text(""));
        engine->setLinkHandle(&link);
        return engine;
    }

    // Records `input` through a started engine into `path`; stops the engine at the end.
    void record(CaptureEngine& engine, const std::vector<int16_t>& input, RecordSlot slot,
                const std::string& path) {
        auto gate = std::make_shared<GatedSource>(
            std::make_shared<MemorySource>(input, WaveFormat::pcm(2, 22050, 16)));
        const uint32_t mic = backend.addInputDevice("Mic", gate);
        ASSERT_EQ(engine.selectDevice(mic, 2048), 1);
        ASSERT_EQ(engine.start(1, 22050, 16), 1);
        ASSERT_EQ(engine.recorder().startRecording(slot, path), 1);
        gate->open();
        for (int i = 0; i < 1000 && !backend.inputEnded(mic); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        ASSERT_TRUE(backend.inputEnded(mic));
        engine.stop();
    }
};

TEST_P(CaptureRecordingTest, EachSlotRecordsWhatTheCaptureRouteGivesIt) {
    const Route& route = GetParam();
    const std::vector<int16_t> input = makeNoise(22050 * 2);
    auto engine = makeEngine();
    engine->setEffectsOn(route.effectsOn ? 1 : 0);
    const std::string path = dir.file("route.wav");
    record(*engine, input, route.slot, path);

    // The close stopped the recording and wrote out what was still waiting.
    EXPECT_FALSE(engine->recorder().recording());
    EXPECT_FALSE(engine->recorder().wavOpen(route.slot));
    const std::optional<WavContents> wav = readWav(path);
    ASSERT_TRUE(wav);
    if (route.records == Records::Input) {
        EXPECT_EQ(asSamples(wav->data), input);
    } else if (route.records == Records::Processed) {
        ASSERT_GT(link.size(), 0u);
        EXPECT_EQ(wav->data, link.bytes());
    } else {
        EXPECT_TRUE(wav->data.empty());
    }
    EXPECT_TRUE(messages.messages().empty());
}

INSTANTIATE_TEST_SUITE_P(Routes, CaptureRecordingTest,
                         ::testing::Values(Route{false, kOriginSlot, Records::Input},
                                           Route{true, kOriginSlot, Records::Input},
                                           Route{false, kEffectSlot, Records::Nothing},
                                           Route{true, kEffectSlot, Records::Processed}),
                         [](const ::testing::TestParamInfo<Route>& info) {
                             return std::string(info.param.slot == kOriginSlot ? "Origin"
                                                                               : "Effect") +
                                    (info.param.effectsOn ? "WithEffects" : "WithoutEffects");
                         });

TEST_F(CaptureRecordingTest, StoppingCaptureFinishesAnMp3AndReleasesTheEncoder) {
    const std::vector<int16_t> input = makeNoise(22050 * 2);
    auto engine = makeEngine();
    engine->setEffectsOn(0);
    const std::string path = dir.file("call.mp3");
    record(*engine, input, kOriginSlot, path);

    EXPECT_FALSE(engine->recorder().encoderLoaded());
    EXPECT_FALSE(engine->recorder().mp3Open(kOriginSlot));
    const std::vector<int16_t> decoded = decodeMp3WithLame(path, dir.path());
    EXPECT_NEAR(decoded.size() / 2.0, input.size() / 2.0, 576);
    EXPECT_TRUE(messages.messages().empty());
}

} // namespace
