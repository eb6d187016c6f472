// Kept in one file: one handler per control of the window, each short; together they are the
// window's behaviour, and splitting them would scatter the caption and enable rules they share.

#include "ui/main_window.h"

#include "platform/messages.h"
#include "platform/settings.h"
#include "ui/about_dialog.h"
#include "ui/input_device_dialog.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>
#include <cmath>
#include <cstdio>

// The icon lives in the window's library: its resources must be registered by hand.
static void registerResources() {
    Q_INIT_RESOURCE(timbrelo);
}

namespace timbrelo {
namespace {

// The setting the Select MIC choice is stored under; start-up captures from it.
constexpr std::string_view kInputDevKey = "Input Dev ";
constexpr std::string_view kTempDirKey = "tempDir ";
// Texts of the program's own beyond the string table.
constexpr const char* kNoBackgroundFile = "Please input the background music file name.";
constexpr const char* kServerGone = "The sound server went away: waiting for it to come back.";

// How often the window looks at the voice's delay and at the sound server.
constexpr int kPollMs = 500;

QString text(int id) {
    return QString::fromUtf8(loadString(id));
}

QSlider* makeSlider(int low, int high, int position, int page, int ticks) {
    auto* slider = new QSlider(Qt::Horizontal);
    slider->setRange(low, high);
    slider->setValue(position); // clamped into the range, as the pitch slider's 0 is
    slider->setPageStep(page);
    slider->setTickInterval(ticks);
    slider->setTickPosition(ticks > 0 ? QSlider::TicksAbove : QSlider::NoTicks);
    return slider;
}

QPushButton* makeButton(const QString& caption) {
    auto* button = new QPushButton(caption);
    // No button is the dialog's default: Enter in a path box must not run anything.
    button->setAutoDefault(false);
    return button;
}

} // namespace

QString withMp3Extension(const QString& path) {
    return path.endsWith(".mp3", Qt::CaseInsensitive) ? path : path + ".mp3";
}

QString sliderValueText(int position) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%3f", position / 100.0);
    return QString::fromLatin1(buffer).left(5);
}

MainWindow::MainWindow(VoiceEngine& engine, Options options, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      engine_(engine), options_(options) {
    registerResources();
    setWindowTitle(text(IDS_APP_TITLE));
    setWindowIcon(QIcon(":/timbrelo.svg"));
    buildControls();
    buildMenus();
    pollTimer_ = new QTimer(this);
    connect(pollTimer_, &QTimer::timeout, this, &MainWindow::poll);
    pollTimer_->start(kPollMs);
    QCoreApplication::instance()->installEventFilter(this);
}

MainWindow::~MainWindow() {
    if (!exited_) {
        engine_.shutDown(); // joins the link's threads before the window goes
    }
}

void MainWindow::buildControls() {
    auto* top = new QGridLayout;
    c_.effectOnOff = makeButton(text(IDS_EFFECT_OFF));
    c_.pitch = makeSlider(kSliderMin, kSliderMax, 0, 10, 10);
    c_.pitchValue = new QLabel;
    c_.timbre = makeSlider(kSliderMin, kSliderMax, 100, 5, 10);
    c_.timbreValue = new QLabel;
    c_.effects = makeButton("Effects");
    c_.selectMic = makeButton("Select MIC");
    c_.preview = new QCheckBox("Preview");
    c_.delay = new QLabel;
    const int valueWidth = fontMetrics().horizontalAdvance("0.0000");
    c_.pitch->setMinimumWidth(fontMetrics().averageCharWidth() * 36);
    c_.pitchValue->setMinimumWidth(valueWidth);
    c_.timbreValue->setMinimumWidth(valueWidth);
    top->addWidget(c_.effectOnOff, 0, 0);
    top->addWidget(new QLabel("Pitch"), 0, 1);
    top->addWidget(c_.pitch, 0, 2, 1, 2);
    top->addWidget(c_.pitchValue, 0, 4);
    top->addWidget(c_.effects, 1, 0);
    top->addWidget(new QLabel("Timbre"), 1, 1);
    top->addWidget(c_.timbre, 1, 2, 1, 2);
    top->addWidget(c_.timbreValue, 1, 4);
    top->addWidget(c_.preview, 2, 0);
    top->addWidget(c_.selectMic, 2, 1, 1, 2, Qt::AlignLeft);
    top->addWidget(c_.delay, 2, 3, 1, 2, Qt::AlignRight);
    top->setColumnStretch(2, 1);
    top->setColumnStretch(3, 1);

    QLayout* cleaning = buildCleaningControls();

    auto* background = new QGroupBox("Background");
    auto* bg = new QGridLayout(background);
    c_.backgroundBrowse = makeButton("Browse");
    c_.play = makeButton(text(IDS_PLAY));
    c_.play->setEnabled(false);
    c_.volume = makeSlider(0, 100, 50, 10, 0);
    c_.volume->setEnabled(false);
    c_.backgroundPath = new QLineEdit;
    bg->addWidget(c_.backgroundBrowse, 0, 0);
    bg->addWidget(c_.play, 0, 1);
    bg->addWidget(new QLabel("Volume"), 0, 2, Qt::AlignRight);
    bg->addWidget(c_.volume, 0, 3);
    bg->addWidget(c_.backgroundPath, 1, 0, 1, 4);
    bg->setColumnStretch(3, 1);

    auto* record = new QGroupBox("Record");
    auto* rec = new QGridLayout(record);
    c_.recordBrowse = makeButton("Browse");
    c_.record = makeButton("Record");
    c_.record->setEnabled(false);
    c_.origin = new QRadioButton("Origin");
    c_.origin->setChecked(true);
    c_.effect = new QRadioButton("Effect");
    c_.recordPath = new QLineEdit;
    rec->addWidget(c_.recordBrowse, 0, 0);
    rec->addWidget(c_.record, 0, 1);
    rec->addWidget(c_.origin, 0, 2);
    rec->addWidget(c_.effect, 0, 3);
    rec->addWidget(c_.recordPath, 1, 0, 1, 5);
    rec->setColumnStretch(4, 1);

    // One line about the sound server while it is away; hidden otherwise.
    c_.serverStatus = new QLabel;
    c_.serverStatus->setWordWrap(true);
    c_.serverStatus->hide();

    auto* bottom = new QHBoxLayout;
    c_.hide = makeButton("Hide");
    c_.exit = makeButton("Exit");
    bottom->addStretch(1);
    bottom->addWidget(c_.hide);
    bottom->addStretch(1);
    bottom->addWidget(c_.exit);
    bottom->addStretch(1);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(cleaning);
    layout->addWidget(background);
    layout->addWidget(record);
    layout->addWidget(c_.serverStatus);
    layout->addLayout(bottom);
    layout->setSizeConstraint(QLayout::SetMinimumSize);

    connect(c_.effectOnOff, &QPushButton::clicked, this, &MainWindow::toggleEffects);
    connect(c_.effects, &QPushButton::clicked, this, &MainWindow::showPresetMenu);
    connect(c_.selectMic, &QPushButton::clicked, this, &MainWindow::selectMicrophone);
    connect(c_.preview, &QCheckBox::toggled, this, &MainWindow::previewToggled);
    connect(c_.backgroundBrowse, &QPushButton::clicked, this, &MainWindow::chooseBackgroundFile);
    connect(c_.play, &QPushButton::clicked, this, &MainWindow::toggleBackground);
    connect(c_.recordBrowse, &QPushButton::clicked, this, &MainWindow::chooseRecordFile);
    connect(c_.record, &QPushButton::clicked, this, &MainWindow::toggleRecording);
    connect(c_.hide, &QPushButton::clicked, this, &MainWindow::hideWindow);
    connect(c_.exit, &QPushButton::clicked, this, &MainWindow::exitProgram);
    // Focus starts on "Effect Off" and moves in reading order.
    QWidget* previous = c_.effectOnOff;
    for (QWidget* next : std::initializer_list<QWidget*>{c_.pitch,
                                                         c_.timbre,
                                                         c_.effects,
                                                         c_.preview,
                                                         c_.selectMic,
                                                         c_.denoise,
                                                         c_.denoiseStrength,
                                                         c_.gate,
                                                         c_.gateThreshold,
                                                         c_.backgroundBrowse,
                                                         c_.play,
                                                         c_.volume,
                                                         c_.backgroundPath,
                                                         c_.recordBrowse,
                                                         c_.record,
                                                         c_.origin,
                                                         c_.effect,
                                                         c_.recordPath,
                                                         c_.hide,
                                                         c_.exit}) {
        setTabOrder(previous, next);
        previous = next;
    }
    c_.effectOnOff->setFocus();
    // A slider applies its position when it lets the mouse go (after a drag or a click on
    // its groove); moves by keyboard or wheel change nothing.
    for (QSlider* slider : {c_.pitch, c_.timbre, c_.volume}) {
        slider->installEventFilter(this);
    }
}

// Cleaning the microphone before the voice is changed: each part a check box and a slider
// (dB), applied at once and remembered.
QLayout* MainWindow::buildCleaningControls() {
    c_.denoise = new QCheckBox("Noise suppression");
    c_.denoiseStrength = makeSlider(static_cast<int>(InputCleaner::kMinStrengthDb),
                                    static_cast<int>(InputCleaner::kMaxStrengthDb),
                                    static_cast<int>(InputCleaner::kDefaultStrengthDb), 5, 0);
    c_.gate = new QCheckBox("Noise gate");
    c_.gateThreshold = makeSlider(static_cast<int>(InputCleaner::kMinGateDb),
                                  static_cast<int>(InputCleaner::kMaxGateDb),
                                  static_cast<int>(InputCleaner::kDefaultGateDb), 5, 0);
    c_.denoiseStrength->setToolTip("How far noise is pushed down (dB)");
    c_.gateThreshold->setToolTip("The level below which the microphone is silenced (dBFS)");
    auto* row = new QHBoxLayout;
    row->addWidget(c_.denoise);
    row->addWidget(c_.denoiseStrength, 1);
    row->addWidget(c_.gate);
    row->addWidget(c_.gateThreshold, 1);
    for (QCheckBox* box : {c_.denoise, c_.gate}) {
        connect(box, &QCheckBox::toggled, this, &MainWindow::applyCleaning);
    }
    for (QSlider* slider : {c_.denoiseStrength, c_.gateThreshold}) {
        // A drag applies once, when the slider lets go; keys and the wheel apply each step.
        connect(slider, &QSlider::sliderReleased, this, &MainWindow::applyCleaning);
        connect(slider, &QSlider::valueChanged, this, [this, slider] {
            if (!slider->isSliderDown()) {
                applyCleaning();
            }
        });
    }
    return row;
}

void MainWindow::showCleaning(const InputCleanerSettings& settings) {
    const QSignalBlocker blockers[] = {QSignalBlocker(c_.denoise),
                                       QSignalBlocker(c_.denoiseStrength), QSignalBlocker(c_.gate),
                                       QSignalBlocker(c_.gateThreshold)};
    c_.denoise->setChecked(settings.denoise);
    c_.denoiseStrength->setValue(static_cast<int>(std::lround(settings.strengthDb)));
    c_.gate->setChecked(settings.gate);
    c_.gateThreshold->setValue(static_cast<int>(std::lround(settings.gateDb)));
}

void MainWindow::applyCleaning() {
    InputCleanerSettings settings;
    settings.denoise = c_.denoise->isChecked();
    settings.strengthDb = static_cast<float>(c_.denoiseStrength->value());
    settings.gate = c_.gate->isChecked();
    settings.gateDb = static_cast<float>(c_.gateThreshold->value());
    engine_.setInputCleaning(settings);
}

void MainWindow::buildMenus() {
    presetMenu_ = new QMenu(this);
    for (const VoicePreset& preset : voicePresets()) {
        if (!preset.inMenu) {
            continue;
        }
        QAction* action = presetMenu_->addAction(preset.menuText);
        action->setCheckable(true);
        action->setData(preset.id);
        const uint32_t id = preset.id;
        connect(action, &QAction::triggered, this, [this, id] { runPresetCommand(id); });
        if (id == ID_NO_EFFECT || id == ID_HIDE_ME_MALE) {
            presetMenu_->addSeparator();
        }
    }

    trayMenu_ = new QMenu(this);
    trayShow_ = trayMenu_->addAction("Show");
    QAction* exit = trayMenu_->addAction("Exit");
    connect(trayMenu_, &QMenu::aboutToShow, this, [this] {
        trayShow_->setText(isVisible() && !isMinimized() ? text(IDS_HIDE) : text(IDS_SHOW));
    });
    connect(trayShow_, &QAction::triggered, this, [this] {
        if (isVisible() && !isMinimized()) {
            hideWindow();
        } else {
            showWindow();
        }
    });
    connect(exit, &QAction::triggered, this, &MainWindow::exitProgram);
    tray_ = new QSystemTrayIcon(windowIcon(), this);
    tray_->setToolTip(text(IDS_APP_TITLE));
    tray_->setContextMenu(trayMenu_);
    connect(tray_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { trayActivated(reason); });

    // What the system menu offered: the About box, and the folder for temporary files.
    auto* about = new QAction(text(IDS_ABOUTBOX), this);
    connect(about, &QAction::triggered, this, &MainWindow::showAbout);
    auto* folder = new QAction("Temporay directory", this);
    connect(folder, &QAction::triggered, this, &MainWindow::chooseTemporaryFolder);
    addActions({about, folder});
    setContextMenuPolicy(Qt::ActionsContextMenu);
}

bool MainWindow::startUp() {
    tray_->show();
    std::string error;
    const VoiceEngine::StartResult result = engine_.start(*this, error);
    if (!error.empty()) {
        showMessage(error);
    }
    if (result == VoiceEngine::StartResult::Quit) {
        // The start-up has put everything back itself.
        exited_ = true;
        tray_->hide();
        return false;
    }
    showCleaning(engine_.inputCleaning());
    refreshDelay(true);
    return true;
}

void MainWindow::exitProgram() {
    if (exited_) {
        return;
    }
    exited_ = true;
    pollTimer_->stop();
    tray_->hide();
    engine_.shutDown();
    hide();
    QCoreApplication::exit(0);
}

uint32_t MainWindow::currentPreset() const {
    std::lock_guard lock(voiceMutex_);
    return presets_.currentPreset();
}

void MainWindow::runPresetCommand(uint32_t id) {
    std::optional<SliderPositions> sliders;
    {
        std::lock_guard lock(voiceMutex_);
        sliders = presets_.choose(id, engine_);
    }
    if (sliders) {
        moveThumbs(*sliders);
    }
    refreshDelay(false);
}

void MainWindow::moveThumbs(SliderPositions positions) {
    // Only the thumbs: the value labels and the positions last applied stay.
    c_.pitch->setValue(positions.pitch);
    c_.timbre->setValue(positions.timbre);
}

void MainWindow::showPresetMenu() {
    const uint32_t current = currentPreset();
    for (QAction* action : presetMenu_->actions()) {
        if (!action->isSeparator()) {
            action->setChecked(action->data().toUInt() == current);
        }
    }
    presetMenu_->popup(QCursor::pos());
}

void MainWindow::toggleEffects() {
    if (c_.effectOnOff->text() == text(IDS_EFFECT_OFF)) {
        engine_.setEffectsOn(false);
        c_.effectOnOff->setText(text(IDS_EFFECT_ON));
        c_.pitch->setEnabled(false);
        c_.effects->setEnabled(false);
        c_.origin->setChecked(true);
        c_.effect->setEnabled(false);
    } else {
        engine_.setEffectsOn(true);
        c_.effectOnOff->setText(text(IDS_EFFECT_OFF));
        c_.pitch->setEnabled(true);
        c_.effects->setEnabled(true);
        // The radios stay fixed while a recording runs.
        c_.effect->setEnabled(!recording_);
    }
    refreshDelay(false);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == QCoreApplication::instance() && event->type() == QEvent::Quit) {
        // The desktop session ends (or someone asked the application to quit): the full
        // Exit runs first, and the windows may then close.
        exitProgram();
        return false;
    }
    if (event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        if (watched == c_.pitch) {
            pitchReleased();
        } else if (watched == c_.timbre) {
            timbreReleased();
        } else if (watched == c_.volume) {
            volumeReleased();
        }
    }
    return QDialog::eventFilter(watched, event);
}

void MainWindow::applySliderVoice() {
    {
        std::lock_guard lock(voiceMutex_);
        applySliders(SliderPositions{c_.pitch->value(), c_.timbre->value()}, engine_);
        presets_.sliderChangedVoice();
    }
    refreshDelay(false);
}

void MainWindow::pitchReleased() {
    const int position = c_.pitch->value();
    if (position != lastPitchPosition_) {
        applySliderVoice();
        lastPitchPosition_ = position;
    }
    c_.pitchValue->setText(sliderValueText(position));
}

void MainWindow::timbreReleased() {
    const int position = c_.timbre->value();
    if (position != lastTimbrePosition_) {
        applySliderVoice();
        lastTimbrePosition_ = position;
    }
    c_.timbreValue->setText(sliderValueText(position));
}

void MainWindow::volumeReleased() {
    const int position = c_.volume->value();
    if (position != lastVolumePosition_) {
        engine_.setBackgroundLevel(static_cast<float>(position / 100.0));
        lastVolumePosition_ = position;
    }
}

void MainWindow::chooseBackgroundFile() {
    const QString path = QFileDialog::getOpenFileName(this, {}, c_.backgroundPath->text(),
                                                      "WAV,MP3 (*.wav *.WAV *.mp3 *.MP3)");
    if (!path.isEmpty()) {
        c_.backgroundPath->setText(path);
    }
}

void MainWindow::chooseRecordFile() {
    const QString path =
        QFileDialog::getSaveFileName(this, {}, c_.recordPath->text(), "MP3 (*.mp3 *.MP3)");
    if (!path.isEmpty()) {
        c_.recordPath->setText(withMp3Extension(path));
    }
}

void MainWindow::setRecordingControls(bool recording) {
    recording_ = recording;
    c_.record->setText(text(recording ? IDS_STOP_RECORD : IDS_START_RECORD));
    c_.recordBrowse->setEnabled(!recording);
    c_.recordPath->setEnabled(!recording);
    c_.origin->setEnabled(!recording);
    // With effects off only the unchanged voice can be recorded.
    c_.effect->setEnabled(!recording && c_.effectOnOff->text() == text(IDS_EFFECT_OFF));
}

void MainWindow::toggleRecording() {
    // The template's caption "Record" starts a recording, as "Start Record" does.
    if (c_.record->text() == text(IDS_STOP_RECORD)) {
        engine_.stopRecording();
        setRecordingControls(false);
        return;
    }
    const QString path = c_.recordPath->text();
    if (path.isEmpty()) {
        showStringMessage(IDS_INPUT_FILE_NAME);
        return;
    }
    const RecordSlot slot = c_.origin->isChecked() ? kOriginSlot : kEffectSlot;
    if (engine_.startRecording(slot, path.toStdString())) {
        setRecordingControls(true);
    } else {
        showStringMessage(IDS_CANT_SAVE);
    }
}

void MainWindow::setBackgroundControls(bool playing) {
    c_.play->setText(text(playing ? IDS_STOP : IDS_PLAY));
    c_.backgroundBrowse->setEnabled(!playing);
    c_.backgroundPath->setEnabled(!playing);
    c_.volume->setEnabled(playing);
}

void MainWindow::toggleBackground() {
    if (c_.play->text() != text(IDS_PLAY)) {
        engine_.stopBackground();
        setBackgroundControls(false);
        return;
    }
    const QString path = c_.backgroundPath->text();
    if (path.isEmpty()) {
        showMessage(kNoBackgroundFile);
        return;
    }
    if (!engine_.openBackground(path.toStdString())) {
        showStringMessage(IDS_CANT_OPEN_FILE);
        return;
    }
    // The music plays at the level the volume slider shows.
    lastVolumePosition_ = c_.volume->value();
    engine_.setBackgroundLevel(static_cast<float>(lastVolumePosition_ / 100.0));
    setBackgroundControls(true);
}

void MainWindow::previewToggled(bool ticked) {
    previewTicked_.store(ticked);
    engine_.previewChanged(ticked);
}

void MainWindow::selectMicrophone() {
    auto* dialog = new InputDeviceDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setDevices(engine_.inputDevices());
    dialog->setStartupMode(false);
    connect(dialog, &QDialog::accepted, this, [this, dialog] {
        if (dialog->selectedIndex() >= 0) {
            microphoneChosen(dialog->selectedName());
        }
    });
    dialog->open();
}

void MainWindow::microphoneChosen(const std::string& name) {
    setSetting(kInputDevKey, name);
    if (engine_.running()) {
        engine_.useMicrophone(name);
    } else if (!exited_ && !startUp()) {
        // The start-up that failed for want of a microphone runs again with this one.
        exitProgram();
    }
}

void MainWindow::chooseTemporaryFolder() {
    const QString folder = QFileDialog::getExistingDirectory(this, "Please select a folder:");
    if (!folder.isEmpty()) {
        setSetting(kTempDirKey, folder.toStdString());
    }
}

void MainWindow::showAbout() {
    auto* about = new AboutDialog(this);
    about->setAttribute(Qt::WA_DeleteOnClose);
    about->open();
}

bool MainWindow::trayAvailable() const {
    return options_.trayAvailable.value_or(QSystemTrayIcon::isSystemTrayAvailable());
}

void MainWindow::hideWindow() {
    // Without a tray a hidden window could not be found again while the program holds the
    // microphone: it goes to the task bar instead.
    if (trayAvailable()) {
        hide();
    } else {
        showMinimized();
    }
}

void MainWindow::showWindow() {
    showNormal();
    raise();
    activateWindow();
}

void MainWindow::reject() {
    hideWindow();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (!exited_) {
        // The close box hides; the program ends through Exit (or the application's quit).
        event->ignore();
        hideWindow();
        return;
    }
    event->accept();
}

void MainWindow::trayActivated(int reason) {
    if (reason == QSystemTrayIcon::Trigger) {
        hideWindow();
    } else if (reason == QSystemTrayIcon::DoubleClick) {
        showWindow();
    }
}

void MainWindow::reissueCurrentPreset() {
    std::optional<SliderPositions> sliders;
    {
        std::lock_guard lock(voiceMutex_);
        sliders = presets_.choose(presets_.currentPreset(), engine_);
    }
    if (sliders) {
        QMetaObject::invokeMethod(
            this, [this, positions = *sliders] { moveThumbs(positions); }, Qt::QueuedConnection);
    }
}

void MainWindow::setRecordAndPlayEnabled(bool enabled) {
    QMetaObject::invokeMethod(
        this, [this, enabled] { enabled ? captureStarted() : captureStopped(); },
        Qt::QueuedConnection);
}

void MainWindow::captureStarted() {
    c_.record->setEnabled(true);
    c_.play->setEnabled(true);
    refreshDelay(true);
}

void MainWindow::captureStopped() {
    // Stopping capture ended the recording and the music: both groups are idle again.
    setRecordingControls(false);
    setBackgroundControls(false);
    c_.record->setEnabled(false);
    c_.play->setEnabled(false);
    refreshDelay(true);
}

void MainWindow::refreshDelay(bool force) {
    if (!engine_.running()) {
        c_.delay->clear();
        shownPipelineMs_.reset();
        return;
    }
    const VoiceDelay d = engine_.delay();
    if (!force && shownPipelineMs_ == d.pipelineMs) {
        return;
    }
    shownPipelineMs_ = d.pipelineMs;
    c_.delay->setText(QString("Delay: %1 ms").arg(d.totalMs(), 0, 'f', 0));
    c_.delay->setToolTip(QString("pipeline %1 ms, capture block %2 ms, delivery %3 ms")
                             .arg(d.pipelineMs, 0, 'f', 0)
                             .arg(d.captureBlockMs, 0, 'f', 0)
                             .arg(d.deliveryMs, 0, 'f', 0));
}

void MainWindow::showServerStatus(const QString& status) {
    c_.serverStatus->setText(status);
    c_.serverStatus->setVisible(!status.isEmpty());
    tray_->setToolTip(status.isEmpty() ? text(IDS_APP_TITLE) : status);
}

void MainWindow::poll() {
    // The voice changer waits for a sound server that went away and comes back with it by
    // itself; the window only says so, and ends when it can't come back.
    std::string detail;
    switch (engine_.pollServer(detail)) {
    case ServerEvent::None:
        break;
    case ServerEvent::Lost:
        showServerStatus(kServerGone);
        break;
    case ServerEvent::Waiting: {
        QString line = QString::fromStdString(detail);
        if (!line.isEmpty()) {
            line[0] = line[0].toUpper();
        }
        showServerStatus(line + ".");
        break;
    }
    case ServerEvent::Back:
        showServerStatus({});
        break;
    case ServerEvent::Failed:
        showMessage(detail);
        exitProgram();
        return;
    }
    refreshDelay(false);
}

} // namespace timbrelo
