#include "cli/run_command.h"

#include "app/voice_changer_session.h"
#include "cli/backend_choice.h"
#include "cli/devices_command.h"
#include "cli/headless_runner.h"
#include "cli/voice_options.h"
#include "control/bus_service.h"
#include "platform/debug.h"
#include "platform/messages.h"
#include "platform/posted_messages.h"
#include "platform/single_instance.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/signalfd.h>
#include <unistd.h>

namespace timbrelo::cli {
namespace {

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
    // SIGINT and SIGTERM are taken by the main loop below (through a signalfd, which it watches
    // with the bus), never by the audio threads.
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
    const auto failure = session.start(
        [kind](std::string& why) { return openVirtualDevice(kind, why); }, error,
        [&options](CaptureEngine& engine) {
            prepareChain(engine, options.voice);
            // The cleaning remembered from the window, with what the options say over it.
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

    // Remote control over the session bus, on this thread; without a bus the voice changer
    // runs as before.
    control::BusService bus(runner);
    if (std::string why; bus.open(why)) {
        say("remote control: %s on the session bus", control::kBusName);
    } else {
        say("no remote control: %s", why.c_str());
    }
    const char* const ready =
        "ready: programs that record from the default microphone now hear the changed voice";
    say("%s", ready);

    int exitCode = 0;
    DelayReporter delay;
    const int signals = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    for (;;) {
        pollfd fds[2] = {{signals, POLLIN, 0}, {bus.fd(), POLLIN, 0}};
        ::poll(fds, 2, 200);
        signalfd_siginfo info{};
        const timespec noWait{0, 0};
        if (signals >= 0 ? ::read(signals, &info, sizeof info) == sizeof info
                         : sigtimedwait(&stopSignals, nullptr, &noWait) > 0) {
            say("stopping");
            break;
        }
        bus.process();
        if (runner.quitAsked()) {
            say("stopping: asked over the session bus");
            break;
        }
        showPostedMessages();
        // The session asks for a server that went away at most every half second; the
        // loop's wait is its sleep, so a stop signal or a bus call is taken at once.
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
    if (signals >= 0) {
        ::close(signals);
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
    bus.quitDone();
    return exitCode;
}

} // namespace timbrelo::cli
