// The remote-control side of the window: MainWindow's remote* methods, kept apart from its
// controls' handlers, and the bus target over them.

#include "ui/window_control.h"

#include "effects/music_file.h"
#include "platform/messages.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <cmath>

namespace timbrelo {
namespace {

QString text(int id) {
    return QString::fromUtf8(loadString(id));
}

[[noreturn]] void refuse(const char* name, std::string message) {
    throw control::ControlError{name, std::move(message)};
}

} // namespace

void WindowControl::showWindow(bool shown) {
    shown ? window_.showWindow() : window_.hideWindow();
}

void WindowControl::quit() {
    QMetaObject::invokeMethod(
        &window_, [window = &window_] { window->exitProgram(); }, Qt::QueuedConnection);
}

void MainWindow::remoteSliders(std::optional<int> pitch, std::optional<int> timbre) {
    // As a release of the slider, but applied even at the position last applied: a preset
    // may have changed the voice since.
    if (pitch) {
        c_.pitch->setValue(*pitch);
        lastPitchPosition_ = *pitch;
        c_.pitchValue->setText(sliderValueText(*pitch));
    }
    if (timbre) {
        c_.timbre->setValue(*timbre);
        lastTimbrePosition_ = *timbre;
        c_.timbreValue->setText(sliderValueText(*timbre));
    }
    applySliderVoice();
}

void MainWindow::remoteSemitones(int semitones) {
    {
        std::lock_guard lock(voiceMutex_);
        presets_.choose(ID_NO_EFFECT, engine_);
        engine_.setPitchShift(0, -2);
        engine_.setPitchShift(semitones, 0);
        presets_.sliderChangedVoice();
    }
    refreshDelay(false);
}

void MainWindow::remoteEffects(bool on) {
    const bool nowOn = c_.effectOnOff->text() == text(IDS_EFFECT_OFF);
    if (on != nowOn) {
        toggleEffects();
    }
}

void MainWindow::remoteDenoise(bool on, int strengthDb) {
    setCleaningPart(c_.denoise, c_.denoiseStrength, on, strengthDb);
}

void MainWindow::remoteGate(bool on, int thresholdDb) {
    setCleaningPart(c_.gate, c_.gateThreshold, on, thresholdDb);
}

void MainWindow::setCleaningPart(QCheckBox* box, QSlider* slider, bool on, int db) {
    {
        // One application (and one write of the settings) for both controls.
        const QSignalBlocker boxBlocker(box);
        const QSignalBlocker sliderBlocker(slider);
        box->setChecked(on);
        slider->setValue(db);
    }
    applyCleaning();
}

void MainWindow::remoteStartRecording(const std::string& path, RecordSlot slot) {
    if (!c_.record->isEnabled()) {
        refuse(control::kErrorNotCapturing,
               "capture is not running: no program records from the virtual microphone");
    }
    if (recording_) {
        refuse(control::kErrorFailed,
               "a recording to " + c_.recordPath->text().toStdString() + " runs already");
    }
    if (slot == kEffectSlot && !c_.effect->isEnabled()) {
        refuse(control::kErrorFailed, "effects are off: only the origin voice can be recorded");
    }
    if (!engine_.startRecording(slot, path)) {
        refuse(control::kErrorFailed, "can't record to " + path);
    }
    c_.recordPath->setText(QString::fromStdString(path));
    (slot == kOriginSlot ? c_.origin : c_.effect)->setChecked(true);
    setRecordingControls(true);
}

void MainWindow::remoteStopRecording() {
    if (recording_) {
        engine_.stopRecording();
        setRecordingControls(false);
    }
}

void MainWindow::remotePlayMusic(const std::string& path, float level) {
    if (!c_.play->isEnabled()) {
        refuse(control::kErrorNotCapturing,
               "capture is not running: no program records from the virtual microphone");
    }
    MusicFile file;
    std::string why;
    if (!openMusicFile(path, file, why)) {
        refuse(control::kErrorFailed, path + ": " + why);
    }
    remoteStopMusic();
    if (!engine_.openBackground(path)) {
        refuse(control::kErrorFailed, path + ": can't be played");
    }
    c_.backgroundPath->setText(QString::fromStdString(path));
    c_.volume->setValue(static_cast<int>(std::lround(level * 100)));
    lastVolumePosition_ = c_.volume->value();
    engine_.setBackgroundLevel(level);
    setBackgroundControls(true);
}

void MainWindow::remoteStopMusic() {
    if (c_.play->text() != text(IDS_PLAY)) {
        engine_.stopBackground();
        setBackgroundControls(false);
    }
}

control::ControlStatus MainWindow::remoteStatus() {
    control::ControlStatus s;
    s.preset = currentPreset();
    s.capturing = c_.record->isEnabled();
    s.delayMs =
        engine_.running() ? static_cast<uint32_t>(std::lround(engine_.delay().totalMs())) : 0;
    s.recording = recording_;
    s.recordingFile = recording_ ? c_.recordPath->text().toStdString() : "";
    s.effectsOn = c_.effectOnOff->text() == text(IDS_EFFECT_OFF);
    s.denoise = c_.denoise->isChecked();
    s.denoiseDb = c_.denoiseStrength->value();
    s.gate = c_.gate->isChecked();
    s.gateDb = c_.gateThreshold->value();
    return s;
}

} // namespace timbrelo
