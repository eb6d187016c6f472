// The window against a recording stand-in of the voice changer: what each control sends, in
// what order, what it shows, and that the link's threads never touch a widget.

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
#include <mutex>
#include <set>
#include <thread>

namespace timbrelo {
namespace {

using test::FakeVoiceEngine;
using test::processUntil;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string settingsFile() {
    return test::uiConfigHome() + "/Tonvari/cfg";
}

class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(test::uiConfigHome() + "/Tonvari");
        std::ofstream(settingsFile()) << "cartoon 1.5\npsola 1.0";
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

    // Capture starts as a link watcher would start it.
    void captureStarts(MainWindow& window) {
        engine.owner()->setRecordAndPlayEnabled(true);
        ASSERT_TRUE(processUntil([&] { return window.controls().record->isEnabled(); }));
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

QAction* menuItem(QMenu* menu, const char* text) {
    for (QAction* action : menu->actions()) {
        if (action->text() == text) {
            return action;
        }
    }
    return nullptr;
}

TEST_F(WindowTest, StartsWithTheControlsAsTheTemplateHasThem) {
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
    EXPECT_FALSE(c.play->isEnabled());
    EXPECT_EQ(c.record->text(), "Record");
    EXPECT_FALSE(c.record->isEnabled());
    EXPECT_TRUE(c.origin->isChecked());
    EXPECT_FALSE(c.preview->isChecked());
    EXPECT_EQ(window->currentPreset(), ID_NO_EFFECT);
    EXPECT_EQ(window->trayIcon()->toolTip(), "Timbrelo");
    EXPECT_EQ(c.delay->text(), "Delay: 73 ms");
    EXPECT_THAT(menuTexts(window->trayMenu()), ElementsAre("Show", "Exit"));
}

TEST_F(WindowTest, StartUpFailuresAreShownAndOnlyAMissingDeviceEndsTheProgram) {
    engine.startResult = VoiceEngine::StartResult::NotRunning;
    engine.startError = "Can't find one record device.";
    {
        MainWindow window(engine);
        EXPECT_TRUE(window.startUp());
        EXPECT_FALSE(window.exited());
        EXPECT_TRUE(window.controls().delay->text().isEmpty());
    }
    engine.startResult = VoiceEngine::StartResult::Quit;
    engine.startError = loadString(IDS_DEVICE_NOT_INSTALLED);
    MainWindow window(engine);
    EXPECT_FALSE(window.startUp());
    EXPECT_TRUE(window.exited());
    EXPECT_THAT(messages.messages(),
                ElementsAre("Can't find one record device.",
                            "Please make sure you installed Virello and only one Virello."));
}

TEST_F(WindowTest, PresetMenuOffersNineVoicesAndChecksTheCurrentOne) {
    auto window = open();
    window->controls().effects->click();
    QMenu* menu = window->presetMenu();
    EXPECT_THAT(menuTexts(menu),
                ElementsAre("No Effect", "-", "Male to female(Sweet)", "Male to female(General)",
                            "Male to girl(Sweet)", "Male to girl(General)", "Hide me(Male)", "-",
                            "Female to male", "Female to boy", "Hide me(Female)"));
    EXPECT_TRUE(menuItem(menu, "No Effect")->isChecked());
    menuItem(menu, "Female to boy")->trigger();
    menu->close();
    window->controls().effects->click();
    EXPECT_TRUE(menuItem(menu, "Female to boy")->isChecked());
    EXPECT_FALSE(menuItem(menu, "Hide me(Male)")->isChecked());
    EXPECT_FALSE(menuItem(menu, "No Effect")->isChecked());
    menu->close();

    // A slider release leaves no preset current: nothing is checked.
    window->controls().pitch->setValue(120);
    release(window->controls().pitch);
    window->controls().effects->click();
    for (QAction* action : menu->actions()) {
        EXPECT_FALSE(action->isChecked()) << action->text().toStdString();
    }
    menu->close();
}

TEST_F(WindowTest, PresetsSendTheirCallsInOrderAndMoveOnlyTheThumbs) {
    auto window = open();
    const MainWindow::Controls& c = window->controls();
    window->runPresetCommand(ID_MALE_TO_FEMALE_SWEET);
    EXPECT_THAT(engine.takeCalls(), ElementsAre("cartoon(0,-1)", "pitch(0,-1)", "psola(0,-2)",
                                                "psola(1.3,1)", "psola(1.6,0)"));
    EXPECT_EQ(c.pitch->value(), 160);
    EXPECT_EQ(c.timbre->value(), 130);
    EXPECT_TRUE(c.pitchValue->text().isEmpty());
    EXPECT_TRUE(c.timbreValue->text().isEmpty());

    // Two semitone presets send the same calls and differ in what is remembered.
    window->runPresetCommand(ID_FEMALE_TO_BOY);
    const auto boy = engine.takeCalls();
    EXPECT_EQ(window->currentPreset(), ID_FEMALE_TO_BOY);
    window->runPresetCommand(ID_HIDE_ME_MALE);
    EXPECT_EQ(engine.takeCalls(), boy);
    EXPECT_THAT(boy, ElementsAre("cartoon(0,-1)", "pitch(0,-2)", "pitch(-4,0)", "psola(0,-1)"));
    EXPECT_EQ(window->currentPreset(), ID_HIDE_ME_MALE);
    EXPECT_EQ(c.pitch->value(), 160); // semitone presets leave the thumbs alone

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
    EXPECT_EQ(window->currentPreset(), kNoPreset);

    // A preset moves the thumb away; the user brings it back to the position last applied
    // by the slider: only the label is set.
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
    release(c.timbre);
    EXPECT_THAT(engine.takeCalls(), IsEmpty());

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
    EXPECT_FALSE(c.pitch->isEnabled());
    EXPECT_FALSE(c.effects->isEnabled());
    EXPECT_TRUE(c.timbre->isEnabled());
    EXPECT_TRUE(c.origin->isChecked());
    EXPECT_FALSE(c.effect->isEnabled());

    c.effectOnOff->click();
    EXPECT_THAT(engine.takeCalls(), ElementsAre("effects(on)"));
    EXPECT_EQ(c.effectOnOff->text(), "Effect Off");
    EXPECT_TRUE(c.pitch->isEnabled());
    EXPECT_TRUE(c.effects->isEnabled());
    EXPECT_TRUE(c.effect->isEnabled());
    EXPECT_TRUE(c.origin->isChecked()); // the radios are left as they are
}

TEST_F(WindowTest, RecordCyclesThroughItsCaptionsWithTheTypedPath) {
    auto window = open();
    const MainWindow::Controls& c = window->controls();
    captureStarts(*window);

    // The template's "Record" starts a recording; an empty path is refused.
    c.record->click();
    EXPECT_THAT(messages.messages(), ElementsAre("Please input the record file name."));
    EXPECT_THAT(engine.takeCalls(), IsEmpty());

    // What was typed counts at once, with no other control touched in between.
    QTest::keyClicks(c.recordPath, "/tmp/talk.wav");
    c.effect->setChecked(true);
    c.record->click();
    EXPECT_THAT(engine.takeCalls(), ElementsAre("record(1,/tmp/talk.wav)"));
    EXPECT_EQ(c.record->text(), "Stop Record");
    for (QWidget* w :
         std::initializer_list<QWidget*>{c.recordBrowse, c.recordPath, c.origin, c.effect}) {
        EXPECT_FALSE(w->isEnabled());
    }
    // Switching effects back on mid-recording leaves the radios fixed.
    c.effectOnOff->click();
    c.effectOnOff->click();
    EXPECT_FALSE(c.effect->isEnabled());
    engine.takeCalls();

    c.record->click();
    EXPECT_THAT(engine.takeCalls(), ElementsAre("stopRecording"));
    EXPECT_EQ(c.record->text(), "Start Record");
    EXPECT_TRUE(c.recordPath->isEnabled());
    EXPECT_TRUE(c.effect->isEnabled());

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
    engine.owner()->setRecordAndPlayEnabled(false);
    ASSERT_TRUE(processUntil([&] { return !c.record->isEnabled(); }));
    EXPECT_EQ(c.record->text(), "Start Record");
    EXPECT_TRUE(c.recordBrowse->isEnabled());
    EXPECT_TRUE(c.recordPath->isEnabled());
}

TEST_F(WindowTest, PlayCyclesThroughItsCaptionsAndPlaysAtTheShownVolume) {
    auto window = open();
    const MainWindow::Controls& c = window->controls();
    captureStarts(*window);

    c.play->click();
    EXPECT_THAT(messages.messages(), ElementsAre("Please input the background music file name."));
    EXPECT_THAT(engine.takeCalls(), IsEmpty());

    QTest::keyClicks(c.backgroundPath, "/tmp/music.mp3");
    engine.backgroundOpens = false;
    c.play->click();
    EXPECT_THAT(engine.takeCalls(), ElementsAre("background(/tmp/music.mp3)"));
    EXPECT_TRUE(messages.contains("Can't open this file"));
    EXPECT_EQ(c.play->text(), "Play");
    EXPECT_FALSE(c.volume->isEnabled());

    engine.backgroundOpens = true;
    c.play->click();
    EXPECT_THAT(engine.takeCalls(), ElementsAre("background(/tmp/music.mp3)", "level(0.5)"));
    EXPECT_EQ(c.play->text(), "Stop");
    EXPECT_FALSE(c.backgroundBrowse->isEnabled());
    EXPECT_FALSE(c.backgroundPath->isEnabled());
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
    engine.owner()->setRecordAndPlayEnabled(false);
    ASSERT_TRUE(processUntil([&] { return !c.play->isEnabled(); }));
    EXPECT_EQ(c.play->text(), "Play");
    EXPECT_TRUE(c.backgroundPath->isEnabled());
    EXPECT_FALSE(c.volume->isEnabled());
}

TEST_F(WindowTest, PreviewTellsTheLinkAndAnswersItsQuestion) {
    auto window = open();
    window->controls().preview->click();
    window->controls().preview->click();
    EXPECT_THAT(engine.takeCalls(), ElementsAre("preview(on)", "preview(off)"));
}

// Records the thread of every event the watched widgets receive.
class ThreadWatch : public QObject {
  public:
    bool eventFilter(QObject*, QEvent*) override {
        std::lock_guard lock(mutex_);
        threads_.insert(QThread::currentThread());
        return false;
    }
    std::set<QThread*> threads() const {
        std::lock_guard lock(mutex_);
        return threads_;
    }

  private:
    mutable std::mutex mutex_;
    std::set<QThread*> threads_;
};

TEST_F(WindowTest, WatcherThreadCallsReachTheWidgetsOnlyOnTheInterfaceThread) {
    auto window = open();
    const MainWindow::Controls& c = window->controls();
    window->runPresetCommand(ID_MALE_TO_GIRL_SWEET);
    c.pitch->setValue(80); // moved by keyboard: not applied
    engine.takeCalls();
    ThreadWatch watch;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        w->installEventFilter(&watch);
    }

    std::thread watcher([this] {
        engine.owner()->setRecordAndPlayEnabled(true);
        engine.owner()->reissueCurrentPreset();
    });
    watcher.join();
    // The voice was set on the watcher thread, before anything reached the window.
    EXPECT_THAT(engine.takeCalls(), ElementsAre("cartoon(0,-1)", "pitch(0,-1)", "psola(0,-2)",
                                                "psola(1.6,1)", "psola(2,0)"));
    ASSERT_TRUE(processUntil([&] { return c.record->isEnabled() && c.play->isEnabled(); }));
    EXPECT_TRUE(processUntil([&] { return c.pitch->value() == 200; }));
    EXPECT_EQ(watch.threads(), std::set<QThread*>{QThread::currentThread()});

    std::thread stopper([this] { engine.owner()->setRecordAndPlayEnabled(false); });
    stopper.join();
    ASSERT_TRUE(processUntil([&] { return !c.record->isEnabled(); }));
    EXPECT_EQ(watch.threads(), std::set<QThread*>{QThread::currentThread()});
    for (QWidget* w : window->findChildren<QWidget*>()) {
        w->removeEventFilter(&watch);
    }
}

TEST_F(WindowTest, HideAndTheCloseBoxUseTheTrayWhenThereIsOne) {
    auto window = open(MainWindow::Options{true});
    window->controls().hide->click();
    EXPECT_FALSE(window->isVisible());

    // The tray menu's first item names what it does.
    emit window->trayMenu()->aboutToShow();
    EXPECT_EQ(window->trayShowAction()->text(), "Show(&S)");
    window->trayShowAction()->trigger();
    EXPECT_TRUE(window->isVisible());
    emit window->trayMenu()->aboutToShow();
    EXPECT_EQ(window->trayShowAction()->text(), "Hide(&H)");

    window->windowHandle()->close(); // the close box
    EXPECT_FALSE(window->isVisible());
    emit window->trayIcon()->activated(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(window->isVisible());
    emit window->trayIcon()->activated(QSystemTrayIcon::Trigger);
    EXPECT_FALSE(window->isVisible());
    window->showWindow();
    QTest::keyClick(window.get(), Qt::Key_Escape);
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(window->exited());
    EXPECT_THAT(engine.calls(), IsEmpty());
}

TEST_F(WindowTest, WithoutATrayTheWindowMinimisesInsteadOfVanishing) {
    auto window = open(MainWindow::Options{false});
    window->controls().hide->click();
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isMinimized());
    window->showWindow();
    window->windowHandle()->close();
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isMinimized());
    window->showWindow();
    QTest::keyClick(window.get(), Qt::Key_Escape);
    EXPECT_TRUE(window->isMinimized());
    EXPECT_FALSE(window->exited());
}

TEST_F(WindowTest, EnterInAPathBoxRunsNothing) {
    auto window = open();
    for (QLineEdit* box : {window->controls().recordPath, window->controls().backgroundPath}) {
        box->setFocus();
        QTest::keyClicks(box, "/tmp/x.wav");
        QTest::keyClick(box, Qt::Key_Return);
        QTest::keyClick(box, Qt::Key_Enter);
    }
    EXPECT_FALSE(window->exited());
    EXPECT_TRUE(window->isVisible());
    EXPECT_THAT(engine.calls(), IsEmpty());
}

TEST_F(WindowTest, ExitShutsTheVoiceChangerDownOnce) {
    auto window = open(MainWindow::Options{true});
    window->controls().exit->click();
    EXPECT_TRUE(window->exited());
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(window->trayIcon()->isVisible());
    window->exitProgram();
    window.reset();
    EXPECT_THAT(engine.calls(), ElementsAre("shutDown"));
}

TEST_F(WindowTest, TheApplicationQuittingRunsTheFullExit) {
    auto window = open();
    QEvent quit(QEvent::Quit);
    QCoreApplication::sendEvent(QCoreApplication::instance(), &quit);
    EXPECT_TRUE(window->exited());
    EXPECT_THAT(engine.calls(), ElementsAre("shutDown"));
}

TEST_F(WindowTest, ALostSoundServerIsToldAndEndsTheProgram) {
    auto window = open();
    engine.loseServer();
    ASSERT_TRUE(processUntil([&] { return window->exited(); }));
    EXPECT_THAT(engine.calls(), ElementsAre("shutDown"));
    EXPECT_TRUE(messages.contains("sound server went away"));
}

TEST_F(WindowTest, DelayFollowsTheVoice) {
    auto window = open();
    EXPECT_EQ(window->controls().delay->text(), "Delay: 73 ms");
    engine.setDelay(VoiceDelay{116, 23, 40});
    window->runPresetCommand(ID_MALE_TO_FEMALE_GENERAL);
    EXPECT_EQ(window->controls().delay->text(), "Delay: 179 ms");
    EXPECT_EQ(window->controls().delay->toolTip(),
              "pipeline 116 ms, capture block 23 ms, delivery 40 ms");
}

InputDeviceDialog* openMicrophoneDialog(MainWindow& window) {
    window.controls().selectMic->click();
    InputDeviceDialog* dialog = nullptr;
    processUntil([&] {
        dialog = window.findChild<InputDeviceDialog*>();
        return dialog != nullptr && dialog->isVisible();
    });
    return dialog;
}

TEST_F(WindowTest, SelectMicStoresTheChoiceAndUsesItAtOnce) {
    auto window = open();
    InputDeviceDialog* dialog = openMicrophoneDialog(*window);
    ASSERT_NE(dialog, nullptr);
    QComboBox* box = dialog->deviceBox();
    ASSERT_EQ(box->count(), 2); // the virtual microphone is not offered
    EXPECT_EQ(box->itemText(0), "Built-in Microphone");
    EXPECT_EQ(box->itemText(1), "USB Headset");
    EXPECT_FALSE(dialog->neverQueryBox()->isVisible());
    box->setCurrentIndex(1);
    dialog->accept();
    EXPECT_THAT(engine.takeCalls(), ElementsAre("microphone(USB Headset)"));
    std::string stored;
    getSetting("Input Dev ", stored);
    EXPECT_EQ(stored, "USB Headset");

    // After a start-up that found no microphone, the choice runs the start-up again.
    engine.startResult = VoiceEngine::StartResult::NotRunning;
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
    InputDeviceDialog cancelled;
    cancelled.setDevices({"Mic"});
    cancelled.reject();
    EXPECT_EQ(cancelled.selectedIndex(), -1);
}

TEST(WindowTextTest, RecordPathAndSliderLabels) {
    EXPECT_EQ(withMp3Extension("/tmp/talk"), "/tmp/talk.mp3");
    EXPECT_EQ(withMp3Extension("/tmp/talk.mp3"), "/tmp/talk.mp3");
    EXPECT_EQ(withMp3Extension("/tmp/talk.MP3"), "/tmp/talk.MP3");
    EXPECT_EQ(withMp3Extension("/tmp/a.mp3.wav"), "/tmp/a.mp3.wav.mp3");
    EXPECT_EQ(sliderValueText(160), "1.600");
    EXPECT_EQ(sliderValueText(50), "0.500");
    EXPECT_EQ(sliderValueText(300), "3.000");
}

TEST(MessagePresenterTest, MessagesFromAnyThreadAreShownOnTheInterfaceThreadOneAtATime) {
    std::vector<std::pair<QString, QThread*>> shown;
    int depth = 0;
    int deepest = 0;
    MessagePresenter presenter([&](const QString& text) {
        deepest = std::max(deepest, ++depth);
        shown.emplace_back(text, QThread::currentThread());
        if (text == "first") {
            showMessage("raised while a box is open");
        }
        --depth;
    });
    std::thread worker([] {
        showMessage("from a watcher");
        postStringMessage(IDS_CANT_OPEN_FILE);
    });
    worker.join();
    showMessage("first");
    ASSERT_TRUE(processUntil([&] { return shown.size() == 4; }));
    EXPECT_EQ(deepest, 1);
    std::vector<QString> texts;
    for (const auto& [text, thread] : shown) {
        texts.push_back(text);
        EXPECT_EQ(thread, QThread::currentThread());
    }
    EXPECT_EQ(texts[0], "first");
    EXPECT_EQ(texts[1], "raised while a box is open");
    EXPECT_EQ(texts[2], "from a watcher");
    EXPECT_EQ(texts[3], loadString(IDS_CANT_OPEN_FILE));
}

} // namespace
} // namespace timbrelo
