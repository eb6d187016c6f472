// timbrelo-cli ctl as a user runs it: the command line's errors, the one line that says nobody
// runs, and the cleaning commands against a headless runner served on a private bus. (The
// other calls with sound: tests/integration/control_test.)

#include "cli/headless_runner.h"
#include "control/bus_service.h"
#include "sim/sim_audio_backend.h"
#include "support/session_bus.h"

#include <atomic>
#include <gtest/gtest.h>
#include <poll.h>
#include <thread>

using namespace timbrelo;
using namespace timbrelo::test;

namespace {

const std::string kCli = TIMBRELO_BINARY_DIR "/src/cli/timbrelo-cli";

CommandResult ctl(std::vector<std::string> args) {
    args.insert(args.begin(), {kCli, "ctl"});
    return runCommand(args, std::chrono::seconds(10), true);
}

size_t lines(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(CtlCommand, AWrongCommandLineIsStatusTwoBeforeTheBusIsAsked) {
    // No bus at all: these fail on the command line alone.
    ScopedEnv nowhere("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent");
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{},
                                               {"dance"},
                                               {"preset"},
                                               {"preset", "Robot"},
                                               {"pitch", "49"},
                                               {"pitch", "1.5"},
                                               {"timbre", "abc"},
                                               {"semitones", "25"},
                                               {"effects", "maybe"},
                                               {"denoise", "51"},
                                               {"denoise", "12.5"},
                                               {"denoise", "on"},
                                               {"denoise", "20", "30"},
                                               {"gate"},
                                               {"gate", "1"},
                                               {"gate", "-inf"},
                                               {"record"},
                                               {"record", "a.wav", "--slot", "both"},
                                               {"music", "a.mp3", "--level", "2"},
                                               {"music", "a.mp3", "--level"},
                                               {"status", "now"},
                                               {"quit", "--force"}}) {
        const CommandResult r = ctl(args);
        EXPECT_EQ(r.status, 2) << (args.empty() ? "" : args[0]) << ": " << r.output;
        EXPECT_EQ(r.output.rfind("timbrelo-cli: ", 0), 0u) << r.output;
    }
    // A value out of range is one line naming it.
    const CommandResult r = ctl({"semitones", "-30"});
    EXPECT_EQ(lines(r.output), 1u) << r.output;
    EXPECT_NE(r.output.find("-30"), std::string::npos) << r.output;
    EXPECT_NE(ctl({"gate", "-91"}).output.find("(-90..0)"), std::string::npos);
}

TEST(CtlCommand, NobodyRunningIsOneClearLineAndStatusOne) {
    PrivateSessionBus bus;
    if (!bus.running()) {
        GTEST_SKIP() << bus.error();
    }
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"status"},
                                               {"preset", "Mickey"},
                                               {"semitones", "-3"},
                                               {"denoise"},
                                               {"denoise", "off"},
                                               {"gate", "-45"},
                                               {"quit"}}) {
        const CommandResult r = ctl(args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(r.output, "timbrelo-cli: no voice changer is running (start timbrelo or "
                            "timbrelo-cli run)\n");
    }
    ScopedEnv nowhere("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent");
    const CommandResult r = ctl({"show"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines(r.output), 1u) << r.output;
    EXPECT_NE(r.output.find("no voice changer is running"), std::string::npos) << r.output;
}

// The runner answers on a thread of its own, as on its main thread in `run`; no sound runs.
// Only the part a call changes is remembered (cleaning `run`'s options alone asked for stays
// out), and whole dB from the bus leave a fraction from the command line as it was.
TEST(CtlCommand, CleaningCommandsReachTheVoiceChangerAndOnlyTheirPartIsRemembered) {
    PrivateSessionBus bus;
    if (!bus.running()) {
        GTEST_SKIP() << bus.error();
    }
    TempDir config;
    ScopedEnv home("XDG_CONFIG_HOME", config.path());
    ensureSettingsFile();
    ASSERT_TRUE(saveInputCleanerSettings({false, 18, true, -50}));
    SimAudioBackend backend;
    cli::RunOptions options;
    options.voice.denoise = cli::CleaningChoice{true, 24.5f};
    cli::HeadlessRunner runner(options);
    VoiceChangerSession session(backend, runner);
    runner.attach(session);
    InputCleaner& cleaner = session.engine().inputCleaner();
    cleaner.apply(cli::cleaningSettings(options.voice, loadInputCleanerSettings()));
    std::atomic<int> opened{0};
    std::atomic<bool> stop{false};
    std::thread serving([&] {
        control::BusService service(runner);
        std::string why;
        opened = service.open(why) ? 1 : -1;
        while (opened == 1 && !stop) {
            pollfd fd{service.fd(), POLLIN, 0};
            ::poll(&fd, 1, 20);
            service.process();
        }
    });
    eventually([&] { return opened != 0; });
    struct Step {
        std::vector<std::string> args;
        InputCleanerSettings running, remembered;
    };
    for (const Step& step : std::vector<Step>{
             {{"gate", "-40"}, {true, 24.5f, true, -40}, {false, 18, true, -40}},
             {{"denoise", "off"}, {false, 24.5f, true, -40}, {false, 24.5f, true, -40}},
             {{"denoise", "12"}, {true, 12, true, -40}, {true, 12, true, -40}},
             {{"gate", "off"}, {true, 12, false, -40}, {true, 12, false, -40}},
             {{"denoise", "off"}, {false, 12, false, -40}, {false, 12, false, -40}},
             {{"denoise"}, {true, 12, false, -40}, {true, 12, false, -40}}}) {
        SCOPED_TRACE(step.args[0] + " " + step.args.back());
        const CommandResult r = ctl(step.args);
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(cleaner.settings(), step.running);
        EXPECT_EQ(loadInputCleanerSettings(), step.remembered);
    }
    const CommandResult r = ctl({"status"});
    EXPECT_NE(r.output.find("noise suppression: on, 12 dB\nnoise gate: off, -40 dBFS\n"),
              std::string::npos)
        << r.output;
    stop = true;
    serving.join();
    ASSERT_EQ(opened.load(), 1);
}

} // namespace
