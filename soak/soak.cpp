// Hours of voice through the whole voice path at accelerated pace: the capture engine with
// every effect, every preset in turn, background music, the preview player, the render
// player fed like the render reader feeds it, and a recording of voice and render. Prints,
// once a simulated minute, the resident memory, the players' fill and drops, the music
// buffered and the recording's size, so that growth of any of them shows.
//
// soak [--hours H] [--music FILE] [--record FILE]
#include "app/voice_presets.h"
#include "audio/capture_engine.h"
#include "audio/dc_audio_player.h"
#include "effects/background_effect.h"
#include "sim/sim_audio_backend.h"
#include "sim/sim_virtual_device.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace timbrelo;

namespace {

long residentKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

long long fileBytes(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// A voice-like input: a glide between 100 and 250 Hz with harmonics, phrases and pauses.
class Voice {
  public:
    void fill(int16_t* stereo, uint32_t frames) {
        for (uint32_t i = 0; i < frames; ++i, ++n_) {
            const double t = static_cast<double>(n_) / kPipelineFormat.rate;
            const double f0 = 175 + 75 * std::sin(2 * M_PI * 0.13 * t);
            phase_ += 2 * M_PI * f0 / kPipelineFormat.rate;
            const bool speaking = std::fmod(t, 5.0) < 3.5;
            const double v = speaking ? 0.25 * std::sin(phase_) + 0.12 * std::sin(2 * phase_) +
                                            0.06 * std::sin(3 * phase_)
                                      : 0.0;
            stereo[2 * i] = stereo[2 * i + 1] = static_cast<int16_t>(v * 32767);
        }
    }

  private:
    uint64_t n_ = 0;
    double phase_ = 0;
};

} // namespace

int main(int argc, char** argv) {
    double hours = 1.0;
    std::string music;
    std::string record = "/tmp/timbrelo-soak.mp3";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--hours") == 0) {
            hours = std::atof(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--music") == 0) {
            music = argv[i + 1];
        } else if (std::strcmp(argv[i], "--record") == 0) {
            record = argv[i + 1];
        }
    }

    SimAudioBackend backend;
    backend.addOutputDevice("Preview Speakers", Pacing::AsFastAsPossible, 0);
    backend.addOutputDevice("Render Speakers", Pacing::AsFastAsPossible, 0);
    CaptureEngine engine(backend);
    SimVirtualDevice microphone(0); // counts what it hears, keeps nothing
    microphone.attachClient();
    engine.setVirtualDevice(&microphone);

    DCAudioPlayer preview(backend);
    DCAudioPlayer render(backend);
    preview.selectDevice(0);
    render.selectDevice(1);
    if (!preview.openStream() || !render.openStream()) {
        std::fprintf(stderr, "soak: the players could not start\n");
        return 1;
    }
    engine.setPreviewPlayer(&preview);

    EffectChain& chain = engine.chain();
    chain.setConfigSource(
        EffectConfigSource::text("echo 0.8 0.7 120 0.3 250 0.2\ncartoon 1.5\npsola 1.0\n"));
    chain.setFormat(kPipelineFormat.channels, kPipelineFormat.rate, 16);
    chain.load();
    if (!music.empty()) {
        engine.setBackgroundLevel(0.3f);
        if (engine.openBackground(music.c_str()) == 0) {
            std::fprintf(stderr, "soak: %s can't be played\n", music.c_str());
            return 1;
        }
        // Faster than real time, the music's reader is waited for.
        if (auto* effect =
                dynamic_cast<BackgroundEffect*>(chain.slot(EffectChain::kBackgroundSlot))) {
            effect->setWaitForMusic(true);
        }
    }
    if (!engine.startWithoutDevice(kPipelineFormat)) {
        std::fprintf(stderr, "soak: the capture engine could not start\n");
        return 1;
    }
    engine.setPreview(true);
    if (engine.recorder().startRecording(kEffectSlot, record) != 1) {
        std::fprintf(stderr, "soak: can't record to %s\n", record.c_str());
        return 1;
    }

    const std::span<const VoicePreset> presets = voicePresets();
    PresetState presetState;
    const uint64_t totalFrames = static_cast<uint64_t>(hours * 3600 * kPipelineFormat.rate);
    const uint64_t perPreset = std::max<uint64_t>(totalFrames / presets.size(), 1);
    const uint64_t perMinute = 60ull * kPipelineFormat.rate;
    constexpr uint32_t kBlock = CaptureEngine::kBlockFrames;
    constexpr uint32_t kPlayerHold = 4 * kBlock;
    std::vector<int16_t> block(2 * kBlock);
    std::vector<int16_t> played(2 * kBlock);
    Voice voice;
    size_t presetIndex = 0;
    const auto started = std::chrono::steady_clock::now();

    std::printf("%8s %8s %9s %8s %8s %8s %8s %8s %10s  %s\n", "sim_min", "wall_s", "rss_kb",
                "prev_fill", "prev_drop", "rend_fill", "rend_drop", "music", "record_kb", "preset");
    for (uint64_t done = 0; done < totalFrames; done += kBlock) {
        if (done % perPreset < kBlock && presetIndex < presets.size()) {
            presetState.choose(presets[presetIndex++].id, engine);
        }
        // The players' streams play as fast as they can; the voice waits for them as a
        // microphone's clock would, so what is measured is their fill, not an overrun.
        while (preview.bufferedFrames() > kPlayerHold || render.bufferedFrames() > kPlayerHold) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        voice.fill(block.data(), kBlock);
        engine.processBlock(block);
        // What a program plays to the virtual speaker: the render reader plays it and mixes
        // it into the recording.
        for (uint32_t i = 0; i < kBlock; ++i) {
            played[2 * i] = played[2 * i + 1] = static_cast<int16_t>(
                2000 * std::sin(2 * M_PI * 523.25 * double(done + i) / kPipelineFormat.rate));
        }
        render.addData(played);
        engine.recorder().write(played, RecordSource::Render);
        if ((done / kBlock) % 43 == 42) {
            engine.recorder().waitForWriter(); // about a second of audio at a time
        }
        if (done % perMinute < kBlock) {
            const double wall =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            auto* effect =
                dynamic_cast<BackgroundEffect*>(chain.slot(EffectChain::kBackgroundSlot));
            std::printf("%8.0f %8.1f %9ld %8u %8llu %8u %8llu %8u %10lld  %s\n",
                        double(done) / perMinute, wall, residentKb(), preview.bufferedFrames(),
                        static_cast<unsigned long long>(preview.droppedBlocks()),
                        render.bufferedFrames(),
                        static_cast<unsigned long long>(render.droppedBlocks()),
                        effect != nullptr ? effect->bufferedFrames() : 0, fileBytes(record) / 1024,
                        presets[presetIndex - 1].menuText);
            std::fflush(stdout);
        }
    }
    engine.recorder().stopRecording(kEffectSlot, RecordKind::Mp3);
    engine.recorder().stopRecording(kEffectSlot, RecordKind::Wav);
    engine.stop();
    preview.stop();
    render.stop();
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("soak: %.2f h of audio in %.0f s (%.0fx real time), voice frames delivered %llu, "
                "resident %ld kB at the end\n",
                hours, wall, hours * 3600 / wall,
                static_cast<unsigned long long>(microphone.capturedFrames()), residentKb());
    return 0;
}
