// The link between the program and the virtual device, against the simulated device and the
// simulated sound system: capture follows the virtual microphone's use, Preview keeps it
// running, render audio is played and mixed into a running recording.

#include "audio/capture_engine.h"
#include "audio/dc_audio_player.h"
#include "audio/virtual_device_link.h"
#include "platform/debug.h"
#include "platform/vdev/sim_virtual_device.h"
#include "platform/wave/sim_audio_backend.h"
#include "support/audio_files.h"
#include "support/signals.h"
#include "support/temp_dir.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

using namespace timbrelo;
using namespace timbrelo::test;
using namespace std::chrono_literals;

namespace {

class FakeOwner : public LinkOwner {
  public:
    bool previewTicked() const override { return preview.load(); }
    void reissueCurrentPreset() override { ++reissued; }
    void setRecordAndPlayEnabled(bool enabled) override { controlsEnabled.store(enabled); }
    void restorePreferredDevices() override { ++restored; }

    std::atomic<bool> preview{false};
    std::atomic<int> reissued{0};
    std::atomic<bool> controlsEnabled{false};
    std::atomic<int> restored{0};
};

template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = 3s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(5ms);
    }
    return condition();
}

class LinkTest : public ::testing::Test {
  protected:
    LinkTest() {
        mic = backend.addInputDevice("Microphone", std::make_shared<ToneSource>(440, 0.4, 0),
                                     Pacing::RealTime);
        speakers = backend.addOutputDevice("Speakers", Pacing::RealTime);
        engine.chain().setConfigSource(EffectConfigSource::text(""));
        engine.selectDevice(mic, 2048);
        preview.selectDevice(speakers, 3072);
        render.selectDevice(speakers, 3072);
        engine.setPreviewPlayer(&preview);
    }
    ~LinkTest() override { link.shutDown(); }

    static CaptureEngine::Options quickStop() {
        CaptureEngine::Options o;
        o.stopGrace = 20ms;
        return o;
    }

    SimAudioBackend backend;
    uint32_t mic = 0;
    uint32_t speakers = 0;
    CaptureEngine engine{backend, quickStop()};
    DCAudioPlayer preview{backend};
    DCAudioPlayer render{backend};
    FakeOwner owner;
    SimVirtualDevice device;
    VirtualDeviceLink link{owner, engine, preview, render};
};

TEST_F(LinkTest, CaptureRunsExactlyWhileTheVirtualMicrophoneIsUsed) {
    DebugCapture debug;
    ASSERT_TRUE(link.setUp(&device));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(engine.state(), CaptureState::Ready);
    EXPECT_EQ(device.capturedBytes(), 0u);

    device.attachClient();
    ASSERT_TRUE(eventually([&] { return engine.state() == CaptureState::Running; }));
    EXPECT_TRUE(link.deviceInUse());
    EXPECT_EQ(owner.reissued.load(), 1);
    EXPECT_TRUE(owner.controlsEnabled.load());
    ASSERT_TRUE(eventually([&] { return device.capturedBytes() > 8192; }));

    device.detachClient();
    ASSERT_TRUE(eventually([&] { return engine.state() == CaptureState::Ready; }));
    EXPECT_FALSE(owner.controlsEnabled.load());
    const size_t after = device.capturedBytes();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(device.capturedBytes(), after);

    // And again: the watchers keep handing over to each other.
    device.attachClient();
    ASSERT_TRUE(eventually([&] { return engine.state() == CaptureState::Running; }));
    EXPECT_EQ(owner.reissued.load(), 2);
    EXPECT_TRUE(debug.contains("Start thread End.\nStop thread run.\n")) << debug.text();
    EXPECT_TRUE(debug.contains("Stop thread end.\nStart thread run.\n")) << debug.text();
}

TEST_F(LinkTest, AShortStateAnswerIsAskedAgainAtOnce) {
    ASSERT_TRUE(link.setUp(&device));
    ASSERT_TRUE(eventually([&] { return device.stateRequests() >= 1; }));
    std::this_thread::sleep_for(50ms); // now inside a 200 ms pause
    const int before = device.stateRequests();
    device.answerStateShort(5);
    device.attachClient();
    // Without pauses between the short answers, capture starts within about one poll.
    ASSERT_TRUE(eventually([&] { return engine.state() == CaptureState::Running; }, 600ms));
    EXPECT_GE(device.stateRequests() - before, 6);
}

TEST_F(LinkTest, PreviewKeepsCaptureRunningWhateverTheDeviceDoes) {
    ASSERT_TRUE(link.setUp(&device));
    owner.preview = true;
    link.previewChanged(true);
    EXPECT_EQ(engine.state(), CaptureState::Running);
    EXPECT_TRUE(engine.previewOn());
    ASSERT_TRUE(backend.waitForPlayed(speakers, 30000, 3s)); // the voice on the speakers

    device.attachClient();
    ASSERT_TRUE(eventually([&] { return link.deviceInUse(); }));
    device.detachClient();
    ASSERT_TRUE(eventually([&] { return !link.deviceInUse(); }));
    EXPECT_EQ(engine.state(), CaptureState::Running);
    EXPECT_EQ(owner.reissued.load(), 1); // only the Preview start re-issued the preset

    owner.preview = false;
    link.previewChanged(false);
    EXPECT_FALSE(engine.previewOn());
    EXPECT_EQ(engine.state(), CaptureState::Ready);
}

TEST_F(LinkTest, RenderAudioIsPlayedAndMixedIntoARunningRecording) {
    TempDir dir;
    ASSERT_TRUE(link.setUp(&device));
    ASSERT_TRUE(eventually([&] { return device.renderBegun(); }));

    // Not recording: played only.
    const std::vector<int16_t> music = makeTone(1000, 1.0, 22050, 2, 0.3);
    const auto* bytes = reinterpret_cast<const uint8_t*>(music.data());
    device.feedRender(bytes, music.size() * 2);
    ASSERT_TRUE(backend.waitForPlayed(speakers, 40000, 3s));

    device.attachClient();
    ASSERT_TRUE(eventually([&] { return engine.state() == CaptureState::Running; }));
    const std::string path = dir.file("call.wav");
    ASSERT_EQ(engine.recorder().startRecording(kEffectSlot, path), 1);
    for (int i = 0; i < 20; ++i) { // 1 s of render audio, fed as a program plays it
        device.feedRender(bytes + i * 4410, 4410);
        std::this_thread::sleep_for(50ms);
    }
    engine.recorder().stopRecording(kEffectSlot, "wav");

    auto wav = readWav(path);
    ASSERT_TRUE(wav.has_value());
    const std::vector<float> left = channelOf(asSamples(wav->data), 2, 0);
    ASSERT_GT(left.size(), 11025u);
    EXPECT_GT(toneLevelDb(left, 22050, 440), -12.0);  // the voice
    EXPECT_GT(toneLevelDb(left, 22050, 1000), -12.0); // mixed with what programs played
}

TEST_F(LinkTest, ShutDownStopsEverythingPromptly) {
    ASSERT_TRUE(link.setUp(&device));
    device.attachClient();
    ASSERT_TRUE(eventually([&] { return engine.state() == CaptureState::Running; }));
    const auto start = std::chrono::steady_clock::now();
    link.shutDown();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
    EXPECT_FALSE(link.running());
    EXPECT_EQ(engine.state(), CaptureState::Ready);
    EXPECT_EQ(owner.restored.load(), 1);
}

TEST_F(LinkTest, WithoutADeviceNothingIsSetUp) {
    EXPECT_FALSE(link.setUp(nullptr));
    EXPECT_FALSE(link.running());
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(engine.state(), CaptureState::Ready);
}

} // namespace
