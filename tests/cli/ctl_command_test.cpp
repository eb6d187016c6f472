// timbrelo-cli ctl as a user runs it, without a voice changer: the command line's errors and
// the one line that says nobody runs. (The calls themselves: tests/integration/control_test.)

#include "support/session_bus.h"

#include <gtest/gtest.h>

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
}

TEST(CtlCommand, NobodyRunningIsOneClearLineAndStatusOne) {
    PrivateSessionBus bus;
    if (!bus.running()) {
        GTEST_SKIP() << bus.error();
    }
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"status"}, {"preset", "Mickey"}, {"semitones", "-3"}, {"quit"}}) {
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

} // namespace
