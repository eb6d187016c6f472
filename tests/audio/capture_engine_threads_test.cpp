// The capture engine on the simulated sound system: what reaches the virtual microphone, the
// pitch shifter's modes and delay, the start/stop rules and the device errors.

#include "audio/capture_engine.h"
#include "platform/messages.h"
#include "platform/posted_messages.h"
#include "sim/sim_audio_backend.h"
#include "support/audio_files.h"
#include "support/capture_fixtures.h"
#include "support/process.h"
#include "support/signals.h"

#include <gtest/gtest.h>

using namespace timbrelo;
using namespace timbrelo::test;
using namespace std::chrono_literals;

namespace {

constexpr double kRate = 22050;

// Counts how often the chain runs it; produces nothing unless told to gather blocks.
class CountingEffect : public Effect {
  public:
    explicit CountingEffect(std::atomic<int>& calls) : Effect("psola", 16), calls_(calls) {}
    int32_t process(const int16_t*, uint32_t) override {
        ++calls_;
        return 1;
    }
    uint32_t blockFrames() const override { return enabled() ? 882 : 0; }
    uint32_t latencyFrames() const override { return enabled() ? 1000 : 0; }
    void setParameter(float, int32_t kind) override {
        if (kind == kOn || kind == kOff) {
            setEnabled(kind == kOn);
        }
    }

  private:
    std::atomic<int>& calls_;
};

class CaptureEngineTest : public ::testing::Test {
  protected:
    SimAudioBackend backend;
    CollectingDevice device;
    MessageCapture messages;
    std::atomic<int> chainCalls{0};

    std::unique_ptr<CaptureEngine> makeEngine() {
        CaptureEngine::Options options;
        options.effects.psola = [this] { return std::make_unique<CountingEffect>(chainCalls); };
        auto engine = std::make_unique<CaptureEngine>(backend, options);
        engine->chain().setConfigSource(EffectConfigSource::text(""));
        engine->setVirtualDevice(&device);
        return engine;
    }

    // An engine on a real-time microphone that hears a 220 Hz tone, selected.
    std::unique_ptr<CaptureEngine> engineOnTone() {
        const uint32_t mic = backend.addInputDevice(
            "Mic", std::make_shared<ToneSource>(220, 0.5, 0), Pacing::RealTime);
        auto engine = makeEngine();
        EXPECT_TRUE(engine->selectDevice(mic));
        return engine;
    }

    double measuredFrequency() {
        return measureToneFrequency(slice(channelOf(device.samples(), 2, 0), 0.3, 0.9), kRate);
    }
};

TEST_F(CaptureEngineTest, SemitoneShiftRaisesAToneByAnOctaveAndBypassIsExact) {
    auto engine = engineOnTone();
    engine->setPitchShift(0, -2);
    engine->setPitchShift(12, 0);
    ASSERT_TRUE(engine->start());
    engine->setPitchShift(12, 0); // a start resets the shifter to 0 semitones
    ASSERT_TRUE(device.waitFor(22050 * 3 / 2, 5s));
    engine->stop();
    EXPECT_NEAR(measuredFrequency(), 440, 4.4);
    for (uint32_t frames : device.blockFrames()) {
        ASSERT_LE(frames, CaptureEngine::kWorkBlockFrames);
    }
    EXPECT_GT(engine->pipelineLatencyFrames(), 600u) << "the shifter's delay counts";
    EXPECT_GT(chainCalls.load(), 0);

    // Mode -1: the shifter takes no part, so the voice arrives exactly as captured, in the
    // capture blocks, with none of its delay.
    const std::vector<int16_t> input = makeStereoTones(300, 450, 1.0, kRate);
    auto source = std::make_shared<MemorySource>(input, kPipelineFormat);
    const uint32_t memory = backend.addInputDevice("Memory", source);
    ASSERT_TRUE(engine->selectDevice(memory));
    CollectingDevice exact;
    engine->setVirtualDevice(&exact);
    engine->setPitchShift(0, -1);
    EXPECT_EQ(engine->pipelineLatencyFrames(), 0u);
    ASSERT_TRUE(engine->start());
    ASSERT_TRUE(eventually([&] { return backend.inputEnded(memory); }, 10s));
    engine->stop();
    EXPECT_EQ(exact.samples(), input);
    EXPECT_TRUE(messages.messages().empty());
}

TEST_F(CaptureEngineTest, WithEffectsOffEveryBlockArrivesUnchangedAndWholeAndOriginRecordsIt) {
    const std::vector<int16_t> input = makeStereoTones(300, 450, 2.0, kRate);
    const uint32_t mic =
        backend.addInputDevice("Mic", std::make_shared<MemorySource>(input, kPipelineFormat));
    auto engine = makeEngine();
    engine->setEffectsOn(false);
    engine->setPitchShift(0, -2);
    engine->setPitchShift(7, 0);
    ASSERT_TRUE(engine->selectDevice(mic));
    ASSERT_TRUE(engine->start());
    ASSERT_TRUE(eventually([&] { return backend.inputEnded(mic); }, 10s));
    engine->stop();
    EXPECT_EQ(device.samples(), input);
    const std::vector<uint32_t> blocks = device.blockFrames();
    for (size_t i = 0; i + 1 < blocks.size(); ++i) {
        ASSERT_EQ(blocks[i], CaptureEngine::kBlockFrames);
    }
    EXPECT_EQ(chainCalls.load(), 0);
    EXPECT_EQ(engine->pipelineLatencyFrames(), 0u);
    // Cleaning the input is no voice effect: it counts with effects off too.
    engine->inputCleaner().setDenoise(true);
    EXPECT_EQ(engine->pipelineLatencyFrames(), engine->inputCleaner().latencyFrames());
    EXPECT_GT(engine->inputCleaner().latencyFrames(), 0u);
}

TEST_F(CaptureEngineTest, StartTwiceOpensNothingNewAndStopDropsTheShiftersContent) {
    auto engine = engineOnTone();
    ASSERT_TRUE(engine->start());
    ASSERT_TRUE(engine->start());
    EXPECT_EQ(backend.openInputCount(), 1);
    EXPECT_EQ(device.begins(), 1) << "the virtual microphone primes once per capture";
    engine->setPitchShift(12, 0);
    ASSERT_TRUE(device.waitFor(5000));
    engine->stop();
    EXPECT_EQ(engine->state(), CaptureState::Ready);
    EXPECT_EQ(backend.openInputCount(), 0);
    EXPECT_EQ(device.ends(), 1);
    const size_t afterStop = device.frames();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(device.frames(), afterStop); // what was inside the shifter is not delivered

    ASSERT_TRUE(engine->start());
    EXPECT_EQ(engine->pitchShifter().requestedSemitones(), 0.0f);
    ASSERT_TRUE(device.waitFor(afterStop + 22050 * 2, 5s));
    engine->stop();
    const std::vector<int16_t> all = device.samples();
    const std::vector<int16_t> second(all.begin() + static_cast<long>(afterStop * 2), all.end());
    EXPECT_NEAR(measureToneFrequency(slice(channelOf(second, 2, 0), 0.3, 0.9), kRate), 220, 2.2);
}

TEST_F(CaptureEngineTest, DeviceSelectionAndStateRulesAndDeviceErrorsAreShownAndCaptureGoesOn) {
    const uint32_t mic =
        backend.addInputDevice("Mic", std::make_shared<ToneSource>(220, 0.5, 0), Pacing::RealTime);
    auto engine = makeEngine();
    EXPECT_FALSE(engine->start());
    EXPECT_EQ(messages.messages().back(), "Player status error.");
    EXPECT_FALSE(engine->selectDevice(1));
    EXPECT_EQ(messages.messages().back(), "Error audio device.");
    EXPECT_EQ(engine->state(), CaptureState::Idle);
    EXPECT_TRUE(engine->selectDevice(kDefaultDevice));
    ASSERT_TRUE(engine->start());
    ASSERT_TRUE(device.waitFor(2048));
    EXPECT_TRUE(engine->selectDevice(mic)) << "selecting stops the running capture";
    EXPECT_EQ(backend.openInputCount(), 0);
    EXPECT_EQ(engine->state(), CaptureState::Ready);

    backend.injectFailure(SimOp::CaptureOpen, AudioResult::Busy);
    EXPECT_FALSE(engine->start());
    EXPECT_EQ(messages.messages().back(), "WAVEIN:4:The device is already in use. waveInOpen()");
    backend.injectFailure(SimOp::CaptureStart, AudioResult::DeviceGone);
    EXPECT_FALSE(engine->start());
    EXPECT_EQ(messages.messages().back(), "WAVEIN:6:The device is gone. waveInStart() failed");
    EXPECT_EQ(engine->state(), CaptureState::Ready);
    EXPECT_EQ(backend.openInputCount(), 0);
    EXPECT_EQ(device.begins(), device.ends()) << "a failed start ends the voice it began";

    // A device that vanishes mid-capture is reported once, from the audio thread through the
    // posted messages, and capture can start again.
    ASSERT_TRUE(engine->start());
    ASSERT_TRUE(device.waitFor(device.frames() + 4096));
    messages.clear();
    backend.loseDevices(AudioResult::DeviceGone);
    ASSERT_TRUE(eventually([&] { return engine->state() == CaptureState::Stopping; }, 2s));
    EXPECT_TRUE(messages.messages().empty()) << "nothing is shown on the audio thread";
    engine->stop();
    EXPECT_EQ(messages.messages(),
              std::vector<std::string>{"WAVEIN:6:The device is gone. Capture stopped."});
    EXPECT_EQ(engine->state(), CaptureState::Ready);
    ASSERT_TRUE(engine->start());
    const size_t before = device.frames();
    EXPECT_TRUE(device.waitFor(before + 4096));
    engine->stop();
}

TEST_F(CaptureEngineTest, AVoiceThatGathersBlocksTellsTheVirtualMicrophoneItsBurst) {
    auto engine = engineOnTone();
    engine->setPitchShift(0, -1);
    ASSERT_TRUE(engine->start());
    EXPECT_EQ(device.burst(), CaptureEngine::kBlockFrames);
    engine->setPsolaParameter(0, -2); // the counting effect gathers 882-frame blocks
    ASSERT_TRUE(eventually([&] { return device.burst() == 512u + 882u; }, 2s));
    EXPECT_EQ(engine->pipelineLatencyFrames(), 1000u);
    engine->stop();
}

// Counts what the preview player would play.
class CountingPlayer : public PcmTarget {
  public:
    void addData(std::span<const int16_t> samples) override { samples_ += samples.size(); }
    std::atomic<size_t> samples_{0};
};

TEST_F(CaptureEngineTest, PreviewNeedsAPlayerAndHearsWhatTheMicrophoneHears) {
    const uint32_t mic = backend.addInputDevice("Mic", std::make_shared<ToneSource>(220, 0.5, 1.0));
    auto engine = makeEngine();
    engine->setPreview(true);
    EXPECT_FALSE(engine->previewOn());
    CountingPlayer player;
    engine->setPreviewPlayer(&player);
    engine->setPreview(true);
    EXPECT_TRUE(engine->previewOn());
    ASSERT_TRUE(engine->selectDevice(mic));
    ASSERT_TRUE(engine->start());
    ASSERT_TRUE(eventually([&] { return backend.inputEnded(mic); }, 10s));
    engine->stop();
    EXPECT_EQ(player.samples_.load(), device.samples().size());
}

} // namespace
