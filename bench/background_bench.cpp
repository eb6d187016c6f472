// Background music: an MP3 file at 44.1 kHz decoded, converted to 22050 Hz and mixed under a
// voice, and each stage on its own. Speed is given as x_realtime: seconds of audio handled per
// second of CPU, counting every thread of the process (the effect reads ahead on its own).

#include "effects/background_effect.h"
#include "effects/mp3_decoder.h"
#include "effects/resample_effect.h"
#include "support/audio_files.h"
#include "support/signals.h"
#include "support/temp_dir.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <cmath>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

using namespace timbrelo;
using namespace timbrelo::test;

namespace {

constexpr double kMusicRate = 44100;
constexpr double kChainRate = 22050;
constexpr uint32_t kBlock = 512;

// Ten seconds of a chord at 44.1 kHz stereo, made once.
const std::string& musicFile() {
    static TempDir dir;
    static const std::string path = [] {
        const double seconds = 10;
        std::vector<int16_t> chord(static_cast<size_t>(seconds * kMusicRate) * 2, 0);
        for (double f : {220.0, 277.2, 329.6, 440.0}) {
            const std::vector<int16_t> tone = makeStereoTones(f, f * 1.5, seconds, kMusicRate, 0.2);
            for (size_t i = 0; i < chord.size(); ++i) {
                chord[i] = static_cast<int16_t>(chord[i] + tone[i]);
            }
        }
        const std::string file = dir.file("music.mp3");
        writeMp3(file, chord, kMusicRate, 2);
        return file;
    }();
    return path;
}

void setRealtime(benchmark::State& state, double audioSeconds) {
    state.counters["x_realtime"] = benchmark::Counter(audioSeconds, benchmark::Counter::kIsRate);
}

void BM_BackgroundMusicUnderVoice(benchmark::State& state) {
    BackgroundEffect effect;
    effect.setInputFormat(static_cast<uint32_t>(kChainRate), 16, 2);
    effect.openFile(musicFile().c_str());
    const std::vector<int16_t> voice =
        toInterleaved16(makeVoice(150, kBlock / kChainRate, kChainRate), 2);
    size_t frames = 0;
    for (auto _ : state) {
        while (effect.bufferedFrames() < kBlock) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        benchmark::DoNotOptimize(effect.process(voice.data(), kBlock));
        frames += kBlock;
    }
    setRealtime(state, frames / kChainRate);
}
BENCHMARK(BM_BackgroundMusicUnderVoice)->MeasureProcessCPUTime()->MinTime(2.0);

void BM_Mp3Decode(benchmark::State& state) {
    const int fd = ::open(musicFile().c_str(), O_RDONLY);
    std::vector<uint8_t> buffer(Mp3Decoder::kBlockBytes);
    DecodedBlock block;
    block.data = buffer.data();
    block.capacity = static_cast<uint32_t>(buffer.size());
    auto decoder = std::make_unique<Mp3Decoder>();
    const AudioSource source{AudioSource::kFile, fd};
    decoder->open(&source, nullptr);
    size_t frames = 0;
    for (auto _ : state) {
        if (decoder->decode(&block) != Mp3Decoder::kOk) {
            ::lseek(fd, 0, SEEK_SET);
            decoder->open(&source, nullptr);
            continue;
        }
        frames += block.length / 4;
    }
    setRealtime(state, frames / kMusicRate);
    ::close(fd);
}
BENCHMARK(BM_Mp3Decode);

void BM_Resample44To22(benchmark::State& state) {
    ResampleEffect converter;
    converter.setInputFormat(static_cast<uint32_t>(kMusicRate), 16, 2);
    converter.setOutputFormat(static_cast<uint32_t>(kChainRate), 16, 2);
    converter.prepare();
    const std::vector<int16_t> music = makeStereoTones(440, 660, 1152 / kMusicRate, kMusicRate);
    size_t frames = 0;
    for (auto _ : state) {
        uint32_t in = 1152;
        uint32_t out = 0;
        converter.convert(music.data(), &in, &out);
        frames += in;
    }
    setRealtime(state, frames / kMusicRate);
}
BENCHMARK(BM_Resample44To22);

} // namespace

BENCHMARK_MAIN();
