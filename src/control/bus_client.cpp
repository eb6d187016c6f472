#include "control/bus_client.h"

#include <cstring>
#include <string_view>
#include <systemd/sd-bus.h>

namespace timbrelo::control {
namespace {

constexpr const char* kNotRunningText =
    "no voice changer is running (start timbrelo or timbrelo-cli run)";
// Long enough for an exit that puts the user's devices back on a slow server.
constexpr uint64_t kCallTimeoutUsec = 30'000'000;

// Turns a failed call into the error the caller sees; nobody holding the name reads as
// "not running".
[[noreturn]] void fail(int r, const sd_bus_error& error) {
    const std::string_view name = error.name != nullptr ? error.name : "";
    if (name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
        name == "org.freedesktop.DBus.Error.NameHasNoOwner") {
        throw ControlError{kErrorNotRunning, kNotRunningText};
    }
    if (!name.empty()) {
        throw ControlError{std::string(name),
                           error.message != nullptr ? error.message : std::string(name)};
    }
    throw ControlError{kErrorFailed, std::string("the call failed: ") + std::strerror(-r)};
}

// Frees the error and the reply of one call.
struct CallResult {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    ~CallResult() {
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
    }
};

} // namespace

BusClient::BusClient() {
    const int r = sd_bus_open_user(&bus_);
    if (r < 0) {
        bus_ = nullptr;
        throw ControlError{kErrorNotRunning, std::string(kNotRunningText) + "; no session bus (" +
                                                 std::strerror(-r) + ")"};
    }
    sd_bus_set_method_call_timeout(bus_, kCallTimeoutUsec);
}

BusClient::~BusClient() {
    sd_bus_flush_close_unref(bus_);
}

template <typename... Args>
void BusClient::call(const char* method, const char* signature, Args... args) {
    CallResult result;
    const int r = sd_bus_call_method(bus_, kBusName, kObjectPath, kInterface, method, &result.error,
                                     &result.reply, signature, args...);
    if (r < 0) {
        fail(r, result.error);
    }
}

void BusClient::choosePreset(const std::string& preset) {
    call("ChoosePreset", "s", preset.c_str());
}
void BusClient::setPitch(int position) {
    call("SetPitch", "i", static_cast<int32_t>(position));
}
void BusClient::setTimbre(int position) {
    call("SetTimbre", "i", static_cast<int32_t>(position));
}
void BusClient::setSemitones(int semitones) {
    call("SetSemitones", "i", static_cast<int32_t>(semitones));
}
void BusClient::setEffects(bool on) {
    call("SetEffects", "b", static_cast<int>(on));
}
void BusClient::setDenoise(bool on, int strengthDb) {
    call("SetDenoise", "bi", static_cast<int>(on), static_cast<int32_t>(strengthDb));
}
void BusClient::setGate(bool on, int thresholdDb) {
    call("SetGate", "bi", static_cast<int>(on), static_cast<int32_t>(thresholdDb));
}
void BusClient::startRecording(const std::string& path, RecordSlot slot) {
    call("StartRecording", "ss", path.c_str(), slot == kOriginSlot ? "origin" : "effect");
}
void BusClient::stopRecording() {
    call("StopRecording", "");
}
void BusClient::playMusic(const std::string& path, double level) {
    call("PlayMusic", "sd", path.c_str(), level);
}
void BusClient::stopMusic() {
    call("StopMusic", "");
}
void BusClient::showWindow(bool shown) {
    call(shown ? "Show" : "Hide", "");
}
void BusClient::quit() {
    call("Quit", "");
}

ControlStatus BusClient::status() {
    CallResult result;
    int r = sd_bus_call_method(bus_, kBusName, kObjectPath, "org.freedesktop.DBus.Properties",
                               "GetAll", &result.error, &result.reply, "s", kInterface);
    if (r < 0) {
        fail(r, result.error);
    }
    ControlStatus s;
    sd_bus_message* m = result.reply;
    if ((r = sd_bus_message_enter_container(m, 'a', "{sv}")) < 0) {
        fail(r, result.error);
    }
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* name = nullptr;
        sd_bus_message_read(m, "s", &name);
        const std::string_view p = name != nullptr ? name : "";
        int flag = 0;
        int32_t number = 0;
        const char* text = nullptr;
        if (p == "PresetId") {
            sd_bus_message_read(m, "v", "u", &s.preset);
        } else if (p == "CaptureRunning") {
            sd_bus_message_read(m, "v", "b", &flag);
            s.capturing = flag != 0;
        } else if (p == "DelayMs") {
            sd_bus_message_read(m, "v", "u", &s.delayMs);
        } else if (p == "Recording") {
            sd_bus_message_read(m, "v", "b", &flag);
            s.recording = flag != 0;
        } else if (p == "RecordingFile") {
            sd_bus_message_read(m, "v", "s", &text);
            s.recordingFile = text != nullptr ? text : "";
        } else if (p == "EffectsOn") {
            sd_bus_message_read(m, "v", "b", &flag);
            s.effectsOn = flag != 0;
        } else if (p == "Denoise") {
            sd_bus_message_read(m, "v", "b", &flag);
            s.denoise = flag != 0;
        } else if (p == "DenoiseDb") {
            sd_bus_message_read(m, "v", "i", &number);
            s.denoiseDb = number;
        } else if (p == "Gate") {
            sd_bus_message_read(m, "v", "b", &flag);
            s.gate = flag != 0;
        } else if (p == "GateDb") {
            sd_bus_message_read(m, "v", "i", &number);
            s.gateDb = number;
        } else {
            sd_bus_message_skip(m, "v");
        }
        sd_bus_message_exit_container(m);
    }
    if (r < 0) {
        fail(r, result.error);
    }
    return s;
}

} // namespace timbrelo::control
