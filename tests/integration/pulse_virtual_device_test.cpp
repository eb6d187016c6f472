// The virtual microphone and speaker on a private sound server, seen by ordinary clients:
// parec records the voice the program writes (whole, without a gap, promptly, whatever the
// clocks do), paplay plays what the program reads back.
#include "pulse/pulse_connection.h"
#include "pulse/pulse_virtual_device.h"
#include "support/audio_files.h"
#include "support/signals.h"
#include "support/sound_server.h"
#include "support/temp_dir.h"
#include "support/user_devices.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <gtest/gtest.h>
#include <pthread.h>
#include <pulse/stream.h>
#include <random>
#include <sched.h>
#include <sstream>

using namespace timbrelo;
using namespace timbrelo::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRate = 22050;

constexpr uint32_t kBlockFrames = 512;

// Writes interleaved stereo at the pace a microphone would deliver it: blocks of
// `sizes[k % n]` frames every kBlockFrames frames (0: nothing that time, as a voice that
// gathers blocks of its own), `speed` times real time, each write up to `jitter` late as from
// a busy capture thread. Returns the time each block went out, with its first frame.
struct Written {
    std::vector<std::pair<size_t, Clock::time_point>> blocks;
};
Written writePaced(VirtualDevice& device, const std::vector<int16_t>& pcm, double speed = 1.0,
                   std::chrono::microseconds jitter = {}, std::vector<uint32_t> sizes = {512}) {
    // Scheduled like the program's capture thread, where the system allows it.
    sched_param param{};
    param.sched_priority = 3;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    std::mt19937 random(5);
    std::uniform_int_distribution<int64_t> late(0, jitter.count());
    Written written;
    const auto begin = Clock::now();
    size_t at = 0; // frames
    const size_t total = pcm.size() / 2;
    for (size_t k = 0; at < total; ++k) {
        const size_t n = std::min<size_t>(sizes[k % sizes.size()], total - at);
        if (n > 0) {
            written.blocks.emplace_back(at, Clock::now());
            device.writeVoice(std::span<const int16_t>(pcm.data() + at * 2, n * 2));
            at += n;
        }
        const double seconds = static_cast<double>((k + 1) * kBlockFrames) / kRate / speed;
        std::this_thread::sleep_until(
            begin + std::chrono::microseconds(static_cast<int64_t>(seconds * 1e6) + late(random)));
    }
    return written;
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
        : file_(file), process_(recorderCommand("timbrelo_vmic"), file) {}
    bool started() const { return process_.started(); }
    uintmax_t bytes() const {
        std::error_code ec;
        const auto n = std::filesystem::file_size(file_, ec);
        return ec ? 0 : n;
    }
    void stop() { process_.stop(); }
    // What it recorded on the left channel.
    std::vector<float> left() const { return channelOf(asSamples(fileBytes(file_)), 2, 0); }

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
        AudioResult rc = AudioResult::Ok;
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

TEST_F(PulseVirtualDeviceTest, APieceOfAPairLeftBehindIsReplacedAndTheWholePairGoesAtTheEnd) {
    ASSERT_TRUE(pactl({"load-module", "module-null-sink", "sink_name=timbrelo_vspk"}));
    auto device = bringUp();
    ASSERT_NE(device, nullptr);
    EXPECT_FALSE(device->adopted());
    EXPECT_EQ(pairModules(), 3u) << "the piece is replaced, not doubled";
    device.reset();
    EXPECT_EQ(pairModules(), 0u);
}

// Every frame of a continuous voice reaches a program recording the virtual microphone, with
// no gap, for the plain voice's blocks and for a voice that comes in psola's 882-frame blocks
// (written late by up to 5 ms as from a busy capture thread); clicks after it time the delay.
TEST_F(PulseVirtualDeviceTest, AContinuousVoiceReachesARecorderWholeWithoutAGapAndPromptly) {
    std::vector<uint32_t> psolaPattern;
    for (uint32_t gathered = 0, k = 0; k < 441; ++k) {
        gathered += kBlockFrames;
        uint32_t out = 0;
        for (; gathered >= 882; gathered -= 882) {
            out += 882;
        }
        psolaPattern.push_back(out);
    }
    struct Case {
        const char* name;
        std::vector<uint32_t> sizes;
        uint32_t burst;
    };
    for (const Case& c : {Case{"capture blocks", {kBlockFrames}, kBlockFrames},
                          Case{"psola blocks", psolaPattern, kBlockFrames + 882}}) {
        SCOPED_TRACE(c.name);
        auto device = bringUp();
        ASSERT_NE(device, nullptr);
        MicrophoneRecorder recorder(temp.file("mic.raw"));
        ASSERT_TRUE(recorder.started());
        // The voice stream runs from bring-up on: a new listener hears (silence) at once.
        const auto asked = Clock::now();
        ASSERT_TRUE(eventually([&] { return recorder.bytes() > 0; }, 5s));
        EXPECT_LT(Clock::now() - asked, 1000ms);

        // 15 s of voice without a pause, then clicks on their own blocks, 12 blocks apart.
        std::vector<int16_t> pcm = toInterleaved16(makeVoice(140, 15.0, kRate, 0.5), 2);
        const size_t voiceFrames = pcm.size() / 2;
        std::vector<size_t> clickFrames;
        for (int i = 0; i < 8; ++i) {
            std::vector<int16_t> block(kBlockFrames * 12 * 2, 0);
            std::fill(block.begin() + kBlockFrames * 12, block.begin() + kBlockFrames * 12 + 32,
                      20000);
            clickFrames.push_back(pcm.size() / 2 + kBlockFrames * 6);
            pcm.insert(pcm.end(), block.begin(), block.end());
        }
        std::vector<std::pair<Clock::time_point, uintmax_t>> progress;
        std::atomic<bool> watching{true};
        std::thread watcher([&] {
            while (watching) {
                progress.emplace_back(Clock::now(), recorder.bytes());
                std::this_thread::sleep_for(1ms);
            }
        });
        device->beginVoice(c.burst);
        const Written written = writePaced(*device, pcm, 1.0, 5ms, c.sizes);
        device->endVoice();
        std::this_thread::sleep_for(300ms);
        watching = false;
        watcher.join();
        recorder.stop();

        const JitterBuffer::Stats stats = device->voiceStats();
        EXPECT_EQ(stats.underruns, 0u);
        EXPECT_EQ(stats.overflowFrames, 0u);
        std::printf("%s: %llu server underruns, %llu frames dropped, %llu repeated\n", c.name,
                    static_cast<unsigned long long>(device->serverUnderruns()),
                    static_cast<unsigned long long>(stats.droppedFrames),
                    static_cast<unsigned long long>(stats.repeatedFrames));
        const std::vector<float> heard = recorder.left();
        const size_t start = onset(heard);
        ASSERT_LT(start + voiceFrames, heard.size());
        const std::span<const float> voice(heard.data() + start, voiceFrames - 2000);
        const std::vector<size_t> gaps = silentRuns(voice, 110);
        EXPECT_TRUE(gaps.empty()) << "a gap of 5 ms or more in the voice, first at "
                                  << (gaps.empty() ? 0 : gaps.front()) << " of " << voice.size()
                                  << " (" << gaps.size() << " in all)";
        EXPECT_GE(correlationFound(
                      channelOf(std::vector<int16_t>(pcm.begin(), pcm.begin() + 40000), 2, 0),
                      std::vector<float>(voice.begin(), voice.begin() + 30000)),
                  0.99);

        // The delay: for each click, from its write to the recorder holding it.
        std::vector<double> delays;
        for (size_t frame : clickFrames) {
            // The write that carried the click: the last one starting at or before it.
            const auto after = std::find_if(written.blocks.begin(), written.blocks.end(),
                                            [&](const auto& b) { return b.first > frame; });
            const auto block = after == written.blocks.begin() ? written.blocks.end() : after - 1;
            auto it = std::find_if(heard.begin() + static_cast<long>(start + frame - 1000),
                                   heard.end(), [](float v) { return std::fabs(v) > 0.25f; });
            if (block == written.blocks.end() || it == heard.end()) {
                break;
            }
            const auto at = static_cast<uintmax_t>(it - heard.begin()) * 4 + 4;
            const auto arrived = std::find_if(progress.begin(), progress.end(),
                                              [&](const auto& p) { return p.second >= at; });
            if (arrived == progress.end()) {
                break;
            }
            delays.push_back(
                std::chrono::duration<double, std::milli>(arrived->first - block->second).count());
        }
        ASSERT_EQ(delays.size(), clickFrames.size()) << "not every click arrived";
        std::sort(delays.begin(), delays.end());
        std::printf("%s: write-to-recorder delay on %s: median %.1f ms (%.1f to %.1f ms)\n", c.name,
                    sharedSoundServerKind().c_str(), delays[delays.size() / 2], delays.front(),
                    delays.back());
        // Generous (the recorder's own buffering counts): the voice never queues a backlog.
        EXPECT_LT(delays[delays.size() / 2], 150.0);
    }
}

TEST_F(PulseVirtualDeviceTest, MicrophoneClocksFasterOrSlowerNeitherBuildUpDelayNorLeaveGaps) {
    // Ten seconds at 500 ppm (a few times what real clocks drift apart) is 5 ms either way: a
    // path that does not absorb it runs dry or queues.
    for (double speed : {1.0005, 0.9995}) {
        SCOPED_TRACE(speed);
        auto device = bringUp();
        ASSERT_NE(device, nullptr);
        MicrophoneRecorder recorder(temp.file("mic.raw"));
        ASSERT_TRUE(eventually([&] { return recorder.bytes() > 0; }, 5s));
        const std::vector<int16_t> voice = toInterleaved16(makeVoice(150, 10.0, kRate, 0.5), 2);
        device->beginVoice(kBlockFrames);
        writePaced(*device, voice, speed);
        EXPECT_LT(device->voiceDelayFrames(), static_cast<uint32_t>(0.05 * kRate));
        device->endVoice();
        std::this_thread::sleep_for(300ms);
        recorder.stop();
        const JitterBuffer::Stats stats = device->voiceStats();
        EXPECT_EQ(stats.underruns, 0u);
        const std::vector<float> heard = recorder.left();
        const size_t start = onset(heard);
        ASSERT_LT(start + voice.size() / 2, heard.size() + 2000);
        const std::span<const float> kept(heard.data() + start, voice.size() / 2 - 4000);
        EXPECT_TRUE(silentRuns(kept, 110).empty()) << "a gap of 5 ms or more in the voice";
    }
}

// Tells when the device says its state changed.
class CountingListener : public VirtualDeviceListener {
  public:
    void onVirtualDeviceChanged() override { ++changes; }
    std::atomic<int> changes{0};
};

TEST_F(PulseVirtualDeviceTest, InUseExactlyWhileAnotherProgramRecordsTheMicrophone) {
    auto device = bringUp();
    ASSERT_NE(device, nullptr);
    CountingListener listener;
    device->setListener(&listener);
    EXPECT_FALSE(device->clientRecording());

    // Volume meters and corked recorders don't listen.
    {
        OddRecorder meter(true);
        OddRecorder corked(false);
        ASSERT_TRUE(meter.ready());
        ASSERT_TRUE(corked.ready());
        std::this_thread::sleep_for(400ms);
        EXPECT_FALSE(device->clientRecording());
    }
    EXPECT_EQ(listener.changes.load(), 0);

    for (int round = 0; round < 2; ++round) {
        auto recorder = std::make_unique<MicrophoneRecorder>(temp.file("mic.raw"));
        ASSERT_TRUE(recorder->started());
        EXPECT_TRUE(eventually([&] { return device->clientRecording(); }, 1000ms));
        recorder->stop();
        EXPECT_TRUE(eventually([&] { return !device->clientRecording(); }, 1000ms));
    }
    EXPECT_EQ(listener.changes.load(), 4);
    device->setListener(nullptr);
}

// Reads the render side until the time is up.
std::vector<int16_t> readRender(VirtualDevice& device, std::chrono::milliseconds timeout) {
    std::vector<int16_t> samples;
    const auto deadline = Clock::now() + timeout;
    std::vector<int16_t> block(1024);
    while (Clock::now() < deadline) {
        const uint32_t got = device.readRender(block, 50ms);
        samples.insert(samples.end(), block.begin(), block.begin() + got * 2);
    }
    return samples;
}

TEST_F(PulseVirtualDeviceTest, RenderSideGivesWhatProgramsPlayAndKeepsOnlyTheNewest) {
    PulseVirtualDevice::Options options;
    options.renderBufferFrames = kRate / 2;
    auto device = bringUp(options);
    ASSERT_NE(device, nullptr);
    // Nothing plays: nothing to read, not even silence.
    EXPECT_TRUE(readRender(*device, 200ms).empty());

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

    const std::vector<int16_t> read = readRender(*device, 300ms);
    EXPECT_LE(read.size(), static_cast<size_t>(kRate));
    ASSERT_GE(read.size(), static_cast<size_t>(kRate) / 2);
    // The newest audio, whole: the end of what was played.
    const std::vector<float> played = channelOf(rising, 2, 0);
    for (int channel : {0, 1}) {
        const std::vector<float> kept = channelOf(read, 2, channel);
        const std::span<const float> end =
            std::span(played).subspan(played.size() - kept.size(), kept.size());
        EXPECT_GE(bestCorrelation(end, kept, 1000).second, 0.99) << "channel " << channel;
        EXPECT_GT(rms(kept), 0.8 * rms(end));
    }
    // A reader waiting for render audio is woken at once when asked.
    std::thread waker([&] {
        std::this_thread::sleep_for(50ms);
        device->interruptRender();
    });
    std::vector<int16_t> block(1024);
    const auto waited = Clock::now();
    EXPECT_EQ(device->readRender(block, 5s), 0u);
    EXPECT_LT(Clock::now() - waited, 1s);
    waker.join();
}

TEST(PulseVirtualDeviceLossTest, TheServerDyingLeavesADeviceThatFailsQuietlyAndClosesPromptly) {
    SKIP_WITHOUT_SOUND_SERVER();
    OwnSoundServer server(sharedSoundServerKind());
    ASSERT_TRUE(server.running()) << server.error();
    std::string error;
    auto device = PulseVirtualDevice::bringUp(error);
    ASSERT_NE(device, nullptr) << error;
    CountingListener listener;
    device->setListener(&listener);
    TempDir temp;
    {
        MicrophoneRecorder recorder(temp.file("mic.raw"));
        ASSERT_TRUE(eventually([&] { return device->clientRecording(); }, 2s));
        ASSERT_TRUE(server.kill());
    }
    EXPECT_TRUE(eventually([&] { return device->lost(); }, 3s));
    EXPECT_GE(listener.changes.load(), 2);
    EXPECT_FALSE(device->clientRecording()) << "nobody records from a device that is gone";
    const std::vector<int16_t> block(kBlockFrames * 2, 100);
    const auto before = Clock::now();
    device->writeVoice(block); // goes nowhere, quietly
    std::vector<int16_t> render(1024);
    EXPECT_EQ(device->readRender(render, 1s), 0u);
    device->setListener(nullptr);
    device.reset();
    EXPECT_LT(Clock::now() - before, 500ms);

    // No server at all: a clear reason, soon.
    const auto asked = Clock::now();
    EXPECT_EQ(PulseVirtualDevice::bringUp(error), nullptr);
    EXPECT_LT(Clock::now() - asked, 3s);
    EXPECT_NE(error.find("sound server"), std::string::npos) << error;
}

} // namespace
