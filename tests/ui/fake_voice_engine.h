#pragma once
// A voice changer for window tests: it records every call the window makes, in order, and
// lets a test play the link's part (through owner()) from any thread.

#include "ui/voice_engine.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace timbrelo::test {

class FakeVoiceEngine : public VoiceEngine {
  public:
    // What the calls answer.
    StartResult startResult = StartResult::Running;
    std::string startError;
    bool backgroundOpens = true;
    bool recordingOpens = true;
    std::vector<std::string> devices{"Built-in Microphone", "Timbrelo Virtual Microphone",
                                     "USB Headset"};
    VoiceDelay voiceDelay{10, 23, 40};
    InputCleanerSettings cleaning;
    // What pollServer reports next, one a call (then None).
    std::vector<std::pair<ServerEvent, std::string>> serverEvents;

    StartResult start(LinkOwner& owner, std::string& error) override {
        note("start");
        owner_ = &owner;
        error = startError;
        running_ = startResult == StartResult::Running;
        return startResult;
    }
    void shutDown() override { note("shutDown"), running_ = false; }
    bool running() const override { return running_; }
    void setPitchShift(int32_t value, int32_t mode) override { note("pitch", value, mode); }
    void setCartoonParameter(float value, int32_t kind) override { note("cartoon", value, kind); }
    void setPsolaParameter(float value, int32_t kind) override { note("psola", value, kind); }
    void setEffectsOn(bool on) override { note(on ? "effects(on)" : "effects(off)"); }
    bool openBackground(const std::string& path) override {
        note("background(" + path + ")");
        return backgroundOpens;
    }
    void stopBackground() override { note("stopBackground"); }
    void setBackgroundLevel(float level) override { note("level", level); }
    bool startRecording(RecordSlot slot, const std::string& path) override {
        note("record(" + std::to_string(slot) + "," + path + ")");
        return recordingOpens;
    }
    void stopRecording() override { note("stopRecording"); }
    void previewChanged(bool ticked) override { note(ticked ? "preview(on)" : "preview(off)"); }
    std::vector<std::string> inputDevices() override { return devices; }
    bool useMicrophone(const std::string& name) override {
        note("microphone(" + name + ")");
        return true;
    }
    InputCleanerSettings inputCleaning() override { return cleaning; }
    void setInputCleaning(const InputCleanerSettings& settings) override {
        cleaning = settings;
        char text[96];
        std::snprintf(text, sizeof text, "cleaning(%s %g,%s %g)", settings.denoise ? "on" : "off",
                      settings.strengthDb, settings.gate ? "on" : "off", settings.gateDb);
        note(std::string(text));
    }
    VoiceDelay delay() override { return voiceDelay; }
    ServerEvent pollServer(std::string& detail) override {
        if (serverEvents.empty()) {
            return ServerEvent::None;
        }
        const auto [event, text] = serverEvents.front();
        serverEvents.erase(serverEvents.begin());
        detail = text;
        return event;
    }

    // The calls so far ("pitch(0,-1)", "psola(1.3,1)", "record(0,/tmp/a.wav)", ...).
    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::vector<std::string> takeCalls() {
        std::lock_guard lock(mutex_);
        return std::exchange(calls_, {});
    }
    LinkOwner* owner() const { return owner_; }

  private:
    void note(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }
    void note(const char* name, double value, int mode = INT32_MIN) {
        char text[64];
        std::snprintf(text, sizeof text, mode == INT32_MIN ? "%s(%g)" : "%s(%g,%d)", name, value,
                      mode);
        note(std::string(text));
    }

    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    LinkOwner* owner_ = nullptr;
    std::atomic<bool> running_{false};
};

} // namespace timbrelo::test
