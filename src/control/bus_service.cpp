#include "control/bus_service.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <functional>
#include <string_view>
#include <systemd/sd-bus.h>
#include <vector>

namespace timbrelo::control {
namespace {

[[noreturn]] void refuse(const char* name, std::string message) {
    throw ControlError{name, std::move(message)};
}

int checkedInt(int32_t value, int low, int high, const char* what) {
    if (value < low || value > high) {
        refuse(kErrorInvalidArgs, std::string(what) + " " + std::to_string(value) +
                                      " is out of range (" + std::to_string(low) + ".." +
                                      std::to_string(high) + ")");
    }
    return value;
}

// A file for the voice changer to open: its folder is not the caller's, so only a whole path
// is taken.
std::string checkedPath(const char* path, const char* what) {
    if (path == nullptr || path[0] != '/') {
        refuse(kErrorInvalidArgs, std::string(what) + " must be an absolute path, not \"" +
                                      (path != nullptr ? path : "") + "\"");
    }
    return path;
}

} // namespace

// The vtable's callbacks: each reads its arguments, calls the target and answers, turning
// a ControlError into the D-Bus error of that name.
struct BusHandlers {
    static BusService& service(void* userdata) { return *static_cast<BusService*>(userdata); }

    static int run(sd_bus_message* m, sd_bus_error* error, const std::function<void()>& body) {
        try {
            body();
        } catch (const ControlError& e) {
            return sd_bus_error_set(error, e.name.c_str(), e.message.c_str());
        } catch (const std::exception& e) {
            return sd_bus_error_set(error, kErrorFailed, e.what());
        }
        return sd_bus_reply_method_return(m, "");
    }

    static int choosePreset(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        const char* text = nullptr;
        if (int r = sd_bus_message_read(m, "s", &text); r < 0) {
            return r;
        }
        return run(m, error, [&] {
            const VoicePreset* preset = findPresetByName(text);
            if (preset == nullptr) {
                char* end = nullptr;
                errno = 0;
                const unsigned long id = std::strtoul(text, &end, 10);
                if (text[0] != '\0' && *end == '\0' && errno == 0 && id <= UINT32_MAX) {
                    preset = findPreset(static_cast<uint32_t>(id));
                }
            }
            if (preset == nullptr) {
                refuse(kErrorUnknownPreset, std::string("unknown preset \"") + text +
                                                "\" (a name or ID of: timbrelo-cli presets)");
            }
            service(userdata).target_.choosePreset(preset->id);
        });
    }

    static int intCall(sd_bus_message* m, sd_bus_error* error,
                       const std::function<void(int32_t)>& body) {
        int32_t value = 0;
        if (int r = sd_bus_message_read(m, "i", &value); r < 0) {
            return r;
        }
        return run(m, error, [&] { body(value); });
    }

    static int setPitch(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        return intCall(m, error, [&](int32_t v) {
            service(userdata).target_.setPitch(checkedInt(v, kSliderMin, kSliderMax, "pitch"));
        });
    }

    static int setTimbre(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        return intCall(m, error, [&](int32_t v) {
            service(userdata).target_.setTimbre(checkedInt(v, kSliderMin, kSliderMax, "timbre"));
        });
    }

    static int setSemitones(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        return intCall(m, error, [&](int32_t v) {
            service(userdata).target_.setSemitones(checkedInt(v, -24, 24, "semitones"));
        });
    }

    static int setEffects(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        int on = 0;
        if (int r = sd_bus_message_read(m, "b", &on); r < 0) {
            return r;
        }
        return run(m, error, [&] { service(userdata).target_.setEffects(on != 0); });
    }

    // A part of the input cleaning: its switch, then its value, checked even when switching
    // off, since the value is kept for the next time.
    static int cleaningCall(sd_bus_message* m, sd_bus_error* error,
                            const std::function<void(bool, int32_t)>& body) {
        int on = 0;
        int32_t value = 0;
        if (int r = sd_bus_message_read(m, "bi", &on, &value); r < 0) {
            return r;
        }
        return run(m, error, [&] { body(on != 0, value); });
    }

    static int setDenoise(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        return cleaningCall(m, error, [&](bool on, int32_t db) {
            service(userdata).target_.setDenoise(
                on, checkedInt(db, static_cast<int>(InputCleaner::kMinStrengthDb),
                               static_cast<int>(InputCleaner::kMaxStrengthDb),
                               "noise suppression strength (dB)"));
        });
    }

    static int setGate(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        return cleaningCall(m, error, [&](bool on, int32_t db) {
            service(userdata).target_.setGate(
                on, checkedInt(db, static_cast<int>(InputCleaner::kMinGateDb),
                               static_cast<int>(InputCleaner::kMaxGateDb),
                               "noise gate threshold (dBFS)"));
        });
    }

    static int startRecording(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        const char* path = nullptr;
        const char* slot = nullptr;
        if (int r = sd_bus_message_read(m, "ss", &path, &slot); r < 0) {
            return r;
        }
        return run(m, error, [&] {
            const std::string file = checkedPath(path, "the record file");
            const std::string_view which = slot;
            if (which != "origin" && which != "effect") {
                refuse(kErrorInvalidArgs,
                       "the slot is \"origin\" or \"effect\", not \"" + std::string(which) + "\"");
            }
            service(userdata).target_.startRecording(file,
                                                     which == "origin" ? kOriginSlot : kEffectSlot);
        });
    }

    static int playMusic(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        const char* path = nullptr;
        double level = 0;
        if (int r = sd_bus_message_read(m, "sd", &path, &level); r < 0) {
            return r;
        }
        return run(m, error, [&] {
            const std::string file = checkedPath(path, "the music file");
            if (!std::isfinite(level) || level < 0 || level > 1) {
                refuse(kErrorInvalidArgs,
                       "the music level " + std::to_string(level) + " is out of range (0..1)");
            }
            service(userdata).target_.playMusic(file, static_cast<float>(level));
        });
    }

    static int stopRecording(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        return run(m, error, [&] { service(userdata).target_.stopRecording(); });
    }
    static int stopMusic(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        return run(m, error, [&] { service(userdata).target_.stopMusic(); });
    }
    static int show(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        return run(m, error, [&] { service(userdata).target_.showWindow(true); });
    }
    static int hide(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        return run(m, error, [&] { service(userdata).target_.showWindow(false); });
    }

    // Answered by quitDone once the exit has run, so that the caller knows the user's devices
    // are back when the answer comes.
    static int quit(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        BusService& s = service(userdata);
        try {
            s.target_.quit();
        } catch (const ControlError& e) {
            return sd_bus_error_set(error, e.name.c_str(), e.message.c_str());
        }
        if (s.pendingQuit_ == nullptr) {
            s.pendingQuit_ = sd_bus_message_ref(m);
            return 1;
        }
        return sd_bus_reply_method_return(m, "");
    }

    static int property(sd_bus*, const char*, const char*, const char* name, sd_bus_message* reply,
                        void* userdata, sd_bus_error*) {
        const ControlStatus s = service(userdata).target_.status();
        const std::string_view p = name;
        if (p == "Preset") {
            const VoicePreset* preset = findPreset(s.preset);
            return sd_bus_message_append(reply, "s", preset != nullptr ? preset->menuText : "");
        }
        if (p == "PresetId") {
            return sd_bus_message_append(reply, "u", s.preset);
        }
        if (p == "CaptureRunning") {
            return sd_bus_message_append(reply, "b", static_cast<int>(s.capturing));
        }
        if (p == "DelayMs") {
            return sd_bus_message_append(reply, "u", s.delayMs);
        }
        if (p == "Recording") {
            return sd_bus_message_append(reply, "b", static_cast<int>(s.recording));
        }
        if (p == "RecordingFile") {
            return sd_bus_message_append(reply, "s", s.recordingFile.c_str());
        }
        if (p == "EffectsOn") {
            return sd_bus_message_append(reply, "b", static_cast<int>(s.effectsOn));
        }
        if (p == "Denoise") {
            return sd_bus_message_append(reply, "b", static_cast<int>(s.denoise));
        }
        if (p == "DenoiseDb") {
            return sd_bus_message_append(reply, "i", static_cast<int32_t>(s.denoiseDb));
        }
        if (p == "Gate") {
            return sd_bus_message_append(reply, "b", static_cast<int>(s.gate));
        }
        if (p == "GateDb") {
            return sd_bus_message_append(reply, "i", static_cast<int32_t>(s.gateDb));
        }
        return -ENOENT;
    }
};

namespace {

constexpr uint64_t kChanges = SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE;

const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD_WITH_ARGS("ChoosePreset", SD_BUS_ARGS("s", preset), SD_BUS_NO_RESULT,
                            BusHandlers::choosePreset, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_ARGS("SetPitch", SD_BUS_ARGS("i", position), SD_BUS_NO_RESULT,
                            BusHandlers::setPitch, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_ARGS("SetTimbre", SD_BUS_ARGS("i", position), SD_BUS_NO_RESULT,
                            BusHandlers::setTimbre, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_ARGS("SetSemitones", SD_BUS_ARGS("i", semitones), SD_BUS_NO_RESULT,
                            BusHandlers::setSemitones, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_ARGS("SetEffects", SD_BUS_ARGS("b", on), SD_BUS_NO_RESULT,
                            BusHandlers::setEffects, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_ARGS("SetDenoise", SD_BUS_ARGS("b", on, "i", strengthDb), SD_BUS_NO_RESULT,
                            BusHandlers::setDenoise, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_ARGS("SetGate", SD_BUS_ARGS("b", on, "i", thresholdDb), SD_BUS_NO_RESULT,
                            BusHandlers::setGate, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_ARGS("StartRecording", SD_BUS_ARGS("s", file, "s", slot), SD_BUS_NO_RESULT,
                            BusHandlers::startRecording, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("StopRecording", "", "", BusHandlers::stopRecording, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_ARGS("PlayMusic", SD_BUS_ARGS("s", file, "d", level), SD_BUS_NO_RESULT,
                            BusHandlers::playMusic, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("StopMusic", "", "", BusHandlers::stopMusic, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Show", "", "", BusHandlers::show, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Hide", "", "", BusHandlers::hide, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Quit", "", "", BusHandlers::quit, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_PROPERTY("Preset", "s", BusHandlers::property, 0, kChanges),
    SD_BUS_PROPERTY("PresetId", "u", BusHandlers::property, 0, kChanges),
    SD_BUS_PROPERTY("CaptureRunning", "b", BusHandlers::property, 0, kChanges),
    SD_BUS_PROPERTY("DelayMs", "u", BusHandlers::property, 0, kChanges),
    SD_BUS_PROPERTY("Recording", "b", BusHandlers::property, 0, kChanges),
    SD_BUS_PROPERTY("RecordingFile", "s", BusHandlers::property, 0, kChanges),
    SD_BUS_PROPERTY("EffectsOn", "b", BusHandlers::property, 0, kChanges),
    SD_BUS_PROPERTY("Denoise", "b", BusHandlers::property, 0, kChanges),
    SD_BUS_PROPERTY("DenoiseDb", "i", BusHandlers::property, 0, kChanges),
    SD_BUS_PROPERTY("Gate", "b", BusHandlers::property, 0, kChanges),
    SD_BUS_PROPERTY("GateDb", "i", BusHandlers::property, 0, kChanges),
    SD_BUS_VTABLE_END,
};

} // namespace

BusService::BusService(ControlTarget& target) : target_(target) {}

BusService::~BusService() {
    quitDone();
    close();
}

bool BusService::open(std::string& error) {
    close();
    int r = sd_bus_open_user(&bus_);
    if (r < 0) {
        bus_ = nullptr;
        error = std::string("no session bus (") + std::strerror(-r) + ")";
        return false;
    }
    r = sd_bus_add_object_vtable(bus_, &slot_, kObjectPath, kInterface, kVtable, this);
    if (r >= 0) {
        r = sd_bus_request_name(bus_, kBusName, 0);
        if (r == -EEXIST || r == -EALREADY) {
            error = std::string("another program holds ") + kBusName + " on the session bus";
            close();
            return false;
        }
    }
    if (r < 0) {
        error = std::string("the session bus refused ") + kBusName + " (" + std::strerror(-r) + ")";
        close();
        return false;
    }
    shown_ = target_.status();
    return true;
}

int BusService::fd() const {
    return bus_ != nullptr ? sd_bus_get_fd(bus_) : -1;
}

void BusService::process() {
    if (bus_ == nullptr) {
        return;
    }
    int r = 0;
    while ((r = sd_bus_process(bus_, nullptr)) > 0) {
    }
    if (r < 0) {
        close();
        return;
    }
    refresh();
}

void BusService::refresh() {
    if (bus_ == nullptr) {
        return;
    }
    const ControlStatus now = target_.status();
    std::vector<const char*> changed;
    if (now.preset != shown_.preset) {
        changed.push_back("Preset");
        changed.push_back("PresetId");
    }
    if (now.capturing != shown_.capturing) {
        changed.push_back("CaptureRunning");
    }
    if (now.delayMs != shown_.delayMs) {
        changed.push_back("DelayMs");
    }
    if (now.recording != shown_.recording) {
        changed.push_back("Recording");
    }
    if (now.recordingFile != shown_.recordingFile) {
        changed.push_back("RecordingFile");
    }
    if (now.effectsOn != shown_.effectsOn) {
        changed.push_back("EffectsOn");
    }
    if (now.denoise != shown_.denoise) {
        changed.push_back("Denoise");
    }
    if (now.denoiseDb != shown_.denoiseDb) {
        changed.push_back("DenoiseDb");
    }
    if (now.gate != shown_.gate) {
        changed.push_back("Gate");
    }
    if (now.gateDb != shown_.gateDb) {
        changed.push_back("GateDb");
    }
    shown_ = now;
    if (changed.empty()) {
        return;
    }
    changed.push_back(nullptr);
    sd_bus_emit_properties_changed_strv(bus_, kObjectPath, kInterface,
                                        const_cast<char**>(changed.data()));
    sd_bus_flush(bus_);
}

void BusService::quitDone() {
    if (pendingQuit_ == nullptr) {
        return;
    }
    if (bus_ != nullptr) {
        sd_bus_reply_method_return(pendingQuit_, "");
        sd_bus_flush(bus_);
    }
    pendingQuit_ = sd_bus_message_unref(pendingQuit_);
}

void BusService::close() {
    if (pendingQuit_ != nullptr) {
        pendingQuit_ = sd_bus_message_unref(pendingQuit_);
    }
    slot_ = sd_bus_slot_unref(slot_);
    if (bus_ != nullptr) {
        bus_ = sd_bus_flush_close_unref(bus_);
    }
}

} // namespace timbrelo::control
