// timbrelo, the window, end to end: a private X server (Xvfb) and a private sound server, a
// test microphone and speakers for the user's devices, parec for a program that listens to
// the default microphone, and xdotool for the person at the keyboard.

#include "pulse/pulse_audio_backend.h"
#include "support/audio_files.h"
#include "support/session_bus.h"
#include "support/signals.h"
#include "support/sound_server.h"
#include "support/temp_dir.h"
#include "support/user_devices.h"

#include <chrono>
#include <cmath>
#include <csignal>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

using namespace timbrelo;
using namespace timbrelo::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kRate = 22050;
const std::string kWindow = TIMBRELO_BINARY_DIR "/src/ui/timbrelo";

// A private X server on a display number of its own choosing.
class XServer {
  public:
    explicit XServer(const TempDir& dir) : file_(dir.file("display")) {
        server_ = std::make_unique<ChildProcess>(std::vector<std::string>{
            "sh", "-c",
            "exec Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>'" + file_ + "'"});
        if (eventually([&] { return !readFile(file_).empty(); }, 10s)) {
            std::string number = readFile(file_);
            number.erase(number.find_last_not_of("\n") + 1);
            // Serving once a client gets through.
            if (eventually(
                    [&] {
                        return runCommand({"xdpyinfo", "-display", ":" + number}).status == 0;
                    },
                    10s)) {
                display_ = ":" + number;
            }
        }
    }
    const std::string& display() const { return display_; }

  private:
    std::string file_;
    std::string display_;
    std::unique_ptr<ChildProcess> server_;
};

class WindowEndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (access(kWindow.c_str(), X_OK) != 0) {
            GTEST_SKIP() << "the window was not built (no Qt 6)";
        }
        for (const char* program : {"Xvfb", "xdotool", "xdpyinfo", "trayer"}) {
            if (!installed(program)) {
                GTEST_SKIP() << program << " is not installed";
            }
        }
        SKIP_WITHOUT_SOUND_SERVER();
        ASSERT_TRUE(user.make());
        ASSERT_EQ(backend.connect(), AudioResult::Ok);
        // Under AddressSanitizer: the D-Bus library that Qt's xcb platform loads keeps a
        // buffer to the end, which the leak check must not count against the window.
        writeFile(dir.file("lsan.supp"), "leak:libdbus-1.so\n");
        leaks =
            std::make_unique<ScopedEnv>("LSAN_OPTIONS", "suppressions=" + dir.file("lsan.supp"));
        x = std::make_unique<XServer>(dir);
        ASSERT_FALSE(x->display().empty()) << "Xvfb did not start";
        display = std::make_unique<ScopedEnv>("DISPLAY", x->display());
        std::this_thread::sleep_for(300ms);
    }

    // Starts the window; waits until it shows and the virtual pair is the default.
    std::unique_ptr<ChildProcess> startWindow(const std::string& log) {
        auto window = std::make_unique<ChildProcess>(std::vector<std::string>{kWindow}, log, true);
        EXPECT_TRUE(eventually([&] { return windows() == 1; }, 15s)) << readFile(log);
        EXPECT_TRUE(eventually(
            [&] { return defaultDeviceName(backend, true) == "Timbrelo Virtual Microphone"; }, 10s))
            << readFile(log);
        return window;
    }

    // How many windows titled "Timbrelo" are shown.
    static int windows() {
        const CommandResult r =
            runCommand({"xdotool", "search", "--onlyvisible", "--name", "^Timbrelo$"});
        int count = 0;
        for (char ch : r.output) {
            count += ch == '\n';
        }
        return count;
    }

    // Types keys into the window, as a person would.
    static void keys(const std::vector<std::string>& names) {
        const CommandResult id =
            runCommand({"xdotool", "search", "--onlyvisible", "--name", "^Timbrelo$"});
        ASSERT_FALSE(id.output.empty());
        const std::string window = id.output.substr(0, id.output.find('\n'));
        ASSERT_EQ(runCommand({"xdotool", "windowfocus", "--sync", window}).status, 0);
        // The pointer out of the way: a menu opens at it, and must not pick by hovering.
        runCommand({"xdotool", "mousemove", "0", "0"});
        std::this_thread::sleep_for(300ms);
        std::vector<std::string> argv = {"xdotool", "key", "--delay", "150"};
        argv.insert(argv.end(), names.begin(), names.end());
        ASSERT_EQ(runCommand(argv).status, 0);
    }

    bool everythingBack() {
        return userDefaultsBack(backend) &&
               eventually([&] { return virtualDeviceCount(backend) == std::pair(0, 0); }, 5s);
    }

    TempDir dir;
    ScopedEnv home{"XDG_CONFIG_HOME", dir.path()};
    ScopedEnv runtime{"XDG_RUNTIME_DIR", dir.path()};
    PulseAudioBackend backend;
    UserDevices user{"ui"};
    std::unique_ptr<ScopedEnv> leaks;
    std::unique_ptr<XServer> x;
    std::unique_ptr<ScopedEnv> display;
};

TEST_F(WindowEndToEndTest, AChosenVoiceReachesAListenerAndSigtermPutsEverythingBack) {
    const std::string log = dir.file("window.log");
    auto window = startWindow(log);
    EXPECT_EQ(defaultDeviceName(backend, false), "Timbrelo Virtual Speaker");

    // A second copy ends at once, silently, and shows no window.
    const auto before = Clock::now();
    const CommandResult second = runCommand({kWindow}, 10s, true);
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.output, "");
    EXPECT_LT(Clock::now() - before, 3s);
    EXPECT_EQ(windows(), 1);

    user.speak(writeTestVoice(dir));
    const std::string heard = dir.file("heard.raw");
    auto listener = std::make_unique<ChildProcess>(recorderCommand(), heard);
    std::this_thread::sleep_for(1s);
    // "Effects" is the third control after "Effect Off"; the third voice of its menu is
    // "Male to female(General)", nine semitones up.
    keys({"Tab", "Tab", "Tab", "space", "Down", "Down", "Down", "Return"});
    std::this_thread::sleep_for(3s);
    listener->stop();

    const std::vector<float> left = channelOf(asSamples(fileBytes(heard)), 2, 0);
    ASSERT_GT(left.size(), 3 * 22050u);
    const double expected = 120 * std::pow(2.0, 9 / 12.0);
    const std::span<const float> last(left.data() + left.size() - 3 * 22050 / 2, 22050);
    EXPECT_NEAR(measurePitchMedian(last, kRate, 2048, 100, 400), expected, expected * 0.02)
        << readFile(log);

    window->signal(SIGTERM);
    EXPECT_EQ(window->wait(15s), 0) << readFile(log);
    EXPECT_TRUE(everythingBack());
}

TEST_F(WindowEndToEndTest, ExitPutsEverythingBackAndHideUsesTheTray) {
    // trayer now and then fails to open a display that has just come up: it gets tries.
    std::unique_ptr<ChildProcess> tray;
    const auto trayShown = [] {
        return !runCommand({"xdotool", "search", "--class", "trayer"}).output.empty();
    };
    for (int attempt = 0; attempt < 5 && !trayShown(); ++attempt) {
        tray = std::make_unique<ChildProcess>(std::vector<std::string>{
            "trayer", "--edge", "top", "--align", "right", "--widthtype", "request"});
        eventually(trayShown, 2s);
    }
    ASSERT_TRUE(trayShown());
    const std::string log = dir.file("window.log");
    auto window = startWindow(log);

    // "Hide" comes just before "Exit", which is the control before "Effect Off".
    keys({"shift+Tab", "shift+Tab", "space"});
    EXPECT_TRUE(eventually([&] { return windows() == 0; }, 3s));
    EXPECT_EQ(window->wait(300ms), -1) << "Hide must not end the program";
    EXPECT_EQ(defaultDeviceName(backend, true), "Timbrelo Virtual Microphone");

    // Hidden in the tray it still ends cleanly when its terminal goes away.
    window->signal(SIGHUP);
    EXPECT_EQ(window->wait(15s), 0) << readFile(log);
    EXPECT_TRUE(everythingBack());

    window = startWindow(log);
    keys({"shift+Tab", "space"});
    EXPECT_EQ(window->wait(15s), 0) << readFile(log);
    EXPECT_TRUE(everythingBack());

    // The display going away (the desktop session ends) runs the full Exit too.
    window = startWindow(log);
    x.reset();
    EXPECT_NE(window->wait(15s), -1) << readFile(log);
    EXPECT_TRUE(everythingBack()) << readFile(log);
}

TEST_F(WindowEndToEndTest, BusctlSwitchesTheWindowsVoiceAndCtlQuitRunsTheExit) {
    PrivateSessionBus bus;
    if (!bus.running()) {
        GTEST_SKIP() << bus.error();
    }
    if (!installed("busctl")) {
        GTEST_SKIP() << "busctl is not installed";
    }
    const std::string cli = TIMBRELO_BINARY_DIR "/src/cli/timbrelo-cli";
    const auto ctl = [&](const std::vector<std::string>& args) {
        std::vector<std::string> argv = {cli, "ctl"};
        argv.insert(argv.end(), args.begin(), args.end());
        return runCommand(argv, 40s, true);
    };
    const std::string log = dir.file("window.log");
    auto window = startWindow(log);
    ASSERT_TRUE(eventually([&] { return ctl({"status"}).status == 0; }, 10s)) << readFile(log);

    user.speak(writeTestVoice(dir));
    const std::string heard = dir.file("heard.raw");
    auto listener = std::make_unique<ChildProcess>(recorderCommand(), heard);
    ASSERT_TRUE(eventually(
        [&] { return ctl({"status"}).output.find("capture: running") != std::string::npos; }, 5s));
    std::this_thread::sleep_for(2s);
    const size_t switchedAt = recordedFrames(heard);
    CommandResult r = busctl("call", {"ChoosePreset", "s", "Male to female(General)"});
    ASSERT_EQ(r.status, 0) << r.output;
    std::this_thread::sleep_for(2500ms);
    listener->stop();
    r = ctl({"status"});
    EXPECT_NE(r.output.find("preset: Male to female(General)\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("delay: "), std::string::npos) << r.output;

    const auto [before, after] = pitchAroundSwitch(heard, switchedAt);
    const double raised = 120 * std::pow(2.0, 9 / 12.0);
    std::printf("[ control  ] window: pitch before the call %.1f Hz, after %.1f Hz\n", before,
                after);
    EXPECT_NEAR(before, 120, 120 * 0.02);
    EXPECT_NEAR(after, raised, raised * 0.02);

    EXPECT_EQ(ctl({"hide"}).status, 0);
    EXPECT_EQ(ctl({"show"}).status, 0);
    EXPECT_TRUE(eventually([&] { return windows() == 1; }, 3s));
    r = ctl({"quit"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(everythingBack());
    EXPECT_EQ(window->wait(15s), 0) << readFile(log);
}

} // namespace
