#include "ui/fake_voice_engine.h"

#include <cstdio>
#include <utility>

namespace timbrelo::test {
namespace {

std::string number(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
    return text;
}

} // namespace

VoiceEngine::StartResult FakeVoiceEngine::start(LinkOwner& owner, std::string& error) {
    note("start");
    owner_ = &owner;
    error = startError;
    running_.store(startResult == StartResult::Running);
    return startResult;
}

void FakeVoiceEngine::shutDown() {
    note("shutDown");
    running_.store(false);
}

void FakeVoiceEngine::setPitchShift(int32_t value, int32_t mode) {
    note("pitch(" + std::to_string(value) + "," + std::to_string(mode) + ")");
}

void FakeVoiceEngine::setCartoonParameter(float value, int32_t kind) {
    note("cartoon(" + number(value) + "," + std::to_string(kind) + ")");
}

void FakeVoiceEngine::setPsolaParameter(float value, int32_t kind) {
    note("psola(" + number(value) + "," + std::to_string(kind) + ")");
}

void FakeVoiceEngine::setEffectsOn(bool on) {
    note(on ? "effects(on)" : "effects(off)");
}

bool FakeVoiceEngine::openBackground(const std::string& path) {
    note("background(" + path + ")");
    return backgroundOpens;
}

void FakeVoiceEngine::stopBackground() {
    note("stopBackground");
}

void FakeVoiceEngine::setBackgroundLevel(float level) {
    note("level(" + number(level) + ")");
}

bool FakeVoiceEngine::startRecording(RecordSlot slot, const std::string& path) {
    note("record(" + std::to_string(slot) + "," + path + ")");
    return recordingOpens;
}

void FakeVoiceEngine::stopRecording() {
    note("stopRecording");
}

void FakeVoiceEngine::previewChanged(bool ticked) {
    note(ticked ? "preview(on)" : "preview(off)");
}

bool FakeVoiceEngine::useMicrophone(const std::string& name) {
    note("microphone(" + name + ")");
    return true;
}

VoiceDelay FakeVoiceEngine::delay() {
    std::lock_guard lock(mutex_);
    return voiceDelay;
}

void FakeVoiceEngine::setDelay(VoiceDelay delay) {
    std::lock_guard lock(mutex_);
    voiceDelay = delay;
}

std::vector<std::string> FakeVoiceEngine::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<std::string> FakeVoiceEngine::takeCalls() {
    std::lock_guard lock(mutex_);
    return std::exchange(calls_, {});
}

void FakeVoiceEngine::note(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
}

} // namespace timbrelo::test
