#pragma once
// A client of the voice changer's object on the session bus (timbrelo-cli ctl and the tests).
// Every call throws ControlError: kErrorNotRunning when no voice changer holds the name (or
// there is no session bus), else the error the voice changer answered with.
//
// Threads: one object per thread.

#include "control/control_target.h"

#include <string>

struct sd_bus;

namespace timbrelo::control {

class BusClient {
  public:
    // Connects to the session bus; throws ControlError (kErrorNotRunning) when there is none.
    BusClient();
    ~BusClient();
    BusClient(const BusClient&) = delete;
    BusClient& operator=(const BusClient&) = delete;

    // The preset by its name or ID.
    void choosePreset(const std::string& preset);
    void setPitch(int position);
    void setTimbre(int position);
    void setSemitones(int semitones);
    void setEffects(bool on);
    // A part of the input cleaning with its value in dB (kept while the part is off).
    void setDenoise(bool on, int strengthDb);
    void setGate(bool on, int thresholdDb);
    // `path` as the voice changer opens it: a whole path.
    void startRecording(const std::string& path, RecordSlot slot);
    void stopRecording();
    void playMusic(const std::string& path, double level);
    void stopMusic();
    void showWindow(bool shown);
    // Returns once the voice changer has stopped capture and put the user's devices back.
    void quit();
    ControlStatus status();

  private:
    template <typename... Args>
    void call(const char* method, const char* signature, Args... args);

    sd_bus* bus_ = nullptr;
};

} // namespace timbrelo::control
