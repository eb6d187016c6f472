// The shared start-up when the sound server goes away under it, against the simulated sound
// system and virtual device: the session waits for a server to answer, brings the pair back
// as the default on the same engine, and a capture that was running carries on in the same
// recording once a program records again; the user's defaults are never claimed back while
// the server can't be asked.

#include "app/voice_changer_session.h"
#include "audio/device_enumeration.h"
#include "platform/messages.h"
#include "platform/settings.h"
#include "sim/sim_audio_backend.h"
#include "sim/sim_virtual_device.h"
#include "support/audio_files.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/user_devices.h"

#include <gtest/gtest.h>
#include <mutex>
#include <thread>

using namespace timbrelo;
using namespace timbrelo::test;
using namespace std::chrono_literals;

namespace {

class RecordingOwner : public LinkOwner {
  public:
    bool previewTicked() const override { return preview.load(); }
    void reissueCurrentPreset() override { ++reissued; }
    void setRecordAndPlayEnabled(bool enabled) override {
        std::lock_guard lock(mutex_);
        told_.push_back(enabled);
    }
    void restorePreferredDevices() override {} // the session does it

    // What the link told so far: true for capture started, false for stopped.
    std::vector<bool> told() const {
        std::lock_guard lock(mutex_);
        return told_;
    }

    std::atomic<bool> preview{false};
    std::atomic<int> reissued{0};

  private:
    mutable std::mutex mutex_;
    std::vector<bool> told_;
};

class SessionServerLossTest : public ::testing::Test {
  protected:
    SessionServerLossTest() {
        microphone = backend.addInputDevice(
            "Simulated Microphone", std::make_shared<ToneSource>(220, 0.3, 0), Pacing::RealTime);
        speakers = backend.addOutputDevice("Simulated Speakers", Pacing::RealTime, 0);
        backend.addInputDevice("Timbrelo Virtual Microphone", std::make_shared<ToneSource>(0, 0, 0),
                               Pacing::RealTime);
        virtualSpeaker = backend.addOutputDevice("Timbrelo Virtual Speaker", Pacing::RealTime, 0);
        backend.setDefaultInput(microphone);
        backend.setDefaultOutput(speakers);
    }
    ~SessionServerLossTest() override { session.shutDown(); }

    VoiceChangerSession::Failure start() {
        std::string error;
        return session.start(
            [this](std::string&) {
                auto made = std::make_unique<SimVirtualDevice>();
                device = made.get();
                ++devicesMade;
                return made;
            },
            error);
    }

    // The sound system dies: its streams end, the virtual device is lost, and it answers
    // nothing until it comes back.
    void serverDies() {
        backend.injectFailure(SimOp::GetDefaultOutput, AudioResult::NotRunning, 1 << 30);
        backend.loseDevices(AudioResult::NotRunning);
        device->lose();
        device = nullptr; // the session drops it
    }
    // Starts; with a recording, lets a program record and records `slot` to `record` until
    // `frames` frames were captured; then the server dies and the session sees the loss.
    void startThenLose(const std::string& record = "", RecordSlot slot = kEffectSlot,
                       size_t frames = 0) {
        ASSERT_EQ(start(), VoiceChangerSession::Failure::None);
        CaptureEngine& engine = session.engine();
        if (!record.empty()) {
            device->attachClient();
            ASSERT_TRUE(eventually([&] { return engine.state() == CaptureState::Running; }));
            ASSERT_EQ(engine.recorder().startRecording(slot, record), 1);
            ASSERT_TRUE(frames == 0 || device->waitForCaptured(frames, 5s));
        }
        serverDies();
        ASSERT_EQ(pollUntil(ServerEvent::Lost), std::vector<ServerEvent>{ServerEvent::Lost});
    }
    void serverComesBack() { backend.injectFailure(SimOp::GetDefaultOutput, AudioResult::Ok, 0); }

    // Polls as an owner's loop does until `wanted` comes (or 5 s pass); the events seen.
    std::vector<ServerEvent> pollUntil(ServerEvent wanted, std::vector<std::string>* details = {}) {
        std::vector<ServerEvent> seen;
        eventually(
            [&] {
                std::string detail;
                const ServerEvent event = session.poll(detail);
                if (event != ServerEvent::None) {
                    seen.push_back(event);
                    if (details != nullptr) {
                        details->push_back(detail);
                    }
                }
                std::this_thread::sleep_for(20ms);
                return event == wanted;
            },
            5s);
        return seen;
    }

    TempDir dir;
    ScopedEnv home{"XDG_CONFIG_HOME", dir.path()};
    MessageCapture messages;
    SimAudioBackend backend;
    uint32_t microphone = 0;
    uint32_t speakers = 0;
    uint32_t virtualSpeaker = 0;
    SimVirtualDevice* device = nullptr;
    int devicesMade = 0;
    RecordingOwner owner;
    VoiceChangerSession session{backend, owner, {.retryPeriod = 100ms, .resumeGrace = 1000ms}};
};

TEST_F(SessionServerLossTest, WaitsForTheServerAndCarriesOnWithTheSameRecording) {
    const std::string record = dir.file("call.wav");
    ASSERT_NO_FATAL_FAILURE(startThenLose(record, kEffectSlot, 22050 / 2));
    CaptureEngine& engine = session.engine();
    EXPECT_TRUE(session.waitingForServer());
    EXPECT_FALSE(session.running());
    EXPECT_EQ(session.virtualDevice(), nullptr);
    // Capture rests without ending: the recording stays open, and the owner still has it.
    EXPECT_EQ(engine.state(), CaptureState::Ready);
    EXPECT_TRUE(engine.suspended());
    EXPECT_TRUE(engine.recorder().wavOpen(kEffectSlot));
    EXPECT_EQ(owner.told(), std::vector<bool>{true});
    // Nothing could be put back, and nothing claims it was: the mark stays.
    EXPECT_FALSE(session.defaultsRestored());
    EXPECT_EQ(storedSetting(kNeedRestoreDevKey), "1");

    // While it is away, asking costs nothing and changes nothing.
    for (int i = 0; i < 10; ++i) {
        std::string detail;
        EXPECT_EQ(session.poll(detail), ServerEvent::None);
        std::this_thread::sleep_for(30ms);
    }
    EXPECT_EQ(devicesMade, 1);

    // The server comes back with defaults of its own: the remembered ones stay the user's.
    backend.setDefaultOutput(virtualSpeaker);
    serverComesBack();
    EXPECT_EQ(pollUntil(ServerEvent::Back), std::vector<ServerEvent>{ServerEvent::Back});
    EXPECT_FALSE(session.waitingForServer());
    EXPECT_TRUE(session.running());
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(devicesMade, 2);
    EXPECT_EQ(defaultDeviceName(backend, true), "Timbrelo Virtual Microphone");
    EXPECT_EQ(defaultDeviceName(backend, false), "Timbrelo Virtual Speaker");
    EXPECT_EQ(session.microphoneName(), "Simulated Microphone");
    EXPECT_EQ(session.speakersName(), "Simulated Speakers");
    EXPECT_EQ(storedSetting(kOldPlayDefaultKey), "Simulated Speakers");

    // A program records again: capture carries on in the same file, with the same voice.
    device->attachClient();
    ASSERT_TRUE(eventually([&] { return engine.state() == CaptureState::Running; }));
    EXPECT_FALSE(engine.suspended());
    EXPECT_TRUE(engine.recorder().wavOpen(kEffectSlot));
    ASSERT_TRUE(device->waitForCaptured(22050 * 2, 5s));
    EXPECT_EQ(owner.reissued.load(), 2) << "the voice is applied again at the new start";
    device->detachClient();
    ASSERT_TRUE(eventually([&] { return engine.state() == CaptureState::Ready; }));
    ASSERT_TRUE(eventually([&] { return !engine.recorder().wavOpen(kEffectSlot); }));
    EXPECT_EQ(owner.told(), (std::vector<bool>{true, true, false}));
    const auto wav = readWav(record);
    ASSERT_TRUE(wav.has_value());
    // Half a second before the loss and two seconds after it, in the one file.
    EXPECT_GT(wav->dataSize, 2u * 2 * 22050 * 23 / 10);
    EXPECT_FALSE(fileExists(dir.file("call-2.wav")));

    session.shutDown();
    EXPECT_TRUE(session.defaultsRestored());
    EXPECT_EQ(defaultDeviceName(backend, true), "Simulated Microphone");
    EXPECT_EQ(defaultDeviceName(backend, false), "Simulated Speakers");
    EXPECT_EQ(storedSetting(kNeedRestoreDevKey), "0");
    EXPECT_TRUE(messages.messages().empty()) << messages.messages().front();
}

TEST_F(SessionServerLossTest, EndingWhileWaitingClosesTheRecordingAndClaimsNoRestore) {
    const std::string record = dir.file("call.wav");
    ASSERT_NO_FATAL_FAILURE(startThenLose(record, kEffectSlot, 22050 / 4));
    CaptureEngine& engine = session.engine();

    session.shutDown();
    EXPECT_FALSE(session.waitingForServer());
    EXPECT_FALSE(session.defaultsRestored());
    EXPECT_EQ(storedSetting(kNeedRestoreDevKey), "1");
    EXPECT_FALSE(engine.recorder().wavOpen(kEffectSlot));
    EXPECT_EQ(owner.told(), (std::vector<bool>{true, false}));
    const auto wav = readWav(record);
    ASSERT_TRUE(wav.has_value());
    EXPECT_GT(wav->dataSize, 0u);

    // The next start finds the mark and puts the user's devices back first.
    serverComesBack();
    EXPECT_EQ(start(), VoiceChangerSession::Failure::None);
    EXPECT_EQ(storedSetting(kOldRecDefaultKey), "Simulated Microphone");
    session.shutDown();
    EXPECT_TRUE(session.defaultsRestored());
    EXPECT_EQ(defaultDeviceName(backend, true), "Simulated Microphone");
}

TEST_F(SessionServerLossTest, ACaptureNobodyTakesUpAgainEndsAfterTheGrace) {
    ASSERT_NO_FATAL_FAILURE(startThenLose(dir.file("a.wav"), kOriginSlot));
    CaptureEngine& engine = session.engine();
    serverComesBack();
    ASSERT_EQ(pollUntil(ServerEvent::Back), std::vector<ServerEvent>{ServerEvent::Back});
    std::this_thread::sleep_for(500ms);
    std::string detail;
    session.poll(detail);
    EXPECT_TRUE(engine.recorder().wavOpen(kOriginSlot)) << "still within the grace";
    std::this_thread::sleep_for(1000ms);
    session.poll(detail);
    EXPECT_FALSE(engine.suspended());
    EXPECT_FALSE(engine.recorder().wavOpen(kOriginSlot));
    EXPECT_EQ(owner.told(), (std::vector<bool>{true, false}));
}

TEST_F(SessionServerLossTest, PreviewCapturesAgainAsSoonAsTheServerIsBack) {
    owner.preview = true;
    ASSERT_EQ(start(), VoiceChangerSession::Failure::None);
    CaptureEngine& engine = session.engine();
    session.link()->previewChanged(true);
    ASSERT_EQ(engine.state(), CaptureState::Running);
    serverDies();
    ASSERT_EQ(pollUntil(ServerEvent::Lost), std::vector<ServerEvent>{ServerEvent::Lost});
    EXPECT_EQ(engine.state(), CaptureState::Ready);
    serverComesBack();
    ASSERT_EQ(pollUntil(ServerEvent::Back), std::vector<ServerEvent>{ServerEvent::Back});
    EXPECT_EQ(engine.state(), CaptureState::Running);
    EXPECT_TRUE(engine.previewOn());
    EXPECT_TRUE(
        eventually([&] { return session.previewPlayer().state() == PlayerState::Playing; }, 5s));
}

TEST_F(SessionServerLossTest, AServerWithoutTheUsersMicrophoneIsWaitedOnAndSaidOnce) {
    ASSERT_NO_FATAL_FAILURE(startThenLose());
    // The user's microphone was one that is not there when the server comes back.
    setSetting(kOldRecDefaultKey, "USB Microphone");
    serverComesBack();
    std::vector<std::string> details;
    const auto seen = pollUntil(ServerEvent::Back, &details);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), ServerEvent::Waiting);
    EXPECT_NE(details.front().find("the microphone \"USB Microphone\" is not there yet"),
              std::string::npos)
        << details.front();
    EXPECT_EQ(devicesMade, 1) << "the pair is not brought up for nothing";
    // Said once, however long it lasts; it comes back once the microphone is there.
    backend.addInputDevice("USB Microphone", std::make_shared<ToneSource>(330, 0.3, 0),
                           Pacing::RealTime);
    const auto rest = pollUntil(ServerEvent::Back);
    EXPECT_EQ(rest, std::vector<ServerEvent>{ServerEvent::Back});
    EXPECT_EQ(session.microphoneName(), "USB Microphone");
}

TEST_F(SessionServerLossTest, ASecondVirtualMicrophoneOnTheNewServerEndsIt) {
    ASSERT_NO_FATAL_FAILURE(startThenLose());
    backend.addInputDevice("Timbrelo Impostor", std::make_shared<ToneSource>(0, 0, 0),
                           Pacing::RealTime);
    serverComesBack();
    std::vector<std::string> details;
    EXPECT_EQ(pollUntil(ServerEvent::Failed, &details),
              std::vector<ServerEvent>{ServerEvent::Failed});
    EXPECT_EQ(details.back(), loadString(IDS_DEVICE_NOT_INSTALLED));
    session.shutDown();
    EXPECT_TRUE(session.defaultsRestored());
    EXPECT_EQ(defaultDeviceName(backend, true), "Simulated Microphone");
    EXPECT_EQ(defaultDeviceName(backend, false), "Simulated Speakers");
}

} // namespace
