// The simulated sound system's sources, device lists and defaults, and the simulated virtual
// device, as the pipeline's tests rely on them.

#include "sim/sim_audio_backend.h"
#include "sim/sim_virtual_device.h"
#include "support/temp_dir.h"

#include <cmath>
#include <fstream>
#include <gtest/gtest.h>

using namespace timbrelo;
using namespace timbrelo::test;
using namespace std::chrono_literals;

namespace {

constexpr StreamFormat kStereo = kPipelineFormat;

std::vector<int16_t> readAll(PcmSource& source, const StreamFormat& format, uint32_t block) {
    std::vector<int16_t> out, buffer(size_t{block} * format.channels);
    while (uint32_t got = source.read(buffer)) {
        out.insert(out.end(), buffer.begin(), buffer.begin() + got * format.channels);
        if (got < block) {
            EXPECT_EQ(source.read(buffer), 0u) << "a short read is the end";
            break;
        }
    }
    return out;
}

std::vector<int16_t> ramp(size_t samples) {
    std::vector<int16_t> out(samples);
    for (size_t i = 0; i < samples; ++i) {
        out[i] = static_cast<int16_t>(i % 30011 - 15000);
    }
    return out;
}

// A WAV file with a "LIST" chunk before "data", as many writers put one there.
std::string writeWav(const std::string& path, uint16_t bits, uint16_t channels,
                     const std::vector<int16_t>& samples, uint32_t extraDataBytes = 0) {
    std::ofstream f(path, std::ios::binary);
    auto u32 = [&](uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
    const uint32_t dataBytes = static_cast<uint32_t>(samples.size() * 2) + extraDataBytes;
    f.write("RIFF", 4), u32(36 + 12 + dataBytes), f.write("WAVE", 4);
    f.write("fmt ", 4), u32(16), u16(1), u16(channels), u32(22050);
    u32(22050 * channels * bits / 8), u16(static_cast<uint16_t>(channels * bits / 8)), u16(bits);
    f.write("LIST", 4), u32(3), f.write("abc\0", 4); // odd size, padded
    f.write("data", 4), u32(dataBytes);
    f.write(reinterpret_cast<const char*>(samples.data()), std::streamsize(samples.size() * 2));
    f.write(std::string(extraDataBytes, '\x7f').data(), extraDataBytes);
    return path;
}

TEST(SimSources, ToneMemoryAndWavFileDeliverTheirSamplesFromTheStartOfEveryStream) {
    // A 441 Hz tone of 0.5 s: 220.5 periods, so 441 rising zero crossings on one channel.
    ToneSource tone(441, 0.5, 0.5);
    ASSERT_TRUE(tone.begin(kStereo));
    std::vector<int16_t> t = readAll(tone, kStereo, 1000);
    ASSERT_EQ(t.size(), 11025u * 2);
    int rising = 0, peak = 0;
    for (size_t i = 2; i < t.size(); i += 2) {
        rising += t[i - 2] < 0 && t[i] >= 0;
        peak = std::max(peak, std::abs(int{t[i]}));
        ASSERT_EQ(t[i], t[i + 1]);
    }
    EXPECT_NEAR(rising, 220, 1);
    EXPECT_NEAR(peak, 16384, 100); // the crest falls between samples
    ASSERT_TRUE(tone.begin(StreamFormat{44100, 1}));
    EXPECT_EQ(readAll(tone, StreamFormat{44100, 1}, 999).size(), 22050u);
    EXPECT_FALSE(tone.begin(StreamFormat{22050, 3}));

    const std::vector<int16_t> samples = ramp(2 * 1001);
    MemorySource memory(samples, kStereo);
    EXPECT_FALSE(memory.begin(StreamFormat{44100, 2}));
    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_TRUE(memory.begin(kStereo));
        EXPECT_EQ(readAll(memory, kStereo, 100), samples);
    }

    // A torn last frame is not delivered.
    std::string error;
    TempDir dir;
    const std::string path = writeWav(dir.file("source.wav"), 16, 2, samples, 3);
    auto wav = WavFileSource::open(path, error);
    ASSERT_NE(wav, nullptr) << error;
    EXPECT_EQ(wav->format(), kStereo);
    EXPECT_FALSE(wav->begin(StreamFormat{22050, 1}));
    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_TRUE(wav->begin(kStereo));
        EXPECT_EQ(readAll(*wav, kStereo, 64), samples);
    }
}

TEST(SimSources, WavFilesThatCannotBePlayedAreRefusedWithAReason) {
    TempDir dir;
    writeWav(dir.file("8bit.wav"), 8, 2, ramp(100));
    writeFile(dir.file("text.wav"), "hello, not a wave file");
    for (const auto& [path, reason] :
         {std::pair<std::string, std::string>{"/nonexistent/x.wav", "/nonexistent/x.wav: "},
          {dir.file("8bit.wav"), "16-bit PCM"},
          {dir.file("text.wav"), "not a RIFF WAVE file"}}) {
        std::string error;
        EXPECT_EQ(WavFileSource::open(path, error), nullptr) << path;
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }
}

struct NullSink : CaptureSink {
    void onCaptured(std::span<const int16_t>) override {}
    void onCaptureEnded(AudioResult) override {}
};
struct NullSource : PlaybackSource {
    uint32_t onPlaybackRequest(std::span<int16_t>) override { return 0; }
    void onPlaybackEnded(AudioResult) override {}
};

TEST(SimDevices, ListsDefaultsAndOpensCheckTheirArguments) {
    SimAudioBackend backend;
    uint32_t index = 99;
    EXPECT_EQ(backend.defaultInput(index), AudioResult::NoDefaultDevice);
    EXPECT_EQ(backend.setDefaultOutput(0), AudioResult::BadDevice);

    const uint32_t a = backend.addInputDevice("A microphone with a very long product name",
                                              std::make_shared<ToneSource>(440, 0.5, 0));
    const uint32_t b = backend.addInputDevice("B", std::make_shared<ToneSource>(440, 0.5, 0));
    backend.addOutputDevice("Speakers");
    EXPECT_EQ(backend.inputDeviceCount(), 2u);
    EXPECT_EQ(backend.inputDeviceName(a), "A microphone with a very long p");
    EXPECT_EQ(backend.inputDeviceName(7), "");
    EXPECT_EQ(backend.outputDeviceName(0), "Speakers");
    EXPECT_STREQ(backend.kind(), "sim");

    EXPECT_EQ(backend.setDefaultInput(b), AudioResult::Ok);
    EXPECT_EQ(backend.setDefaultInput(2), AudioResult::BadDevice);
    ASSERT_EQ(backend.defaultInput(index), AudioResult::Ok);
    EXPECT_EQ(index, b);

    // Failures are taken one call at a time, and only by the operation they were ordered for.
    backend.injectFailure(SimOp::SetDefaultInput, AudioResult::Error, 2);
    backend.injectFailure(SimOp::GetDefaultOutput, AudioResult::NotRunning);
    EXPECT_EQ(backend.setDefaultInput(a), AudioResult::Error);
    EXPECT_EQ(backend.defaultOutput(index), AudioResult::NotRunning);
    EXPECT_EQ(backend.defaultOutput(index), AudioResult::Ok);
    EXPECT_EQ(backend.setDefaultInput(a), AudioResult::Error);
    EXPECT_EQ(backend.currentDefaultInput(), b);
    EXPECT_EQ(backend.setDefaultInput(a), AudioResult::Ok);
    EXPECT_EQ(backend.currentDefaultInput(), a);

    NullSink sink;
    NullSource source;
    std::unique_ptr<CaptureStream> capture;
    std::unique_ptr<PlaybackStream> playback;
    EXPECT_EQ(backend.openCapture(2, kStereo, 512, sink, capture), AudioResult::BadDevice);
    EXPECT_EQ(backend.openCapture(a, kStereo, 0, sink, capture), AudioResult::InvalidArgument);
    EXPECT_EQ(backend.openCapture(a, StreamFormat{22050, 3}, 512, sink, capture),
              AudioResult::BadFormat);
    EXPECT_EQ(backend.openPlayback(1, kStereo, 512, source, playback), AudioResult::BadDevice);
    EXPECT_EQ(backend.openPlayback(0, StreamFormat{}, 512, source, playback),
              AudioResult::BadFormat);
    backend.injectFailure(SimOp::CaptureOpen, AudioResult::Busy);
    backend.injectFailure(SimOp::PlaybackOpen, AudioResult::NoMemory);
    EXPECT_EQ(backend.openCapture(a, kStereo, 512, sink, capture), AudioResult::Busy);
    EXPECT_EQ(backend.openPlayback(0, kStereo, 512, source, playback), AudioResult::NoMemory);
    EXPECT_EQ(capture, nullptr);
    EXPECT_EQ(playback, nullptr);
    EXPECT_EQ(backend.openInputCount() + backend.openOutputCount(), 0);

    // A source that refuses the format refuses the open.
    const uint32_t memory = backend.addInputDevice(
        "Memory", std::make_shared<MemorySource>(ramp(100), StreamFormat{44100, 2}));
    EXPECT_EQ(backend.openCapture(memory, kStereo, 512, sink, capture), AudioResult::BadFormat);

    ASSERT_EQ(backend.openCapture(kDefaultDevice, kStereo, 512, sink, capture), AudioResult::Ok);
    ASSERT_EQ(backend.openPlayback(kDefaultDevice, kStereo, 512, source, playback),
              AudioResult::Ok);
    EXPECT_EQ(backend.openInputCount(), 1);
    EXPECT_EQ(backend.openOutputCount(), 1);
    capture.reset();
    playback.reset();
    EXPECT_EQ(backend.openInputCount() + backend.openOutputCount(), 0);
}

struct CountingListener : VirtualDeviceListener {
    std::atomic<int> calls{0};
    void onVirtualDeviceChanged() override { ++calls; }
};

TEST(SimVirtualDevice, KeepsTheVoiceAndTellsTheListenerOfEveryChange) {
    SimVirtualDevice device;
    CountingListener listener;
    device.setListener(&listener);

    device.beginVoice(882);
    const std::vector<int16_t> voice = ramp(2 * 3000);
    for (size_t at = 0; at < voice.size(); at += 2 * 700) {
        const size_t n = std::min<size_t>(2 * 700, voice.size() - at);
        device.writeVoice(std::span(voice).subspan(at, n));
    }
    device.setVoiceBurst(512);
    device.endVoice();
    EXPECT_EQ(device.captured(), voice);
    EXPECT_EQ(device.capturedFrames(), 3000u);
    EXPECT_EQ(device.voiceBegins(), 1);
    EXPECT_EQ(device.voiceEnds(), 1);
    EXPECT_EQ(device.lastVoiceBurst(), 512u);
    EXPECT_EQ(device.voiceStats().underruns + device.voiceStats().overflowFrames, 0u);
    EXPECT_EQ(device.voiceDelayFrames(), 0u);

    EXPECT_FALSE(device.clientRecording());
    device.attachClient();
    device.attachClient(); // no change, nothing to tell
    EXPECT_TRUE(device.clientRecording());
    device.detachClient();
    EXPECT_EQ(listener.calls.load(), 2);

    // Render audio comes back in whole frames, at most what fits.
    device.feedRender(std::span(voice).first(2 * 5 + 1));
    std::vector<int16_t> render(2 * 3);
    EXPECT_EQ(device.readRender(render, 0ms), 3u);
    EXPECT_EQ(render, std::vector<int16_t>(voice.begin(), voice.begin() + 6));
    EXPECT_EQ(device.readRender(render, 0ms), 2u);
    EXPECT_EQ(render[3], voice[9]);

    // A reader that is interrupted before it waits returns at once.
    device.interruptRender();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(device.readRender(render, 2s), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

    // Once lost, nothing records and nothing more is kept or read; the listener is told once.
    device.attachClient();
    device.feedRender(voice);
    device.lose();
    device.lose();
    EXPECT_TRUE(device.lost());
    EXPECT_FALSE(device.clientRecording());
    EXPECT_EQ(listener.calls.load(), 4);
    device.writeVoice(voice);
    EXPECT_EQ(device.capturedFrames(), 3000u);
    EXPECT_EQ(device.readRender(render, 1s), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    device.setListener(nullptr);

    SimVirtualDevice bounded(1000);
    bounded.writeVoice(voice);
    EXPECT_EQ(bounded.captured(), std::vector<int16_t>(voice.begin(), voice.begin() + 2000));
    EXPECT_EQ(bounded.capturedFrames(), 3000u);
}

} // namespace
