#include "audio/capture_engine.h"
#include "audio/recording_support.h"
#include "audio/recording_writer.h"
#include "platform/messages.h"
#include "sim/sim_audio_backend.h"
#include "support/audio_files.h"
#include "support/capture_fixtures.h"
#include "support/signals.h"
#include "support/temp_dir.h"

#include <atomic>
#include <cmath>
#include <ctime>
#include <gtest/gtest.h>
#include <latch>
#include <thread>

using namespace timbrelo;
using namespace timbrelo::test;
using namespace std::chrono_literals;

namespace {

// Writes `blocks` blocks of one constant sample value, of 2 to 4096 samples; returns the
// number of samples written.
size_t produce(RecordingWriter& writer, RecordSource source, int16_t value, int blocks,
               uint32_t seed, std::latch& go) {
    const std::vector<int16_t> block(RecordingWriter::kMaxBlockBytes / 2, value);
    size_t samples = 0;
    go.arrive_and_wait();
    for (int i = 0; i < blocks; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const size_t n = 2 * (1 + (seed >> 8) % (RecordingWriter::kMaxBlockBytes / 4));
        writer.write(std::span(block).first(n), source);
        samples += n;
        if (i % 16 == 0) {
            std::this_thread::yield();
        }
    }
    return samples;
}

TEST(RecordingThreads, TwoProducersMixWithoutLosingOrRepeatingASample) {
    TempDir dir;
    MessageCapture messages;
    // Room for all the producers write at once, the writer being as slow as it may.
    RecordingWriter writer(4 << 20);
    const std::string path = dir.file("call.wav");
    ASSERT_EQ(writer.startRecording(kEffectSlot, path), 1);

    constexpr int16_t kVoice = 1000;
    constexpr int16_t kRender = 2000;
    const int16_t mixed = RecordingWriter::mix(kVoice, kRender);
    // Half the queue's room goes by first, so the producers' blocks wrap round its end.
    const std::vector<int16_t> lead(RecordingWriter::kMaxBlockBytes / 2, kVoice);
    for (int i = 0; i < 256; ++i) {
        writer.write(lead, RecordSource::Voice);
    }
    writer.waitForWriter();
    std::latch go(2);
    size_t voiceSamples = 256 * lead.size();
    size_t renderSamples = 0;
    std::thread voice(
        [&] { voiceSamples += produce(writer, RecordSource::Voice, kVoice, 400, 1, go); });
    std::thread render(
        [&] { renderSamples = produce(writer, RecordSource::Render, kRender, 400, 2, go); });
    voice.join();
    render.join();
    // The writer may still be busy with what the producers queued: the stop waits for it.
    writer.stopRecording(kEffectSlot, RecordKind::Wav);

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

TEST(RecordingThreads, AStalledWriterNeverHoldsUpTheProducerAndTheLossIsReportedOnce) {
    TempDir dir;
    MessageCapture messages;
    StubEncoder encoder(STUB_ENCODER);
    constexpr size_t kQueueBytes = 64 * 1024;
    RecordingWriter writer(kQueueBytes);
    writer.setEncoderLibrary(STUB_ENCODER);
    const std::string path = dir.file("slow.wav");
    ASSERT_EQ(writer.startRecording(kOriginSlot, path), 1);
    ASSERT_EQ(writer.startRecording(kOriginSlot, dir.file("slow.mp3")), 1);

    // Block i holds the value i, so the file shows which blocks were kept and in what order.
    constexpr int kBlocks = 200;
    constexpr size_t kSamples = 1024;
    const auto block = [](int i) {
        return std::vector<int16_t>(kSamples, static_cast<int16_t>(i));
    };
    encoder.hold(true);
    // The sixth block overflows the mix ring: the flush reaches the encoder, which holds on.
    for (int i = 0; i < 6; ++i) {
        writer.write(block(i), RecordSource::Voice);
    }
    encoder.waitUntilHeld();

    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (int i = 6; i < kBlocks; ++i) {
            writer.write(block(i), RecordSource::Voice);
        }
        done = true;
    });
    for (int i = 0; i < 1000 && !done; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(done) << "the producer waited for the stalled writer";
    encoder.hold(false);
    producer.join();
    stopAll(writer);

    // What fitted the queue is in the file, in order; the rest is lost, and said so once.
    const std::vector<int16_t> kept = asSamples(readWav(path)->data);
    ASSERT_EQ(kept.size() % kSamples, 0u);
    const int keptBlocks = static_cast<int>(kept.size() / kSamples);
    EXPECT_GT(keptBlocks, 6 + static_cast<int>(kQueueBytes / 2 / (2 * kSamples)));
    EXPECT_LT(keptBlocks, kBlocks);
    for (int i = 0; i < keptBlocks; ++i) {
        ASSERT_EQ(kept[i * kSamples], i);
        ASSERT_EQ(kept[i * kSamples + kSamples - 1], i);
    }
    const double lostMs = (kBlocks - keptBlocks) * (kSamples / 2) * 1000.0 / 22050;
    EXPECT_EQ(messages.messages(),
              std::vector<std::string>{"Recording could not keep up: " +
                                       std::to_string(std::lround(lostMs)) + " ms of audio lost."});

    // The next recording starts with a clean count.
    messages.clear();
    ASSERT_EQ(writer.startRecording(kOriginSlot, path), 1);
    writer.write(block(1), RecordSource::Voice);
    stopAll(writer);
    EXPECT_TRUE(messages.messages().empty());
}

double processCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

TEST(RecordingThreads, AnIdleWriterSleeps) {
    TempDir dir;
    RecordingWriter writer;
    ASSERT_EQ(writer.startRecording(kOriginSlot, dir.file("idle.wav")), 1);
    writer.write(std::vector<int16_t>(1024, 1), RecordSource::Voice);
    writer.waitForWriter();
    const double before = processCpuSeconds();
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(processCpuSeconds() - before, 0.05);
    writer.stopRecording(kOriginSlot, RecordKind::Wav);
}

enum class Records { Input, Processed, Nothing };

struct Route {
    bool effectsOn;
    RecordSlot slot;
    Records records;
};

class CaptureRecordingTest : public ::testing::TestWithParam<Route> {
  protected:
    TempDir dir;
    SimAudioBackend backend;
    CollectingDevice link;
    MessageCapture messages;

    std::unique_ptr<CaptureEngine> makeEngine() {
        auto engine = std::make_unique<CaptureEngine>(backend);
        engine->chain().setConfigSource(EffectConfigSource::text(""));
        engine->setVirtualDevice(&link);
        return engine;
    }

    // Records `input` through a started engine into `path`; stops the engine at the end.
    void record(CaptureEngine& engine, const std::vector<int16_t>& input, RecordSlot slot,
                const std::string& path) {
        auto gate =
            std::make_shared<GatedSource>(std::make_shared<MemorySource>(input, kPipelineFormat));
        const uint32_t mic = backend.addInputDevice("Mic", gate);
        ASSERT_TRUE(engine.selectDevice(mic));
        ASSERT_TRUE(engine.start());
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
    engine->setEffectsOn(route.effectsOn);
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
        ASSERT_GT(link.frames(), 0u);
        EXPECT_EQ(asSamples(wav->data), link.samples());
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
    engine->setEffectsOn(false);
    const std::string path = dir.file("call.mp3");
    record(*engine, input, kOriginSlot, path);

    EXPECT_FALSE(engine->recorder().encoderLoaded());
    EXPECT_FALSE(engine->recorder().mp3Open(kOriginSlot));
    const std::vector<int16_t> decoded = decodeMp3WithLame(path, dir.path());
    EXPECT_NEAR(decoded.size() / 2.0, input.size() / 2.0, 576);
    EXPECT_TRUE(messages.messages().empty());
}

} // namespace
