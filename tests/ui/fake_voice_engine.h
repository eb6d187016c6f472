#pragma once
// A voice changer for window tests that records every call the window makes, in order, and
// lets a test play the link's part from any thread.

#include "ui/voice_engine.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace timbrelo::test {

class FakeVoiceEngine : public VoiceEngine {
  public:
    // What start() answers.
    StartResult startResult = StartResult::Running;
    std::string startError;
    bool backgroundOpens = true;
    bool recordingOpens = true;
    std::vector<std::string> devices{"Built-in Microphone", "Timbrelo Virtual Microphone",
                                     "USB Headset"};
    VoiceDelay voiceDelay{10, 23, 40};

    StartResult start(LinkOwner& owner, std::string& error) override;
    void shutDown() override;
    bool running() const override { return running_.load(); }

    void setPitchShift(int32_t value, int32_t mode) override;
    void setCartoonParameter(float value, int32_t kind) override;
    void setPsolaParameter(float value, int32_t kind) override;
    void setEffectsOn(bool on) override;
    bool openBackground(const std::string& path) override;
    void stopBackground() override;
    void setBackgroundLevel(float level) override;
    bool startRecording(RecordSlot slot, const std::string& path) override;
    void stopRecording() override;
    void previewChanged(bool ticked) override;
    std::vector<std::string> inputDevices() override { return devices; }
    bool useMicrophone(const std::string& name) override;
    VoiceDelay delay() override;
    bool lost() override { return lost_.load(); }

    // The calls so far ("pitch(0,-1)", "psola(1.3,1)", "record(0,/tmp/a.wav)", ...), and
    // forgetting them.
    std::vector<std::string> calls() const;
    std::vector<std::string> takeCalls();
    void setDelay(VoiceDelay delay);
    void loseServer() { lost_.store(true); }
    // The link's owner, as start() received it.
    LinkOwner* owner() const { return owner_; }

  private:
    void note(std::string call);

    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    LinkOwner* owner_ = nullptr;
    std::atomic<bool> running_{false};
    std::atomic<bool> lost_{false};
};

} // namespace timbrelo::test
