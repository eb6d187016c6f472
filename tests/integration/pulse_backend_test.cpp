// The sound-server back end against a private server: its device lists, default devices and
// the preferred-device switch; real capture and playback, where the capture engine records a
// test microphone that an ordinary client plays into, and a player plays onto test speakers
// whose monitor an ordinary recorder records. When the server dies meanwhile, nothing crashes or
// hangs, the user is told, and once it is back the program records and plays again.
#include "audio/capture_engine.h"
#include "audio/dc_audio_player.h"
#include "audio/device_enumeration.h"
#include "platform/debug.h"
#include "platform/messages.h"
#include "platform/settings.h"
#include "platform/wave/pulse_audio_backend.h"
#include "support/audio_files.h"
#include "support/capture_fixtures.h"
#include "support/signals.h"
#include "support/sound_server.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <random>
#include <thread>

using namespace timbrelo;
using namespace timbrelo::test;
using namespace std::chrono_literals;

namespace {

constexpr int kRate = 22050;

constexpr uint32_t kPlayerBufferBytes = 3072;

// An engine that delivers a test microphone's audio unchanged to `link`.
std::unique_ptr<CaptureEngine> captureInto(AudioBackend& backend, CollectingDevice& link) {
    CaptureEngine::Options options;
    options.stopGrace = 50ms;
    auto engine = std::make_unique<CaptureEngine>(backend, options);
    engine->setLinkHandle(&link);
    engine->setEffectsOn(0);
    const int32_t mic = findInputDevice(backend, "Test Microphone");
    EXPECT_GE(mic, 0);
    EXPECT_EQ(engine->selectDevice(static_cast<uint32_t>(mic), 2048), 1);
    return engine;
}

// A player on the test speakers with its stream open.
std::unique_ptr<DCAudioPlayer> playerOnSpeakers(AudioBackend& backend) {
    auto player = std::make_unique<DCAudioPlayer>(backend);
    const int32_t speakers = findOutputDevice(backend, "Test Speakers");
    EXPECT_GE(speakers, 0);
    EXPECT_EQ(player->selectDevice(static_cast<uint32_t>(speakers), kPlayerBufferBytes), 1);
    player->setFormat(1, kRate, 16);
    EXPECT_EQ(player->openStream(), 1);
    return player;
}

// Each test sets the defaults it relies on: loading modules moves them on some servers.
class PulseBackendTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_SOUND_SERVER();
        ASSERT_EQ(backend.connect(), MMSYSERR_NOERROR);
    }

    PulseAudioBackend backend;
    ModuleSet modules;
    MessageCapture messages;
    TempDir temp;
};

TEST_F(PulseBackendTest, ListsRealDevicesByDescriptionButNoMonitorsOrInternalHelpers) {
    ASSERT_TRUE(modules.microphone("timbrelo_test_mic", "Test Microphone"));
    ASSERT_TRUE(modules.nullSink("timbrelo_test_speakers",
                                 "Test Speakers with a description longer than the limit"));
    ASSERT_TRUE(modules.nullSink("timbrelo_test_helper", "Hidden Helper", "timbrelo.internal=1"));
    ASSERT_TRUE(
        modules.microphone("timbrelo_test_helper_mic", "Hidden Helper Mic", "timbrelo.internal=1"));

    std::vector<PulseAudioBackend::DeviceInfo> inputs;
    std::vector<PulseAudioBackend::DeviceInfo> outputs;
    ASSERT_EQ(backend.listInputs(inputs), MMSYSERR_NOERROR);
    ASSERT_EQ(backend.listOutputs(outputs), MMSYSERR_NOERROR);

    const auto descriptions = [](const std::vector<PulseAudioBackend::DeviceInfo>& devices) {
        std::vector<std::string> out;
        for (const auto& device : devices) {
            out.push_back(device.description);
        }
        return out;
    };
    const auto in = descriptions(inputs);
    const auto out = descriptions(outputs);
    EXPECT_NE(std::find(in.begin(), in.end(), "Test Microphone"), in.end());
    EXPECT_EQ(std::find(in.begin(), in.end(), "Hidden Helper Mic"), in.end());
    EXPECT_EQ(std::find(out.begin(), out.end(), "Hidden Helper"), out.end());
    for (const auto& device : inputs) {
        EXPECT_EQ(device.name.find(".monitor"), std::string::npos) << device.name;
    }
    for (size_t i = 1; i < inputs.size(); ++i) {
        EXPECT_LT(inputs[i - 1].serverIndex, inputs[i].serverIndex);
    }

    // The numbered view the pipeline uses: product names cut to 31 characters.
    ASSERT_EQ(backend.inputDeviceCount(), inputs.size());
    ASSERT_EQ(backend.outputDeviceCount(), outputs.size());
    const int32_t speakers = findOutputDevice(backend, "Test Speakers");
    ASSERT_GE(speakers, 0);
    EXPECT_EQ(backend.outputDeviceName(speakers), "Test Speakers with a descriptio");
    const int32_t mic = findInputDevice(backend, "Test Microphone");
    ASSERT_GE(mic, 0);
    EXPECT_EQ(inputs[mic].name, "timbrelo_test_mic");
    EXPECT_EQ(backend.inputDeviceName(static_cast<uint32_t>(inputs.size())), "");
}

TEST_F(PulseBackendTest, ReadsSetsAndRestoresTheDefaultDevices) {
    ASSERT_TRUE(modules.microphone("timbrelo_test_mic", "Test Microphone"));
    ASSERT_TRUE(modules.nullSink("timbrelo_test_speakers", "Test Speakers"));
    ASSERT_TRUE(modules.nullSink("timbrelo_test_other", "Other Speakers"));
    ASSERT_TRUE(setDefaultDevice("sink", "timbrelo_test_other"));
    const auto mic = static_cast<uint32_t>(findInputDevice(backend, "Test Microphone"));
    const auto speakers = static_cast<uint32_t>(findOutputDevice(backend, "Test Speakers"));

    uint32_t before = kWaveMapper;
    ASSERT_EQ(backend.getPreferredOutput(before), MMSYSERR_NOERROR);
    EXPECT_EQ(before, static_cast<uint32_t>(findOutputDevice(backend, "Other Speakers")));
    ASSERT_EQ(backend.setPreferredOutput(speakers), MMSYSERR_NOERROR);
    EXPECT_EQ(settledDefault("sink", "timbrelo_test_speakers"), "timbrelo_test_speakers");
    uint32_t now = kWaveMapper;
    ASSERT_EQ(backend.getPreferredOutput(now), MMSYSERR_NOERROR);
    EXPECT_EQ(now, speakers);
    ASSERT_EQ(backend.setPreferredOutput(before), MMSYSERR_NOERROR);
    settledDefault("sink", "timbrelo_test_other");
    ASSERT_EQ(backend.getPreferredOutput(now), MMSYSERR_NOERROR);
    EXPECT_EQ(now, before);

    ASSERT_EQ(backend.setPreferredInput(mic), MMSYSERR_NOERROR);
    EXPECT_EQ(settledDefault("source", "timbrelo_test_mic"), "timbrelo_test_mic");
    ASSERT_EQ(backend.getPreferredInput(now), MMSYSERR_NOERROR);
    EXPECT_EQ(now, mic);

    EXPECT_EQ(backend.setPreferredInput(backend.inputDeviceCount()), MMSYSERR_BADDEVICEID);
    // A monitor as the default source is none of the listed devices.
    ASSERT_TRUE(setDefaultDevice("source", "timbrelo_test_speakers.monitor"));
    EXPECT_EQ(backend.getPreferredInput(now), kPulseNoDefaultDevice);
}

TEST_F(PulseBackendTest, SwitchingMovesTheDefaultsToTheTimbreloPairAndBack) {
    TempDir config;
    ScopedEnv home("XDG_CONFIG_HOME", config.path());
    std::string folder;
    ASSERT_GE(ensureDataFolder(folder), 0);
    writeFile(folder + "cfg", "cartoon 1.5\n");

    ASSERT_TRUE(modules.microphone("timbrelo_test_mic", "Test Microphone"));
    ASSERT_TRUE(modules.microphone("timbrelo_test_vmic", "Timbrelo Virtual Microphone"));
    ASSERT_TRUE(modules.nullSink("timbrelo_test_speakers", "Test Speakers"));
    ASSERT_TRUE(modules.nullSink("timbrelo_test_vspk", "Timbrelo Virtual Speaker"));
    ASSERT_TRUE(modules.nullSink("timbrelo_test_other", "Other Speakers"));
    ASSERT_TRUE(setDefaultDevice("sink", "timbrelo_test_speakers"));
    ASSERT_TRUE(setDefaultDevice("source", "timbrelo_test_mic"));

    DebugCapture debug;
    ASSERT_EQ(switchPreferredDevices(backend, 1), 0);
    EXPECT_EQ(settledDefault("sink", "timbrelo_test_vspk"), "timbrelo_test_vspk");
    EXPECT_EQ(settledDefault("source", "timbrelo_test_vmic"), "timbrelo_test_vmic");
    std::string value;
    getSetting(kOldPlayDefaultKey, value);
    EXPECT_EQ(value, "Test Speakers");
    getSetting(kOldRecDefaultKey, value);
    EXPECT_EQ(value, "Test Microphone");
    getSetting(kNeedRestoreDevKey, value);
    EXPECT_EQ(value, "1");
    EXPECT_TRUE(debug.contains("Set default waveoutSet default waveout OK"));
    EXPECT_TRUE(debug.contains("Set default waveinSet default wavein OK"));

    // A second start before any restore keeps the user's devices, not the virtual ones.
    ASSERT_TRUE(setDefaultDevice("sink", "timbrelo_test_other"));
    ASSERT_EQ(switchPreferredDevices(backend, 1), 0);
    getSetting(kOldPlayDefaultKey, value);
    EXPECT_EQ(value, "Test Speakers");

    ASSERT_EQ(switchPreferredDevices(backend, 0), 0);
    EXPECT_EQ(settledDefault("sink", "timbrelo_test_speakers"), "timbrelo_test_speakers");
    EXPECT_EQ(settledDefault("source", "timbrelo_test_mic"), "timbrelo_test_mic");
    getSetting(kNeedRestoreDevKey, value);
    EXPECT_EQ(value, "0");
}

TEST_F(PulseBackendTest, CaptureDeliversWhatTheMicrophoneHears) {
    ASSERT_TRUE(modules.microphone("timbrelo_test_mic", "Test Microphone"));
    // A voice with known content, padded with silence so that its start can be found.
    const std::vector<float> voice = padded(makeVoice(140, 1.5, kRate, 0.5), kRate / 5);
    writeWav(temp.file("voice.wav"), toInterleaved16(voice, 2), kRate, 2);

    CollectingDevice link;
    auto engine = captureInto(backend, link);
    ASSERT_EQ(engine->start(1, kRate, 16), 1);
    ASSERT_TRUE(link.waitFor(8192, 5s)) << "no audio from the test microphone";
    ChildProcess player({"paplay", "--device=timbrelo_test_mic_feed", temp.file("voice.wav")});
    ASSERT_EQ(player.wait(20s), 0);
    std::this_thread::sleep_for(500ms);
    engine->stop();
    EXPECT_TRUE(messages.messages().empty()) << messages.messages().front();

    // Every block is one whole capture buffer.
    for (uint32_t size : link.blockSizes()) {
        ASSERT_EQ(size, 2048u);
    }
    const std::vector<int16_t> got = asSamples(link.bytes());
    const std::vector<float> left = channelOf(got, 2, 0);
    const size_t start = onset(left);
    ASSERT_LT(start, left.size()) << "the voice never arrived";
    ASSERT_GE(start, onset(voice));
    const size_t from = start - onset(voice);
    ASSERT_LE(from + voice.size(), left.size() + kRate / 10) << "the voice was cut short";
    for (int channel : {0, 1}) {
        const std::vector<float> x = channelOf(got, 2, channel);
        EXPECT_GE(bestCorrelation(voice, std::span(x).subspan(from), 200).second, 0.99) << channel;
    }
}

TEST_F(PulseBackendTest, PlayerPlaysIrregularBlocksWithoutGaps) {
    ASSERT_TRUE(modules.nullSink("timbrelo_test_speakers", "Test Speakers"));
    const std::string recording = temp.file("speakers.raw");
    ChildProcess recorder({"parec", "--device=timbrelo_test_speakers.monitor", "--rate=22050",
                           "--channels=2", "--format=s16le", "--latency-msec=20", "--raw"},
                          recording);
    // An idle null sink sleeps for up to two seconds before it notices a new stream (real
    // speakers don't); once the recorder hears from it, it runs at the recorder's pace.
    ASSERT_TRUE(eventually([&] { return !readFile(recording).empty(); }, 5s))
        << "the test speakers never ran";
    auto player = playerOnSpeakers(backend);

    // Three seconds of 440 Hz, handed over in irregular blocks at the pace they were made.
    const std::vector<int16_t> tone = makeTone(440, 3.0, kRate, 2, 0.5);
    std::mt19937 random(8);
    std::uniform_int_distribution<uint32_t> frames(20, 1500);
    const auto begin = std::chrono::steady_clock::now();
    for (size_t done = 0; done * 2 < tone.size();) { // in frames
        const size_t n = std::min<size_t>(frames(random), tone.size() / 2 - done);
        player->addData(reinterpret_cast<const uint8_t*>(tone.data() + done * 2),
                        static_cast<uint32_t>(n * 4));
        done += n;
        std::this_thread::sleep_until(begin + std::chrono::microseconds(done * 1000000 / kRate));
    }
    std::this_thread::sleep_for(1s); // what is queued plays out
    player->stop();
    EXPECT_EQ(player->state(), PlayerState::Ready);
    std::this_thread::sleep_for(200ms);
    recorder.stop();
    EXPECT_TRUE(messages.messages().empty()) << messages.messages().front();

    const std::vector<float> left = channelOf(asSamples(fileBytes(recording)), 2, 0);
    const size_t first = onset(left);
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
    EXPECT_LE(longestGap, kPlayerBufferBytes / 4);
}

TEST_F(PulseBackendTest, OpenReportsWhatWentWrong) {
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
    ASSERT_EQ(player.selectDevice(kWaveMapper, kPlayerBufferBytes), 1);
    player.setFormat(1, 22050, 24);
    EXPECT_EQ(player.openStream(), 0);
    EXPECT_EQ(messages.messages(),
              std::vector<std::string>{
                  "WAVEOUT:20:The device does not support this audio format. waveOutOpen()"});
    std::vector<uint8_t> block(4096, 1);
    for (int i = 0; i < 20; ++i) {
        player.addData(block.data(), 4096);
    }
    EXPECT_EQ(player.play(), 0);
    player.stop();
    EXPECT_EQ(messages.messages().size(), 1u);
}

template <typename Action>
std::chrono::milliseconds timed(Action action) {
    const auto start = std::chrono::steady_clock::now();
    action();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

TEST(ServerLossTest, CaptureAndPlaybackSurviveTheServerDyingAndWorkAgainAfterwards) {
    SKIP_WITHOUT_SOUND_SERVER();
    OwnSoundServer server(sharedSoundServerKind());
    ASSERT_TRUE(server.running()) << server.error();
    auto modules = std::make_unique<ModuleSet>();
    ASSERT_TRUE(modules->microphone("timbrelo_test_mic", "Test Microphone"));
    ASSERT_TRUE(modules->nullSink("timbrelo_test_speakers", "Test Speakers"));
    MessageCapture messages;
    PulseAudioBackend backend;
    CollectingDevice link;
    auto engine = captureInto(backend, link);
    ASSERT_EQ(engine->start(1, kRate, 16), 1);
    auto player = playerOnSpeakers(backend);
    {
        // A tone fed from a thread of its own, as the capture callback would.
        std::jthread feeder([&](std::stop_token quit) {
            const std::vector<int16_t> tone = makeTone(330, 1.0, kRate, 2);
            for (size_t at = 0; !quit.stop_requested(); at = (at + 1024) % (tone.size() - 1024)) {
                player->addData(reinterpret_cast<const uint8_t*>(tone.data() + at), 2048);
                std::this_thread::sleep_for(23ms);
            }
        });
        ASSERT_TRUE(eventually([&] { return player->state() == PlayerState::Playing; }, 5s));
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
        EXPECT_LT(timed([&] { player->stop(); }), 1000ms);
    }
    EXPECT_LT(timed([&] { engine->stop(); }), 1000ms);
    EXPECT_EQ(engine->state(), CaptureState::Ready);
    EXPECT_EQ(player->state(), PlayerState::Ready);

    // While the server is away, opening says so at once.
    messages.clear();
    EXPECT_LT(timed([&] { EXPECT_EQ(engine->start(1, kRate, 16), 0); }), 3000ms);
    EXPECT_LT(timed([&] { EXPECT_EQ(player->openStream(), 0); }), 3000ms);
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
    ASSERT_EQ(engine->selectDevice(findInputDevice(backend, "Test Microphone"), 2048), 1);
    ASSERT_EQ(engine->start(1, kRate, 16), 1);
    EXPECT_TRUE(link.waitFor(8192, 5s));
    engine->stop();
    ASSERT_EQ(player->selectDevice(findOutputDevice(backend, "Test Speakers"), kPlayerBufferBytes),
              1);
    EXPECT_EQ(player->openStream(), 1);
    EXPECT_TRUE(messages.messages().empty()) << messages.messages().front();
}

} // namespace
