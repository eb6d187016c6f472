#include "cli/run_command.h"

#include "app/voice_changer_session.h"
#include "cli/backend_choice.h"
#include "cli/devices_command.h"
#include "cli/voice_options.h"
#include "platform/debug.h"
#include "platform/messages.h"
#include "platform/posted_messages.h"
#include "platform/single_instance.h"

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
    explicit HeadlessRunner(const RunOptions& options) : options_(options) {}

    void attach(VoiceChangerSession& session) { session_ = &session; }

    bool previewTicked() const override { return options_.preview; }

    void reissueCurrentPreset() override {
        CaptureEngine& engine = session_->engine();
        applyVoice(engine, options_.voice);
        // Stopping capture stops the music too (as the window's Play button would show);
        // without a window, the music simply comes back with the next capture.
        if (options_.voice.background) {
            engine.setBackgroundLevel(options_.voice.level);
            engine.openBackground(options_.voice.background->c_str());
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

    void restorePreferredDevices() override {} // the session does it

    bool captureRunning() const { return captureRunning_.load(); }

  private:
    void startRecording() {
        if (options_.record.empty()) {
            return;
        }
        if (session_->engine().recorder().recording()) {
            // A capture the sound server interrupted carries on in its own file.
            say("still recording to %s", recordingTo_.c_str());
            return;
        }
        const std::string path = recordPath(options_.record, ++sessions_);
        recordingTo_ = path;
        if (session_->engine().recorder().startRecording(options_.slot, path) == 1) {
            say("recording to %s", path.c_str());
        } else {
            say("can't record to %s", path.c_str());
        }
    }

    const RunOptions& options_;
    VoiceChangerSession* session_ = nullptr;
    std::atomic<bool> captureRunning_{false};
    int sessions_ = 0;
    std::string recordingTo_;
};

// Says how long the voice takes to reach a listener, whenever that changes.
class DelayReporter {
  public:
    void update(VoiceChangerSession& session, bool capturing) {
        if (!capturing) {
            last_ = UINT32_MAX;
            return;
        }
        const uint32_t pipeline = session.engine().pipelineLatencyFrames();
        if (pipeline == last_) {
            return;
        }
        last_ = pipeline;
        const StreamFormat& f = kPipelineFormat;
        const uint32_t delivery =
            session.virtualDevice() != nullptr ? session.virtualDevice()->voiceDelayFrames() : 0;
        const double total = f.framesToMs(pipeline + CaptureEngine::kBlockFrames + delivery);
        char line[160];
        std::snprintf(line, sizeof line,
                      "voice delay about %.0f ms (pipeline %.0f ms, capture block %.0f ms, "
                      "delivery %.0f ms)",
                      total, f.framesToMs(pipeline), f.framesToMs(CaptureEngine::kBlockFrames),
                      f.framesToMs(delivery));
        say("%s", line);
    }

  private:
    uint32_t last_ = UINT32_MAX;
};

} // namespace

const char* const kRunUsage =
    "usage: timbrelo-cli run [options]\n"
    "\n"
    "The voice changer without a window: makes the virtual microphone and speaker the default\n"
    "devices and changes your voice whenever a program listens to the virtual microphone.\n"
    "Stop it with Ctrl+C; your default devices come back. When the sound server goes away,\n"
    "it waits for it to come back and carries on with the same voice and recording.\n"
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
    const std::string_view kind = backend->kind();
    if (kind == std::string_view("sim") && options.backend.empty() &&
        std::getenv(kAudioBackendEnv) == nullptr) {
        // Chosen only because no server answered: a voice changer nobody can hear.
        throw CliError{CliError::Kind::Value,
                       "no sound server answers (start PulseAudio or PipeWire, or try "
                       "--backend sim)"};
    }

    HeadlessRunner runner(options);
    VoiceChangerSession session(*backend, runner);
    runner.attach(session);
    std::string error;
    const auto failure =
        session.start([kind](std::string& why) { return openVirtualDevice(kind, why); }, error,
                      [&options](CaptureEngine& engine) {
                          prepareChain(engine, options.voice);
                          // The cleaning remembered from the window, with what the options say over
                          // it.
                          engine.inputCleaner().apply(
                              cleaningSettings(options.voice, loadInputCleanerSettings()));
                      });
    if (failure != VoiceChangerSession::Failure::None) {
        throw CliError{CliError::Kind::Value, error};
    }
    say("microphone: %s", session.microphoneName().c_str());
    say("speakers: %s", session.speakersName().c_str());
    if (options.preview) {
        session.link()->previewChanged(true);
    }
    const char* const ready =
        "ready: programs that record from the default microphone now hear the changed voice";
    say("%s", ready);

    int exitCode = 0;
    DelayReporter delay;
    // The loop's wait is its sleep: a stop signal ends it at once, also while the sound
    // server is away (the session asks for one at most every half second).
    const timespec poll{0, 200 * 1000 * 1000};
    for (;;) {
        const int signal = sigtimedwait(&stopSignals, nullptr, &poll);
        if (signal == SIGINT || signal == SIGTERM) {
            say("stopping");
            break;
        }
        showPostedMessages();
        std::string detail;
        const ServerEvent event = session.poll(detail);
        if (event == ServerEvent::Lost) {
            say("the sound server went away: waiting for it to come back");
        } else if (event == ServerEvent::Waiting) {
            say("%s", detail.c_str());
        } else if (event == ServerEvent::Back) {
            const std::string devices =
                "microphone: " + session.microphoneName() + ", speakers: " + session.speakersName();
            say("the sound server is back (%s)", devices.c_str());
            say("%s", ready);
        } else if (event == ServerEvent::Failed) {
            showMessage(detail); // the start-up's own words
            say("stopping");
            exitCode = 1;
            break;
        }
        delay.update(session, runner.captureRunning());
    }
    const JitterBuffer::Stats voice = session.voiceStats();
    const JitterBuffer::Stats render = session.renderPlayer().stats();
    const uint64_t serverShort = session.serverUnderruns();
    session.shutDown();
    showPostedMessages();
    char summary[200];
    std::snprintf(summary, sizeof summary,
                  "voice delivery: %llu underruns (%.0f ms of silence), %llu times the server ran "
                  "short, %.0f ms lost to overflow, %llu frames dropped and %llu repeated for "
                  "clock drift",
                  static_cast<unsigned long long>(voice.underruns),
                  kPipelineFormat.framesToMs(static_cast<double>(voice.underrunFrames)),
                  static_cast<unsigned long long>(serverShort),
                  kPipelineFormat.framesToMs(static_cast<double>(voice.overflowFrames)),
                  static_cast<unsigned long long>(voice.droppedFrames),
                  static_cast<unsigned long long>(voice.repeatedFrames));
    say("%s", summary);
    std::snprintf(summary, sizeof summary,
                  "render delivery: %llu underruns (%.0f ms of silence), %llu frames dropped and "
                  "%llu repeated for clock drift",
                  static_cast<unsigned long long>(render.underruns),
                  kPipelineFormat.framesToMs(static_cast<double>(render.underrunFrames)),
                  static_cast<unsigned long long>(render.droppedFrames),
                  static_cast<unsigned long long>(render.repeatedFrames));
    say("%s", summary);
    if (session.defaultsRestored()) {
        say("default devices restored");
    } else {
        say("the default devices could not be put back; the next start tries again");
    }
    return exitCode;
}

} // namespace timbrelo::cli
