#include "cli/run_command.h"

#include "app/voice_presets.h"
#include "audio/capture_engine.h"
#include "audio/dc_audio_player.h"
#include "audio/device_enumeration.h"
#include "audio/virtual_device_link.h"
#include "cli/devices_command.h"
#include "cli/voice_options.h"
#include "platform/debug.h"
#include "platform/messages.h"
#include "platform/settings.h"
#include "platform/single_instance.h"
#include "platform/vdev/virtual_device_factory.h"
#include "platform/wave/audio_backend_factory.h"
#include "platform/wave/sim_audio_backend.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <string>

namespace timbrelo::cli {
namespace {

struct RunOptions {
    VoiceOptions voice;
    std::string backend;
    std::string record;
    RecordSlot slot = kEffectSlot;
    bool preview = false;
    bool debug = false;
};

RunOptions parseRunOptions(const std::vector<std::string_view>& args) {
    RunOptions o;
    for (size_t i = 0; i < args.size();) {
        if (parseVoiceOption(args, i, o.voice)) {
            continue;
        }
        const std::string_view a = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) {
                throw CliError{CliError::Kind::Usage, std::string(a) + " needs a value"};
            }
            return std::string(args[++i]);
        };
        if (a == "--backend") {
            o.backend = value();
        } else if (a == "--record") {
            o.record = value();
        } else if (a == "--slot") {
            const std::string slot = value();
            if (slot != "origin" && slot != "effect") {
                throw CliError{CliError::Kind::Usage, "--slot takes \"origin\" or \"effect\""};
            }
            o.slot = slot == "origin" ? kOriginSlot : kEffectSlot;
        } else if (a == "--preview") {
            o.preview = true;
        } else if (a == "--debug") {
            o.debug = true;
        } else {
            throw CliError{CliError::Kind::Usage, "unknown option " + std::string(a)};
        }
        ++i;
    }
    return o;
}

void say(const char* format, const char* detail = "") {
    std::time_t now = std::time(nullptr);
    char stamp[16];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", std::localtime(&now));
    std::printf("[%s] ", stamp);
    std::printf(format, detail);
    std::printf("\n");
    std::fflush(stdout);
}

// The record file of the n-th capture (1: the name as given; then "name-2.wav", ...).
std::string recordPath(const std::string& path, int session) {
    if (session <= 1) {
        return path;
    }
    const size_t dot = path.rfind('.');
    const size_t slash = path.rfind('/');
    const bool hasExtension =
        dot != std::string::npos && (slash == std::string::npos || dot > slash);
    const std::string stem = hasExtension ? path.substr(0, dot) : path;
    const std::string extension = hasExtension ? path.substr(dot) : "";
    return stem + "-" + std::to_string(session) + extension;
}

// The owner of the link without a window: it applies the voice at each capture start, says
// when capture starts and stops, and records each capture when asked to.
class HeadlessRunner : public LinkOwner {
  public:
    HeadlessRunner(const RunOptions& options, AudioBackend& backend, CaptureEngine& engine)
        : options_(options), backend_(backend), engine_(engine) {}

    bool previewTicked() const override { return options_.preview; }

    void reissueCurrentPreset() override {
        applyVoice(engine_, options_.voice);
        // Stopping capture stops the music too (as the window's Play button would show);
        // without a window, the music simply comes back with the next capture.
        if (options_.voice.background) {
            engine_.setBackgroundLevel(options_.voice.level);
            engine_.openBackground(options_.voice.background->c_str());
        }
    }

    void setRecordAndPlayEnabled(bool enabled) override {
        if (enabled) {
            captureRunning_ = true;
            say("capture started");
            startRecording();
        } else if (captureRunning_.exchange(false)) {
            say("capture stopped");
        }
    }

    void restorePreferredDevices() override { switchPreferredDevices(backend_, 0); }

  private:
    void startRecording() {
        if (options_.record.empty()) {
            return;
        }
        const std::string path = recordPath(options_.record, ++sessions_);
        if (engine_.recorder().startRecording(options_.slot, path) == 1) {
            say("recording to %s", path.c_str());
        } else {
            say("can't record to %s", path.c_str());
        }
    }

    const RunOptions& options_;
    AudioBackend& backend_;
    CaptureEngine& engine_;
    std::atomic<bool> captureRunning_{false};
    int sessions_ = 0;
};

// The default effect lines of a new settings file.
void ensureSettingsFile() {
    std::string folder;
    if (ensureDataFolder(folder) < 0) {
        showStringMessage(IDS_OPEN_CONFIG_FAILED);
        return;
    }
    const std::string file = folder + kSettingsFileName;
    if (!std::ifstream(file).good()) {
        std::ofstream(file) << "cartoon 1.5\npsola 1.0";
    }
}

int countVirtualInputs(AudioBackend& backend) {
    int count = 0;
    for (uint32_t i = 0; i < inputDeviceCount(backend); ++i) {
        if (inputDeviceName(backend, i).find(kVirtualDeviceNameTag) != std::string::npos) {
            ++count;
        }
    }
    return count;
}

} // namespace

const char* const kRunUsage =
    "usage: timbrelo-cli run [options]\n"
    "\n"
    "The voice changer without a window: makes the virtual microphone and speaker the default\n"
    "devices and changes your voice whenever a program listens to the virtual microphone.\n"
    "Stop it with Ctrl+C; your default devices come back.\n"
    "\n"
    "options:\n"
    "  --backend pulse|sim  the audio back end (default: the sound server when one answers)\n"
    "  --record FILE        record each capture (WAV, or MP3 when FILE ends in .mp3)\n"
    "  --slot origin|effect record the unchanged (origin) or changed (effect, default) voice\n"
    "  --preview            play the changed voice on your speakers, capturing all the time\n"
    "  --debug              print the diagnostic lines\n";

int runRunCommand(const std::vector<std::string_view>& args) {
    const RunOptions options = parseRunOptions(args);
    const SingleInstance instance;
    if (!instance.first()) {
        throw CliError{CliError::Kind::Value, "Timbrelo is already running"};
    }
    if (options.debug) {
        setDebugToStderr(true);
    }
    // SIGINT and SIGTERM are taken by the main loop below, never by the audio threads.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::unique_ptr<AudioBackend> backend = chooseBackend(options.backend);
    const std::string_view kind = backendKind(*backend);
    if (kind == "sim" && options.backend.empty() && std::getenv(kAudioBackendEnv) == nullptr) {
        // Chosen only because no server answered: a voice changer nobody can hear.
        throw CliError{CliError::Kind::Value,
                       "no sound server answers (start PulseAudio or PipeWire, or try "
                       "--backend sim)"};
    }
    std::string error;
    std::unique_ptr<VirtualDevice> device = openVirtualDevice(kind, error);
    if (!device) {
        throw CliError{CliError::Kind::Value, "can't bring up the virtual devices: " + error};
    }
    if (auto* sim = dynamic_cast<SimAudioBackend*>(backend.get())) {
        // The simulated sound system lists the simulated virtual pair like any other device.
        sim->addInputDevice("Timbrelo Virtual Microphone", std::make_shared<ToneSource>(0, 0, 0));
        sim->addOutputDevice("Timbrelo Virtual Speaker");
    }

    ensureSettingsFile();
    if (switchPreferredDevices(*backend, 1) != 0) {
        throw CliError{CliError::Kind::Value, "can't make the virtual devices the defaults"};
    }
    // Put the user's devices back on every way out from here.
    struct Restore {
        AudioBackend& backend;
        bool armed = true;
        ~Restore() {
            if (armed) {
                switchPreferredDevices(backend, 0);
            }
        }
    } restore{*backend};

    if (countVirtualInputs(*backend) != 1) {
        throw CliError{CliError::Kind::Value, loadString(IDS_DEVICE_NOT_INSTALLED)};
    }
    std::string oldPlay, oldRec;
    getSetting(kOldPlayDefaultKey, oldPlay);
    getSetting(kOldRecDefaultKey, oldRec);
    const int32_t output = findOutputDevice(*backend, oldPlay);
    const int32_t input = findInputDevice(*backend, oldRec);
    if (input < 0) {
        throw CliError{CliError::Kind::Value, loadString(IDS_NO_RECORD_DEVICE)};
    }
    if (output < 0) {
        throw CliError{CliError::Kind::Value, loadString(IDS_DEVICE_NOT_INSTALLED)};
    }

    CaptureEngine engine(*backend);
    DCAudioPlayer previewPlayer(*backend);
    DCAudioPlayer renderPlayer(*backend);
    previewPlayer.selectDevice(static_cast<uint32_t>(output), 3072);
    renderPlayer.selectDevice(static_cast<uint32_t>(output), 3072);
    engine.selectDevice(static_cast<uint32_t>(input), 2048);
    engine.setPreviewPlayer(&previewPlayer);
    prepareChain(engine, options.voice);

    HeadlessRunner runner(options, *backend, engine);
    VirtualDeviceLink link(runner, engine, previewPlayer, renderPlayer);
    say("microphone: %s", inputDeviceName(*backend, static_cast<uint32_t>(input)).c_str());
    say("speakers: %s", outputDeviceName(*backend, static_cast<uint32_t>(output)).c_str());
    link.setUp(device.get());
    restore.armed = false; // the link's shut-down restores from now on
    if (options.preview) {
        link.previewChanged(true);
    }
    say("ready: programs that record from the default microphone now hear the changed voice");

    int exitCode = 0;
    const timespec poll{0, 200 * 1000 * 1000};
    for (;;) {
        const int signal = sigtimedwait(&stopSignals, nullptr, &poll);
        if (signal == SIGINT || signal == SIGTERM) {
            say("stopping");
            break;
        }
        if (device->lost()) {
            say("the sound server went away: stopping");
            exitCode = 1;
            break;
        }
    }
    link.shutDown();
    say("default devices restored");
    return exitCode;
}

} // namespace timbrelo::cli
