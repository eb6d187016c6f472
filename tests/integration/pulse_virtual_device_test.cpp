// The virtual microphone and speaker on a private sound server, seen by ordinary clients:
// parec records the voice the program writes, paplay plays what the program reads back, and
// the device lists and defaults stay as the user expects.
#include "platform/vdev/event_registry.h"
#include "platform/vdev/pulse_virtual_device.h"
#include "platform/wave/pulse_audio_backend.h"
#include "platform/wave/pulse_connection.h"
#include "support/signals.h"
#include "support/sound_server.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <pulse/stream.h>
#include <random>
#include <sstream>
#include <thread>

using namespace timbrelo;
using namespace timbrelo::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRate = 22050;
constexpr uint32_t kBlockBytes = 2048;
constexpr const char* kHoldEnv = "TIMBRELO_TEST_HOLD_PAIR";

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
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string word;
        while (words >> word) {
            if (word == argument) {
                ++count;
                break;
            }
        }
    }
    return count;
}

size_t pairModules() {
    return modulesWith("sink_name=timbrelo_vmic_feed") + modulesWith("source_name=timbrelo_vmic") +
           modulesWith("sink_name=timbrelo_vspk");
}

// Descriptions in the back end's lists that carry "Timbrelo".
std::vector<std::string> timbreloDevices(PulseAudioBackend& backend, bool inputs) {
    std::vector<PulseAudioBackend::DeviceInfo> devices;
    EXPECT_EQ(inputs ? backend.listInputs(devices) : backend.listOutputs(devices),
              MMSYSERR_NOERROR);
    std::vector<std::string> out;
    for (const auto& d : devices) {
        if (d.description.find("Timbrelo") != std::string::npos) {
            out.push_back(d.description);
        }
    }
    return out;
}

std::vector<float> padded(const std::vector<float>& signal, double seconds = 0.2) {
    std::vector<float> out(static_cast<size_t>(seconds * kRate), 0.0f);
    out.insert(out.end(), signal.begin(), signal.end());
    out.insert(out.end(), static_cast<size_t>(seconds * kRate), 0.0f);
    return out;
}

// Index of the first sample at least `fraction` of the peak; the size when none.
size_t onset(std::span<const float> x, float fraction = 0.1f) {
    float peak = 0;
    for (float v : x) {
        peak = std::max(peak, std::fabs(v));
    }
    auto it =
        std::find_if(x.begin(), x.end(), [&](float v) { return std::fabs(v) >= fraction * peak; });
    return peak > 0 ? static_cast<size_t>(it - x.begin()) : x.size();
}

// The signal found again, whole, in a recording: the best correlation around where it starts;
// 0 when it is not there or cut short.
double correlationFound(const std::vector<float>& sent, const std::vector<float>& got) {
    const long shift = static_cast<long>(onset(got)) - static_cast<long>(onset(sent));
    if (onset(got) >= got.size()) {
        return 0;
    }
    std::span<const float> a(sent);
    std::span<const float> b(got);
    if (shift >= 0) {
        b = b.subspan(static_cast<size_t>(shift));
    } else {
        a = a.subspan(static_cast<size_t>(-shift));
    }
    if (b.size() + 512 < a.size()) {
        return 0;
    }
    return bestCorrelation(a, b, 200).second;
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
    std::vector<int16_t> samples() const { return readRaw16(file_); }

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
        std::string why;
        if (!useSharedSoundServer(why)) {
            GTEST_SKIP() << why;
        }
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

TEST_F(PulseVirtualDeviceTest, BringsUpOnePairThatListsLikeRealDevicesAndTakesItDownAgain) {
    auto device = bringUp();
    ASSERT_NE(device, nullptr);
    EXPECT_FALSE(device->adopted());
    EXPECT_EQ(pairModules(), 3u);

    PulseAudioBackend backend;
    EXPECT_EQ(timbreloDevices(backend, true),
              std::vector<std::string>{"Timbrelo Virtual Microphone"});
    EXPECT_EQ(timbreloDevices(backend, false),
              std::vector<std::string>{"Timbrelo Virtual Speaker"});
    // The user's defaults are where they were, and stay there.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(pactl({"get-default-sink"}).value_or(""), "timbrelo_test_speakers");
    EXPECT_EQ(pactl({"get-default-source"}).value_or(""), "timbrelo_test_mic");

    device.reset();
    EXPECT_EQ(pairModules(), 0u);
    EXPECT_TRUE(timbreloDevices(backend, true).empty());
    EXPECT_TRUE(timbreloDevices(backend, false).empty());
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
    const std::vector<float> voice = padded(makeVoice(140, 1.5, kRate, 0.5));
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

// Reads the render side until `enough` bytes or the time is up, waking on the render event.
struct RenderRead {
    std::vector<int16_t> samples;
    int signals = 0;
};

RenderRead readRender(PulseVirtualDevice& device, AutoResetEvent& event, size_t enough,
                      std::chrono::milliseconds timeout) {
    RenderRead result;
    const auto deadline = Clock::now() + timeout;
    std::vector<int16_t> block(kRenderReadBytes / 2);
    while (result.samples.size() * 2 < enough && Clock::now() < deadline) {
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

TEST_F(PulseVirtualDeviceTest, WhatProgramsPlayToTheSpeakerComesBackThroughTheRenderSide) {
    auto device = bringUp();
    ASSERT_NE(device, nullptr);
    auto event = std::make_shared<AutoResetEvent>();
    const uint32_t id = EventRegistry::instance().add(event);
    ASSERT_TRUE(device->ioControl(IOCTL_SET_RENDER_EVENT, &id, 4, nullptr, 0, nullptr));
    ASSERT_TRUE(device->ioControl(IOCTL_BEGIN_RENDER, nullptr, 0, nullptr, 0, nullptr));
    // Nothing plays: nothing to read, not even silence.
    std::this_thread::sleep_for(200ms);
    uint32_t got = 99;
    int16_t block[kRenderReadBytes / 2];
    EXPECT_TRUE(device->ioControl(IOCTL_READ_RENDER, nullptr, 0, block, sizeof block, &got));
    EXPECT_EQ(got, 0u);

    // Silence is not passed on, so the voice is compared without its padding.
    const std::vector<float> voice = makeVoice(180, 1.5, kRate, 0.5);
    const std::string wav = temp.file("voice.wav");
    writeWav16(wav, toInterleaved16(padded(voice), 2), 2, kRate);
    ChildProcess player({"paplay", "--device=timbrelo_vspk", wav});
    ASSERT_TRUE(player.started());
    // The file lasts 1.9 s; what arrives later is not of it.
    const RenderRead read = readRender(*device, *event, SIZE_MAX, 3500ms);
    EXPECT_EQ(player.wait(10s), 0);
    EXPECT_GT(read.signals, 0);
    EXPECT_GE(correlationFound(voice, channelOf(read.samples, 2, 0)), 0.99);
    EXPECT_GE(correlationFound(voice, channelOf(read.samples, 2, 1)), 0.99);
    EventRegistry::instance().remove(id);
}

TEST_F(PulseVirtualDeviceTest, RenderAudioNobodyReadsKeepsOnlyTheNewest) {
    PulseVirtualDevice::Options options;
    options.renderBufferBytes = kRate; // a quarter of a second
    auto device = bringUp(options);
    ASSERT_NE(device, nullptr);
    const std::vector<int16_t> tone = makeTone(500, 1.0, kRate, 2, 0.5);
    std::vector<int16_t> rising(tone.size());
    for (size_t i = 0; i < tone.size(); ++i) {
        // The level rises over the second, so the part kept tells its place.
        rising[i] = static_cast<int16_t>(tone[i] * (0.1 + 0.9 * i / tone.size()));
    }
    const std::string wav = temp.file("tone.wav");
    writeWav16(wav, rising, 2, kRate);
    ChildProcess player({"paplay", "--device=timbrelo_vspk", wav});
    ASSERT_EQ(player.wait(10s), 0);
    std::this_thread::sleep_for(200ms);

    AutoResetEvent unused;
    const RenderRead read = readRender(*device, unused, SIZE_MAX, 300ms);
    EXPECT_LE(read.samples.size() * 2, static_cast<size_t>(kRate));
    EXPECT_GE(read.samples.size() * 2, static_cast<size_t>(kRate) / 2);
    float peak = 0;
    for (int16_t s : read.samples) {
        peak = std::max(peak, std::fabs(s / 32768.0f));
    }
    EXPECT_GT(peak, 0.4f) << "the newest audio was not the audio kept";
}

// Run as a child by the next test: brings the pair up and stays until it is killed, as a
// program would that crashes. (Not in the fixture: a killed child can't unload its modules.)
TEST(PulseVirtualDeviceHelper, DISABLED_HoldThePairUntilKilled) {
    const char* marker = std::getenv(kHoldEnv);
    ASSERT_NE(marker, nullptr);
    std::string error;
    auto device = PulseVirtualDevice::bringUp(error);
    ASSERT_NE(device, nullptr) << error;
    writeFile(marker, "up");
    std::this_thread::sleep_for(60s);
}

TEST_F(PulseVirtualDeviceTest, APairLeftByAKilledRunIsAdoptedAndRemovedAtTheNextExit) {
    const std::string marker = temp.file("held");
    {
        ScopedEnv hold(kHoldEnv, marker);
        ChildProcess crashing(
            {std::filesystem::read_symlink("/proc/self/exe").string(),
             "--gtest_also_run_disabled_tests",
             "--gtest_filter=PulseVirtualDeviceHelper.DISABLED_HoldThePairUntilKilled"});
        ASSERT_TRUE(crashing.started());
        ASSERT_TRUE(eventually([&] { return fileExists(marker); }, 15s));
        crashing.stop(); // no clean exit: nothing is taken down
    }
    ASSERT_EQ(pairModules(), 3u);

    auto device = bringUp();
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(device->adopted());
    EXPECT_EQ(pairModules(), 3u);
    PulseAudioBackend backend;
    EXPECT_EQ(timbreloDevices(backend, true).size(), 1u);
    EXPECT_EQ(timbreloDevices(backend, false).size(), 1u);
    EXPECT_EQ(pactl({"get-default-sink"}).value_or(""), "timbrelo_test_speakers");
    device.reset();
    EXPECT_EQ(pairModules(), 0u);

    // Only a piece of a pair is left: it is replaced, not doubled.
    ASSERT_TRUE(pactl({"load-module", "module-null-sink", "sink_name=timbrelo_vspk"}));
    device = bringUp();
    ASSERT_NE(device, nullptr);
    EXPECT_FALSE(device->adopted());
    EXPECT_EQ(pairModules(), 3u);
    EXPECT_EQ(timbreloDevices(backend, false),
              std::vector<std::string>{"Timbrelo Virtual Speaker"});
    device.reset();
    EXPECT_EQ(pairModules(), 0u);
}

TEST(PulseVirtualDeviceLossTest, TheServerDyingLeavesADeviceThatFailsQuietlyAndClosesPromptly) {
    std::string why;
    if (!useSharedSoundServer(why)) {
        GTEST_SKIP() << why;
    }
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
