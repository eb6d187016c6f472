// The window against a recording stand-in of the voice changer: what each control sends, in
// what order, and what it shows.
// Kept in one file (over 500 lines): every control is driven through the same window and
// stand-in, and the cases share their set-up.

#include "platform/messages.h"
#include "platform/posted_messages.h"
#include "platform/settings.h"
#include "ui/fake_voice_engine.h"
#include "ui/input_device_dialog.h"
#include "ui/main_window.h"
#include "ui/message_presenter.h"
#include "ui/ui_test_support.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSystemTrayIcon>
#include <QTest>
#include <QWindow>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <thread>

namespace timbrelo {
namespace {

using test::FakeVoiceEngine;
using test::openMicrophoneDialog;
using test::processUntil;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Start = VoiceEngine::StartResult;

class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(test::uiConfigHome() + "/Tonvari");
        std::ofstream(test::uiConfigHome() + "/Tonvari/cfg") << "cartoon 1.5\npsola 1.0";
    }

    // A window started up and shown, its start-up calls forgotten.
    std::unique_ptr<MainWindow> open(MainWindow::Options options = {}) {
        auto window = std::make_unique<MainWindow>(engine, options);
        window->show();
        EXPECT_TRUE(window->startUp());
        engine.takeCalls();
        return window;
    }

    static void release(QSlider* slider) {
        QTest::mouseRelease(slider, Qt::LeftButton, {}, slider->rect().center());
    }

    // Capture starts or stops as a link watcher would tell it.
    void capture(MainWindow& window, bool running) {
        engine.owner()->setRecordAndPlayEnabled(running);
        ASSERT_TRUE(processUntil([&] { return window.controls().record->isEnabled() == running; }));
    }

    FakeVoiceEngine engine;
    MessageCapture messages;
};

std::vector<std::string> menuTexts(QMenu* menu) {
    std::vector<std::string> texts;
    for (QAction* action : menu->actions()) {
        texts.push_back(action->isSeparator() ? "-" : action->text().toStdString());
    }
    return texts;
}

// The texts of the checked items of the preset menu, as the Effects button shows it.
std::vector<std::string> checkedPresets(MainWindow& window) {
    window.controls().effects->click();
    std::vector<std::string> checked;
    for (QAction* action : window.presetMenu()->actions()) {
        if (action->isChecked()) {
            checked.push_back(action->text().toStdString());
        }
    }
    window.presetMenu()->close();
    return checked;
}

TEST_F(WindowTest, StartsAsTheTemplateSaysAndOnlyAMissingVirtualDeviceEndsIt) {
    auto window = open();
    const MainWindow::Controls& c = window->controls();
    EXPECT_EQ(window->windowTitle(), "Timbrelo");
    EXPECT_EQ(c.effectOnOff->text(), "Effect Off");
    EXPECT_EQ(c.pitch->value(), 50); // 0 asked for, clamped into 50..300
    EXPECT_EQ(c.timbre->value(), 100);
    EXPECT_EQ(c.volume->value(), 50);
    EXPECT_FALSE(c.volume->isEnabled());
    EXPECT_TRUE(c.pitchValue->text().isEmpty());
    EXPECT_TRUE(c.timbreValue->text().isEmpty());
    EXPECT_EQ(c.play->text(), "Play");
    EXPECT_EQ(c.record->text(), "Record");
    EXPECT_FALSE(c.play->isEnabled() || c.record->isEnabled());
    EXPECT_TRUE(c.origin->isChecked());
    EXPECT_FALSE(c.preview->isChecked());
    EXPECT_EQ(window->trayIcon()->toolTip(), "Timbrelo");
    EXPECT_THAT(menuTexts(window->trayMenu()), ElementsAre("Show", "Exit"));
    EXPECT_EQ(c.delay->text(), "Delay: 73 ms");
    EXPECT_EQ(c.delay->toolTip(), "pipeline 10 ms, capture block 23 ms, delivery 40 ms");

    // Without a microphone the window stays; without exactly one virtual device it ends.
    engine.startResult = Start::NotRunning;
    engine.startError = "Can't find one record device.";
    MainWindow stays(engine);
    EXPECT_TRUE(stays.startUp());
    EXPECT_TRUE(stays.controls().delay->text().isEmpty());
    engine.startResult = Start::Quit;
    engine.startError = loadString(IDS_DEVICE_NOT_INSTALLED);
    MainWindow ends(engine);
    EXPECT_FALSE(ends.startUp());
    EXPECT_TRUE(ends.exited());
    EXPECT_THAT(messages.messages(),
                ElementsAre("Can't find one record device.",
                            "Please make sure you installed Virello and only one Virello."));
}

TEST_F(WindowTest, PresetsSendTheirCallsInOrderMoveOnlyTheThumbsAndCarryTheCheckMark) {
    auto window = open();
    const MainWindow::Controls& c = window->controls();
    window->controls().effects->click();
    EXPECT_THAT(menuTexts(window->presetMenu()),
                ElementsAre("No Effect", "-", "Male to female(Sweet)", "Male to female(General)",
                            "Male to girl(Sweet)", "Male to girl(General)", "Hide me(Male)", "-",
                            "Female to male", "Female to boy", "Hide me(Female)"));
    window->presetMenu()->actions()[2]->trigger();
    EXPECT_THAT(engine.takeCalls(), ElementsAre("cartoon(0,-1)", "pitch(0,-1)", "psola(0,-2)",
                                                "psola(1.3,1)", "psola(1.6,0)"));
    EXPECT_EQ(c.pitch->value(), 160);
    EXPECT_EQ(c.timbre->value(), 130);
    EXPECT_TRUE(c.pitchValue->text().isEmpty());
    EXPECT_TRUE(c.timbreValue->text().isEmpty());
    EXPECT_THAT(checkedPresets(*window), ElementsAre("Male to female(Sweet)"));

    // Two semitone presets send the same calls and differ in the check mark.
    engine.voiceDelay.pipelineMs = 116;
    window->runPresetCommand(ID_FEMALE_TO_BOY);
    const auto boy = engine.takeCalls();
    EXPECT_THAT(checkedPresets(*window), ElementsAre("Female to boy"));
    window->runPresetCommand(ID_HIDE_ME_MALE);
    EXPECT_EQ(engine.takeCalls(), boy);
    EXPECT_THAT(boy, ElementsAre("cartoon(0,-1)", "pitch(0,-2)", "pitch(-4,0)", "psola(0,-1)"));
    EXPECT_THAT(checkedPresets(*window), ElementsAre("Hide me(Male)"));
    EXPECT_EQ(c.pitch->value(), 160); // semitone presets leave the thumbs alone
    EXPECT_EQ(c.delay->text(), "Delay: 179 ms");

    // The cartoon voices are not in the menu, but run as commands.
    window->runPresetCommand(ID_DONALD);
    EXPECT_THAT(engine.takeCalls(), ElementsAre("pitch(0,-1)", "pitch(0,0)", "cartoon(0,-2)",
                                                "cartoon(1.99,0)", "psola(0,-1)"));
    window->runPresetCommand(12345);
    EXPECT_THAT(engine.takeCalls(), IsEmpty());
    EXPECT_EQ(window->currentPreset(), ID_DONALD);
}

TEST_F(WindowTest, SliderReleaseAppliesBothPositionsOnlyWhenTheReleasedOneMoved) {
    auto window = open();
    const MainWindow::Controls& c = window->controls();
    window->runPresetCommand(ID_MALE_TO_FEMALE_SWEET); // thumbs at 160 and 130
    engine.takeCalls();

    release(c.pitch);
    EXPECT_THAT(engine.takeCalls(), ElementsAre("pitch(0,-1)", "cartoon(0,-1)", "psola(0,-2)",
                                                "psola(1.3,1)", "psola(1.6,0)"));
    EXPECT_EQ(c.pitchValue->text(), "1.600");
    EXPECT_TRUE(c.timbreValue->text().isEmpty());
    EXPECT_THAT(checkedPresets(*window), IsEmpty());

    // A preset moves the thumb away; brought back to the position the slider last applied,
    // a release only sets the label.
    window->runPresetCommand(ID_MALE_TO_GIRL_SWEET);
    engine.takeCalls();
    c.pitch->setValue(160);
    release(c.pitch);
    EXPECT_THAT(engine.takeCalls(), IsEmpty());
    EXPECT_EQ(window->currentPreset(), ID_MALE_TO_GIRL_SWEET);

    // The timbre slider remembers its own position (0 so far): formant before pitch.
    c.timbre->setValue(75);
    release(c.timbre);
    EXPECT_THAT(engine.takeCalls(), ElementsAre("pitch(0,-1)", "cartoon(0,-1)", "psola(0,-2)",
                                                "psola(0.75,1)", "psola(1.6,0)"));
    EXPECT_EQ(c.timbreValue->text(), "0.750");

    // Keyboard moves change the thumb and nothing else.
    c.pitch->setFocus();
    QTest::keyClick(c.pitch, Qt::Key_PageUp);
    QTest::keyClick(c.pitch, Qt::Key_Right);
    EXPECT_EQ(c.pitch->value(), 171);
    EXPECT_THAT(engine.takeCalls(), IsEmpty());
    EXPECT_EQ(c.pitchValue->text(), "1.600");
}

TEST_F(WindowTest, EffectOffForcesOriginAndEffectOnGivesTheControlsBack) {
    auto window = open();
    const MainWindow::Controls& c = window->controls();
    c.effect->setChecked(true);
    c.effectOnOff->click();
    EXPECT_THAT(engine.takeCalls(), ElementsAre("effects(off)"));
    EXPECT_EQ(c.effectOnOff->text(), "Effect On");
    EXPECT_FALSE(c.pitch->isEnabled() || c.effects->isEnabled() || c.effect->isEnabled());
    EXPECT_TRUE(c.timbre->isEnabled());
    EXPECT_TRUE(c.origin->isChecked());

    c.effectOnOff->click();
    EXPECT_THAT(engine.takeCalls(), ElementsAre("effects(on)"));
    EXPECT_EQ(c.effectOnOff->text(), "Effect Off");
    EXPECT_TRUE(c.pitch->isEnabled() && c.effects->isEnabled() && c.effect->isEnabled());
    EXPECT_TRUE(c.origin->isChecked()); // the radios are left as they are
}

TEST_F(WindowTest, RecordCyclesThroughItsCaptionsWithTheTypedPath) {
    auto window = open();
    const MainWindow::Controls& c = window->controls();
    capture(*window, true);

    // The template's "Record" starts a recording; an empty path is refused.
    c.record->click();
    EXPECT_THAT(messages.messages(), ElementsAre("Please input the record file name."));
    // What was typed counts at once, with no other control touched in between.
    QTest::keyClicks(c.recordPath, "/tmp/talk.wav");
    c.effect->setChecked(true);
    c.record->click();
    EXPECT_THAT(engine.takeCalls(), ElementsAre("record(1,/tmp/talk.wav)"));
    EXPECT_EQ(c.record->text(), "Stop Record");
    for (QWidget* w : {static_cast<QWidget*>(c.recordBrowse), static_cast<QWidget*>(c.recordPath),
                       static_cast<QWidget*>(c.origin), static_cast<QWidget*>(c.effect)}) {
        EXPECT_FALSE(w->isEnabled());
    }
    c.effectOnOff->click(); // off and on again mid-recording: the radios stay fixed
    c.effectOnOff->click();
    EXPECT_FALSE(c.effect->isEnabled());
    engine.takeCalls();

    c.record->click();
    EXPECT_THAT(engine.takeCalls(), ElementsAre("stopRecording"));
    EXPECT_EQ(c.record->text(), "Start Record");
    EXPECT_TRUE(c.recordPath->isEnabled() && c.effect->isEnabled());

    engine.recordingOpens = false;
    c.origin->setChecked(true);
    c.record->click();
    EXPECT_THAT(engine.takeCalls(), ElementsAre("record(0,/tmp/talk.wav)"));
    EXPECT_EQ(c.record->text(), "Start Record");
    EXPECT_TRUE(messages.contains("Can't save to this file"));

    // Capture stopping ends a recording: the group is idle and waits for the next capture.
    engine.recordingOpens = true;
    c.record->click();
    ASSERT_EQ(c.record->text(), "Stop Record");
    capture(*window, false);
    EXPECT_EQ(c.record->text(), "Start Record");
    EXPECT_TRUE(c.recordBrowse->isEnabled() && c.recordPath->isEnabled());
}

TEST_F(WindowTest, PlayCyclesThroughItsCaptionsAndPlaysAtTheShownVolume) {
    auto window = open();
    const MainWindow::Controls& c = window->controls();
    capture(*window, true);
    c.play->click();
    EXPECT_THAT(messages.messages(), ElementsAre("Please input the background music file name."));

    QTest::keyClicks(c.backgroundPath, "/tmp/music.mp3");
    engine.backgroundOpens = false;
    c.play->click();
    EXPECT_TRUE(messages.contains("Can't open this file"));
    EXPECT_EQ(c.play->text(), "Play");
    engine.backgroundOpens = true;
    c.play->click();
    EXPECT_THAT(engine.takeCalls(), ElementsAre("background(/tmp/music.mp3)",
                                                "background(/tmp/music.mp3)", "level(0.5)"));
    EXPECT_EQ(c.play->text(), "Stop");
    EXPECT_FALSE(c.backgroundBrowse->isEnabled() || c.backgroundPath->isEnabled());
    ASSERT_TRUE(c.volume->isEnabled());

    release(c.volume); // still at the level applied
    c.volume->setValue(70);
    release(c.volume);
    EXPECT_THAT(engine.takeCalls(), ElementsAre("level(0.7)"));
    c.play->click();
    EXPECT_THAT(engine.takeCalls(), ElementsAre("stopBackground"));
    EXPECT_EQ(c.play->text(), "Play");
    EXPECT_TRUE(c.backgroundBrowse->isEnabled());
    EXPECT_FALSE(c.volume->isEnabled());

    // Capture stopping stops the music and returns the group to idle.
    c.play->click();
    capture(*window, false);
    EXPECT_EQ(c.play->text(), "Play");
    EXPECT_TRUE(c.backgroundPath->isEnabled());
    EXPECT_FALSE(c.volume->isEnabled());
}

TEST_F(WindowTest, HideEscAndTheCloseBoxUseTheTrayOrMinimiseWithoutOne) {
    for (bool tray : {true, false}) {
        auto window = open(MainWindow::Options{tray});
        // Each way of hiding, with the window shown again before the next.
        const std::vector<std::function<void()>> hides = {
            [&] { window->controls().hide->click(); }, [&] { window->windowHandle()->close(); },
            [&] { QTest::keyClick(window.get(), Qt::Key_Escape); },
            [&] { emit window->trayIcon()->activated(QSystemTrayIcon::Trigger); }};
        for (const auto& hide : hides) {
            window->showWindow();
            ASSERT_TRUE(window->isVisible() && !window->isMinimized());
            hide();
            EXPECT_EQ(window->isVisible(), !tray) << tray;
            EXPECT_EQ(window->isMinimized(), !tray) << tray;
        }
        // The tray menu's first item names what it does.
        emit window->trayMenu()->aboutToShow();
        EXPECT_EQ(window->trayShowAction()->text(), "Show(&S)");
        window->trayShowAction()->trigger();
        EXPECT_TRUE(window->isVisible() && !window->isMinimized());
        emit window->trayMenu()->aboutToShow();
        EXPECT_EQ(window->trayShowAction()->text(), "Hide(&H)");
        window->hideWindow();
        emit window->trayIcon()->activated(QSystemTrayIcon::DoubleClick);
        EXPECT_TRUE(window->isVisible() && !window->isMinimized());
        EXPECT_FALSE(window->exited());
        EXPECT_THAT(engine.takeCalls(), IsEmpty());
        window.reset();
        engine.takeCalls();
    }
}

TEST_F(WindowTest, EnterInAPathBoxRunsNothingAndPreviewTellsTheLink) {
    auto window = open();
    for (QLineEdit* box : {window->controls().recordPath, window->controls().backgroundPath}) {
        box->setFocus();
        QTest::keyClicks(box, "/tmp/x.wav");
        QTest::keyClick(box, Qt::Key_Return);
        QTest::keyClick(box, Qt::Key_Enter);
    }
    EXPECT_FALSE(window->exited());
    EXPECT_TRUE(window->isVisible());
    window->controls().preview->click();
    window->controls().preview->click();
    EXPECT_THAT(engine.takeCalls(), ElementsAre("preview(on)", "preview(off)"));
}

TEST_F(WindowTest, CleaningShowsWhatTheVoiceChangerHoldsAndAppliesEachChange) {
    engine.cleaning = {true, 20.0f, false, -60.0f};
    auto window = open();
    const auto& c = window->controls();
    EXPECT_TRUE(c.denoise->isChecked());
    EXPECT_EQ(c.denoiseStrength->value(), 20);
    EXPECT_FALSE(c.gate->isChecked());
    EXPECT_EQ(c.gateThreshold->value(), -60);
    c.gate->click();
    c.denoise->click();
    // A drag applies once, when it lets go; a key step applies at once.
    c.denoiseStrength->setSliderDown(true);
    c.denoiseStrength->setValue(40);
    c.denoiseStrength->setSliderDown(false);
    c.gateThreshold->setFocus();
    QTest::keyClick(c.gateThreshold, Qt::Key_PageUp);
    EXPECT_THAT(engine.takeCalls(),
                ElementsAre("cleaning(on 20,on -60)", "cleaning(off 20,on -60)",
                            "cleaning(off 40,on -60)", "cleaning(off 40,on -55)"));
}

TEST_F(WindowTest, ExitTheApplicationsQuitAndAServerThatCantComeBackEachShutDownOnce) {
    const std::vector<std::function<void(MainWindow&)>> endings = {
        [](MainWindow& w) { w.controls().exit->click(); },
        [](MainWindow& w) { w.trayMenu()->actions().back()->trigger(); },
        [](MainWindow&) {
            QEvent quit(QEvent::Quit);
            QCoreApplication::sendEvent(QCoreApplication::instance(), &quit);
        },
        [this](MainWindow& w) {
            engine.serverEvents = {{ServerEvent::Lost, ""},
                                   {ServerEvent::Failed, "Only one Timbrelo, please."}};
            ASSERT_TRUE(processUntil([&] { return w.exited(); }));
            EXPECT_TRUE(messages.contains("Only one Timbrelo, please."));
        }};
    for (const auto& end : endings) {
        auto window = open(MainWindow::Options{true});
        end(*window);
        EXPECT_TRUE(window->exited());
        EXPECT_FALSE(window->isVisible() || window->trayIcon()->isVisible());
        window->exitProgram();
        window.reset();
        EXPECT_THAT(engine.takeCalls(), ElementsAre("shutDown"));
    }
}

TEST_F(WindowTest, ALostServerIsOneLineInTheWindowUntilItIsBack) {
    auto window = open(MainWindow::Options{true});
    QLabel* status = window->controls().serverStatus;
    EXPECT_FALSE(status->isVisible());
    engine.serverEvents = {{ServerEvent::Lost, ""}};
    ASSERT_TRUE(processUntil([&] { return status->isVisible(); }));
    EXPECT_EQ(status->text().toStdString(),
              "The sound server went away: waiting for it to come back.");
    EXPECT_EQ(window->trayIcon()->toolTip(), status->text());
    engine.serverEvents = {
        {ServerEvent::Waiting, "the sound server answers, but the speakers \"USB\" are not there"}};
    ASSERT_TRUE(
        processUntil([&] { return status->text().startsWith("The sound server answers"); }));
    EXPECT_EQ(status->text().toStdString(),
              "The sound server answers, but the speakers \"USB\" are not there.");
    engine.serverEvents = {{ServerEvent::Back, ""}};
    ASSERT_TRUE(processUntil([&] { return !status->isVisible(); }));
    EXPECT_EQ(window->trayIcon()->toolTip().toStdString(), "Timbrelo");
    // The window stayed, and nothing was asked of the voice changer: it came back by itself.
    EXPECT_FALSE(window->exited());
    EXPECT_THAT(engine.takeCalls(), IsEmpty());
    EXPECT_TRUE(messages.messages().empty());
}

TEST_F(WindowTest, SelectMicStoresTheChoiceAndUsesItAtOnce) {
    auto window = open();
    InputDeviceDialog* dialog = openMicrophoneDialog(*window);
    ASSERT_NE(dialog, nullptr);
    QComboBox* box = dialog->deviceBox();
    ASSERT_EQ(box->count(), 2); // the virtual microphone is not offered
    EXPECT_EQ(box->itemText(0), "Built-in Microphone");
    EXPECT_FALSE(dialog->neverQueryBox()->isVisible());
    box->setCurrentIndex(1);
    dialog->accept();
    EXPECT_THAT(engine.takeCalls(), ElementsAre("microphone(USB Headset)"));
    std::string stored;
    getSetting("Input Dev ", stored);
    EXPECT_EQ(stored, "USB Headset");

    // After a start-up that found no microphone, the choice runs the start-up again.
    engine.startResult = Start::NotRunning;
    engine.shutDown();
    engine.takeCalls();
    dialog = openMicrophoneDialog(*window);
    ASSERT_NE(dialog, nullptr);
    dialog->accept();
    EXPECT_THAT(engine.takeCalls(), ElementsAre("start"));
    getSetting("Input Dev ", stored);
    EXPECT_EQ(stored, "Built-in Microphone");
}

TEST(InputDeviceDialogTest, PicksOnlyARealDeviceByItsWholeName) {
    InputDeviceDialog dialog;
    dialog.setDevices({"Mic", "Timbrelo Virtual Microphone", "", "Headset", "Mic"});
    EXPECT_EQ(dialog.deviceBox()->count(), 3);
    dialog.setStartupMode(true);
    EXPECT_FALSE(dialog.neverQueryBox()->isHidden());
    dialog.deviceBox()->setEditText("Mic");
    dialog.neverQueryBox()->setChecked(true);
    dialog.accept();
    EXPECT_EQ(dialog.selectedIndex(), 0); // equal names: the lower index
    EXPECT_TRUE(dialog.neverQuery());
    for (const char* typed : {"Timbrelo Virtual Microphone", "Headse", "headset"}) {
        dialog.deviceBox()->setEditText(typed);
        dialog.accept();
        EXPECT_EQ(dialog.selectedIndex(), -1) << typed;
    }
    InputDeviceDialog empty;
    empty.accept();
    EXPECT_EQ(empty.selectedIndex(), -1);
}

TEST(WindowTextTest, RecordPathAndSliderLabels) {
    EXPECT_EQ(withMp3Extension("/tmp/talk"), "/tmp/talk.mp3");
    EXPECT_EQ(withMp3Extension("/tmp/talk.MP3"), "/tmp/talk.MP3");
    EXPECT_EQ(withMp3Extension("/tmp/a.mp3.wav"), "/tmp/a.mp3.wav.mp3");
    EXPECT_EQ(sliderValueText(160), "1.600");
    EXPECT_EQ(sliderValueText(50), "0.500");
    EXPECT_EQ(sliderValueText(300), "3.000");
}

TEST(MessagePresenterTest, MessagesFromAnyThreadAreShownOnTheInterfaceThreadOneAtATime) {
    std::vector<QString> shown;
    int depth = 0;
    MessagePresenter presenter([&](const QString& text) {
        EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
        EXPECT_EQ(++depth, 1) << "a box opened over another";
        shown.push_back(text);
        if (text == "first") {
            showMessage("raised while a box is open");
        }
        --depth;
    });
    std::thread watcher([] {
        showMessage("from a watcher");
        postStringMessage(IDS_CANT_OPEN_FILE); // as an audio thread does
    });
    watcher.join();
    showMessage("first");
    ASSERT_TRUE(processUntil([&] { return shown.size() == 4; }));
    EXPECT_THAT(shown, ElementsAre("first", "raised while a box is open", "from a watcher",
                                   loadString(IDS_CANT_OPEN_FILE)));
}

} // namespace
} // namespace timbrelo
