// Steady-state capture must not allocate: this program replaces the global allocation
// functions and counts what the audio thread allocates while buffers flow.

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "audio/capture_engine.h"
#include "platform/wave/sim_audio_backend.h"
#include "support/capture_fixtures.h"

#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>
#include <new>
#include <thread>

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
std::thread::id g_testThread;

void noteAllocation() {
    if (g_counting.load(std::memory_order_relaxed) && std::this_thread::get_id() != g_testThread) {
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

class NoAllocationTest : public ::testing::TestWithParam<bool> {};

TEST_P(NoAllocationTest, SteadyStateCaptureAllocatesNothing) {
    const bool effectsOn = GetParam();
    g_testThread = std::this_thread::get_id();
    SimAudioBackend backend;
    CollectingDevice link;
    link.reserve(64 << 20);
    const uint32_t mic = backend.addInputDevice("Mic", std::make_shared<ToneSource>(300, 0.5, 0));
    CaptureEngine::Options options;
    options.stopGrace = 10ms;
    CaptureEngine engine(backend, options);
    engine.chain().setConfigSource(EffectConfigSource::text("cartoon 1.5\npsola 1.0\n"));
    engine.setLinkHandle(&link);
    engine.setEffectsOn(effectsOn ? 1 : 0);
    engine.selectDevice(mic, 2048);
    ASSERT_EQ(engine.start(1, 22050, 16), 1);
    engine.setPitchShift(0, -2);
    engine.setPitchShift(4, 0);
    ASSERT_TRUE(link.waitFor(1 << 20)); // warmed up

    g_allocations = 0;
    g_counting = true;
    const size_t before = link.size();
    ASSERT_TRUE(link.waitFor(before + (8 << 20)));
    g_counting = false;
    engine.stop();
    EXPECT_EQ(g_allocations.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(EffectsOnAndOff, NoAllocationTest, ::testing::Bool());

} // namespace
