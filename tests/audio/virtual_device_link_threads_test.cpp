// The link between the program and the virtual device, against the simulated device and the
// simulated sound system: capture follows the virtual microphone's use, Preview keeps it
// running. (Render audio played and recorded is shown end to end by the run command's tests.)

#include "audio/capture_engine.h"
#include "audio/dc_audio_player.h"
#include "audio/virtual_device_link.h"
#include "platform/debug.h"
#include "platform/vdev/sim_virtual_device.h"
#include "platform/wave/sim_audio_backend.h"
#include "support/process.h"

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
