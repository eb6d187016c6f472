#include "cli/headless_runner.h"

#include "effects/music_file.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace timbrelo::cli {
namespace {

// The preset the options leave the voice at; none when an option changed the voice after it.
uint32_t initialPreset(const VoiceOptions& voice) {
    if (voice.pitch || voice.timbre || voice.semitones || voice.cartoon) {
        return kNoPreset;
    }
    return voice.preset.value_or(ID_NO_EFFECT);
}

// The bus speaks whole dB: a value that rounds to the one held keeps it, so switching a part
// off and on again leaves a strength of 24.5 from the command line as it was.
float wholeDb(int db, float held) {
    return std::lround(held) == db ? held : static_cast<float>(db);
}

} // namespace

void say(const char* format, const char* detail) {
    std::time_t now = std::time(nullptr);
    char stamp[16];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", std::localtime(&now));
    std::printf("[%s] ", stamp);
    std::printf(format, detail);
    std::printf("\n");
    std::fflush(stdout);
}

std::string recordPath(const std::string& path, int session) {
    if (session <= 1) {
        return path;
    }
    const size_t dot = path.rfind('.');
    const size_t slash = path.rfind('/');
    const bool hasExtension =
        dot != std::string::npos && (slash == std::string::npos || dot > slash);
    const std::string stem = hasExtension ? path.substr(0, dot) : path;
    const std::string extension = hasExtension ? path.substr(dot) : "";
    return stem + "-" + std::to_string(session) + extension;
}

HeadlessRunner::HeadlessRunner(const RunOptions& options)
    : options_(options), voice_(options.voice), preset_(initialPreset(options.voice)) {
    if (const VoicePreset* preset = findPreset(voice_.preset.value_or(ID_NO_EFFECT))) {
        sliders_ = preset->sliders.value_or(sliders_);
    }
    sliders_ = {voice_.pitch.value_or(sliders_.pitch), voice_.timbre.value_or(sliders_.timbre)};
}

void HeadlessRunner::reissueCurrentPreset() {
    std::lock_guard lock(mutex_);
    applyLocked();
    // Stopping capture stops the music too (as the window's Play button would show);
    // without a window, the music simply comes back with the next capture.
    if (voice_.background) {
        CaptureEngine& engine = session_->engine();
        engine.setBackgroundLevel(voice_.level);
        engine.openBackground(voice_.background->c_str());
    }
}

void HeadlessRunner::applyLocked() {
    applyVoice(session_->engine(), voice_);
}

void HeadlessRunner::setRecordAndPlayEnabled(bool enabled) {
    if (enabled) {
        captureRunning_ = true;
        say("capture started");
        startOptionRecording();
    } else if (captureRunning_.exchange(false)) {
        say("capture stopped");
    }
}

void HeadlessRunner::startOptionRecording() {
    if (options_.record.empty()) {
        return;
    }
    std::lock_guard lock(mutex_);
    if (session_->engine().recorder().recording()) {
        // A capture the sound server interrupted carries on in its own file.
        say("still recording to %s", recordingFile_.c_str());
        return;
    }
    const std::string path = recordPath(options_.record, ++sessions_);
    if (session_->engine().recorder().startRecording(options_.slot, path) == 1) {
        recordingFile_ = path;
        say("recording to %s", path.c_str());
    } else {
        say("can't record to %s", path.c_str());
    }
}

void HeadlessRunner::choosePreset(uint32_t id) {
    std::lock_guard lock(mutex_);
    voice_.preset = id;
    voice_.pitch.reset();
    voice_.timbre.reset();
    voice_.semitones.reset();
    voice_.cartoon.reset();
    preset_ = id;
    if (const VoicePreset* preset = findPreset(id); preset != nullptr && preset->sliders) {
        sliders_ = *preset->sliders;
    }
    applyLocked();
}

void HeadlessRunner::setSlidersLocked(SliderPositions positions) {
    sliders_ = positions;
    voice_.preset.reset();
    voice_.semitones.reset();
    voice_.cartoon.reset();
    voice_.pitch = positions.pitch;
    voice_.timbre = positions.timbre;
    preset_ = kNoPreset;
    applyLocked();
}

void HeadlessRunner::setPitch(int position) {
    std::lock_guard lock(mutex_);
    setSlidersLocked({position, sliders_.timbre});
}

void HeadlessRunner::setTimbre(int position) {
    std::lock_guard lock(mutex_);
    setSlidersLocked({sliders_.pitch, position});
}

void HeadlessRunner::setSemitones(int semitones) {
    std::lock_guard lock(mutex_);
    voice_.preset.reset();
    voice_.pitch.reset();
    voice_.timbre.reset();
    voice_.cartoon.reset();
    voice_.semitones = semitones;
    preset_ = kNoPreset;
    applyLocked();
}

void HeadlessRunner::setEffects(bool on) {
    std::lock_guard lock(mutex_);
    voice_.effectsOff = !on;
    session_->engine().setEffectsOn(on);
}

void HeadlessRunner::setDenoise(bool on, int strengthDb) {
    setCleaningPart({&InputCleanerSettings::denoise, &InputCleanerSettings::strengthDb}, on,
                    strengthDb, "noise suppression changed, but the settings file can't keep it");
}

void HeadlessRunner::setGate(bool on, int thresholdDb) {
    setCleaningPart({&InputCleanerSettings::gate, &InputCleanerSettings::gateDb}, on, thresholdDb,
                    "the noise gate changed, but the settings file can't keep it");
}

void HeadlessRunner::setCleaningPart(CleaningPart part, bool on, int db, const char* unsaved) {
    InputCleanerSettings now;
    {
        std::lock_guard lock(mutex_);
        InputCleaner& cleaner = session_->engine().inputCleaner();
        now = cleaner.settings();
        now.*part.on = on;
        now.*part.db = wholeDb(db, now.*part.db);
        cleaner.apply(now);
    }
    // The file outside the lock: a capture start on the watcher thread need not wait for it.
    // Only this part is written: what came from the command line alone stays out of it.
    InputCleanerSettings remembered = loadInputCleanerSettings();
    remembered.*part.on = on;
    remembered.*part.db = now.*part.db;
    if (!saveInputCleanerSettings(remembered)) {
        say(unsaved);
    }
}

void HeadlessRunner::requireCapture() const {
    if (!captureRunning_.load()) {
        throw control::ControlError{
            control::kErrorNotCapturing,
            "capture is not running: no program records from the virtual microphone"};
    }
}

void HeadlessRunner::startRecording(const std::string& path, RecordSlot slot) {
    requireCapture();
    std::lock_guard lock(mutex_);
    if (session_->engine().recorder().recording()) {
        throw control::ControlError{control::kErrorFailed,
                                    "a recording to " + recordingFile_ + " runs already"};
    }
    if (voice_.effectsOff && slot == kEffectSlot) {
        throw control::ControlError{control::kErrorFailed,
                                    "effects are off: only the origin voice can be recorded"};
    }
    if (session_->engine().recorder().startRecording(slot, path) != 1) {
        throw control::ControlError{control::kErrorFailed, "can't record to " + path};
    }
    recordingFile_ = path;
    say("recording to %s", path.c_str());
}

void HeadlessRunner::stopRecording() {
    std::lock_guard lock(mutex_);
    RecordingWriter& recorder = session_->engine().recorder();
    for (RecordKind kind : {RecordKind::Wav, RecordKind::Mp3}) {
        for (uint32_t slot : {kOriginSlot, kEffectSlot}) {
            recorder.stopRecording(slot, kind);
        }
    }
    if (!recordingFile_.empty()) {
        say("recording to %s ended", recordingFile_.c_str());
    }
    recordingFile_.clear();
}

void HeadlessRunner::playMusic(const std::string& path, float level) {
    requireCapture();
    MusicFile file;
    std::string why;
    if (!openMusicFile(path, file, why)) {
        throw control::ControlError{control::kErrorFailed, path + ": " + why};
    }
    std::lock_guard lock(mutex_);
    CaptureEngine& engine = session_->engine();
    engine.setBackgroundLevel(level);
    if (engine.openBackground(path.c_str()) == 0) {
        throw control::ControlError{control::kErrorFailed, path + ": can't be played"};
    }
    // Back with every capture start, as --background is.
    voice_.background = path;
    voice_.level = level;
}

void HeadlessRunner::stopMusic() {
    std::lock_guard lock(mutex_);
    voice_.background.reset();
    session_->engine().stopBackground();
}

void HeadlessRunner::showWindow(bool) {
    throw control::ControlError{control::kErrorNoWindow,
                                "this voice changer has no window (timbrelo-cli run)"};
}

control::ControlStatus HeadlessRunner::status() {
    control::ControlStatus s;
    CaptureEngine& engine = session_->engine();
    s.capturing = captureRunning_.load();
    const StreamFormat& f = kPipelineFormat;
    uint32_t frames = engine.pipelineLatencyFrames() + CaptureEngine::kBlockFrames;
    if (s.capturing && session_->virtualDevice() != nullptr) {
        frames += session_->virtualDevice()->voiceDelayFrames();
    }
    s.delayMs = static_cast<uint32_t>(std::lround(f.framesToMs(frames)));
    s.effectsOn = engine.effectsOn();
    const InputCleaner& cleaner = engine.inputCleaner();
    s.denoise = cleaner.denoiseOn();
    s.denoiseDb = static_cast<int>(std::lround(cleaner.strengthDb()));
    s.gate = cleaner.gateOn();
    s.gateDb = static_cast<int>(std::lround(cleaner.gateThresholdDb()));
    std::lock_guard lock(mutex_);
    s.preset = preset_;
    s.recording = engine.recorder().recording();
    if (!s.recording) {
        recordingFile_.clear();
    }
    s.recordingFile = recordingFile_;
    return s;
}

} // namespace timbrelo::cli
