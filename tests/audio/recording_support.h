#pragma once
// What the recording tests share: their side of the scripted encoder library (stub_encoder.cpp),
// loaded from the same path as the writer loads it so both see one state, and the stop of
// every recording.

#include "audio/recording_writer.h"

#include <cstdint>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <string>

namespace timbrelo::test {

class StubEncoder {
  public:
    // Resets the stub: the `failEncodeAt`-th encode fails (0: none), init answers `initError`.
    explicit StubEncoder(const char* path, int failEncodeAt = 0, uint32_t initError = 0)
        : handle_(::dlopen(path, RTLD_NOW | RTLD_LOCAL)) {
        EXPECT_NE(handle_, nullptr) << ::dlerror();
        call<void (*)(int, uint32_t)>("stubReset")(failEncodeAt, initError);
    }
    ~StubEncoder() {
        if (handle_ != nullptr) {
            ::dlclose(handle_);
        }
    }
    StubEncoder(const StubEncoder&) = delete;
    StubEncoder& operator=(const StubEncoder&) = delete;

    // The calls so far, as "init;encode 1152;close;".
    std::string log() { return call<const char* (*)()>("stubLog")(); }
    // Holds every encode (the writer's thread waits inside it) until released.
    void hold(bool on) { call<void (*)(int)>("stubHoldEncodes")(on ? 1 : 0); }
    void waitUntilHeld() { call<void (*)()>("stubWaitUntilHeld")(); }

  private:
    template <typename F>
    F call(const char* name) {
        return reinterpret_cast<F>(::dlsym(handle_, name));
    }
    void* handle_;
};

// Stops every recording in the main window's order: both slots' WAV files, then their MP3s.
inline void stopAll(RecordingWriter& w) {
    for (RecordKind kind : {RecordKind::Wav, RecordKind::Mp3}) {
        w.stopRecording(0, kind);
        w.stopRecording(1, kind);
    }
}

} // namespace timbrelo::test
