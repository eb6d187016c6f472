// A scripted stand-in for the MP3 encoder library: it keeps a log of the calls it gets, fails
// where a test tells it to and can hold encodes until the test lets them go (a slow encoder).
// Built three times: complete, without beEncodeChunk (which the writer needs) and without
// beWriteInfoTag (which it can do without).

#include "lame_enc/lame_enc.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#define STUB_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr HBE_STREAM kStream = 7;
constexpr uint32_t kSamplesPerChunk = 1152;

struct State {
    std::string log;
    int encodes = 0;
    int failEncodeAt = 0; // the n-th encode fails (0: none)
    BE_ERR initError = 0;
    bool open = false;
    bool hold = false; // encodes wait while set
    bool held = false; // an encode waits now
};

// The writer calls in on its own thread while the test looks on: everything under one lock.
std::mutex mutex;
std::condition_variable changed;

State& state() {
    static State s;
    return s;
}

void note(const std::string& entry) {
    state().log += entry;
    state().log += ';';
}

} // namespace

STUB_EXPORT void stubReset(int failEncodeAt, uint32_t initError) {
    std::lock_guard lock(mutex);
    state() = State{};
    state().failEncodeAt = failEncodeAt;
    state().initError = initError;
}

STUB_EXPORT const char* stubLog() {
    static std::string copy;
    std::lock_guard lock(mutex);
    copy = state().log;
    return copy.c_str();
}

STUB_EXPORT void stubHoldEncodes(int hold) {
    std::lock_guard lock(mutex);
    state().hold = hold != 0;
    changed.notify_all();
}

STUB_EXPORT void stubWaitUntilHeld() {
    std::unique_lock lock(mutex);
    changed.wait(lock, [] { return state().held; });
}

STUB_EXPORT BE_ERR beInitStream(const BE_CONFIG*, uint32_t* samples, uint32_t* bufferSize,
                                HBE_STREAM* stream) {
    std::lock_guard lock(mutex);
    note("init");
    if (state().initError != 0) {
        return state().initError;
    }
    *samples = kSamplesPerChunk;
    *bufferSize = 8192;
    *stream = kStream;
    state().open = true;
    return BE_ERR_SUCCESSFUL;
}

#ifndef STUB_WITHOUT_ENCODE_CHUNK
STUB_EXPORT BE_ERR beEncodeChunk(HBE_STREAM stream, uint32_t samples, const int16_t*, uint8_t* out,
                                 uint32_t* outBytes) {
    std::unique_lock lock(mutex);
    if (state().hold) {
        state().held = true;
        changed.notify_all();
        changed.wait(lock, [] { return !state().hold; });
        state().held = false;
    }
    if (stream != kStream || !state().open) {
        note("encode-closed");
        return BE_ERR_INVALID_HANDLE;
    }
    if (++state().encodes == state().failEncodeAt) {
        note("encode-fail");
        return BE_ERR_BUFFER_TOO_SMALL;
    }
    note("encode " + std::to_string(samples));
    std::memset(out, 0xAB, 16);
    *outBytes = 16;
    return BE_ERR_SUCCESSFUL;
}
#endif

STUB_EXPORT BE_ERR beDeinitStream(HBE_STREAM stream, uint8_t*, uint32_t* outBytes) {
    std::lock_guard lock(mutex);
    *outBytes = 0;
    if (stream != kStream || !state().open) {
        note("deinit-closed");
        return BE_ERR_INVALID_HANDLE;
    }
    note("deinit");
    return BE_ERR_SUCCESSFUL;
}

STUB_EXPORT BE_ERR beCloseStream(HBE_STREAM stream) {
    std::lock_guard lock(mutex);
    if (stream != kStream || !state().open) {
        note("close-closed");
        return BE_ERR_INVALID_HANDLE;
    }
    note("close");
    state().open = false;
    return BE_ERR_SUCCESSFUL;
}

STUB_EXPORT void beVersion(BE_VERSION* version) {
    std::memset(version, 0, sizeof *version);
}

STUB_EXPORT BE_ERR beWriteVBRHeader(const char*) {
    std::lock_guard lock(mutex);
    note("vbrheader");
    return BE_ERR_SUCCESSFUL;
}

#ifndef STUB_WITHOUT_INFO_TAG
STUB_EXPORT BE_ERR beWriteInfoTag(HBE_STREAM, const char*) {
    std::lock_guard lock(mutex);
    note("infotag");
    return BE_ERR_SUCCESSFUL;
}
#endif
