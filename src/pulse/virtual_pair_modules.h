#pragma once
// The three server modules behind the virtual microphone and speaker, all at the pipeline
// format (22050 Hz, 2 channels, s16le):
//
//   timbrelo_vmic_feed  a null sink, marked internal: the changed voice is played into it
//   timbrelo_vmic       a source remapped from the feed's monitor: the virtual microphone,
//                       which other programs list and record like any microphone
//   timbrelo_vspk       a null sink: the virtual speaker; its monitor is recorded
//
// The modules outlive a program that is killed, so bring-up adopts a whole pair left behind
// instead of making a second one (pieces of a pair are cleared away first), and take-down
// unloads what it loaded or adopted.
//
// Threads: every method runs with the connection's lock held, on a control thread.

#include "platform/audio_io/audio_result.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct pa_context;

namespace timbrelo {

class PulseConnection;

class VirtualPairModules {
  public:
    static constexpr const char* kFeedSinkName = "timbrelo_vmic_feed";
    static constexpr const char* kMicrophoneName = "timbrelo_vmic";
    static constexpr const char* kSpeakerName = "timbrelo_vspk";
    static constexpr const char* kMicrophoneDescription = "Timbrelo Virtual Microphone";
    static constexpr const char* kSpeakerDescription = "Timbrelo Virtual Speaker";

    VirtualPairModules(PulseConnection& connection, pa_context* context);

    // Adopts a pair left behind or loads a new one, then waits (up to `deviceTimeout`) until
    // the server shows its devices. False with a one-line reason in `error`.
    bool bringUp(std::chrono::milliseconds deviceTimeout, std::string& error);
    // Unloads the modules, dependants first; the first request that fails or times out ends
    // the attempt, so a server that hangs costs one timeout.
    void unload();

    bool adopted() const { return adopted_; }
    // The server's index of the virtual microphone (a source), once brought up.
    uint32_t microphoneIndex() const { return microphoneIndex_; }

  private:
    struct ModuleSpec {
        const char* module;
        std::string arguments;
        std::string key; // the argument that finds it again, e.g. "sink_name=timbrelo_vspk"
        const char* role;
    };
    // In load order: the remapped source needs the feed's monitor.
    static std::vector<ModuleSpec> specs();

    bool adoptOrLoad(std::string& error);
    bool waitForDevices(std::chrono::milliseconds timeout, std::string& error);

    PulseConnection& connection_;
    pa_context* context_;
    std::vector<uint32_t> modules_; // in load order; unloaded in reverse
    uint32_t microphoneIndex_ = UINT32_MAX;
    bool adopted_ = false;
};

// The default sink and source and the server's name, as the server reports them.
struct ServerDefaults {
    std::string sink;
    std::string source;
    std::string server;
};

// Reads the defaults (connection locked). False with `error` set when the server won't say.
bool readServerDefaults(PulseConnection& connection, pa_context* context,
                        ServerDefaults& defaults, std::string& error);

} // namespace timbrelo
