// The window as the target of remote control, against the recording stand-in of the voice
// changer: each call does what the window's own control does and shows it, and the calls
// that need a listener are refused until capture runs.

#include "support/audio_files.h"
#include "support/signals.h"
#include "support/temp_dir.h"
#include "ui/fake_voice_engine.h"
#include "ui/ui_test_support.h"
#include "ui/window_control.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace timbrelo {
namespace {

using ::testing::ElementsAre;

// The name of the refusal; "" when the call was taken.
template <typename Call>
std::string refusal(Call call) {
    try {
        call();
    } catch (const control::ControlError& e) {
        EXPECT_FALSE(e.message.empty());
        return e.name;
    }
    return "";
}

TEST(WindowControlTest, CallsDoWhatTheControlsDoAndRefuseWhatTheWindowWouldNotOffer) {
    test::FakeVoiceEngine engine;
    MainWindow window(engine, MainWindow::Options{true});
    window.show();
    ASSERT_TRUE(window.startUp());
    engine.takeCalls();
    WindowControl control(window);
    const MainWindow::Controls& c = window.controls();

    control.choosePreset(ID_MALE_TO_FEMALE_SWEET);
    EXPECT_EQ(control.status().preset, ID_MALE_TO_FEMALE_SWEET);
    engine.takeCalls();
    // A slider set from afar applies both positions and shows the value, as a release does.
    control.setTimbre(120);
    EXPECT_EQ(c.timbre->value(), 120);
    EXPECT_EQ(c.timbreValue->text(), "1.200");
    EXPECT_EQ(control.status().preset, kNoPreset);
    EXPECT_THAT(engine.takeCalls(), ElementsAre("pitch(0,-1)", "cartoon(0,-1)", "psola(0,-2)",
                                                "psola(1.2,1)", "psola(1.6,0)"));
    control.setSemitones(-4);
    EXPECT_EQ(engine.calls().back(), "pitch(-4,0)");
    control.choosePreset(ID_MICKEY);
    EXPECT_EQ(control.status().preset, ID_MICKEY);

    control.setEffects(false);
    control.setEffects(false); // already off: nothing more
    EXPECT_EQ(c.effectOnOff->text(), "Effect On");
    EXPECT_FALSE(control.status().effectsOn);
    control.setEffects(true);
    EXPECT_TRUE(control.status().effectsOn);

    // The cleaning's check box and slider move, and it applies once, as a click would.
    engine.takeCalls();
    control.setDenoise(true, 20);
    control.setGate(false, -60);
    EXPECT_TRUE(c.denoise->isChecked());
    EXPECT_EQ(c.denoiseStrength->value(), 20);
    EXPECT_FALSE(c.gate->isChecked());
    EXPECT_EQ(c.gateThreshold->value(), -60);
    EXPECT_THAT(engine.takeCalls(),
                ElementsAre("cleaning(on 20,off -45)", "cleaning(on 20,off -60)"));
    const control::ControlStatus cleaning = control.status();
    EXPECT_TRUE(cleaning.denoise && !cleaning.gate);
    EXPECT_EQ(cleaning.denoiseDb, 20);
    EXPECT_EQ(cleaning.gateDb, -60);

    // Record and Play wait for a listener, as their buttons do.
    test::TempDir dir;
    const std::string music = dir.file("music.wav");
    test::writeWav(music, test::toInterleaved16(test::makeVoice(200, 0.5, 22050, 0.3), 2), 22050,
                   2);
    EXPECT_EQ(refusal([&] { control.startRecording("/tmp/talk.wav", kEffectSlot); }),
              control::kErrorNotCapturing);
    EXPECT_EQ(refusal([&] { control.playMusic(music, 0.3f); }), control::kErrorNotCapturing);
    engine.owner()->setRecordAndPlayEnabled(true);
    ASSERT_TRUE(test::processUntil([&] { return control.status().capturing; }));
    engine.takeCalls();

    control.startRecording("/tmp/talk.wav", kEffectSlot);
    EXPECT_EQ(c.record->text(), "Stop Record");
    EXPECT_EQ(c.recordPath->text(), "/tmp/talk.wav");
    EXPECT_TRUE(c.effect->isChecked());
    EXPECT_EQ(control.status().recordingFile, "/tmp/talk.wav");
    EXPECT_EQ(refusal([&] { control.startRecording("/tmp/b.wav", kOriginSlot); }),
              control::kErrorFailed);
    control.stopRecording();
    EXPECT_FALSE(control.status().recording);
    engine.recordingOpens = false;
    EXPECT_EQ(refusal([&] { control.startRecording("/tmp/c.wav", kOriginSlot); }),
              control::kErrorFailed);
    EXPECT_THAT(engine.takeCalls(),
                ElementsAre("record(1,/tmp/talk.wav)", "stopRecording", "record(0,/tmp/c.wav)"));

    control.playMusic(music, 0.3f);
    EXPECT_EQ(c.play->text(), "Stop");
    EXPECT_EQ(c.volume->value(), 30);
    control.stopMusic();
    EXPECT_EQ(c.play->text(), "Play");
    EXPECT_EQ(refusal([&] { control.playMusic(dir.file("missing.wav"), 0.3f); }),
              control::kErrorFailed);
    EXPECT_THAT(engine.takeCalls(),
                ElementsAre("background(" + music + ")", "level(0.3)", "stopBackground"));

    control.showWindow(false);
    EXPECT_FALSE(window.isVisible());
    control.showWindow(true);
    EXPECT_TRUE(window.isVisible());
    // Quit runs the full Exit once the call is over.
    control.quit();
    EXPECT_FALSE(window.exited());
    ASSERT_TRUE(test::processUntil([&] { return window.exited(); }));
    EXPECT_EQ(engine.calls().back(), "shutDown");
}

} // namespace
} // namespace timbrelo
