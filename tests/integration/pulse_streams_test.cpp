// Real capture and playback through the sound server: the capture engine records a test
// microphone that an ordinary client plays into, and a player plays onto test speakers whose
// monitor an ordinary recorder records.
#include "audio/capture_engine.h"
#include "audio/dc_audio_player.h"
#include "audio/device_enumeration.h"
#include "platform/messages.h"
#include "platform/wave/pulse_audio_backend.h"
#include "support/capture_fixtures.h"
#include "support/signals.h"
#include "support/sound_server.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <thread>

using namespace timbrelo;
using namespace timbrelo::test;
using namespace std::chrono_literals;

namespace {

constexpr int kRate = 22050;

float peak(std::span<const float> x) {
    float p = 0;
    for (float v : x) {
        p = std::max(p, std::fabs(v));
    }
    return p;
}

// Index of the first sample that reaches `fraction` of the signal's peak; the size when none.
size_t onset(std::span<const float> x, float fraction) {
    const float level = fraction * peak(x);
    auto it = std::find_if(x.begin(), x.end(), [&](float v) { return std::fabs(v) >= level; });
    return level > 0 ? static_cast<size_t>(it - x.begin()) : x.size();
}

class PulseStreamsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        if (!useSharedSoundServer(why)) {
            GTEST_SKIP() << why;
        }
        ASSERT_EQ(backend.connect(), MMSYSERR_NOERROR);
    }

    PulseAudioBackend backend;
    ModuleSet modules;
    MessageCapture messages;
    TempDir temp;
};

TEST_F(PulseStreamsTest, CaptureDeliversWhatTheMicrophoneHears) {
    ASSERT_TRUE(modules.microphone("timbrelo_test_mic", "Test Microphone"));
    const int32_t mic = findInputDevice(backend, "Test Microphone");
    ASSERT_GE(mic, 0);

    // A voice with known content, padded with silence so that its start can be found.
    const std::vector<float> voice = makeVoice(140, 1.5, kRate, 0.5);
    std::vector<float> padded(kRate / 5, 0.0f);
    padded.insert(padded.end(), voice.begin(), voice.end());
    padded.insert(padded.end(), kRate / 5, 0.0f);
    const std::string wav = temp.file("voice.wav");
    writeWav16(wav, toInterleaved16(padded, 2), 2, kRate);

    CollectingDevice link;
    CaptureEngine::Options options;
    options.stopGrace = 50ms;
    CaptureEngine engine(backend, options);
    engine.setLinkHandle(&link);
    engine.setEffectsOn(0);
    ASSERT_EQ(engine.selectDevice(static_cast<uint32_t>(mic), 2048), 1);
    ASSERT_EQ(engine.start(1, kRate, 16), 1);
    ASSERT_TRUE(link.waitFor(8192, 5s)) << "no audio from the test microphone";

    ChildProcess player({"paplay", "--device=timbrelo_test_mic_feed", wav});
    ASSERT_TRUE(player.started());
    ASSERT_EQ(player.wait(20s), 0);
    std::this_thread::sleep_for(500ms);
    engine.stop();
    EXPECT_TRUE(messages.messages().empty()) << messages.messages().front();

    // Every block is one whole capture buffer.
    for (uint32_t size : link.blockSizes()) {
        ASSERT_EQ(size, 2048u);
    }
    const std::vector<int16_t> got = link.samples();
    const std::vector<float> left = channelOf(got, 2, 0);
    const std::vector<float> right = channelOf(got, 2, 1);
    const size_t start = onset(left, 0.1f);
    const size_t expected = onset(padded, 0.1f);
    ASSERT_LT(start, left.size()) << "the voice never arrived";
    ASSERT_GE(start, expected);
    const size_t from = start - expected;
    ASSERT_LE(from + padded.size(), left.size() + kRate / 10) << "the voice was cut short";
    const auto [lag, correlation] = bestCorrelation(padded, std::span(left).subspan(from), 200);
    EXPECT_GE(correlation, 0.99) << "lag " << lag;
    EXPECT_GE(bestCorrelation(padded, std::span(right).subspan(from), 200).second, 0.99);
}

TEST_F(PulseStreamsTest, PlayerPlaysIrregularBlocksWithoutGaps) {
    ASSERT_TRUE(modules.nullSink("timbrelo_test_speakers", "Test Speakers"));
    const int32_t speakers = findOutputDevice(backend, "Test Speakers");
    ASSERT_GE(speakers, 0);

    const std::string recording = temp.file("speakers.raw");
    ChildProcess recorder({"parec", "--device=timbrelo_test_speakers.monitor", "--rate=22050",
                           "--channels=2", "--format=s16le", "--latency-msec=20", "--raw"},
                          recording);
    ASSERT_TRUE(recorder.started());
    // An idle null sink sleeps for up to two seconds before it notices a new stream (real
    // speakers don't); once the recorder hears from it, it runs at the recorder's pace.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::filesystem::file_size(recording) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_GT(std::filesystem::file_size(recording), 0u) << "the test speakers never ran";

    constexpr uint32_t kBufferBytes = 3072;
    DCAudioPlayer player(backend);
    ASSERT_EQ(player.selectDevice(static_cast<uint32_t>(speakers), kBufferBytes), 1);
    player.setFormat(1, kRate, 16);
    ASSERT_EQ(player.openStream(), 1);

    // Three seconds of 440 Hz, handed over in irregular blocks at the pace they were made.
    const std::vector<int16_t> tone = makeTone(440, 3.0, kRate, 2, 0.5);
    std::thread producer([&] {
        std::mt19937 random(8);
        std::uniform_int_distribution<uint32_t> frames(20, 1500);
        const auto begin = std::chrono::steady_clock::now();
        size_t done = 0; // frames
        while (done * 2 < tone.size()) {
            const size_t n = std::min<size_t>(frames(random), tone.size() / 2 - done);
            player.addData(reinterpret_cast<const uint8_t*>(tone.data() + done * 2),
                           static_cast<uint32_t>(n * 4));
            done += n;
            std::this_thread::sleep_until(begin +
                                          std::chrono::microseconds(done * 1000000 / kRate));
        }
    });
    producer.join();
    std::this_thread::sleep_for(1s); // what is queued plays out
    player.stop();
    EXPECT_EQ(player.state(), PlayerState::Ready);
    std::this_thread::sleep_for(200ms);
    recorder.stop();
    EXPECT_TRUE(messages.messages().empty()) << messages.messages().front();

    const std::vector<int16_t> recorded = readRaw16(recording);
    const std::vector<float> left = channelOf(recorded, 2, 0);
    const size_t first = onset(left, 0.1f);
    ASSERT_LT(first, left.size()) << "nothing reached the speakers";
    const float level = 0.1f * peak(left);
    size_t last = left.size();
    while (last > first && std::fabs(left[last - 1]) < level) {
        --last;
    }
    const std::span<const float> played = std::span(left).subspan(first, last - first);
    // The tone plays out whole and at its pitch...
    EXPECT_NEAR(static_cast<double>(played.size()) / kRate, 3.0, 0.15);
    EXPECT_NEAR(measureToneFrequency(played, kRate), 440.0, 2.0);
    // ...and never stops for longer than one buffer once it has started.
    size_t longestGap = 0;
    size_t gap = 0;
    for (float v : played) {
        gap = std::fabs(v) < level / 10 ? gap + 1 : 0;
        longestGap = std::max(longestGap, gap);
    }
    EXPECT_LE(longestGap, kBufferBytes / 4);
}

TEST_F(PulseStreamsTest, OpenReportsWhatWentWrong) {
    ASSERT_TRUE(modules.nullSink("timbrelo_test_speakers", "Test Speakers"));
    struct Ignore : WaveOutCallback, WaveInCallback {
        void onWaveOut(WaveOutMessage, WaveHeader*) override {}
        void onWaveIn(WaveInMessage, WaveHeader*) override {}
    } ignore;
    std::unique_ptr<WaveOutDevice> out;
    EXPECT_EQ(
        backend.openOutput(backend.outputDeviceCount(), WaveFormat::pcm(2, kRate, 16), ignore, out),
        MMSYSERR_BADDEVICEID);
    EXPECT_EQ(backend.openOutput(0, WaveFormat::pcm(2, kRate, 24), ignore, out), WAVERR_BADFORMAT);
    std::unique_ptr<WaveInDevice> in;
    EXPECT_EQ(backend.openInput(0, WaveFormat::pcm(0, kRate, 16), ignore, in), WAVERR_BADFORMAT);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(in, nullptr);

    // The player says so once and then stays quiet.
    DCAudioPlayer player(backend);
    ASSERT_EQ(player.selectDevice(kWaveMapper, 3072), 1);
    player.setFormat(1, 22050, 24);
    EXPECT_EQ(player.openStream(), 0);
    EXPECT_EQ(messages.messages(),
              std::vector<std::string>{
                  "WAVEOUT:20:The device does not support this audio format. waveOutOpen()"});
    std::vector<uint8_t> block(4096, 1);
    for (int i = 0; i < 20; ++i) {
        player.addData(block.data(), 4096);
    }
    EXPECT_EQ(messages.messages().size(), 1u);
}

} // namespace
