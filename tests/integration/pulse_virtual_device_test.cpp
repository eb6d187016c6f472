// The virtual microphone and speaker on a private sound server, seen by ordinary clients:
// parec records the voice the program writes, paplay plays what the program reads back, and
// the device lists and defaults stay as the user expects.
#include "platform/vdev/event_registry.h"
#include "platform/vdev/pulse_virtual_device.h"
#include "platform/wave/pulse_connection.h"
#include "support/audio_files.h"
#include "support/signals.h"
#include "support/sound_server.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <gtest/gtest.h>
#include <pulse/stream.h>
#include <random>
#include <sstream>

using namespace timbrelo;
using namespace timbrelo::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRate = 22050;
constexpr uint32_t kBlockBytes = 2048;

uint32_t stateOf(VirtualDevice& device) {
    uint32_t state = 99;
    uint32_t returned = 0;
    device.ioControl(IOCTL_GET_STATE, nullptr, 0, &state, 4, &returned);
    return returned == 4 ? state : 99;
}

bool write(VirtualDevice& device, const int16_t* samples, uint32_t bytes) {
    return device.ioControl(IOCTL_WRITE_CAPTURE, samples, bytes, nullptr, 0, nullptr);
}

// Writes interleaved stereo in blocks at the pace a microphone would deliver them, `speed`
// times real time, each block up to `jitter` late as from a busy capture thread; returns
// the time each block went out.
std::vector<Clock::time_point> writePaced(VirtualDevice& device, const std::vector<int16_t>& pcm,
                                          double speed = 1.0,
                                          std::chrono::microseconds jitter = {}) {
    std::mt19937 random(5);
    std::uniform_int_distribution<int64_t> late(0, jitter.count());
    std::vector<Clock::time_point> sent;
    const auto begin = Clock::now();
    const size_t blockSamples = kBlockBytes / 2;
    for (size_t at = 0; at + blockSamples <= pcm.size(); at += blockSamples) {
        sent.push_back(Clock::now());
        write(device, pcm.data() + at, kBlockBytes);
        const double seconds = static_cast<double>(at + blockSamples) / 2 / kRate / speed;
        std::this_thread::sleep_until(
            begin + std::chrono::microseconds(static_cast<int64_t>(seconds * 1e6) + late(random)));
    }
    return sent;
}

// Modules whose arguments hold `argument` as a whole word.
size_t modulesWith(const std::string& argument) {
    std::istringstream lines(pactl({"list", "short", "modules"}).value_or(""));
    size_t count = 0;
    for (std::string line; std::getline(lines, line);) {
        std::replace(line.begin(), line.end(), '\t', ' ');
        count += (line + " ").find(" " + argument + " ") != std::string::npos;
    }
    return count;
}

size_t pairModules() {
    return modulesWith("sink_name=timbrelo_vmic_feed") + modulesWith("source_name=timbrelo_vmic") +
           modulesWith("sink_name=timbrelo_vspk");
}

// parec on the virtual microphone, as a chat program would record it.
class MicrophoneRecorder {
  public:
    explicit MicrophoneRecorder(const std::string& file)
        : file_(file), process_({"parec", "--device=timbrelo_vmic", "--rate=22050", "--channels=2",
                                 "--format=s16le", "--latency-msec=20", "--raw"},
                                file) {}
    bool started() const { return process_.started(); }
    uintmax_t bytes() const {
        std::error_code ec;
        const auto n = std::filesystem::file_size(file_, ec);
        return ec ? 0 : n;
    }
    void stop() { process_.stop(); }
    std::vector<int16_t> samples() const { return asSamples(fileBytes(file_)); }

  private:
    std::string file_;
    ChildProcess process_;
};

// A record stream of the test's own on the virtual microphone: a volume meter, or corked.
class OddRecorder {
  public:
    // A meter asks for what a mixer's level display asks for: 25 mono float values a second.
    explicit OddRecorder(bool meter) {
        PulseConnection::Lock lock(connection_);
        MmResult rc = MMSYSERR_NOERROR;
        pa_context* context = connection_.context(rc);
        if (context == nullptr) {
            return;
        }
        const pa_sample_spec spec = meter ? pa_sample_spec{PA_SAMPLE_FLOAT32LE, 25, 1}
                                          : pa_sample_spec{PA_SAMPLE_S16LE, 22050, 2};
        const auto flags = meter ? PA_STREAM_PEAK_DETECT : PA_STREAM_START_CORKED;
        stream_ = pa_stream_new(context, "odd recorder", &spec, nullptr);
        pa_stream_set_state_callback(
            stream_, [](pa_stream*, void* c) { static_cast<PulseConnection*>(c)->signal(); },
            &connection_);
        pa_stream_set_read_callback(
            stream_,
            [](pa_stream* s, size_t, void*) {
                const void* data = nullptr;
                size_t n = 0;
                while (pa_stream_peek(s, &data, &n) == 0 && n > 0) {
                    pa_stream_drop(s);
                }
            },
            nullptr);
        pa_stream_connect_record(stream_, "timbrelo_vmic", nullptr, flags);
        connection_.waitUntil([&] { return pa_stream_get_state(stream_) != PA_STREAM_CREATING; },
                              3s);
        ready_ = pa_stream_get_state(stream_) == PA_STREAM_READY;
    }
    ~OddRecorder() {
        PulseConnection::Lock lock(connection_);
        if (stream_ != nullptr) {
            pa_stream_set_state_callback(stream_, nullptr, nullptr);
            pa_stream_set_read_callback(stream_, nullptr, nullptr);
            pa_stream_disconnect(stream_);
            pa_stream_unref(stream_);
        }
    }
    bool ready() const { return ready_; }

  private:
    PulseConnection connection_{PulseConnection::Options{}};
    pa_stream* stream_ = nullptr;
    bool ready_ = false;
};

class PulseVirtualDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_SOUND_SERVER();
        ASSERT_EQ(pairModules(), 0u) << "a pair is left from an earlier test";
        ASSERT_TRUE(modules.microphone("timbrelo_test_mic", "Test Microphone"));
        ASSERT_TRUE(modules.nullSink("timbrelo_test_speakers", "Test Speakers"));
        ASSERT_TRUE(setDefaultDevice("sink", "timbrelo_test_speakers"));
        ASSERT_TRUE(setDefaultDevice("source", "timbrelo_test_mic"));
    }

    std::unique_ptr<PulseVirtualDevice> bringUp(const PulseVirtualDevice::Options& options = {}) {
        std::string error;
        auto device = PulseVirtualDevice::bringUp(options, error);
        EXPECT_NE(device, nullptr) << error;
        return device;
    }

    ModuleSet modules;
    TempDir temp;
};

TEST_F(PulseVirtualDeviceTest, APieceOfAPairLeftBehindIsReplacedAndTheDefaultsStay) {
    ASSERT_TRUE(pactl({"load-module", "module-null-sink", "sink_name=timbrelo_vspk"}));
    auto device = bringUp();
    ASSERT_NE(device, nullptr);
    EXPECT_FALSE(device->adopted());
    EXPECT_EQ(pairModules(), 3u) << "the piece is replaced, not doubled";
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(pactl({"get-default-sink"}).value_or(""), "timbrelo_test_speakers");
    EXPECT_EQ(pactl({"get-default-source"}).value_or(""), "timbrelo_test_mic");
    device.reset();
    EXPECT_EQ(pairModules(), 0u);
}

TEST_F(PulseVirtualDeviceTest, VoiceWrittenToTheCaptureSideReachesARecorderPromptly) {
    auto device = bringUp();
    ASSERT_NE(device, nullptr);
    MicrophoneRecorder recorder(temp.file("mic.raw"));
    ASSERT_TRUE(recorder.started());
    // The keep-alive makes the virtual microphone deliver at once, not after seconds.
    const auto asked = Clock::now();
    ASSERT_TRUE(eventually([&] { return recorder.bytes() > 0; }, 5s));
    EXPECT_LT(Clock::now() - asked, 1000ms);

    // A voice, then clicks: each click is the first sample of its block, so the moment the
    // block went out is the moment the click was written.
    const std::vector<float> voice = padded(makeVoice(140, 1.5, kRate, 0.5), kRate / 5);
    std::vector<int16_t> pcm = toInterleaved16(voice, 2);
    pcm.resize(pcm.size() + kBlockBytes / 2 - pcm.size() % (kBlockBytes / 2), 0);
    const size_t voiceBlocks = pcm.size() / (kBlockBytes / 2);
    constexpr size_t kClicks = 8;
    constexpr size_t kClickSpacing = 12; // blocks
    for (size_t i = 0; i < kClicks * kClickSpacing; ++i) {
        std::vector<int16_t> block(kBlockBytes / 2, 0);
        if (i % kClickSpacing == kClickSpacing / 2) {
            std::fill(block.begin(), block.begin() + 16, 20000);
        }
        pcm.insert(pcm.end(), block.begin(), block.end());
    }

    // The recorder's progress, to time the clicks' arrival.
    std::vector<std::pair<Clock::time_point, uintmax_t>> progress;
    std::atomic<bool> watching{true};
    std::thread watcher([&] {
        while (watching) {
            progress.emplace_back(Clock::now(), recorder.bytes());
            std::this_thread::sleep_for(1ms);
        }
    });
    // Capture runs for a while and stops (the feed runs dry), then the voice starts: the
    // usual case, since capture starts and stops with the programs that record.
    writePaced(*device, std::vector<int16_t>(kRate / 2, 0));
    std::this_thread::sleep_for(500ms);
    const std::vector<Clock::time_point> sent = writePaced(*device, pcm, 1.0, 15ms);
    std::this_thread::sleep_for(300ms);
    watching = false;
    watcher.join();
    recorder.stop();
    EXPECT_EQ(device->droppedCaptureBlocks(), 0u);

    const std::vector<int16_t> got = recorder.samples();
    const std::vector<float> left = channelOf(got, 2, 0);
    const std::vector<float> right = channelOf(got, 2, 1);
    // The clicks follow the voice's blocks; the voice is where its onset says.
    const size_t voiceStart = onset(left) - std::min(onset(left), onset(voice));
    const size_t voiceEnd = std::min(left.size(), voiceStart + voiceBlocks * kBlockBytes / 4);
    const std::vector<float> leftVoice(left.begin(), left.begin() + voiceEnd);
    const std::vector<float> rightVoice(right.begin(), right.begin() + voiceEnd);
    EXPECT_GE(correlationFound(voice, leftVoice), 0.99);
    EXPECT_GE(correlationFound(voice, rightVoice), 0.99);

    // Latency: for each click, when the recorder's output first held it.
    std::vector<double> delays;
    size_t from = voiceEnd;
    for (size_t c = 0; c < kClicks; ++c) {
        auto it = std::find_if(left.begin() + static_cast<long>(from), left.end(),
                               [](float v) { return std::fabs(v) > 0.25f; });
        if (it == left.end()) {
            break;
        }
        const auto frame = static_cast<size_t>(it - left.begin());
        from = frame + kClickSpacing * kBlockBytes / 8;
        const auto arrived = std::find_if(progress.begin(), progress.end(),
                                          [&](const auto& p) { return p.second >= frame * 4 + 4; });
        const size_t block = voiceBlocks + c * kClickSpacing + kClickSpacing / 2;
        if (arrived == progress.end() || block >= sent.size()) {
            break;
        }
        delays.push_back(
            std::chrono::duration<double, std::milli>(arrived->first - sent[block]).count());
    }
    ASSERT_EQ(delays.size(), kClicks) << "not every click arrived";
    std::sort(delays.begin(), delays.end());
    const double median = delays[delays.size() / 2];
    std::printf("write-to-recorder delay on %s: median %.1f ms (%.1f to %.1f ms)\n",
                sharedSoundServerKind().c_str(), median, delays.front(), delays.back());
    RecordProperty("median_delay_ms", static_cast<int>(median));
    // Generous: what matters is that the feed never queues a long backlog.
    EXPECT_LT(median, 250.0);
}

TEST_F(PulseVirtualDeviceTest, AFasterMicrophoneClockNeverBuildsUpDelay) {
    auto device = bringUp();
    ASSERT_NE(device, nullptr);
    MicrophoneRecorder recorder(temp.file("mic.raw"));
    ASSERT_TRUE(eventually([&] { return recorder.bytes() > 0; }, 5s));

    // Five seconds of tone delivered 10 % too fast would be 450 ms of backlog if it queued.
    const std::vector<int16_t> tone = makeTone(440, 5.0, kRate, 2, 0.5);
    const auto begin = Clock::now();
    writePaced(*device, tone, 1.1);
    const auto written = Clock::now();
    EXPECT_GT(device->droppedCaptureBlocks(), 0u);
    // Everything that was kept has reached the recorder shortly after the last write.
    std::this_thread::sleep_for(400ms);
    recorder.stop();
    const std::vector<float> left = channelOf(recorder.samples(), 2, 0);
    const size_t first = onset(left);
    size_t last = left.size();
    while (last > first && std::fabs(left[last - 1]) < 0.05f) {
        --last;
    }
    ASSERT_LT(first, last);
    const double heard = static_cast<double>(last - first) / kRate;
    const double took = std::chrono::duration<double>(written - begin).count();
    EXPECT_NEAR(heard, took, 0.15) << "kept " << heard << " s of " << took << " s written";
}

TEST_F(PulseVirtualDeviceTest, InUseExactlyWhileAnotherProgramRecordsTheMicrophone) {
    auto device = bringUp();
    ASSERT_NE(device, nullptr);
    auto start = std::make_shared<AutoResetEvent>();
    auto stop = std::make_shared<AutoResetEvent>();
    uint32_t ids[2] = {EventRegistry::instance().add(start), EventRegistry::instance().add(stop)};
    EXPECT_TRUE(device->ioControl(IOCTL_SET_START_EVENT, &ids[0], 4, nullptr, 0, nullptr));
    EXPECT_TRUE(device->ioControl(IOCTL_SET_STOP_EVENT, &ids[1], 4, nullptr, 0, nullptr));
    EXPECT_EQ(stateOf(*device), 0u);

    // Volume meters and corked recorders don't listen.
    {
        OddRecorder meter(true);
        OddRecorder corked(false);
        ASSERT_TRUE(meter.ready());
        ASSERT_TRUE(corked.ready());
        std::this_thread::sleep_for(400ms);
        EXPECT_EQ(stateOf(*device), 0u);
    }

    for (int round = 0; round < 2; ++round) {
        auto recorder = std::make_unique<MicrophoneRecorder>(temp.file("mic.raw"));
        ASSERT_TRUE(recorder->started());
        EXPECT_TRUE(eventually([&] { return stateOf(*device) == 1; }, 1000ms));
        EXPECT_TRUE(start->wait(100ms));
        recorder->stop();
        EXPECT_TRUE(eventually([&] { return stateOf(*device) == 0; }, 1000ms));
        EXPECT_TRUE(stop->wait(100ms));
    }
    uint32_t shortAnswer = 0;
    EXPECT_FALSE(device->ioControl(IOCTL_GET_STATE, nullptr, 0, &shortAnswer, 2, nullptr));
    EXPECT_FALSE(device->ioControl(IOCTL_SET_START_EVENT, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_FALSE(device->ioControl(0x222008, nullptr, 0, nullptr, 0, nullptr));
    EventRegistry::instance().remove(ids[0]);
    EventRegistry::instance().remove(ids[1]);
}

// Reads the render side until the time is up, waking on the render event.
struct RenderRead {
    std::vector<int16_t> samples;
    int signals = 0;
};

RenderRead readRender(PulseVirtualDevice& device, AutoResetEvent& event,
                      std::chrono::milliseconds timeout) {
    RenderRead result;
    const auto deadline = Clock::now() + timeout;
    std::vector<int16_t> block(kRenderReadBytes / 2);
    while (Clock::now() < deadline) {
        result.signals += event.wait(200ms) ? 1 : 0;
        for (;;) {
            uint32_t got = 0;
            EXPECT_TRUE(device.ioControl(IOCTL_READ_RENDER, nullptr, 0, block.data(),
                                         kRenderReadBytes, &got));
            EXPECT_EQ(got % 4, 0u);
            if (got == 0) {
                break;
            }
            result.samples.insert(result.samples.end(), block.begin(), block.begin() + got / 2);
        }
    }
    return result;
}

TEST_F(PulseVirtualDeviceTest, RenderSideGivesWhatProgramsPlayAndKeepsOnlyTheNewest) {
    PulseVirtualDevice::Options options;
    options.renderBufferBytes = kRate; // a quarter of a second
    auto device = bringUp(options);
    ASSERT_NE(device, nullptr);
    auto event = std::make_shared<AutoResetEvent>();
    const uint32_t id = EventRegistry::instance().add(event);
    ASSERT_TRUE(device->ioControl(IOCTL_SET_RENDER_EVENT, &id, 4, nullptr, 0, nullptr));
    ASSERT_TRUE(device->ioControl(IOCTL_BEGIN_RENDER, nullptr, 0, nullptr, 0, nullptr));
    // Nothing plays: nothing to read, not even silence.
    EXPECT_TRUE(readRender(*device, *event, 200ms).samples.empty());

    // A second of tone whose level rises, so the part kept tells its place; nobody reads
    // while it plays.
    const std::vector<int16_t> tone = makeTone(500, 1.0, kRate, 2, 0.5);
    std::vector<int16_t> rising(tone.size());
    for (size_t i = 0; i < tone.size(); ++i) {
        rising[i] = static_cast<int16_t>(tone[i] * (0.1 + 0.9 * i / tone.size()));
    }
    writeWav(temp.file("tone.wav"), rising, kRate, 2);
    ChildProcess player({"paplay", "--device=timbrelo_vspk", temp.file("tone.wav")});
    ASSERT_EQ(player.wait(10s), 0);
    std::this_thread::sleep_for(200ms);

    const RenderRead read = readRender(*device, *event, 300ms);
    EXPECT_GT(read.signals, 0);
    EXPECT_LE(read.samples.size() * 2, static_cast<size_t>(kRate));
    ASSERT_GE(read.samples.size() * 2, static_cast<size_t>(kRate) / 2);
    // The newest audio, whole: the end of what was played.
    const std::vector<float> played = channelOf(rising, 2, 0);
    for (int channel : {0, 1}) {
        const std::vector<float> kept = channelOf(read.samples, 2, channel);
        const std::span<const float> end =
            std::span(played).subspan(played.size() - kept.size(), kept.size());
        EXPECT_GE(bestCorrelation(end, kept, 1000).second, 0.99) << "channel " << channel;
        EXPECT_GT(rms(kept), 0.8 * rms(end));
    }
    EventRegistry::instance().remove(id);
}

TEST(PulseVirtualDeviceLossTest, TheServerDyingLeavesADeviceThatFailsQuietlyAndClosesPromptly) {
    SKIP_WITHOUT_SOUND_SERVER();
    OwnSoundServer server(sharedSoundServerKind());
    ASSERT_TRUE(server.running()) << server.error();
    std::string error;
    auto device = PulseVirtualDevice::bringUp(error);
    ASSERT_NE(device, nullptr) << error;
    auto stop = std::make_shared<AutoResetEvent>();
    const uint32_t id = EventRegistry::instance().add(stop);
    device->ioControl(IOCTL_SET_STOP_EVENT, &id, 4, nullptr, 0, nullptr);
    TempDir temp;
    {
        MicrophoneRecorder recorder(temp.file("mic.raw"));
        ASSERT_TRUE(eventually([&] { return stateOf(*device) == 1; }, 2s));
        ASSERT_TRUE(server.kill());
    }
    EXPECT_TRUE(eventually([&] { return device->lost(); }, 3s));
    EXPECT_TRUE(stop->wait(1s));
    const std::vector<int16_t> block(kBlockBytes / 2, 100);
    const auto before = Clock::now();
    EXPECT_FALSE(write(*device, block.data(), kBlockBytes));
    uint32_t got = 99;
    int16_t buffer[kRenderReadBytes / 2];
    EXPECT_FALSE(device->ioControl(IOCTL_READ_RENDER, nullptr, 0, buffer, sizeof buffer, &got));
    EXPECT_EQ(got, 0u);
    // Nobody records from a device that is gone; the answer is whole, so a watcher pauses.
    EXPECT_EQ(stateOf(*device), 0u);
    device.reset();
    EXPECT_LT(Clock::now() - before, 500ms);

    // No server at all: a clear reason, soon.
    const auto asked = Clock::now();
    EXPECT_EQ(PulseVirtualDevice::bringUp(error), nullptr);
    EXPECT_LT(Clock::now() - asked, 3s);
    EXPECT_NE(error.find("sound server"), std::string::npos) << error;
    EventRegistry::instance().remove(id);
}

} // namespace
