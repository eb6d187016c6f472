// Remote control end to end: a private session bus and a private sound server, timbrelo-cli run
// against a test microphone, busctl (a client we did not write) and timbrelo-cli ctl on the
// bus, parec for a program that listens to the default (virtual) microphone.

#include "pulse/pulse_audio_backend.h"
#include "support/audio_files.h"
#include "support/session_bus.h"
#include "support/signals.h"
#include "support/sound_server.h"
#include "support/temp_dir.h"

#include <cmath>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

using namespace timbrelo;
using namespace timbrelo::test;
using namespace std::chrono_literals;

namespace {

constexpr double kRate = 22050;
const std::string kCli = TIMBRELO_BINARY_DIR "/src/cli/timbrelo-cli";

bool installed(const std::string& program) {
    return runCommand({"sh", "-c", "command -v " + program}).status == 0;
}

size_t fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

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
        ASSERT_TRUE(modules.microphone("ctl_mic", "Test Microphone"));
        ASSERT_TRUE(modules.nullSink("ctl_speakers", "Test Speakers"));
        ASSERT_TRUE(setDefaultDevice("source", "ctl_mic"));
        ASSERT_TRUE(setDefaultDevice("sink", "ctl_speakers"));
        ASSERT_EQ(backend.connect(), AudioResult::Ok);
        // A real microphone never stops (see run_command_test).
        keepAlive = std::make_unique<ChildProcess>(std::vector<std::string>{
            "pacat", "--playback", "--device=ctl_mic_feed", "--format=s16le", "--rate=22050",
            "--channels=2", "--latency-msec=20", "/dev/zero"});
        if (sharedSoundServerKind() == "pulse") {
            pactl({"suspend-sink", "ctl_mic_feed", "1"});
            pactl({"suspend-sink", "ctl_mic_feed", "0"});
        }
        std::this_thread::sleep_for(300ms);
    }

    std::string defaultDevice(bool input) {
        uint32_t index = kDefaultDevice;
        if (input) {
            return backend.defaultInput(index) == AudioResult::Ok ? backend.inputDeviceName(index)
                                                                  : "";
        }
        return backend.defaultOutput(index) == AudioResult::Ok ? backend.outputDeviceName(index)
                                                               : "";
    }

    static CommandResult busctl(std::vector<std::string> args) {
        args.insert(args.begin(), {"busctl", "--user"});
        return runCommand(args, 20s, true);
    }

    static CommandResult ctl(std::vector<std::string> args) {
        args.insert(args.begin(), {kCli, "ctl"});
        return runCommand(args, 40s, true);
    }

    TempDir dir;
    ScopedEnv home{"XDG_CONFIG_HOME", dir.path()};
    ScopedEnv runtime{"XDG_RUNTIME_DIR", dir.path()};
    PrivateSessionBus bus;
    ModuleSet modules;
    PulseAudioBackend backend;
    std::unique_ptr<ChildProcess> keepAlive;
};

TEST_F(ControlTest, BusctlSwitchesTheVoiceOfTheHeadlessRunnerAndCtlQuitPutsEverythingBack) {
    const std::string log = dir.file("run.log");
    ChildProcess runner({kCli, "run", "--preset", "No Effect"}, log, true);
    ASSERT_TRUE(eventually([&] { return readFile(log).find("ready:") != std::string::npos; }, 15s))
        << readFile(log);
    EXPECT_NE(readFile(log).find("remote control: io.github.timbrelo.Timbrelo"), std::string::npos)
        << readFile(log);

    // Calls that need a listener are refused while nobody listens, with a clear reason.
    CommandResult r = ctl({"record", "early.wav"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("capture is not running"), std::string::npos) << r.output;
    r = ctl({"show"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("no window"), std::string::npos) << r.output;

    const std::string voice = dir.file("voice.wav");
    writeWav(voice, toInterleaved16(makeVoice(120, 3.0, kRate, 0.4), 2), 22050, 2);
    ChildProcess speaker(
        {"sh", "-c", "while paplay --device=ctl_mic_feed '" + voice + "'; do :; done"});
    const std::string heard = dir.file("heard.raw");
    auto listener = std::make_unique<ChildProcess>(
        std::vector<std::string>{"parec", "--latency-msec=20", "--format=s16le", "--rate=22050",
                                 "--channels=2", "--raw"},
        heard);
    ASSERT_TRUE(
        eventually([&] { return readFile(log).find("capture started") != std::string::npos; }, 5s))
        << readFile(log);
    std::this_thread::sleep_for(2s);

    const size_t switchedAt = fileSize(heard) / 4;
    r = busctl({"call", "io.github.timbrelo.Timbrelo", "/io/github/timbrelo/Timbrelo",
                "io.github.timbrelo.Timbrelo1", "ChoosePreset", "s", "Male to female(General)"});
    ASSERT_EQ(r.status, 0) << r.output;
    std::this_thread::sleep_for(2500ms);

    r = busctl({"get-property", "io.github.timbrelo.Timbrelo", "/io/github/timbrelo/Timbrelo",
                "io.github.timbrelo.Timbrelo1", "Preset"});
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
    r = busctl({"call", "io.github.timbrelo.Timbrelo", "/io/github/timbrelo/Timbrelo",
                "io.github.timbrelo.Timbrelo1", "SetPitch", "i", "20"});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.output.find("out of range"), std::string::npos) << r.output;

    r = ctl({"record", dir.file("call.wav"), "--slot", "effect"});
    EXPECT_EQ(r.status, 0) << r.output;
    std::this_thread::sleep_for(500ms);
    listener->stop();
    r = ctl({"stop-record"});
    EXPECT_EQ(r.status, 0) << r.output;

    // The listener heard the voice as it was, then nine semitones up.
    const std::vector<float> left = channelOf(asSamples(fileBytes(heard)), 2, 0);
    ASSERT_GT(left.size(), switchedAt + static_cast<size_t>(2 * kRate));
    const auto window = [&](size_t from, size_t to) {
        return std::span<const float>(left).subspan(from, to - from);
    };
    const auto rate = static_cast<size_t>(kRate);
    const double before =
        measurePitchMedian(window(switchedAt - rate, switchedAt - rate / 5), kRate, 2048, 80, 400);
    const double after =
        measurePitchMedian(window(switchedAt + rate, switchedAt + 2 * rate), kRate, 2048, 80, 400);
    const double raised = 120 * std::pow(2.0, 9 / 12.0);
    std::printf("[ control  ] pitch before the call %.1f Hz, after %.1f Hz\n", before, after);
    EXPECT_NEAR(before, 120, 120 * 0.02);
    EXPECT_NEAR(after, raised, raised * 0.02);

    // quit answers once the user's devices are back.
    r = ctl({"quit"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(settledDefault("source", "ctl_mic"), "ctl_mic");
    EXPECT_EQ(settledDefault("sink", "ctl_speakers"), "ctl_speakers");
    EXPECT_EQ(runner.wait(15s), 0) << readFile(log);
    EXPECT_NE(readFile(log).find("default devices restored"), std::string::npos);
    const auto recording = readWav(dir.file("call.wav"));
    ASSERT_TRUE(recording.has_value());
    EXPECT_GT(recording->data.size(), 22050u) << "at least a quarter of a second";
    r = ctl({"status"});
    EXPECT_EQ(r.status, 1);
}

} // namespace
