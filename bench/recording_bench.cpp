// Cost of recording the pipeline's stream (22050 Hz, stereo, 16 bits) to a file, fed as the
// capture engine feeds it: 2048-byte blocks of voice. Reported as times faster than real
// time on one core (x_realtime: seconds of audio per second of CPU).

#include "audio/recording_writer.h"
#include "support/audio_files.h"
#include "support/signals.h"
#include "support/temp_dir.h"

#include <benchmark/benchmark.h>

using namespace timbrelo;
using namespace timbrelo::test;

namespace {

constexpr double kRate = 22050;
constexpr double kSeconds = 10;

const std::vector<uint8_t>& voice() {
    static const std::vector<uint8_t> bytes =
        asBytes(toInterleaved16(makeVoice(140, kSeconds, kRate, 0.5), 2));
    return bytes;
}

void record(benchmark::State& state, const char* fileName, bool withRender) {
    TempDir dir;
    RecordingWriter writer; // loads the encoder once, as a capture session does
    const std::vector<uint8_t>& pcm = voice();
    const std::vector<uint8_t> render(2048, 0x11);
    for (auto _ : state) {
        if (writer.startRecording(kEffectSlot, dir.file(fileName)) != 1) {
            state.SkipWithError("can't start the recording");
            return;
        }
        for (size_t at = 0; at < pcm.size(); at += 2048) {
            const uint32_t n = static_cast<uint32_t>(std::min<size_t>(2048, pcm.size() - at));
            writer.write(pcm.data() + at, n, kVoiceTag);
            if (withRender) {
                writer.write(render.data(), n, kRenderTag);
            }
        }
        writer.stopRecording(kEffectSlot, "wav");
        writer.stopRecording(kEffectSlot, "mp3");
    }
    state.counters["x_realtime"] = benchmark::Counter(
        kSeconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_RecordMp3(benchmark::State& state) {
    record(state, "voice.mp3", false);
}
void BM_RecordMp3MixedWithRender(benchmark::State& state) {
    record(state, "call.mp3", true);
}
void BM_RecordWav(benchmark::State& state) {
    record(state, "voice.wav", false);
}

} // namespace

BENCHMARK(BM_RecordMp3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordMp3MixedWithRender)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordWav)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
