// Remote control end to end: a private session bus and a private sound server, timbrelo-cli run
// against a test microphone, busctl (a client we did not write) and timbrelo-cli ctl on the
// bus, parec for a program that listens to the default (virtual) microphone.

#include "effects/input_cleaner.h"
#include "support/audio_files.h"
#include "support/session_bus.h"
#include "support/signals.h"
#include "support/sound_server.h"
#include "support/temp_dir.h"
#include "support/user_devices.h"

#include <cmath>
#include <gtest/gtest.h>
#include <thread>

using namespace timbrelo;
using namespace timbrelo::test;
using namespace std::chrono_literals;

namespace {

const std::string kCli = TIMBRELO_BINARY_DIR "/src/cli/timbrelo-cli";

class ControlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!installed("busctl")) {
            GTEST_SKIP() << "busctl is not installed";
        }
        if (!bus.running()) {
            GTEST_SKIP() << bus.error();
        }
        SKIP_WITHOUT_SOUND_SERVER();
        ASSERT_TRUE(user.make());
        std::this_thread::sleep_for(300ms);
    }

    static CommandResult ctl(std::vector<std::string> args) {
        args.insert(args.begin(), {kCli, "ctl"});
        return runCommand(args, 40s, true);
    }

    TempDir dir;
    ScopedEnv home{"XDG_CONFIG_HOME", dir.path()};
    ScopedEnv runtime{"XDG_RUNTIME_DIR", dir.path()};
    PrivateSessionBus bus;
    UserDevices user{"ctl"};
};

TEST_F(ControlTest, BusctlSwitchesTheVoiceOfTheHeadlessRunnerAndCtlQuitPutsEverythingBack) {
    const std::string log = dir.file("run.log");
    ChildProcess runner({kCli, "run", "--preset", "No Effect"}, log, true);
    ASSERT_TRUE(eventually([&] { return occurrences(log, "ready:") > 0; }, 15s)) << readFile(log);
    EXPECT_NE(readFile(log).find("remote control: io.github.timbrelo.Timbrelo"), std::string::npos)
        << readFile(log);

    // Calls that need a listener are refused while nobody listens, with a clear reason.
    CommandResult r = ctl({"record", "early.wav"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("capture is not running"), std::string::npos) << r.output;
    r = ctl({"show"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("no window"), std::string::npos) << r.output;

    user.speak(writeTestVoice(dir));
    const std::string heard = dir.file("heard.raw");
    auto listener = std::make_unique<ChildProcess>(recorderCommand(), heard);
    ASSERT_TRUE(eventually([&] { return occurrences(log, "capture started") > 0; }, 5s))
        << readFile(log);
    std::this_thread::sleep_for(2s);

    const size_t switchedAt = recordedFrames(heard);
    r = busctl("call", {"ChoosePreset", "s", "Male to female(General)"});
    ASSERT_EQ(r.status, 0) << r.output;
    std::this_thread::sleep_for(2500ms);

    r = busctl("get-property", {"Preset"});
    EXPECT_EQ(r.output, "s \"Male to female(General)\"\n");
    r = ctl({"status"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("preset: Male to female(General)\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("capture: running\n"), std::string::npos) << r.output;
    const size_t delayAt = r.output.find("delay: ");
    ASSERT_NE(delayAt, std::string::npos) << r.output;
    const int delayMs = std::atoi(r.output.c_str() + delayAt + 7);
    std::printf("[ control  ] ctl status: delay %d ms\n", delayMs);
    EXPECT_GT(delayMs, 23); // at least the capture block
    EXPECT_LT(delayMs, 1000);

    // A wrong value is the bus's InvalidArgs with the reason, and changes nothing.
    r = busctl("call", {"SetPitch", "i", "20"});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.output.find("out of range"), std::string::npos) << r.output;

    r = ctl({"record", dir.file("call.wav"), "--slot", "effect"});
    EXPECT_EQ(r.status, 0) << r.output;
    std::this_thread::sleep_for(500ms);
    listener->stop();
    r = ctl({"stop-record"});
    EXPECT_EQ(r.status, 0) << r.output;

    // The listener heard the voice as it was, then nine semitones up.
    const auto [before, after] = pitchAroundSwitch(heard, switchedAt);
    const double raised = 120 * std::pow(2.0, 9 / 12.0);
    std::printf("[ control  ] pitch before the call %.1f Hz, after %.1f Hz\n", before, after);
    EXPECT_NEAR(before, 120, 120 * 0.02);
    EXPECT_NEAR(after, raised, raised * 0.02);

    // The input cleaning while capture runs: applied, shown and remembered, a wrong value
    // refused with its range.
    r = busctl("call", {"SetGate", "bi", "--", "true", "-50"}); // "--": -50 is no option
    EXPECT_EQ(r.status, 0) << r.output;
    r = busctl("call", {"SetDenoise", "bi", "true", "51"});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.output.find("6..50"), std::string::npos) << r.output;
    r = ctl({"denoise", "20"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(busctl("get-property", {"DenoiseDb"}).output, "i 20\n");
    EXPECT_EQ(busctl("get-property", {"Gate"}).output, "b true\n");
    EXPECT_EQ(loadInputCleanerSettings(), (InputCleanerSettings{true, 20, true, -50}));

    // quit answers once the user's devices are back.
    r = ctl({"quit"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(settledDefault("source", "ctl_mic"), "ctl_mic");
    EXPECT_EQ(settledDefault("sink", "ctl_speakers"), "ctl_speakers");
    EXPECT_EQ(runner.wait(15s), 0) << readFile(log);
    EXPECT_EQ(occurrences(log, "default devices restored"), 1u) << readFile(log);
    const auto recording = readWav(dir.file("call.wav"));
    ASSERT_TRUE(recording.has_value());
    EXPECT_GT(recording->data.size(), 22050u) << "at least a quarter of a second";
    r = ctl({"status"});
    EXPECT_EQ(r.status, 1);
}

} // namespace
