#include "audio/dc_audio_player.h"
#include "platform/debug.h"
#include "platform/messages.h"
#include "platform/wave/sim_audio_backend.h"
#include "support/process.h"
#include "support/signals.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <random>
#include <thread>

using namespace timbrelo;
using namespace timbrelo::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kBufferBytes = 3072;
constexpr uint32_t kThreshold = kBufferBytes * (6 + 4); // 30720 bytes, about 348 ms

std::vector<uint8_t> pattern(size_t bytes, uint8_t seed) {
    std::vector<uint8_t> out(bytes);
    for (size_t i = 0; i < bytes; ++i) {
        out[i] = static_cast<uint8_t>((i * 7 + seed) % 251 + 1); // never 0
    }
    return out;
}

class PlayerTest : public ::testing::Test {
  protected:
    SimAudioBackend backend;
    uint32_t speakers = backend.addOutputDevice("Speakers", Pacing::RealTime);
    MessageCapture messages;
    DebugCapture debug;

    std::unique_ptr<DCAudioPlayer> makePlayer(uint32_t bufferBytes = kBufferBytes,
                                              std::chrono::milliseconds drainSlack = 300ms) {
        DCAudioPlayer::Options options;
        options.pollStep = 2ms;
        options.drainSlack = drainSlack;
        auto player = std::make_unique<DCAudioPlayer>(backend, options);
        EXPECT_EQ(player->selectDevice(speakers, bufferBytes), 1);
        player->setFormat(1, 22050, 16);
        EXPECT_EQ(player->openStream(), 1);
        return player;
    }

    static void add(DCAudioPlayer& player, const std::vector<uint8_t>& data) {
        player.addData(data.data(), static_cast<uint32_t>(data.size()));
    }

    // The threshold's worth, then a small block that finds it reached.
    static void startPlaying(DCAudioPlayer& player, uint8_t value = 1) {
        add(player, std::vector<uint8_t>(kThreshold, value));
        add(player, std::vector<uint8_t>(4, value));
    }
};

TEST_F(PlayerTest, StartsAtTheThresholdAndPlaysEveryByteInOrder) {
    auto player = makePlayer();
    EXPECT_EQ(player->bufferCount(), 6u);
    const std::vector<uint8_t> input = pattern(22050 * 4, 3); // one second

    // Playback starts once the ring holds the threshold, counted before the block.
    size_t fed = 0;
    for (; fed < kThreshold; fed += 3072) {
        player->addData(input.data() + fed, 3072);
    }
    EXPECT_EQ(player->state(), PlayerState::Ready);
    EXPECT_EQ(player->usedBytes(), kThreshold);
    player->addData(input.data() + fed, 4);
    fed += 4;
    EXPECT_EQ(player->state(), PlayerState::Playing);
    EXPECT_TRUE(debug.contains("----Play.\n----Play End.\n"));

    // The rest arrives in irregular blocks as the device plays, never overfilling the ring.
    std::mt19937 random(5);
    std::uniform_int_distribution<size_t> frames(1, 1200);
    while (fed < input.size()) {
        const size_t n = std::min(frames(random) * 4, input.size() - fed);
        while (player->usedBytes() + n > 50000) {
            std::this_thread::sleep_for(1ms);
        }
        player->addData(input.data() + fed, static_cast<uint32_t>(n));
        fed += n;
    }
    ASSERT_TRUE(backend.waitForPlayed(speakers, input.size() + kBufferBytes, 5s));
    player->stop();

    const std::vector<uint8_t> played = backend.played(speakers);
    ASSERT_GE(played.size(), input.size());
    EXPECT_TRUE(std::equal(input.begin(), input.end(), played.begin()));
    // What follows is silence: the last buffer's unfilled part (the buffers are reused, so it
    // held older audio) and the buffers played dry.
    EXPECT_TRUE(std::all_of(played.begin() + static_cast<long>(input.size()), played.end(),
                            [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(debug.contains("Temp Buffer is empty.\n"));
    EXPECT_FALSE(debug.contains("Temp Buffer is full"));
    EXPECT_TRUE(messages.messages().empty());
}

TEST_F(PlayerTest, RingKeepsWholeBlocksAndWrapsExactlyAtItsEnd) {
    auto player = makePlayer();
    startPlaying(*player);
    ASSERT_EQ(player->state(), PlayerState::Playing);
    // `play` took six buffers; a block up to the ring's very end leaves the write position at 0.
    ASSERT_EQ(player->writePosition(), kThreshold + 4);
    add(*player, std::vector<uint8_t>(DCAudioPlayer::kRingBytes - (kThreshold + 4), 2));
    EXPECT_EQ(player->writePosition(), 0u);

    // A block longer than the free space is dropped whole, never split.
    const uint32_t used = player->usedBytes();
    add(*player, std::vector<uint8_t>(DCAudioPlayer::kRingBytes - 1 - used + 4, 3));
    EXPECT_TRUE(debug.contains("Temp Buffer is full, some data lost.\n"));
    EXPECT_EQ(player->writePosition(), 0u);
    player->stop();
    EXPECT_EQ(player->readPosition(), 0u);
    EXPECT_EQ(player->writePosition(), 0u);
}

TEST_F(PlayerTest, PlayOnAnEmptyRingQueuesSilenceAndStopOnAReadyPlayerDoesNothing) {
    auto player = makePlayer();
    player->stop();
    EXPECT_TRUE(debug.contains("Stop. "));
    EXPECT_FALSE(debug.contains("Stop End."));
    EXPECT_EQ(backend.openOutputCount(), 1); // a ready player keeps its device

    EXPECT_EQ(player->play(), 1);
    EXPECT_EQ(player->state(), PlayerState::Playing);
    EXPECT_EQ(player->play(), 0);
    EXPECT_EQ(messages.messages(), std::vector<std::string>{"Player status error."});
    ASSERT_TRUE(backend.waitForPlayed(speakers, 8 * kBufferBytes, 5s));
    const std::vector<uint8_t> played = backend.played(speakers);
    EXPECT_TRUE(std::all_of(played.begin(), played.end(), [](uint8_t b) { return b == 0; }));

    const auto start = Clock::now();
    player->stop();
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_TRUE(debug.contains("Stop End.\n"));
    EXPECT_EQ(player->state(), PlayerState::Ready);
    EXPECT_EQ(player->queuedCount(), 0);
    EXPECT_EQ(backend.openOutputCount(), 0);

    // The next stream plays again.
    ASSERT_EQ(player->openStream(), 1);
    startPlaying(*player, 7);
    EXPECT_EQ(player->state(), PlayerState::Playing);
}

TEST_F(PlayerTest, DeviceAndBufferSelection) {
    DCAudioPlayer player(backend);
    EXPECT_EQ(player.state(), PlayerState::Idle);
    EXPECT_EQ(player.selectDevice(1, kBufferBytes), 0);
    EXPECT_EQ(player.selectDevice(speakers, 0), 0);
    EXPECT_EQ(player.selectDevice(speakers, DCAudioPlayer::kMaxBufferBytes + 4), 0);
    EXPECT_EQ(messages.messages(), std::vector<std::string>(3, "Error audio device."));
    EXPECT_EQ(player.state(), PlayerState::Idle);

    // The largest buffers still start: the threshold is at most half the ring.
    EXPECT_EQ(player.selectDevice(kWaveMapper, DCAudioPlayer::kMaxBufferBytes), 1);
    player.setFormat(1, 22050, 16);
    ASSERT_EQ(player.openStream(), 1);
    add(player, std::vector<uint8_t>(DCAudioPlayer::kRingBytes / 2, 1));
    add(player, std::vector<uint8_t>(4, 1));
    EXPECT_EQ(player.state(), PlayerState::Playing);

    // A second open without a stop does not leave the first device open.
    ASSERT_EQ(player.openStream(), 1);
    EXPECT_EQ(backend.openOutputCount(), 1);
    EXPECT_EQ(player.state(), PlayerState::Ready);
}

struct InjectedFailure {
    const char* name;
    SimOp op;
    MmResult code;
    const char* expected;
    bool buffersComeBack; // else `stop` gives up waiting after the drain limit
};

class PlayerFailureTest : public PlayerTest,
                          public ::testing::WithParamInterface<InjectedFailure> {};

TEST_P(PlayerFailureTest, ShowsTheErrorAndStopNeverHangs) {
    const InjectedFailure& f = GetParam();
    auto player = makePlayer(kBufferBytes, 2s);
    backend.injectFailure(f.op, f.code);
    startPlaying(*player);
    std::this_thread::sleep_for(100ms);
    // Only buffers the device took are waited for: a refused one never comes back.
    const auto start = Clock::now();
    player->stop();
    EXPECT_LT(Clock::now() - start, f.buffersComeBack ? 1s : 4s);
    EXPECT_TRUE(messages.contains(f.expected)) << ::testing::PrintToString(messages.messages());
    EXPECT_EQ(player->state(), PlayerState::Ready);
    EXPECT_EQ(backend.openOutputCount(), 0);

    // The player goes on.
    messages.clear();
    ASSERT_EQ(player->openStream(), 1);
    startPlaying(*player);
    EXPECT_EQ(player->state(), PlayerState::Playing);
    player->stop();
    EXPECT_TRUE(messages.messages().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Operations, PlayerFailureTest,
    ::testing::Values(InjectedFailure{"Write", SimOp::OutWrite, MMSYSERR_NOMEM,
                                      "WAVEOUT:7:Not enough memory. waveOutWrite() failed", true},
                      InjectedFailure{"Prepare", SimOp::OutPrepare, MMSYSERR_ERROR,
                                      "WAVEOUT:1:Unspecified error. waveOutPrepareHeader() failed",
                                      true},
                      InjectedFailure{"Unprepare", SimOp::OutUnprepare, MMSYSERR_INVALHANDLE,
                                      "waveOutUnprepareHeader() failed", true},
                      InjectedFailure{"Restart", SimOp::OutRestart, MMSYSERR_ERROR,
                                      "waveOutRestart() failed", false},
                      InjectedFailure{"Reset", SimOp::OutReset, MMSYSERR_ERROR,
                                      "WAVEOUT:1:Unspecified error. waveOutReset() failed", true}),
    [](const ::testing::TestParamInfo<InjectedFailure>& info) { return info.param.name; });

TEST_F(PlayerTest, ADeviceThatGoesAwayIsReportedOnceAndTheNextOpenWorks) {
    auto player = makePlayer();
    std::jthread producer([&](std::stop_token quit) {
        const std::vector<uint8_t> block(2048, 5);
        while (!quit.stop_requested()) {
            player->addData(block.data(), 2048);
            std::this_thread::sleep_for(10ms);
        }
    });
    ASSERT_TRUE(eventually([&] { return player->state() == PlayerState::Playing; }));
    backend.loseDevices(MMSYSERR_NODRIVER);
    EXPECT_TRUE(eventually([&] { return !messages.messages().empty(); }));
    std::this_thread::sleep_for(200ms); // the producer goes on meanwhile
    EXPECT_EQ(messages.messages(),
              std::vector<std::string>{"WAVEOUT:6:The device is gone. Playback stopped."});
    EXPECT_EQ(player->state(), PlayerState::Ready);

    const auto start = Clock::now();
    player->stop();
    EXPECT_LT(Clock::now() - start, 500ms);
    EXPECT_FALSE(player->deviceOpen());
    ASSERT_EQ(player->openStream(), 1);
    EXPECT_TRUE(eventually([&] { return player->state() == PlayerState::Playing; }));
    producer.request_stop();
    producer.join();
    player->stop();
    EXPECT_EQ(messages.messages().size(), 1u);
}

TEST_F(PlayerTest, StoppingAndReopeningWhileAProducerFeedsIsSafe) {
    auto player = makePlayer(2048);
    std::jthread producer([&](std::stop_token quit) {
        const std::vector<int16_t> tone = makeTone(440, 0.1, 22050, 2);
        for (size_t at = 0; !quit.stop_requested(); at += 97) {
            const uint32_t n = 4 * (1 + static_cast<uint32_t>(at % 700));
            player->addData(reinterpret_cast<const uint8_t*>(tone.data()),
                            std::min<uint32_t>(n, 8000));
            std::this_thread::sleep_for(1ms);
        }
    });
    for (int round = 0; round < 15; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10 + round * 7));
        player->stop();
        EXPECT_NE(player->state(), PlayerState::Stopping);
        ASSERT_EQ(player->openStream(), 1);
    }
    producer.request_stop();
    producer.join();
    player->stop();
    player.reset();
    EXPECT_EQ(backend.openOutputCount(), 0);
    EXPECT_TRUE(messages.messages().empty()) << ::testing::PrintToString(messages.messages());
}

TEST_F(PlayerTest, SimulatedSpeakersHoldPausedBuffersAndHandThemBackOnReset) {
    struct Recorder : WaveOutCallback {
        std::atomic<int> done{0};
        std::atomic<int> closed{0};
        void onWaveOut(WaveOutMessage m, WaveHeader*) override {
            ++(m == WaveOutMessage::Done ? done : closed);
        }
    } callback;
    std::unique_ptr<WaveOutDevice> device;
    ASSERT_EQ(backend.openOutput(speakers, WaveFormat::pcm(2, 22050, 16), callback, device), 0u);
    std::vector<uint8_t> a(1024, 1), b(1024, 2);
    WaveHeader ha{a.data(), 1024}, hb{b.data(), 1024};
    ASSERT_EQ(device->pause(), 0u);
    for (WaveHeader* h : {&ha, &hb}) {
        ASSERT_EQ(device->prepareHeader(*h), 0u);
        ASSERT_EQ(device->write(*h), 0u);
    }
    EXPECT_EQ(device->write(ha), WAVERR_STILLPLAYING);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(backend.playedBytes(speakers), 0u);
    EXPECT_EQ(device->close(), WAVERR_STILLPLAYING);
    ASSERT_EQ(device->restart(), 0u);
    ASSERT_TRUE(backend.waitForPlayed(speakers, 1024, 1s));
    ASSERT_EQ(device->reset(), 0u);
    EXPECT_EQ(callback.done.load(), 2);
    ASSERT_EQ(device->close(), 0u);
    EXPECT_EQ(callback.closed.load(), 1);
    const std::vector<uint8_t> played = backend.played(speakers);
    EXPECT_TRUE(std::equal(a.begin(), a.end(), played.begin()));
}

} // namespace
