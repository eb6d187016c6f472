// What playing costs: the player's ring and refill path on a device that takes buffers as
// fast as they come, and real-time playback through the sound server (when TIMBRELO_SOUND_ENV
// names a private server started by scripts/sound-server.sh). Speed is reported as
// x_realtime: seconds of audio handled per second of CPU, all threads together.

#include "audio/dc_audio_player.h"
#include "audio/device_enumeration.h"
#include "sim/sim_audio_backend.h"
#include "pulse/pulse_audio_backend.h"
#include "support/signals.h"
#include "support/sound_server.h"

#include <benchmark/benchmark.h>
#include <ctime>
#include <thread>

using namespace timbrelo;

namespace {

constexpr double kFramesPerSecond = 22050.0;

double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::vector<int16_t> tone(double seconds) {
    return test::makeTone(440, seconds, 22050, 2);
}

// Pushes audio through a player whose device asks as fast as it is given: the cost of the
// jitter buffer and the stream's requests per second of audio.
void BM_PlayerRingAndRefill(benchmark::State& state) {
    SimAudioBackend backend;
    const uint32_t device = backend.addOutputDevice("Bench", Pacing::AsFastAsPossible, 0);
    DCAudioPlayer player(backend);
    player.selectDevice(device);
    player.setFormat(kPipelineFormat);
    player.openStream();
    const std::vector<int16_t> audio = tone(1.0);
    const auto block = static_cast<uint32_t>(state.range(0)); // frames

    double frames = 0;
    const double cpuStart = processCpuSeconds();
    for (auto _ : state) {
        for (size_t at = 0; at + size_t{block} * 2 <= audio.size(); at += size_t{block} * 2) {
            // Keep the buffer from overflowing, as a real-time producer would.
            while (player.bufferedFrames() + block >= DCAudioPlayer::kRingFrames) {
                std::this_thread::yield();
            }
            player.addData(std::span<const int16_t>(audio.data() + at, size_t{block} * 2));
            frames += block;
        }
    }
    const double cpu = processCpuSeconds() - cpuStart;
    player.stop();
    state.counters["x_realtime"] = frames / kFramesPerSecond / cpu;
}
BENCHMARK(BM_PlayerRingAndRefill)
    ->Arg(128)
    ->Arg(512)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Plays three seconds on a null sink of a private sound server in real time and measures the
// CPU the whole process used meanwhile.
void BM_SoundServerPlayback(benchmark::State& state) {
    std::string why;
    if (!test::useSharedSoundServer(why)) {
        state.SkipWithError(why.c_str());
        return;
    }
    test::ModuleSet modules;
    if (!modules.nullSink("timbrelo_bench_speakers", "Bench Speakers")) {
        state.SkipWithError("can't make the bench speakers");
        return;
    }
    PulseAudioBackend backend;
    const int32_t speakers = findOutputDevice(backend, "Bench Speakers");
    const std::vector<int16_t> audio = tone(3.0);
    double audioSeconds = 0;
    double cpu = 0;
    for (auto _ : state) {
        DCAudioPlayer player(backend);
        player.selectDevice(static_cast<uint32_t>(speakers));
        player.setFormat(kPipelineFormat);
        player.openStream();
        const double cpuStart = processCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        for (size_t at = 0; at + 1024 <= audio.size(); at += 1024) {
            player.addData(std::span<const int16_t>(audio.data() + at, 1024));
            std::this_thread::sleep_until(start + std::chrono::microseconds(static_cast<int64_t>(
                                                      (at + 1024) / 2 / kFramesPerSecond * 1e6)));
        }
        player.stop();
        cpu += processCpuSeconds() - cpuStart;
        audioSeconds += static_cast<double>(audio.size()) / 2 / kFramesPerSecond;
    }
    state.counters["x_realtime"] = audioSeconds / cpu;
}
BENCHMARK(BM_SoundServerPlayback)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
