// Cost of recording the pipeline's stream (22050 Hz, stereo) to a file, fed as the audio
// threads feed it: blocks of 1024 frames of voice, and with render audio from a second thread.
// Reported per run:
//   x_realtime          the writer's throughput: seconds of audio written per wall second
//   producer_ns_p50     what one `write` costs the audio thread that calls it: the median,
//   producer_ns_p99     the 99th percentile
//   producer_ns_max     and the worst single call (on a busy machine, mostly preemption)

#include "audio/recording_writer.h"
#include "platform/messages.h"
#include "support/audio_files.h"
#include "support/signals.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <thread>

using namespace timbrelo;
using namespace timbrelo::test;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kRate = 22050;
constexpr int kSeconds = 10;
constexpr size_t kBlock = 2048; // samples: 1024 stereo frames

const std::vector<int16_t>& voice() {
    static const std::vector<int16_t> samples =
        toInterleaved16(makeVoice(140, kSeconds, kRate, 0.5), 2);
    return samples;
}

// Times every `write` of one producer thread.
struct ProducerCost {
    std::vector<double> ns;

    void write(RecordingWriter& writer, std::span<const int16_t> block, RecordSource source) {
        const Clock::time_point start = Clock::now();
        writer.write(block, source);
        ns.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count());
    }
};

double percentile(std::vector<double>& v, double p) {
    const size_t at =
        std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(at), v.end());
    return v[at];
}

// Feeds a second of audio at a time, the render side from its own thread, and waits for the
// writer after each: the queue never overflows and the wall time is the writer's.
void record(benchmark::State& state, const char* fileName, bool withRender) {
    TempDir dir;
    MessageCapture messages;
    RecordingWriter writer; // loads the encoder once, as a capture session does
    const std::vector<int16_t>& pcm = voice();
    const std::vector<int16_t> render(kBlock, 0x1111);
    const size_t perSecond = static_cast<size_t>(kRate) * 2;
    ProducerCost voiceCost;
    ProducerCost renderCost;
    double wallSeconds = 0;
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        if (writer.startRecording(kEffectSlot, dir.file(fileName)) != 1) {
            state.SkipWithError("can't start the recording");
            return;
        }
        for (size_t second = 0; second * perSecond < pcm.size(); ++second) {
            const size_t from = second * perSecond;
            const size_t to = std::min(pcm.size(), from + perSecond);
            std::thread renderThread;
            if (withRender) {
                renderThread = std::thread([&] {
                    for (size_t at = from; at < to; at += kBlock) {
                        renderCost.write(writer, std::span(render).first(std::min(kBlock, to - at)),
                                         RecordSource::Render);
                    }
                });
            }
            for (size_t at = from; at < to; at += kBlock) {
                voiceCost.write(writer, std::span(pcm).subspan(at, std::min(kBlock, to - at)),
                                RecordSource::Voice);
            }
            if (renderThread.joinable()) {
                renderThread.join();
            }
            writer.waitForWriter();
        }
        writer.stopRecording(kEffectSlot, RecordKind::Wav);
        writer.stopRecording(kEffectSlot, RecordKind::Mp3);
        wallSeconds += std::chrono::duration<double>(Clock::now() - start).count();
    }
    if (!messages.messages().empty()) {
        state.SkipWithError(messages.messages().front().c_str());
        return;
    }
    std::vector<double>& ns = voiceCost.ns;
    ns.insert(ns.end(), renderCost.ns.begin(), renderCost.ns.end());
    state.counters["x_realtime"] = kSeconds * static_cast<double>(state.iterations()) / wallSeconds;
    state.counters["producer_ns_p50"] = percentile(ns, 0.5);
    state.counters["producer_ns_p99"] = percentile(ns, 0.99);
    state.counters["producer_ns_max"] = *std::max_element(ns.begin(), ns.end());
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
void BM_RecordWavMixedWithRender(benchmark::State& state) {
    record(state, "call.wav", true);
}

} // namespace

BENCHMARK(BM_RecordMp3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RecordMp3MixedWithRender)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RecordWav)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RecordWavMixedWithRender)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
