// The player on simulated speakers: everything it is given plays once, in order, with a short
// start and no gaps; device errors and losses are reported; stop and reopen are safe while a
// producer feeds it.

#include "audio/dc_audio_player.h"
#include "platform/debug.h"
#include "platform/messages.h"
#include "platform/posted_messages.h"
#include "sim/sim_audio_backend.h"
#include "support/audio_files.h"
#include "support/process.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <thread>

using namespace timbrelo;
using namespace timbrelo::test;
using namespace std::chrono_literals;

namespace {

constexpr double kRate = 22050;

// Feeds `samples` in blocks of `blockFrames` at the pace a capture thread would.
void feed(DCAudioPlayer& player, const std::vector<int16_t>& samples, uint32_t blockFrames) {
    const auto start = std::chrono::steady_clock::now();
    for (size_t at = 0, k = 0; at < samples.size(); at += size_t{blockFrames} * 2, ++k) {
        std::this_thread::sleep_until(
            start + std::chrono::microseconds(static_cast<int64_t>(k * blockFrames * 1e6 / kRate)));
        const size_t n = std::min<size_t>(size_t{blockFrames} * 2, samples.size() - at);
        player.addData(std::span<const int16_t>(samples.data() + at, n));
    }
}

class PlayerTest : public ::testing::Test {
  protected:
    SimAudioBackend backend;
    MessageCapture messages;
    const uint32_t speakers = backend.addOutputDevice("Speakers", Pacing::RealTime);
    DCAudioPlayer player{backend};

    // The player on the speakers at the pipeline format, its stream open.
    void open() {
        ASSERT_TRUE(player.selectDevice(speakers));
        player.setFormat(kPipelineFormat);
        ASSERT_TRUE(player.openStream());
    }
};

TEST_F(PlayerTest, PlaysEveryFrameOnceInOrderAfterAShortStartWithoutGaps) {
    ASSERT_NO_FATAL_FAILURE(open());
    EXPECT_EQ(player.state(), PlayerState::Ready);
    const std::vector<int16_t> sound = makeStereoTones(300, 450, 1.5, kRate);
    feed(player, sound, 512);
    EXPECT_EQ(player.state(), PlayerState::Playing);
    player.stop();
    EXPECT_EQ(player.state(), PlayerState::Ready);

    const std::vector<int16_t> played = backend.played(speakers);
    const auto first = std::find_if(played.begin(), played.end(), [](int16_t s) { return s != 0; });
    ASSERT_NE(first, played.end());
    // It starts within a burst, a margin and a request of the first block, not a third of a
    // second later as a fixed threshold of buffers would.
    const auto lead = static_cast<size_t>(first - played.begin()) / 2;
    EXPECT_LT(lead, static_cast<size_t>(0.06 * kRate));
    ASSERT_GE(static_cast<size_t>(played.end() - first), sound.size());
    // The tones start at a zero crossing: compare from the first frame that is not silent.
    const auto soundStart =
        std::find_if(sound.begin(), sound.end(), [](int16_t s) { return s != 0; });
    EXPECT_TRUE(std::equal(soundStart, sound.end(), first)) << "lost, repeated or reordered";
    EXPECT_EQ(player.stats().underruns, 0u);
    EXPECT_TRUE(messages.messages().empty());
}

TEST_F(PlayerTest, ABlockThatDoesNotFitIsDroppedWhole) {
    DebugCapture debug;
    ASSERT_NO_FATAL_FAILURE(open());
    const std::vector<int16_t> big(size_t{DCAudioPlayer::kRingFrames - 100} * 2, 1000);
    player.addData(big);
    const uint32_t held = player.bufferedFrames();
    const std::vector<int16_t> more(400 * 2, 2000);
    player.addData(more);
    EXPECT_LE(player.bufferedFrames(), held) << "never split";
    EXPECT_EQ(player.droppedBlocks(), 1u);
    EXPECT_TRUE(debug.contains("Temp Buffer is full, some data lost."));
}

TEST_F(PlayerTest, DeviceErrorsAreReportedOnceAndTheNextOpenWorks) {
    EXPECT_FALSE(player.play());
    EXPECT_EQ(messages.messages().back(), "Player status error.");
    EXPECT_FALSE(player.selectDevice(5));
    EXPECT_EQ(messages.messages().back(), "Error audio device.");
    EXPECT_TRUE(player.selectDevice(kDefaultDevice));
    EXPECT_FALSE(player.play()) << "no stream open: nothing to start, no message";
    backend.injectFailure(SimOp::PlaybackOpen, AudioResult::Busy);
    messages.clear();
    EXPECT_FALSE(player.openStream());
    EXPECT_EQ(messages.messages(),
              std::vector<std::string>{"WAVEOUT:4:The device is already in use. waveOutOpen()"});
    player.stop(); // on a ready player: does nothing
    EXPECT_EQ(player.state(), PlayerState::Ready);

    // A device that goes away while a producer feeds it.
    ASSERT_NO_FATAL_FAILURE(open());
    messages.clear();
    std::thread producer([&] { feed(player, makeStereoTones(300, 450, 0.6, kRate), 512); });
    std::this_thread::sleep_for(200ms);
    backend.loseDevices(AudioResult::DeviceGone);
    producer.join();
    ASSERT_TRUE(eventually([&] { return player.state() == PlayerState::Ready; }, 2s));
    showPostedMessages();
    EXPECT_EQ(messages.messages(),
              std::vector<std::string>{"WAVEOUT:6:The device is gone. Playback stopped."});
    player.stop();
    ASSERT_TRUE(player.openStream());
    const uint64_t before = backend.playedFrames(speakers);
    feed(player, makeStereoTones(300, 450, 0.3, kRate), 512);
    EXPECT_TRUE(backend.waitForPlayed(speakers, before + 4000, 2s));
    player.stop();
}

TEST_F(PlayerTest, StoppingAndReopeningWhileAProducerFeedsIsSafe) {
    ASSERT_TRUE(player.selectDevice(speakers));
    player.setFormat(kPipelineFormat);
    std::atomic<bool> feeding{true};
    std::thread producer([&] {
        const std::vector<int16_t> block(512 * 2, 3000);
        while (feeding.load()) {
            player.addData(block);
            std::this_thread::sleep_for(5ms);
        }
    });
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(player.openStream());
        std::this_thread::sleep_for(30ms);
        player.stop();
    }
    feeding = false;
    producer.join();
    EXPECT_TRUE(messages.messages().empty());
    EXPECT_EQ(backend.openOutputCount(), 0);
}

} // namespace
