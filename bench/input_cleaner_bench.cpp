// The input cleaner measured on a voice in room noise (pink noise, 50 Hz hum with harmonics,
// keyboard clicks) at 5, 10 and 20 dB SNR, averaged over four noise recordings: the noise
// left in the pauses, the voice's level and pitch, and the psola presets' pitch on the
// cleaned voice against the noisy one. The psola effect works in blocks of its own, and
// whether a block's analysis takes a noisy syllable an octave low depends on where the block
// starts: so its figures are also averaged over four starts across a block, or a mere delay
// (the stage's own) would move them by half a percent. Then its speed (x_realtime = seconds of
// audio per second of CPU) in the capture engine's 512-frame blocks.
//
// --table-only prints the figures alone, --speed-only the speed alone; other arguments go to
// the benchmark library.

#include "effects/input_cleaner.h"
#include "effects/psola_effect.h"
#include "support/noisy_voice.h"
#include "support/signals.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstring>
#include <vector>

using namespace timbrelo;
using namespace timbrelo::test;

namespace {

constexpr double kRate = 22050;
constexpr uint32_t kBlock = 512;
constexpr int kSeeds = 4;
// Where the psola effect's blocks start, in quarters of a block.
constexpr int kGridStarts = 4;
// A gate set as a user would: above the cleaned noise, below the voice.
constexpr float kGateDb = -30;

std::vector<float> cleaned(const NoisyVoice& scene, const InputCleanerSettings& settings,
                           uint32_t frameLength, uint32_t& delay) {
    InputCleaner stage(frameLength);
    stage.prepare({});
    stage.apply(settings);
    const std::vector<int16_t> in = toInterleaved16(scene.mixed, 2);
    std::vector<int16_t> out(in.size());
    for (size_t at = 0; at < in.size() / 2; at += kBlock) {
        const auto n = static_cast<uint32_t>(std::min<size_t>(kBlock, in.size() / 2 - at));
        const int16_t* src =
            stage.process(in.data() + 2 * at, n) == 0 ? stage.outBuffer() : in.data() + 2 * at;
        std::copy(src, src + 2 * size_t{n}, out.begin() + static_cast<long>(2 * at));
    }
    delay = stage.latencyFrames();
    return channelOf(out, 2, 0);
}

// The psola figures averaged over kGridStarts starts of its blocks against the voice.
PsolaPitchFigures psolaFigures(const NoisyVoice& scene, const std::vector<float>& out, size_t delay,
                               float pitch, float formant) {
    PsolaPitchFigures sum;
    for (int start = 0; start < kGridStarts; ++start) {
        const size_t lead = static_cast<size_t>(start) * PsolaEffect::kBlockLength / kGridStarts;
        std::vector<float> moved(lead, 0.0f);
        moved.insert(moved.end(), out.begin(), out.end() - static_cast<long>(lead));
        const PsolaPitchFigures f = psolaPitchFigures(scene, moved, delay + lead, pitch, formant);
        sum.analysisErrorPercent += f.analysisErrorPercent / kGridStarts;
        sum.outputErrorPercent += f.outputErrorPercent / kGridStarts;
    }
    return sum;
}

struct Figures {
    double pauseDb = 0;  // noise in the pauses, dB below the input's
    double voiceDb = 0;  // voice level against the clean voice, dB
    double pitch = 0;    // voice pitch error, %
    double output16 = 0; // psola 1.6/1.3: output pitch error, %
    double grains16 = 0; //                blocks whose analysis chose a wrong pitch, %
    double output20 = 0; // psola 2.0/1.6
    double grains20 = 0;
};

// `settings` null: the noisy input as it is; `voiceOnly`: the clean voice, the floor.
Figures measure(double snr, const InputCleanerSettings* settings, uint32_t frameLength,
                bool voiceOnly = false) {
    Figures sum;
    for (int seed = 0; seed < kSeeds; ++seed) {
        const NoisyVoice scene = makeNoisyVoice(snr, kRate, 0.3, 7 + static_cast<uint32_t>(seed));
        uint32_t delay = 0;
        const std::vector<float> out = settings != nullptr
                                           ? cleaned(scene, *settings, frameLength, delay)
                                           : (voiceOnly ? scene.voice : scene.mixed);
        const PsolaPitchFigures a = psolaFigures(scene, out, delay, 1.6f, 1.3f);
        const PsolaPitchFigures b = psolaFigures(scene, out, delay, 2.0f, 1.6f);
        sum.pauseDb += pauseLevelDb(scene, scene.mixed, 0) - pauseLevelDb(scene, out, delay);
        sum.voiceDb += voiceLevelDb(scene, out, delay) - cleanVoiceLevelDb(scene);
        sum.pitch += pitchErrorPercent(scene, out, delay);
        sum.output16 += a.outputErrorPercent;
        sum.grains16 += a.analysisErrorPercent;
        sum.output20 += b.outputErrorPercent;
        sum.grains20 += b.analysisErrorPercent;
    }
    for (double* f : {&sum.pauseDb, &sum.voiceDb, &sum.pitch, &sum.output16, &sum.grains16,
                      &sum.output20, &sum.grains20}) {
        *f /= kSeeds;
    }
    return sum;
}

void printRow(const char* label, const Figures& f) {
    std::printf("  %-22s %7.1f %7.2f %6.1f %9.1f %7.1f %9.1f %7.1f\n", label, f.pauseDb, f.voiceDb,
                f.pitch, f.output16, f.grains16, f.output20, f.grains20);
}

void printTable() {
    const InputCleanerSettings denoise{true, InputCleaner::kDefaultStrengthDb, false, kGateDb};
    const InputCleanerSettings both{true, InputCleaner::kDefaultStrengthDb, true, kGateDb};
    const InputCleanerSettings gate{false, InputCleaner::kDefaultStrengthDb, true, kGateDb};
    std::printf("Input cleaner on a voice in room noise, mean of %d recordings; delay %u frames "
                "(%.1f ms)\n",
                kSeeds, 2 * InputCleaner::kFrameLength - 1,
                (2 * InputCleaner::kFrameLength - 1) * 1000.0 / kRate);
    std::printf("  %-22s %7s %7s %6s %9s %7s %9s %7s\n", "", "pause", "voice", "pitch", "psola1.6",
                "grains", "psola2.0", "grains");
    std::printf("  %-22s %7s %7s %6s %9s %7s %9s %7s\n", "", "-dB", "dB", "err%", "err%", "wrong%",
                "err%", "wrong%");
    // The psola effect's own error on the voice without noise: no stage gets below it.
    const Figures floor = measure(10, nullptr, InputCleaner::kFrameLength, true);
    std::printf("  %-22s %7s %7s %6s %9.1f %7.1f %9.1f %7.1f\n", "clean voice (floor)", "", "", "",
                floor.output16, floor.grains16, floor.output20, floor.grains20);
    for (const double snr : {5.0, 10.0, 20.0}) {
        std::printf("%g dB SNR\n", snr);
        printRow("noisy (stage off)", measure(snr, nullptr, InputCleaner::kFrameLength));
        printRow("noise suppression", measure(snr, &denoise, InputCleaner::kFrameLength));
        printRow("gate -30 dBFS", measure(snr, &gate, InputCleaner::kFrameLength));
        printRow("suppression + gate", measure(snr, &both, InputCleaner::kFrameLength));
    }
    // Why 216: longer frames resolve the voice's harmonics better but add delay.
    std::printf("Frame length, noise suppression at 5 dB SNR\n");
    for (const uint32_t n : {160u, 192u, 216u, 256u}) {
        char label[48];
        std::snprintf(label, sizeof label, "%u (%.1f ms delay)", n, (2 * n - 1) * 1000.0 / kRate);
        printRow(label, measure(5, &denoise, n));
    }
    std::printf("\n");
}

// A mono microphone (both channels alike) or two channels of their own.
const std::vector<int16_t>& input(bool stereo) {
    static const std::vector<int16_t> alike = toInterleaved16(makeNoisyVoice(10).mixed, 2);
    static const std::vector<int16_t> apart = [] {
        std::vector<int16_t> in = alike;
        const std::vector<int16_t> other =
            toInterleaved16(makeNoisyVoice(10, kRate, 0.3, 99).mixed, 1);
        for (size_t i = 0; i < other.size(); ++i) {
            in[2 * i + 1] = other[i];
        }
        return in;
    }();
    return stereo ? apart : alike;
}

// Arguments: noise suppression on, gate on, channels apart.
void BM_InputCleaner(benchmark::State& state) {
    InputCleaner stage;
    stage.prepare({});
    stage.apply({state.range(0) != 0, 30, state.range(1) != 0, -45});
    const std::vector<int16_t>& in = input(state.range(2) != 0);
    const size_t blocks = in.size() / 2 / kBlock;
    size_t block = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(stage.process(in.data() + block * kBlock * 2, kBlock));
        benchmark::DoNotOptimize(stage.outBuffer()[0]);
        block = (block + 1) % blocks;
    }
    state.counters["x_realtime"] =
        benchmark::Counter(kBlock / kRate, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_InputCleaner)
    ->Args({0, 0, 0})
    ->Args({0, 1, 0})
    ->Args({1, 0, 0})
    ->Args({1, 1, 0})
    ->Args({1, 1, 1})
    ->ArgNames({"denoise", "gate", "stereo"});

} // namespace

int main(int argc, char** argv) {
    bool tableOnly = false;
    bool speedOnly = false;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--table-only") == 0) {
            tableOnly = true;
        } else if (std::strcmp(argv[i], "--speed-only") == 0) {
            speedOnly = true;
        } else {
            rest.push_back(argv[i]);
        }
    }
    if (!speedOnly) {
        printTable();
    }
    if (tableOnly) {
        return 0;
    }
    int count = static_cast<int>(rest.size());
    benchmark::Initialize(&count, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
