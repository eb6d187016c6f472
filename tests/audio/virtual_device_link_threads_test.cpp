// The link between the program and the virtual device, against the simulated device and the
// simulated sound system: capture follows the virtual microphone's use, Preview keeps it
// running, and what programs play to the virtual speaker reaches the speakers.

#include "audio/capture_engine.h"
#include "audio/dc_audio_player.h"
#include "audio/virtual_device_link.h"
#include "platform/debug.h"
#include "sim/sim_audio_backend.h"
#include "sim/sim_virtual_device.h"
#include "support/audio_files.h"
#include "support/process.h"

#include <algorithm>
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
        engine.selectDevice(mic);
        preview.selectDevice(speakers);
        render.selectDevice(speakers);
        engine.setPreviewPlayer(&preview);
    }
    ~LinkTest() override { link.shutDown(); }

    SimAudioBackend backend;
    uint32_t mic = 0;
    uint32_t speakers = 0;
    CaptureEngine engine{backend};
    DCAudioPlayer preview{backend};
    DCAudioPlayer render{backend};
    FakeOwner owner;
    SimVirtualDevice device;
    VirtualDeviceLink link{owner, engine, preview, render};
};

TEST_F(LinkTest, CaptureRunsExactlyWhileTheVirtualMicrophoneIsUsedAndShutDownEndsIt) {
    EXPECT_FALSE(link.setUp(nullptr)); // without a device nothing is set up
    EXPECT_FALSE(link.running());
    ASSERT_TRUE(link.setUp(&device));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(engine.state(), CaptureState::Ready);
    EXPECT_EQ(device.capturedFrames(), 0u);

    device.attachClient();
    ASSERT_TRUE(eventually([&] { return engine.state() == CaptureState::Running; }));
    EXPECT_TRUE(link.deviceInUse());
    EXPECT_EQ(owner.reissued.load(), 1);
    EXPECT_TRUE(owner.controlsEnabled.load());
    ASSERT_TRUE(eventually([&] { return device.capturedFrames() > 2048; }));

    device.detachClient();
    ASSERT_TRUE(eventually([&] { return engine.state() == CaptureState::Ready; }));
    EXPECT_FALSE(owner.controlsEnabled.load());
    const size_t after = device.capturedFrames();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(device.capturedFrames(), after);

    // And again, promptly: the change notification wakes the watcher, no poll is waited for.
    const auto attached = std::chrono::steady_clock::now();
    device.attachClient();
    ASSERT_TRUE(eventually([&] { return engine.state() == CaptureState::Running; }));
    EXPECT_LT(std::chrono::steady_clock::now() - attached, 150ms);
    EXPECT_EQ(owner.reissued.load(), 2);
    EXPECT_EQ(device.voiceBegins(), 2);
    EXPECT_EQ(device.voiceEnds(), 1);

    // Shutting down stops everything promptly and puts the user's devices back.
    const auto start = std::chrono::steady_clock::now();
    link.shutDown();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
    EXPECT_FALSE(link.running());
    EXPECT_EQ(engine.state(), CaptureState::Ready);
    EXPECT_EQ(owner.restored.load(), 1);
}

TEST_F(LinkTest, WhatProgramsPlayToTheVirtualSpeakerReachesTheSpeakers) {
    ASSERT_TRUE(link.setUp(&device));
    const std::vector<int16_t> sound = makeStereoTones(500, 700, 0.5, 22050);
    const uint64_t before = backend.playedFrames(speakers);
    // The device delivers 256 frames at a time: the render player primes for that, not for
    // the reader's whole 512-frame block.
    for (size_t at = 0; at < sound.size(); at += 512) {
        device.feedRender(
            std::span<const int16_t>(sound.data() + at, std::min<size_t>(512, sound.size() - at)));
        std::this_thread::sleep_for(11ms);
    }
    EXPECT_EQ(render.burstFrames(), 256u);
    ASSERT_TRUE(backend.waitForPlayed(speakers, before + sound.size() / 2 + 4000, 3s));
    const std::vector<int16_t> played = backend.played(speakers);
    const auto soundStart = std::find_if(sound.begin(), sound.end(), [](int16_t v) { return v; });
    const auto found = std::search(played.begin(), played.end(), soundStart, sound.end());
    EXPECT_NE(found, played.end()) << "not played whole and in order";
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

} // namespace
