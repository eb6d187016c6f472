// The audio threads must not allocate: this program replaces the global allocation functions
// and counts what the simulated sound system's audio threads (capture and playback) allocate
// while every effect runs, MP3 and WAV recordings are written, the preview plays, and the
// voice changes mid-stream.

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "app/voice_presets.h"
#include "audio/capture_engine.h"
#include "audio/dc_audio_player.h"
#include "sim/sim_audio_backend.h"
#include "support/audio_files.h"
#include "support/capture_fixtures.h"
#include "support/temp_dir.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <new>
#include <pthread.h>
#include <thread>

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};

// The simulated system names its stream threads "sim-...": those are the audio threads.
bool onAudioThread() {
    thread_local int known = -1;
    if (known < 0) {
        char name[16] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        known = std::strncmp(name, "sim-", 4) == 0 ? 1 : 0;
    }
    return known == 1;
}

void noteAllocation() {
    if (g_counting.load(std::memory_order_relaxed) && onAudioThread()) {
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    }
}

} // namespace

void* operator new(std::size_t size) {
    noteAllocation();
    if (void* p = std::malloc(size ? size : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new(std::size_t size, std::align_val_t align) {
    noteAllocation();
    const auto a = static_cast<size_t>(align);
    if (void* p = std::aligned_alloc(a, (size + a - 1) & ~(a - 1))) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new[](std::size_t size, std::align_val_t align) {
    return operator new(size, align);
}
// Every form of delete, plain or for arrays, sized or aligned, frees.
#define FREE_DELETE(...)                                                                           \
    void operator delete(void* p __VA_OPT__(, ) __VA_ARGS__) noexcept {                            \
        std::free(p);                                                                              \
    }                                                                                              \
    void operator delete[](void* p __VA_OPT__(, ) __VA_ARGS__) noexcept {                          \
        std::free(p);                                                                              \
    }
FREE_DELETE()
FREE_DELETE(std::size_t)
FREE_DELETE(std::align_val_t)
FREE_DELETE(std::size_t, std::align_val_t)

namespace {

using namespace timbrelo;
using namespace timbrelo::test;
using namespace std::chrono_literals;

TEST(NoAllocationTest, AudioThreadsAllocateNothingWithEverythingOnAndVoicesChanging) {
    TempDir dir;
    const std::string music = dir.file("music.mp3");
    writeMp3(music, makeStereoTones(220, 330, 3.0, 44100), 44100, 2);

    SimAudioBackend backend;
    CollectingDevice device;
    device.reserve(22050 * 60);
    const uint32_t mic = backend.addInputDevice("Mic", std::make_shared<ToneSource>(180, 0.5, 0),
                                                Pacing::RealTime);
    // The simulated speakers keep nothing: what they record is the test double's own.
    const uint32_t speakers = backend.addOutputDevice("Speakers", Pacing::RealTime, 0);
    CaptureEngine engine(backend);
    engine.chain().setConfigSource(
        EffectConfigSource::text("echo 0.8 0.7 120 0.3 250 0.2\ncartoon 1.5\npsola 1.0\n"));
    engine.setVirtualDevice(&device);
    DCAudioPlayer preview(backend);
    ASSERT_TRUE(preview.selectDevice(speakers));
    preview.setFormat(kPipelineFormat);
    ASSERT_TRUE(preview.openStream());
    engine.setPreviewPlayer(&preview);
    engine.setPreview(true);
    ASSERT_TRUE(engine.selectDevice(mic));
    ASSERT_TRUE(engine.start());
    engine.chain().slot(EffectChain::kEchoSlot)->setParameter(0, Effect::kOn);
    engine.setBackgroundLevel(0.3f);
    ASSERT_NE(engine.openBackground(music.c_str()), 0);
    ASSERT_EQ(engine.recorder().startRecording(kOriginSlot, dir.file("origin.wav")), 1);
    ASSERT_EQ(engine.recorder().startRecording(kEffectSlot, dir.file("effect.mp3")), 1);
    PresetState presets;
    presets.choose(ID_MALE_TO_FEMALE_SWEET, engine);
    engine.setCartoonParameter(0, Effect::kOn);
    engine.setCartoonParameter(1.4f, 0);
    ASSERT_TRUE(device.waitFor(22050)); // warmed up: every effect has run

    g_allocations = 0;
    g_counting = true;
    // Voices change mid-stream, from this control thread, as a user clicking through them.
    for (uint32_t id : {ID_MALE_TO_FEMALE_GENERAL, ID_MALE_TO_GIRL_SWEET, ID_NO_EFFECT,
                        ID_FEMALE_TO_MALE, ID_MICKEY, ID_MALE_TO_FEMALE_SWEET}) {
        presets.choose(id, engine);
        applySliders({180, 120}, engine);
        const size_t before = device.frames();
        ASSERT_TRUE(device.waitFor(before + 11025, 5s));
    }
    g_counting = false;
    engine.stop();
    preview.stop();
    EXPECT_EQ(g_allocations.load(), 0);
}

} // namespace
