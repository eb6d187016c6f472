// Throughput of the psola effect and of its parts, as times faster than real time on one
// core (x_realtime = seconds of audio processed / seconds of CPU).

#include "effects/psola_effect.h"
#include "psola/fft_low_pass.h"
#include "psola/fft_table.h"
#include "psola/pitch_analysis.h"
#include "psola/psola_engine.h"
#include "support/signals.h"

#include <benchmark/benchmark.h>
#include <vector>

using namespace timbrelo;

namespace {

constexpr double kRate = 22050;
constexpr uint32_t kBufferFrames = 512; // what the capture engine hands the chain at most

const std::vector<int16_t>& stereoVoice() {
    static const std::vector<int16_t> voice =
        test::toInterleaved16(test::makeVoice(130, 10.0, kRate, 0.5), 2);
    return voice;
}

void setRealtimeCounter(benchmark::State& state, double secondsPerIteration) {
    state.counters["x_realtime"] = benchmark::Counter(
        secondsPerIteration * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// The whole effect on a 22050 Hz stereo voice, buffer by buffer, with pitch and formant
// factors from the benchmark's arguments (in hundredths).
void BM_PsolaEffect(benchmark::State& state) {
    const float pitch = static_cast<float>(state.range(0)) / 100;
    const float formant = static_cast<float>(state.range(1)) / 100;
    PsolaEffect effect;
    effect.prepare({{22050, 2}, kBufferFrames});
    effect.setParameter(0, Effect::kOn);
    effect.setParameter(formant, 1);
    effect.setParameter(pitch, 0);
    const std::vector<int16_t>& voice = stereoVoice();
    size_t offset = 0;
    for (auto _ : state) {
        if (offset + 2 * kBufferFrames > voice.size()) {
            offset = 0;
        }
        effect.process(voice.data() + offset, kBufferFrames);
        benchmark::DoNotOptimize(effect.outBuffer());
        offset += 2 * kBufferFrames;
    }
    setRealtimeCounter(state, kBufferFrames / kRate);
}
BENCHMARK(BM_PsolaEffect)
    ->Args({100, 100})
    ->Args({160, 130})
    ->Args({200, 160})
    ->ArgNames({"R", "F"});

// One block's pitch analysis, as the effect runs it: an analyser made once, reused.
void BM_PitchAnalysis(benchmark::State& state) {
    AnalysisSound sound;
    sound.dx = 1.0f / 22050.0f;
    sound.x1 = sound.dx / 2;
    sound.xmax = 0.04f;
    const std::vector<float> voice = test::makeVoice(130, 0.2, kRate, 0.5);
    sound.samples.assign(voice.begin() + 1000, voice.begin() + 1000 + 1544);
    PitchAnalyzer analyzer(1544, sound.dx);
    for (auto _ : state) {
        benchmark::DoNotOptimize(analyzer.analyse(sound));
    }
    setRealtimeCounter(state, 882 / kRate);
}
BENCHMARK(BM_PitchAnalysis);

// The same through analysePitch, which sizes everything anew for each sound.
void BM_AnalysePitchOnce(benchmark::State& state) {
    AnalysisSound sound;
    sound.dx = 1.0f / 22050.0f;
    sound.x1 = sound.dx / 2;
    sound.xmax = 0.04f;
    const std::vector<float> voice = test::makeVoice(130, 0.2, kRate, 0.5);
    sound.samples.assign(voice.begin() + 1000, voice.begin() + 1000 + 1544);
    for (auto _ : state) {
        auto track = analysePitch(sound, 0.01f, 75, 3, 15, 0.03f, 0.45f, 0.01f, 0.35f, 0.14f, 500);
        benchmark::DoNotOptimize(track.get());
    }
    setRealtimeCounter(state, 882 / kRate);
}
BENCHMARK(BM_AnalysePitchOnce);

// The engine alone (no analysis) at a fixed period.
void BM_PsolaEngineBlock(benchmark::State& state) {
    const float pitch = static_cast<float>(state.range(0)) / 100;
    const float formant = static_cast<float>(state.range(1)) / 100;
    PsolaEngine engine(882, pitch, formant);
    const std::vector<int16_t> voice =
        test::toInterleaved16(test::makeVoice(130, 2.0, kRate, 0.5), 1);
    size_t offset = 0;
    for (auto _ : state) {
        if (offset + 882 > voice.size()) {
            offset = 0;
        }
        benchmark::DoNotOptimize(engine.processBlock(voice.data() + offset, 882, 170));
        offset += 882;
    }
    setRealtimeCounter(state, 882 / kRate);
}
BENCHMARK(BM_PsolaEngineBlock)->Args({100, 100})->Args({160, 130})->ArgNames({"R", "F"});

// The low-pass of a formant factor of 1.3: two transforms of 2294 = 2 * 31 * 37 points.
void BM_SpectralLowPass(benchmark::State& state) {
    SpectralLowPass filter(1147);
    std::vector<float> block(1147);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<float>(i % 97) - 48;
    }
    for (auto _ : state) {
        filter.filterBlock(block.data(), 1 / 1.3f);
        benchmark::DoNotOptimize(block.data());
    }
    setRealtimeCounter(state, 882 / kRate);
}
BENCHMARK(BM_SpectralLowPass);

void BM_FftDouble2048(benchmark::State& state) {
    FftTableD table;
    table.create(2048);
    std::vector<double> data(2049);
    for (size_t i = 1; i < data.size(); ++i) {
        data[i] = static_cast<double>(i % 31) - 15;
    }
    for (auto _ : state) {
        forwardInPlace(table, data.data());
        backwardInPlace(table, data.data());
        for (size_t i = 1; i < data.size(); ++i) {
            data[i] *= 1.0 / 2048;
        }
        benchmark::DoNotOptimize(data.data());
    }
}
BENCHMARK(BM_FftDouble2048);

} // namespace

BENCHMARK_MAIN();
