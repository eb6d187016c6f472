// Throughput of the cartoon and echo effects on a 22050 Hz stereo voice, in the capture
// engine's 512-frame blocks. x_realtime = seconds of audio processed per second of CPU.
#include "effects/cartoon_effect.h"
#include "effects/echo_effect.h"
#include "support/signals.h"

#include <benchmark/benchmark.h>
#include <vector>

using namespace timbrelo;

namespace {

constexpr double kRate = 22050;
constexpr uint32_t kBlock = 512;

const std::vector<int16_t>& voice() {
    static const std::vector<int16_t> v =
        test::toInterleaved16(test::makeVoice(150, 2.0, kRate, 0.5), 2);
    return v;
}

void runBlocks(benchmark::State& state, Effect& effect) {
    const auto& in = voice();
    const size_t blocks = in.size() / 2 / kBlock;
    size_t block = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(effect.process(in.data() + block * kBlock * 2, kBlock));
        benchmark::DoNotOptimize(effect.outBuffer()[0]);
        block = (block + 1) % blocks;
    }
    state.counters["x_realtime"] =
        benchmark::Counter(kBlock / kRate, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_CartoonStereo(benchmark::State& state) {
    CartoonEffect cartoon;
    cartoon.setInputFormat(static_cast<uint32_t>(kRate), 16, 2);
    cartoon.setParameter(1.5f, 0);
    cartoon.setParameter(0, Effect::kOn);
    runBlocks(state, cartoon);
}
BENCHMARK(BM_CartoonStereo);

void BM_EchoThreeTapsStereo(benchmark::State& state) {
    EchoEffect echo;
    echo.setInputFormat(static_cast<uint32_t>(kRate), 16, 2);
    const char* args[] = {"0.6", "0.9", "120", "0.4", "250", "0.3", "400", "0.2"};
    echo.parseArgs(8, args);
    echo.setParameter(0, Effect::kOn);
    runBlocks(state, echo);
}
BENCHMARK(BM_EchoThreeTapsStereo);

} // namespace

BENCHMARK_MAIN();
