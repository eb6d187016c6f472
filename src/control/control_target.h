#pragma once
// What a running voice changer offers to remote control: the window and the headless runner
// each implement ControlTarget, and the bus service (bus_service.h) calls it.
//
// Threads: every method runs on the thread that owns the voice changer's state and processes
// the bus (the window's interface thread, the headless runner's main thread), never on an
// audio thread.

#include "app/voice_presets.h"
#include "audio/delivery_targets.h"
#include "effects/input_cleaner.h"

#include <cstdint>
#include <string>

namespace timbrelo::control {

// The names on the session bus.
inline constexpr const char* kBusName = "io.github.timbrelo.Timbrelo";
inline constexpr const char* kObjectPath = "/io/github/timbrelo/Timbrelo";
inline constexpr const char* kInterface = "io.github.timbrelo.Timbrelo1";

// The errors a call can end with, besides the bus's own InvalidArgs for a value out of range.
inline constexpr const char* kErrorInvalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";
inline constexpr const char* kErrorUnknownPreset =
    "io.github.timbrelo.Timbrelo1.Error.UnknownPreset";
inline constexpr const char* kErrorNotCapturing = "io.github.timbrelo.Timbrelo1.Error.NotCapturing";
inline constexpr const char* kErrorNoWindow = "io.github.timbrelo.Timbrelo1.Error.NoWindow";
inline constexpr const char* kErrorFailed = "io.github.timbrelo.Timbrelo1.Error.Failed";
// Said by the client when nobody owns kBusName.
inline constexpr const char* kErrorNotRunning = "io.github.timbrelo.Timbrelo1.Error.NotRunning";

// A call the voice changer refuses: a D-Bus error name and a one-line message.
struct ControlError {
    std::string name;
    std::string message;
};

// The state the bus shows as properties.
struct ControlStatus {
    uint32_t preset = ID_NO_EFFECT; // kNoPreset once a slider or the semitones set the voice
    bool capturing = false;
    uint32_t delayMs = 0; // microphone to listener with the current voice
    bool recording = false;
    std::string recordingFile; // "" when not recording
    bool effectsOn = true;
    // The input cleaning, as its check boxes and sliders show it; a value is kept while its
    // part is off.
    bool denoise = false;
    int denoiseDb = static_cast<int>(InputCleaner::kDefaultStrengthDb); // dB
    bool gate = false;
    int gateDb = static_cast<int>(InputCleaner::kDefaultGateDb); // threshold, dBFS
    bool operator==(const ControlStatus&) const = default;
};

// The arguments reach the target already checked: a known preset, slider positions within
// kSliderMin..kSliderMax, semitones within -24..24, a level within 0..1, a cleaning value
// within InputCleaner's limits. A refusal throws ControlError.
class ControlTarget {
  public:
    virtual ~ControlTarget() = default;

    virtual void choosePreset(uint32_t id) = 0;
    // As a release of the slider: the psola voice from both sliders' positions.
    virtual void setPitch(int position) = 0;
    virtual void setTimbre(int position) = 0;
    // The semitone pitch shifter alone.
    virtual void setSemitones(int semitones) = 0;
    virtual void setEffects(bool on) = 0;
    // A part of the input cleaning on or off, with its value (strength in dB, threshold in
    // dBFS), as its check box and slider set it: applied at once and remembered in the
    // settings.
    virtual void setDenoise(bool on, int strengthDb) = 0;
    virtual void setGate(bool on, int thresholdDb) = 0;
    // NotCapturing while nobody records from the virtual microphone; Failed when the file
    // can't be written.
    virtual void startRecording(const std::string& path, RecordSlot slot) = 0;
    virtual void stopRecording() = 0;
    // NotCapturing as above; Failed when the file can't be played.
    virtual void playMusic(const std::string& path, float level) = 0;
    virtual void stopMusic() = 0;
    // NoWindow for the headless runner.
    virtual void showWindow(bool shown) = 0;
    // Asks for the full exit (capture stopped, the user's default devices back, the virtual
    // pair removed). The owner runs it after this call returns and then calls
    // BusService::quitDone, which answers the caller.
    virtual void quit() = 0;
    virtual ControlStatus status() = 0;
};

} // namespace timbrelo::control
