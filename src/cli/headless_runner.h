#pragma once
// The owner of the link without a window (timbrelo-cli run): it applies the voice at each
// capture start, says when capture starts and stops, records each capture when asked to,
// and takes the calls of remote control (control/control_target.h).
//
// Threads: the ControlTarget methods run on the runner's main thread, which owns the session;
// the LinkOwner callbacks on the link's watcher thread (or the main thread). The voice, the
// preset memory and the recording's name are shared between them under one lock, which also
// serialises their calls to the engine.

#include "app/voice_changer_session.h"
#include "cli/voice_options.h"
#include "control/control_target.h"

#include <atomic>
#include <mutex>
#include <string>

namespace timbrelo::cli {

struct RunOptions {
    VoiceOptions voice;
    std::string backend;
    std::string record;
    RecordSlot slot = kEffectSlot;
    bool preview = false;
    bool debug = false;
};

// Prints one line with the time of day, as every line of `run` is.
void say(const char* format, const char* detail = "");

class HeadlessRunner : public LinkOwner, public control::ControlTarget {
  public:
    explicit HeadlessRunner(const RunOptions& options);

    // Before the session starts.
    void attach(VoiceChangerSession& session) { session_ = &session; }

    bool previewTicked() const override { return options_.preview; }
    void reissueCurrentPreset() override;
    void setRecordAndPlayEnabled(bool enabled) override;
    void restorePreferredDevices() override {} // the session does it

    bool captureRunning() const { return captureRunning_.load(); }
    // Set once a Quit call asked for the exit.
    bool quitAsked() const { return quitAsked_; }

    void choosePreset(uint32_t id) override;
    void setPitch(int position) override;
    void setTimbre(int position) override;
    void setSemitones(int semitones) override;
    void setEffects(bool on) override;
    // Applied to the running cleaner and remembered in the settings file, only the part
    // changed: cleaning that came from the command line alone stays out of it.
    void setDenoise(bool on, int strengthDb) override;
    void setGate(bool on, int thresholdDb) override;
    void startRecording(const std::string& path, RecordSlot slot) override;
    void stopRecording() override;
    void playMusic(const std::string& path, float level) override;
    void stopMusic() override;
    void showWindow(bool shown) override;
    void quit() override { quitAsked_ = true; }
    control::ControlStatus status() override;

  private:
    // One part of the input cleaning: its switch and its value.
    struct CleaningPart {
        bool InputCleanerSettings::*on;
        float InputCleanerSettings::*db;
    };
    void setCleaningPart(CleaningPart part, bool on, int db, const char* unsaved);
    void startOptionRecording();
    void requireCapture() const;
    // Re-applies voice_ now, as a capture start would. Under mutex_.
    void applyLocked();
    void setSlidersLocked(SliderPositions positions);

    const RunOptions& options_;
    VoiceChangerSession* session_ = nullptr;
    std::atomic<bool> captureRunning_{false};
    bool quitAsked_ = false; // main thread

    std::mutex mutex_;
    VoiceOptions voice_; // what each capture start applies
    uint32_t preset_;    // kNoPreset once sliders or semitones set the voice
    SliderPositions sliders_{100, 100};
    std::string recordingFile_;
    int sessions_ = 0; // captures recorded with --record
};

// The record file of the n-th capture (1: the name as given; then "name-2.wav", ...).
std::string recordPath(const std::string& path, int session);

} // namespace timbrelo::cli
