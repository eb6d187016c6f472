// The bus service and its client over a private session bus: the service runs on a thread of
// its own, as it does on the window's interface thread or the runner's main thread, and the
// client calls it from the test's thread.

#include "control/bus_client.h"
#include "control/bus_service.h"
#include "support/session_bus.h"

#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <thread>

using namespace timbrelo;
using namespace timbrelo::control;
using namespace timbrelo::test;
using namespace std::chrono_literals;

namespace {

// Remembers each call; a refusal can be set up.
class FakeTarget : public ControlTarget {
  public:
    void choosePreset(uint32_t id) override { note("preset " + std::to_string(id)); }
    void setPitch(int p) override { note("pitch " + std::to_string(p)); }
    void setTimbre(int p) override { note("timbre " + std::to_string(p)); }
    void setSemitones(int n) override { note("semitones " + std::to_string(n)); }
    void setEffects(bool on) override { note(on ? "effects on" : "effects off"); }
    void setDenoise(bool on, int db) override { note(cleaning("denoise", on, db)); }
    void setGate(bool on, int db) override { note(cleaning("gate", on, db)); }
    void startRecording(const std::string& path, RecordSlot slot) override {
        note("record " + path + (slot == kOriginSlot ? " origin" : " effect"));
    }
    void stopRecording() override { note("stop-record"); }
    void playMusic(const std::string& path, float level) override {
        note("music " + path + " " + std::to_string(static_cast<int>(level * 100)));
    }
    void stopMusic() override { note("stop-music"); }
    void showWindow(bool shown) override { note(shown ? "show" : "hide"); }
    void quit() override { note("quit"); }
    ControlStatus status() override {
        std::lock_guard lock(mutex_);
        return status_;
    }

    void setStatus(const ControlStatus& s) {
        std::lock_guard lock(mutex_);
        status_ = s;
    }
    void refuseWith(std::optional<ControlError> error) {
        std::lock_guard lock(mutex_);
        refusal_ = std::move(error);
    }
    std::vector<std::string> calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }

  private:
    static std::string cleaning(const char* part, bool on, int db) {
        return std::string(part) + (on ? " on " : " off ") + std::to_string(db);
    }
    void note(std::string call) {
        std::lock_guard lock(mutex_);
        if (refusal_) {
            throw *refusal_;
        }
        calls_.push_back(std::move(call));
    }

    std::mutex mutex_;
    std::vector<std::string> calls_;
    std::optional<ControlError> refusal_;
    ControlStatus status_;
};

// The service's own thread: opens it, serves until told to stop, answers a Quit once the
// test says the exit is done.
class ServiceThread {
  public:
    explicit ServiceThread(FakeTarget& target) : service_(target) {
        thread_ = std::thread([this] {
            std::string why;
            opened_ = service_.open(why) ? 1 : -1;
            while (!stop_.load()) {
                pollfd fd{service_.fd(), POLLIN, 0};
                ::poll(&fd, 1, 20);
                service_.process();
                if (exitDone_.exchange(false)) {
                    service_.quitDone();
                }
            }
        });
        eventually([&] { return opened_.load() != 0; });
    }
    ~ServiceThread() {
        stop_ = true;
        thread_.join();
    }
    bool opened() const { return opened_.load() == 1; }
    void finishExit() { exitDone_ = true; }

  private:
    BusService service_;
    std::atomic<int> opened_{0};
    std::atomic<bool> stop_{false};
    std::atomic<bool> exitDone_{false};
    std::thread thread_;
};

class BusServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!bus.running()) {
            GTEST_SKIP() << bus.error();
        }
    }
    PrivateSessionBus bus;
    FakeTarget target;
};

// Expects the call to end with the named error and returns its message.
template <typename Call>
std::string refusal(Call call, const char* name) {
    try {
        call();
    } catch (const ControlError& e) {
        EXPECT_EQ(e.name, name) << e.message;
        return e.message;
    }
    ADD_FAILURE() << "the call was taken";
    return "";
}

TEST_F(BusServiceTest, CallsReachTheTargetCheckedAndRefusalsComeBackAsBusErrors) {
    ServiceThread service(target);
    ASSERT_TRUE(service.opened());
    BusClient client;
    client.choosePreset("male to female(sweet)");
    client.choosePreset("32772");
    client.setPitch(160);
    client.setTimbre(300);
    client.setSemitones(-24);
    client.setEffects(false);
    client.setDenoise(true, 6);
    client.setGate(false, -90);
    client.startRecording("/tmp/call.wav", kOriginSlot);
    client.stopRecording();
    client.playMusic("/tmp/music.mp3", 0.25);
    client.stopMusic();
    client.showWindow(true);
    client.showWindow(false);
    EXPECT_EQ(target.calls(),
              (std::vector<std::string>{
                  "preset 32771", "preset 32772", "pitch 160", "timbre 300", "semitones -24",
                  "effects off", "denoise on 6", "gate off -90", "record /tmp/call.wav origin",
                  "stop-record", "music /tmp/music.mp3 25", "stop-music", "show", "hide"}));

    // Values the target never sees.
    EXPECT_NE(refusal([&] { client.choosePreset("Robot"); }, kErrorUnknownPreset).find("Robot"),
              std::string::npos);
    refusal([&] { client.choosePreset("12"); }, kErrorUnknownPreset);
    EXPECT_NE(refusal([&] { client.setPitch(49); }, kErrorInvalidArgs).find("50..300"),
              std::string::npos);
    refusal([&] { client.setTimbre(301); }, kErrorInvalidArgs);
    refusal([&] { client.setSemitones(25); }, kErrorInvalidArgs);
    refusal([&] { client.startRecording("call.wav", kEffectSlot); }, kErrorInvalidArgs);
    refusal([&] { client.playMusic("/tmp/music.mp3", 1.5); }, kErrorInvalidArgs);
    // A cleaning value is checked while switching off too: it is kept for the next time.
    EXPECT_NE(refusal([&] { client.setDenoise(true, 51); }, kErrorInvalidArgs).find("6..50"),
              std::string::npos);
    refusal([&] { client.setDenoise(false, 5); }, kErrorInvalidArgs);
    EXPECT_NE(refusal([&] { client.setGate(true, 1); }, kErrorInvalidArgs).find("-90..0"),
              std::string::npos);
    refusal([&] { client.setGate(false, -91); }, kErrorInvalidArgs);
    EXPECT_EQ(target.calls().size(), 14u);

    // The target's own refusal, name and message as it gave them.
    target.refuseWith(ControlError{kErrorNotCapturing, "capture is not running"});
    EXPECT_EQ(
        refusal([&] { client.startRecording("/tmp/a.wav", kEffectSlot); }, kErrorNotCapturing),
        "capture is not running");
    target.refuseWith(std::nullopt);
}

TEST_F(BusServiceTest, StatusReadsTheTargetAndChangesAreAnnounced) {
    ServiceThread service(target);
    ASSERT_TRUE(service.opened());
    BusClient client;
    EXPECT_EQ(client.status(), ControlStatus{});

    // A listener of PropertiesChanged, as a desktop applet would be.
    sd_bus* listener = nullptr;
    ASSERT_GE(sd_bus_open_user(&listener), 0);
    std::vector<std::string> announced;
    auto onChange = [](sd_bus_message* m, void* userdata, sd_bus_error*) -> int {
        auto& names = *static_cast<std::vector<std::string>*>(userdata);
        const char* interface = nullptr;
        sd_bus_message_read(m, "s", &interface);
        sd_bus_message_enter_container(m, 'a', "{sv}");
        while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
            const char* name = nullptr;
            sd_bus_message_read(m, "s", &name);
            names.push_back(name);
            sd_bus_message_skip(m, "v");
            sd_bus_message_exit_container(m);
        }
        return 0;
    };
    ASSERT_GE(sd_bus_match_signal(listener, nullptr, kBusName, kObjectPath,
                                  "org.freedesktop.DBus.Properties", "PropertiesChanged", onChange,
                                  &announced),
              0);
    sd_bus_flush(listener);

    ControlStatus s;
    s.preset = ID_MICKEY;
    s.capturing = true;
    s.delayMs = 87;
    s.recording = true;
    s.recordingFile = "/tmp/call.wav";
    s.denoise = true;
    s.denoiseDb = 12;
    s.gate = true;
    s.gateDb = -60;
    target.setStatus(s);
    EXPECT_EQ(client.status(), s);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (announced.size() < 10 && std::chrono::steady_clock::now() < deadline) {
        sd_bus_process(listener, nullptr);
        sd_bus_wait(listener, 50'000);
    }
    std::sort(announced.begin(), announced.end());
    EXPECT_EQ(announced, (std::vector<std::string>{"CaptureRunning", "DelayMs", "Denoise",
                                                   "DenoiseDb", "Gate", "GateDb", "Preset",
                                                   "PresetId", "Recording", "RecordingFile"}));
    sd_bus_flush_close_unref(listener);
}

TEST_F(BusServiceTest, QuitIsAnsweredOnceTheExitIsDone) {
    ServiceThread service(target);
    ASSERT_TRUE(service.opened());
    std::atomic<bool> answered{false};
    std::thread caller([&] {
        BusClient client;
        client.quit();
        answered = true;
    });
    ASSERT_TRUE(eventually([&] { return !target.calls().empty(); }));
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(answered.load()) << "answered before the exit ran";
    service.finishExit();
    EXPECT_TRUE(eventually([&] { return answered.load(); }));
    caller.join();
    EXPECT_EQ(target.calls(), std::vector<std::string>{"quit"});
}

TEST_F(BusServiceTest, OneOwnerOfTheNameAndClearWordsWhenNobodyServes) {
    EXPECT_EQ(refusal([] { BusClient().status(); }, kErrorNotRunning),
              "no voice changer is running (start timbrelo or timbrelo-cli run)");
    {
        ServiceThread first(target);
        ASSERT_TRUE(first.opened());
        FakeTarget other;
        BusService second(other);
        std::string why;
        EXPECT_FALSE(second.open(why));
        EXPECT_NE(why.find(kBusName), std::string::npos) << why;
        EXPECT_EQ(second.fd(), -1);
        second.process(); // harmless when not open
    }
    // The name goes with the service.
    refusal([] { BusClient().setEffects(true); }, kErrorNotRunning);
    {
        ScopedEnv nowhere("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + std::string("/nonexistent"));
        BusService service(target);
        std::string why;
        EXPECT_FALSE(service.open(why));
        EXPECT_NE(why.find("no session bus"), std::string::npos) << why;
        refusal([] { BusClient().status(); }, kErrorNotRunning);
    }
}

} // namespace
