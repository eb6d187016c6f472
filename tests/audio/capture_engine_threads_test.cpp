#include "audio/capture_engine.h"
#include "platform/messages.h"
#include "platform/wave/sim_audio_backend.h"
#include "support/audio_files.h"
#include "support/capture_fixtures.h"
#include "support/process.h"
#include "support/signals.h"

#include <gtest/gtest.h>
#include <thread>

using namespace timbrelo;
using namespace timbrelo::test;
using namespace std::chrono_literals;

namespace {

constexpr double kRate = 22050;

// Counts how often the chain runs it; produces nothing.
class CountingEffect : public Effect {
  public:
    explicit CountingEffect(std::atomic<int>& calls) : Effect("psola", 16), calls_(calls) {}
    int32_t process(const int16_t*, uint32_t) override {
        ++calls_;
        return 1;
    }

  private:
    std::atomic<int>& calls_;
};

class CaptureEngineTest : public ::testing::Test {
  protected:
    SimAudioBackend backend;
    CollectingDevice link;
    MessageCapture messages;
    std::atomic<int> chainCalls{0};

    std::unique_ptr<CaptureEngine> makeEngine() {
        CaptureEngine::Options options;
        options.stopGrace = 20ms;
        options.effects.psola = [this] { return std::make_unique<CountingEffect>(chainCalls); };
        auto engine = std::make_unique<CaptureEngine>(backend, options);
        engine->chain().setConfigSource(EffectConfigSource::text(""));
        engine->setLinkHandle(&link);
        return engine;
    }

    // Plays the whole source through a started engine, then stops it.
    void runToEnd(CaptureEngine& engine, uint32_t device) {
        ASSERT_TRUE(eventually([&] { return backend.inputEnded(device); }, 10s));
        engine.stop();
    }

    double measuredFrequency() {
        return measureToneFrequency(slice(channelOf(asSamples(link.bytes()), 2, 0), 0.3, 0.9),
                                    kRate);
    }
};

TEST_F(CaptureEngineTest, SemitoneShiftRaisesAToneByAnOctaveAndBack) {
    auto gate = std::make_shared<GatedSource>(std::make_shared<ToneSource>(440, 0.5, 3.0));
    const uint32_t mic = backend.addInputDevice("Test Microphone", gate);
    auto engine = makeEngine();
    ASSERT_EQ(engine->selectDevice(mic, 2048), 1);
    for (const auto& [semitones, mode, expected] : {std::tuple{12, 0, 880.0}, {0, -1, 440.0}}) {
        link.clear();
        gate->close();
        ASSERT_EQ(engine->start(1, 22050, 16), 1);
        engine->setPitchShift(0, -2);
        engine->setPitchShift(semitones, mode);
        gate->open();
        runToEnd(*engine, mic);
        EXPECT_NEAR(measuredFrequency(), expected, expected * 0.01);
    }
    // The shifter's blocks went on as they were: at most 2048 bytes each.
    for (uint32_t size : link.blockSizes()) {
        ASSERT_LE(size, 2048u);
    }
    EXPECT_GT(chainCalls.load(), 0);
    EXPECT_TRUE(messages.messages().empty());
}

TEST_F(CaptureEngineTest, WithEffectsOffEveryBufferArrivesUnchangedAndWhole) {
    const std::vector<int16_t> input = makeNoise(22050 * 2);
    const uint32_t mic = backend.addInputDevice(
        "Memory", std::make_shared<MemorySource>(input, WaveFormat::pcm(2, 22050, 16)));
    auto engine = makeEngine();
    engine->setEffectsOn(0);
    engine->selectDevice(mic, 2048);
    ASSERT_EQ(engine->start(1, 22050, 16), 1);
    engine->setPitchShift(12, 0);
    runToEnd(*engine, mic);

    EXPECT_EQ(asSamples(link.bytes()), input);
    const std::vector<uint32_t> blocks = link.blockSizes();
    for (size_t i = 0; i + 1 < blocks.size(); ++i) {
        ASSERT_EQ(blocks[i], 2048u);
    }
    EXPECT_EQ(chainCalls.load(), 0);
}

TEST_F(CaptureEngineTest, StartTwiceOpensNothingNewAndStopDropsTheShiftersContent) {
    auto gate = std::make_shared<GatedSource>(std::make_shared<ToneSource>(440, 0.5, 0));
    const uint32_t mic = backend.addInputDevice("Endless", gate);
    auto engine = makeEngine();
    engine->selectDevice(mic, 2048);
    ASSERT_EQ(engine->start(1, 22050, 16), 1);
    ASSERT_EQ(engine->start(1, 22050, 16), 1);
    EXPECT_EQ(backend.openInputCount(), 1);
    EXPECT_EQ(engine->bufferCount(), 6u);
    engine->setPitchShift(5, 0);

    gate->open();
    ASSERT_TRUE(link.waitFor(20000));
    engine->stop();
    EXPECT_EQ(engine->state(), CaptureState::Ready);
    EXPECT_EQ(backend.openInputCount(), 0);
    const size_t afterStop = link.size();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(link.size(), afterStop); // what was inside the shifter is not delivered

    // The next start begins at 0 semitones with an empty shifter.
    link.clear();
    ASSERT_EQ(engine->start(1, 22050, 16), 1);
    EXPECT_EQ(engine->pitchShifter().requestedSemitones(), 0.0f);
    ASSERT_TRUE(link.waitFor(22050 * 4));
    engine->stop();
    EXPECT_NEAR(measuredFrequency(), 440.0, 4.4);
}

TEST_F(CaptureEngineTest, DeviceSelectionAndStateRules) {
    backend.addInputDevice("Only", std::make_shared<ToneSource>(440, 0.5, 0));
    auto engine = makeEngine();

    // Not selected yet: start refuses.
    EXPECT_EQ(engine->start(1, 22050, 16), 0);
    EXPECT_EQ(messages.messages().back(), "Player status error.");

    EXPECT_EQ(engine->selectDevice(1, 2048), 0);
    EXPECT_EQ(messages.messages().back(), "Error audio device.");
    EXPECT_EQ(engine->state(), CaptureState::Idle);

    EXPECT_EQ(engine->selectDevice(kWaveMapper, 2048), 1);
    EXPECT_EQ(engine->state(), CaptureState::Ready);
    ASSERT_EQ(engine->start(1, 22050, 16), 1);
    ASSERT_TRUE(link.waitFor(4096));

    // Selecting a device while capturing closes the running one first.
    EXPECT_EQ(engine->selectDevice(0, 2048), 1);
    EXPECT_EQ(backend.openInputCount(), 0);
    EXPECT_EQ(engine->state(), CaptureState::Ready);
}

struct InjectedFailure {
    SimOp op;
    MmResult code;
    const char* expected;
    bool startSucceeds;
};

class CaptureFailureTest : public CaptureEngineTest,
                           public ::testing::WithParamInterface<InjectedFailure> {};

TEST_P(CaptureFailureTest, ShowsTheDeviceErrorAndGoesOn) {
    const InjectedFailure& f = GetParam();
    const uint32_t mic = backend.addInputDevice("Mic", std::make_shared<ToneSource>(440, 0.5, 0));
    auto engine = makeEngine();
    engine->selectDevice(mic, 2048);
    backend.injectFailure(f.op, f.code);

    EXPECT_EQ(engine->start(1, 22050, 16), f.startSucceeds ? 1 : 0);
    if (f.startSucceeds) {
        ASSERT_TRUE(link.waitFor(8192));
    }
    engine->stop();
    ASSERT_TRUE(messages.contains(f.expected)) << f.expected;
    EXPECT_EQ(engine->state(), CaptureState::Ready);
    EXPECT_EQ(backend.openInputCount(), 0);

    // The engine goes on: the next start works.
    messages.clear();
    link.clear();
    ASSERT_EQ(engine->start(1, 22050, 16), 1);
    ASSERT_TRUE(link.waitFor(8192));
    engine->stop();
    EXPECT_TRUE(messages.messages().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Operations, CaptureFailureTest,
    ::testing::Values(
        InjectedFailure{SimOp::Open, WAVERR_BADFORMAT,
                        "WAVEIN:20:The device does not support this audio format. waveInOpen()",
                        false},
        InjectedFailure{SimOp::Prepare, MMSYSERR_NOMEM,
                        "WAVEIN:7:Not enough memory. AddInputBufferToQueue Failed", true},
        InjectedFailure{SimOp::AddBuffer, MMSYSERR_ERROR,
                        "WAVEIN:1:Unspecified error. waveInAddBuffer() failed", true},
        InjectedFailure{SimOp::Start, MMSYSERR_NODRIVER,
                        "WAVEIN:6:The device is gone. waveInStart() failed", false},
        InjectedFailure{SimOp::Unprepare, MMSYSERR_INVALHANDLE, "waveInUnprepareHeader() failed",
                        true},
        InjectedFailure{SimOp::Reset, MMSYSERR_ERROR,
                        "WAVEIN:1:Unspecified error. waveInReset() failed", true}));

TEST_F(CaptureEngineTest, ARequeueFailureLeavesOneBufferFewer) {
    const uint32_t mic = backend.addInputDevice("Mic", std::make_shared<ToneSource>(440, 0.5, 0));
    auto engine = makeEngine();
    engine->selectDevice(mic, 2048);
    ASSERT_EQ(engine->start(1, 22050, 16), 1);
    ASSERT_TRUE(link.waitFor(4096));
    backend.injectFailure(SimOp::Prepare, MMSYSERR_NOMEM);
    const size_t before = link.size();
    ASSERT_TRUE(link.waitFor(before + 40960));
    engine->stop();
    EXPECT_TRUE(messages.contains("waveInPrepareHeader() failed"));
}

TEST_F(CaptureEngineTest, PitchModesFollowTheControlConvention) {
    auto engine = makeEngine();
    engine->setPitchShift(7, 0);
    EXPECT_EQ(engine->pitchShifter().requestedSemitones(), 7.0f);
    engine->setPitchShift(3, -2); // on: nothing changes
    EXPECT_EQ(engine->pitchShifter().requestedSemitones(), 7.0f);
    engine->setPitchShift(5, -1); // off: the value is ignored
    EXPECT_EQ(engine->pitchShifter().requestedSemitones(), 0.0f);
}

TEST_F(CaptureEngineTest, PreviewNeedsAPlayer) {
    struct Player : PcmTarget {
        std::atomic<size_t> bytes{0};
        void addData(const uint8_t*, uint32_t length) override { bytes += length; }
    } player;
    auto engine = makeEngine();
    engine->setPreview(1);
    EXPECT_FALSE(engine->previewOn());
    engine->setPreviewPlayer(&player);
    engine->setPreview(1);
    EXPECT_TRUE(engine->previewOn());

    const uint32_t mic = backend.addInputDevice("Mic", std::make_shared<ToneSource>(440, 0.5, 1.0));
    engine->selectDevice(mic, 2048);
    ASSERT_EQ(engine->start(1, 22050, 16), 1);
    runToEnd(*engine, mic);
    EXPECT_EQ(player.bytes.load(), link.size());
}

TEST_F(CaptureEngineTest, AVanishedDeviceIsReportedOnceAndCaptureCanStartAgain) {
    const uint32_t mic =
        backend.addInputDevice("Mic", std::make_shared<ToneSource>(440, 0.5, 0), Pacing::RealTime);
    auto engine = makeEngine();
    ASSERT_EQ(engine->selectDevice(mic, 2048), 1);
    ASSERT_EQ(engine->start(1, 22050, 16), 1);
    ASSERT_TRUE(link.waitFor(8192));

    backend.loseDevices(MMSYSERR_NODRIVER);
    EXPECT_TRUE(eventually([&] { return engine->state() == CaptureState::Stopping; }, 1s));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(messages.messages(),
              std::vector<std::string>{"WAVEIN:6:The device is gone. Capture stopped."});
    const size_t delivered = link.size();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(link.size(), delivered);

    const auto start = std::chrono::steady_clock::now();
    engine->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_EQ(engine->state(), CaptureState::Ready);
    EXPECT_EQ(backend.openInputCount(), 0);

    link.clear();
    ASSERT_EQ(engine->start(1, 22050, 16), 1);
    EXPECT_TRUE(link.waitFor(8192));
    engine->stop();
    EXPECT_EQ(messages.messages().size(), 1u);
}

} // namespace
