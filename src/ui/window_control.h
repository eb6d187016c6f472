#pragma once
// The window as the target of remote control: the bus service's calls become what the
// window's own controls do, so the window always shows the voice that runs.
//
// Threads: the interface thread only (the bus is watched there with a QSocketNotifier).

#include "control/control_target.h"
#include "ui/main_window.h"

namespace timbrelo {

class WindowControl final : public control::ControlTarget {
  public:
    explicit WindowControl(MainWindow& window) : window_(window) {}

    void choosePreset(uint32_t id) override { window_.runPresetCommand(id); }
    void setPitch(int position) override { window_.remoteSliders(position, std::nullopt); }
    void setTimbre(int position) override { window_.remoteSliders(std::nullopt, position); }
    void setSemitones(int semitones) override { window_.remoteSemitones(semitones); }
    void setEffects(bool on) override { window_.remoteEffects(on); }
    void setDenoise(bool on, int strengthDb) override { window_.remoteDenoise(on, strengthDb); }
    void setGate(bool on, int thresholdDb) override { window_.remoteGate(on, thresholdDb); }
    void startRecording(const std::string& path, RecordSlot slot) override {
        window_.remoteStartRecording(path, slot);
    }
    void stopRecording() override { window_.remoteStopRecording(); }
    void playMusic(const std::string& path, float level) override {
        window_.remotePlayMusic(path, level);
    }
    void stopMusic() override { window_.remoteStopMusic(); }
    void showWindow(bool shown) override;
    // The Exit runs once the call has been taken; the program's main answers it afterwards.
    void quit() override;
    control::ControlStatus status() override { return window_.remoteStatus(); }

  private:
    MainWindow& window_;
};

} // namespace timbrelo
