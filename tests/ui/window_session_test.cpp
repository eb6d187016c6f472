// The real window on the real voice changer, over the simulated sound system and virtual
// device: start-up and Exit switch the default devices and back, a program listening to the
// virtual microphone starts capture through the link's watcher, and Record, Preview and
// Select MIC act on the running capture.

#include "platform/messages.h"
#include "platform/settings.h"
#include "sim/sim_audio_backend.h"
#include "sim/sim_virtual_device.h"
#include "support/temp_dir.h"
#include "support/user_devices.h"
#include "ui/input_device_dialog.h"
#include "ui/main_window.h"
#include "ui/session_voice_engine.h"
#include "ui/ui_test_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTest>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>

namespace timbrelo {
namespace {

using test::processUntil;
using namespace std::chrono_literals;

class WindowSessionTest : public ::testing::Test {
  protected:
    WindowSessionTest() {
        std::filesystem::remove_all(test::uiConfigHome() + "/Tonvari");
        microphone = backend.addInputDevice(
            "Simulated Microphone", std::make_shared<ToneSource>(220, 0.3, 0), Pacing::RealTime);
        speakers = backend.addOutputDevice("Simulated Speakers", Pacing::RealTime, 1 << 20);
        backend.addInputDevice("Timbrelo Virtual Microphone", std::make_shared<ToneSource>(0, 0, 0),
                               Pacing::RealTime);
        backend.addOutputDevice("Timbrelo Virtual Speaker", Pacing::RealTime, 0);
        backend.setDefaultInput(microphone);
        backend.setDefaultOutput(speakers);
    }

    CaptureEngine& capture() { return engine.session().engine(); }

    SimAudioBackend backend;
    uint32_t microphone = 0;
    uint32_t speakers = 0;
    SimVirtualDevice* device = nullptr;
    SessionVoiceEngine engine{backend, [this](std::string&) {
                                  auto made = std::make_unique<SimVirtualDevice>();
                                  device = made.get();
                                  return made;
                              }};
    MessageCapture messages;
    test::TempDir dir;
};

TEST_F(WindowSessionTest, StartUpMakesTheVirtualPairTheDefaultAndExitPutsTheUsersBack) {
    MainWindow window(engine);
    window.show();
    ASSERT_TRUE(window.startUp());
    EXPECT_EQ(test::defaultDeviceName(backend, true), "Timbrelo Virtual Microphone");
    EXPECT_EQ(test::defaultDeviceName(backend, false), "Timbrelo Virtual Speaker");
    EXPECT_EQ(engine.session().microphoneName(), "Simulated Microphone");
    // The effects exist before any capture, so a voice set now is not lost.
    EXPECT_NE(capture().chain().slot(EffectChain::kPsolaSlot), nullptr);
    // The settings file was made with the default effect lines.
    std::string file;
    ASSERT_EQ(settingsFilePath(file), 0);
    EXPECT_NE(test::readFile(file).find("cartoon 1.5\npsola 1.0"), std::string::npos);

    window.controls().exit->click();
    EXPECT_TRUE(window.exited());
    EXPECT_FALSE(engine.running());
    EXPECT_EQ(test::defaultDeviceName(backend, true), "Simulated Microphone");
    EXPECT_EQ(test::defaultDeviceName(backend, false), "Simulated Speakers");
    EXPECT_TRUE(messages.messages().empty());
}

TEST_F(WindowSessionTest, WithoutExactlyOneVirtualMicrophoneTheProgramEndsAndChangesNothing) {
    backend.addInputDevice("Timbrelo Virtual Microphone 2", std::make_shared<ToneSource>(0, 0, 0),
                           Pacing::RealTime);
    MainWindow window(engine);
    EXPECT_FALSE(window.startUp());
    EXPECT_TRUE(messages.contains("Please make sure you installed Virello and only one Virello."));
    EXPECT_EQ(test::defaultDeviceName(backend, true), "Simulated Microphone");
    EXPECT_EQ(test::defaultDeviceName(backend, false), "Simulated Speakers");
}

TEST_F(WindowSessionTest, AListenerStartsCaptureAndTheWindowFollowsOnItsOwnThread) {
    MainWindow window(engine);
    window.show();
    ASSERT_TRUE(window.startUp());
    const MainWindow::Controls& c = window.controls();
    window.runPresetCommand(ID_MALE_TO_GIRL_SWEET);
    c.pitch->setValue(90); // a keyboard move: the re-issue puts the thumb back
    test::ThreadWatch watch(&window);

    device->attachClient();
    ASSERT_TRUE(processUntil([&] { return c.record->isEnabled() && c.play->isEnabled(); }));
    EXPECT_EQ(capture().state(), CaptureState::Running);
    EXPECT_TRUE(processUntil([&] { return c.pitch->value() == 200; }));
    EXPECT_FALSE(c.delay->text().isEmpty());

    // A recording of the changed voice while the program listens.
    const std::string path = dir.file("call.wav");
    QTest::keyClicks(c.recordPath, QString::fromStdString(path));
    c.effect->setChecked(true);
    c.record->click();
    ASSERT_EQ(c.record->text(), "Stop Record") << testing::PrintToString(messages.messages());
    // Until a quarter of a second is on disk: a sanitized psola voice on a busy machine can
    // take longer than real time to get there.
    processUntil(
        [&] {
            std::error_code error;
            return std::filesystem::file_size(path, error) > 44u + 22050u && !error;
        },
        10s);
    c.record->click();
    EXPECT_EQ(c.record->text(), "Start Record");
    const std::string wav = test::readFile(path);
    ASSERT_GT(wav.size(), 44u + 22050u); // at least a quarter of a second of audio
    EXPECT_EQ(wav.substr(0, 4), "RIFF");
    EXPECT_EQ(wav.substr(8, 4), "WAVE");

    device->detachClient();
    ASSERT_TRUE(processUntil([&] { return !c.record->isEnabled(); }));
    // The buttons go as the stop begins; the capture thread may still be winding down.
    EXPECT_TRUE(processUntil([&] { return capture().state() == CaptureState::Ready; }));
    EXPECT_EQ(watch.threads(), std::set<QThread*>{QThread::currentThread()});
    window.exitProgram();
}

TEST_F(WindowSessionTest, PreviewCapturesWithoutAListenerAndPlaysTheVoice) {
    MainWindow window(engine);
    window.show();
    ASSERT_TRUE(window.startUp());
    const MainWindow::Controls& c = window.controls();
    c.preview->click();
    EXPECT_EQ(capture().state(), CaptureState::Running);
    ASSERT_TRUE(processUntil([&] { return c.record->isEnabled(); }));
    const uint64_t before = backend.playedFrames(speakers);
    EXPECT_TRUE(processUntil([&] { return backend.playedFrames(speakers) > before + 11025; }));

    // A listener coming and going leaves capture to Preview.
    device->attachClient();
    processUntil([] { return false; }, 500ms);
    device->detachClient();
    processUntil([] { return false; }, 500ms);
    EXPECT_EQ(capture().state(), CaptureState::Running);

    c.preview->click();
    EXPECT_EQ(capture().state(), CaptureState::Ready);
    ASSERT_TRUE(processUntil([&] { return !c.record->isEnabled(); }));
    window.exitProgram();
}

TEST_F(WindowSessionTest, TheMicrophoneChosenInSelectMicCapturesAtOnce) {
    const uint32_t headset = backend.addInputDevice(
        "USB Headset", std::make_shared<ToneSource>(440, 0.3, 0), Pacing::RealTime);
    MainWindow window(engine);
    window.show();
    ASSERT_TRUE(window.startUp());
    device->attachClient();
    ASSERT_TRUE(processUntil([&] { return window.controls().record->isEnabled(); }));
    EXPECT_EQ(capture().deviceIndex(), microphone);

    InputDeviceDialog* dialog = test::openMicrophoneDialog(window);
    ASSERT_NE(dialog, nullptr);
    dialog->deviceBox()->setCurrentText("USB Headset");
    dialog->accept();
    EXPECT_EQ(capture().deviceIndex(), headset);
    EXPECT_EQ(capture().state(), CaptureState::Running);
    ASSERT_TRUE(processUntil([&] { return window.controls().record->isEnabled(); }));
    std::string stored;
    getSetting("Input Dev ", stored);
    EXPECT_EQ(stored, "USB Headset");
    window.exitProgram();

    // The next start-up captures from it too.
    SessionVoiceEngine next(backend,
                            [](std::string&) { return std::make_unique<SimVirtualDevice>(); });
    MainWindow again(next);
    ASSERT_TRUE(again.startUp());
    EXPECT_EQ(next.session().microphoneName(), "USB Headset");
    again.exitProgram();
}

} // namespace
} // namespace timbrelo
