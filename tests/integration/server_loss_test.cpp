// The sound server dies while the program captures and plays: nothing crashes or hangs, the
// user is told, and once the server is back the program records and plays again.
#include "audio/capture_engine.h"
#include "audio/dc_audio_player.h"
#include "audio/device_enumeration.h"
#include "platform/messages.h"
#include "platform/wave/pulse_audio_backend.h"
#include "support/capture_fixtures.h"
#include "support/signals.h"
#include "support/sound_server.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using namespace timbrelo;
using namespace timbrelo::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

template <typename Action>
std::chrono::milliseconds timed(Action action) {
    const auto start = Clock::now();
    action();
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// Feeds a player with a tone from its own thread, as the capture callback would.
class Feeder {
  public:
    explicit Feeder(DCAudioPlayer& player)
        : tone_(makeTone(330, 1.0, 22050, 2)), thread_([this, &player] {
              size_t at = 0;
              while (!quit_) {
                  player.addData(reinterpret_cast<const uint8_t*>(tone_.data() + at), 2048);
                  at = (at + 1024) % (tone_.size() - 1024);
                  std::this_thread::sleep_for(23ms);
              }
          }) {}
    ~Feeder() {
        quit_ = true;
        thread_.join();
    }

  private:
    std::vector<int16_t> tone_;
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

TEST(ServerLossTest, CaptureAndPlaybackSurviveTheServerDyingAndWorkAgainAfterwards) {
    std::string why;
    if (!useSharedSoundServer(why)) {
        GTEST_SKIP() << why;
    }
    OwnSoundServer server(sharedSoundServerKind());
    ASSERT_TRUE(server.running()) << server.error();
    auto modules = std::make_unique<ModuleSet>();
    ASSERT_TRUE(modules->microphone("timbrelo_test_mic", "Test Microphone"));
    ASSERT_TRUE(modules->nullSink("timbrelo_test_speakers", "Test Speakers"));

    MessageCapture messages;
    PulseAudioBackend backend;
    CollectingDevice link;
    CaptureEngine::Options options;
    options.stopGrace = 50ms;
    CaptureEngine engine(backend, options);
    engine.setLinkHandle(&link);
    engine.setEffectsOn(0);
    ASSERT_EQ(engine.selectDevice(findInputDevice(backend, "Test Microphone"), 2048), 1);
    ASSERT_EQ(engine.start(1, 22050, 16), 1);

    DCAudioPlayer player(backend);
    ASSERT_EQ(player.selectDevice(findOutputDevice(backend, "Test Speakers"), 3072), 1);
    player.setFormat(1, 22050, 16);
    ASSERT_EQ(player.openStream(), 1);
    {
        Feeder feeder(player);
        ASSERT_TRUE(eventually([&] { return player.state() == PlayerState::Playing; }, 5s));
        ASSERT_TRUE(link.waitFor(8192, 5s));
        ASSERT_TRUE(messages.messages().empty()) << messages.messages().front();

        ASSERT_TRUE(server.kill());
        modules->forget();
        EXPECT_TRUE(eventually(
            [&] {
                return messages.contains(
                           "WAVEIN:3:The sound server is not running. Capture stopped.") &&
                       messages.contains(
                           "WAVEOUT:3:The sound server is not running. Playback stopped.");
            },
            5s))
            << ::testing::PrintToString(messages.messages());
        // The producer goes on adding: that stays quiet.
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(messages.messages().size(), 2u) << ::testing::PrintToString(messages.messages());
        EXPECT_LT(timed([&] { player.stop(); }), 1000ms);
    }
    EXPECT_LT(timed([&] { engine.stop(); }), 1000ms);
    EXPECT_EQ(engine.state(), CaptureState::Ready);
    EXPECT_EQ(player.state(), PlayerState::Ready);

    // While the server is away, opening says so at once.
    messages.clear();
    EXPECT_LT(timed([&] { EXPECT_EQ(engine.start(1, 22050, 16), 0); }), 3000ms);
    EXPECT_LT(timed([&] { EXPECT_EQ(player.openStream(), 0); }), 3000ms);
    EXPECT_EQ(
        messages.messages(),
        (std::vector<std::string>{"WAVEIN:3:The sound server is not running. waveInOpen()",
                                  "WAVEOUT:3:The sound server is not running. waveOutOpen()"}));
    EXPECT_EQ(backend.inputDeviceCount(), 0u);

    // The server comes back: the same back end records and plays again.
    ASSERT_TRUE(server.restart()) << server.error();
    modules = std::make_unique<ModuleSet>();
    ASSERT_TRUE(modules->microphone("timbrelo_test_mic", "Test Microphone"));
    ASSERT_TRUE(modules->nullSink("timbrelo_test_speakers", "Test Speakers"));
    messages.clear();
    link.clear();
    ASSERT_EQ(engine.selectDevice(findInputDevice(backend, "Test Microphone"), 2048), 1);
    ASSERT_EQ(engine.start(1, 22050, 16), 1);
    EXPECT_TRUE(link.waitFor(8192, 5s));
    engine.stop();
    ASSERT_EQ(player.selectDevice(findOutputDevice(backend, "Test Speakers"), 3072), 1);
    EXPECT_EQ(player.openStream(), 1);
    EXPECT_TRUE(messages.messages().empty()) << messages.messages().front();
}

} // namespace
