#pragma once
// The voice changer's window: the voice presets and the two psola sliders, Effect On/Off,
// Preview, the background music and record groups, Select MIC, Hide and Exit, with a tray
// icon. It owns no audio: it drives a VoiceEngine and is the owner its link calls back.
//
// Threads: the window and its widgets live on the interface thread. The link calls the
// LinkOwner methods on its watcher thread (or this one): they read atomics, run the voice
// calls under the window's voice lock, and hand every widget change to the interface thread
// as a queued call, never waiting for it.

#include "app/voice_presets.h"
#include "control/control_target.h"
#include "ui/voice_engine.h"

#include <QDialog>
#include <atomic>
#include <mutex>
#include <optional>

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;
class QSlider;
class QSystemTrayIcon;
class QTimer;

namespace timbrelo {

class MainWindow : public QDialog, private LinkOwner {
    Q_OBJECT

  public:
    struct Options {
        // Whether the desktop shows tray icons; unset: Qt is asked each time it matters.
        std::optional<bool> trayAvailable;
    };

    // The widgets, named after what they do (tests and the screenshot use them).
    struct Controls {
        QPushButton* effectOnOff = nullptr;
        QSlider* pitch = nullptr;
        QLabel* pitchValue = nullptr;
        QSlider* timbre = nullptr;
        QLabel* timbreValue = nullptr;
        QPushButton* effects = nullptr;
        QPushButton* selectMic = nullptr;
        QCheckBox* preview = nullptr;
        QLabel* delay = nullptr;
        QCheckBox* denoise = nullptr; // noise suppression, with its strength in dB
        QSlider* denoiseStrength = nullptr;
        QCheckBox* gate = nullptr; // noise gate, with its threshold in dBFS
        QSlider* gateThreshold = nullptr;
        QPushButton* backgroundBrowse = nullptr;
        QPushButton* play = nullptr;
        QSlider* volume = nullptr;
        QLineEdit* backgroundPath = nullptr;
        QPushButton* recordBrowse = nullptr;
        QPushButton* record = nullptr;
        QRadioButton* origin = nullptr;
        QRadioButton* effect = nullptr;
        QLineEdit* recordPath = nullptr;
        QLabel* serverStatus = nullptr; // shown while the sound server is away
        QPushButton* hide = nullptr;
        QPushButton* exit = nullptr;
    };

    explicit MainWindow(VoiceEngine& engine, Options options = {}, QWidget* parent = nullptr);
    // Shuts the voice changer down when Exit has not.
    ~MainWindow() override;

    // Brings the voice changer up and tells the user what failed. False when the program
    // must end (the virtual device is missing or not unique); the window stays otherwise.
    bool startUp();
    // The full Exit: the tray icon goes, capture stops, the user's default devices come
    // back, the virtual pair goes down, and the event loop is told to end. Runs once.
    void exitProgram();
    bool exited() const { return exited_; }

    // Runs a preset command as its menu item does; unknown IDs do nothing.
    void runPresetCommand(uint32_t id);
    uint32_t currentPreset() const;

    const Controls& controls() const { return c_; }
    QMenu* presetMenu() const { return presetMenu_; }
    QMenu* trayMenu() const { return trayMenu_; }
    QSystemTrayIcon* trayIcon() const { return tray_; }
    // The tray menu's first item ("Show"/"Hide").
    QAction* trayShowAction() const { return trayShow_; }

    // Hides the window into the tray, or minimises it where the desktop has no tray.
    void hideWindow();
    void showWindow();

    // Remote control (window_control.cpp), on the interface thread: each does what its
    // control does, without a message box; a refusal throws control::ControlError.
    void remoteSliders(std::optional<int> pitch, std::optional<int> timbre);
    void remoteSemitones(int semitones);
    void remoteEffects(bool on);
    // The part's check box and slider move and the cleaning applies, as a click would.
    void remoteDenoise(bool on, int strengthDb);
    void remoteGate(bool on, int thresholdDb);
    void remoteStartRecording(const std::string& path, RecordSlot slot);
    void remoteStopRecording();
    void remotePlayMusic(const std::string& path, float level);
    void remoteStopMusic();
    control::ControlStatus remoteStatus();

  public slots:
    void reject() override; // Esc and the Hide button

  protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // LinkOwner: watcher or interface thread.
    bool previewTicked() const override { return previewTicked_.load(); }
    void reissueCurrentPreset() override;
    void setRecordAndPlayEnabled(bool enabled) override;
    void restorePreferredDevices() override {} // the session restores them

    void buildControls();
    void buildMenus();
    void toggleEffects();
    void showPresetMenu();
    void pitchReleased();
    void timbreReleased();
    void volumeReleased();
    void applySliderVoice();
    void chooseBackgroundFile();
    void chooseRecordFile();
    void toggleRecording();
    void toggleBackground();
    void previewToggled(bool ticked);
    QLayout* buildCleaningControls();
    void showCleaning(const InputCleanerSettings& settings);
    void applyCleaning();
    void setCleaningPart(QCheckBox* box, QSlider* slider, bool on, int db);
    void selectMicrophone();
    void microphoneChosen(const std::string& name);
    void chooseTemporaryFolder();
    void showAbout();
    void trayActivated(int reason);
    void captureStarted();
    void captureStopped();
    void moveThumbs(SliderPositions positions);
    void setRecordingControls(bool recording);
    void setBackgroundControls(bool playing);
    void refreshDelay(bool force);
    void showServerStatus(const QString& status);
    void poll();
    bool trayAvailable() const;

    VoiceEngine& engine_;
    Options options_;
    Controls c_;
    QMenu* presetMenu_ = nullptr;
    QMenu* trayMenu_ = nullptr;
    QAction* trayShow_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    QTimer* pollTimer_ = nullptr;

    // Serialises the voice calls and the preset memory between this thread and a watcher.
    mutable std::mutex voiceMutex_;
    PresetState presets_;
    std::atomic<bool> previewTicked_{false};

    // Interface thread only.
    int lastPitchPosition_ = 0;
    int lastTimbrePosition_ = 0;
    int lastVolumePosition_ = -1;
    bool recording_ = false;
    bool exited_ = false;
    std::optional<double> shownPipelineMs_;
};

// The record path as the Browse button leaves it: ".mp3" appended unless it ends so (any
// case).
QString withMp3Extension(const QString& path);
// The text of a slider value label: position / 100 with three decimals ("1.600").
QString sliderValueText(int position);

} // namespace timbrelo
