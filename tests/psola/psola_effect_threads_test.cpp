// The psola effect takes its parameters from the user-interface thread while the capture
// thread processes; this program runs both at once (and under ThreadSanitizer). It replaces
// the global operator new and delete to watch the processing thread: it must allocate and
// free nothing.

#include "effects/psola_effect.h"
#include "platform/debug.h"
#include "support/audio_thread.h"
#include "support/signals.h"

#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>
#include <new>
#include <thread>
#include <vector>

namespace {

// Per thread: whether allocations are counted, how many were seen, and the size from which
// allocations fail (to play out a control thread that runs out of memory).
thread_local bool tWatched = false;
thread_local long tAllocations = 0;
thread_local size_t tFailFrom = static_cast<size_t>(-1);

void* allocate(size_t size, size_t alignment = 0) {
    if (tWatched) {
        ++tAllocations;
    }
    if (size >= tFailFrom) {
        return nullptr;
    }
    if (size == 0) {
        size = 1;
    }
    if (alignment > alignof(std::max_align_t)) {
        return std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
    }
    return std::malloc(size);
}

void release(void* p) {
    if (p != nullptr && tWatched) {
        ++tAllocations;
    }
    std::free(p);
}

void* allocateOrThrow(size_t size, size_t alignment = 0) {
    void* p = allocate(size, alignment);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}

} // namespace

void* operator new(size_t size) {
    return allocateOrThrow(size);
}
void* operator new[](size_t size) {
    return allocateOrThrow(size);
}
void* operator new(size_t size, std::align_val_t a) {
    return allocateOrThrow(size, static_cast<size_t>(a));
}
void* operator new[](size_t size, std::align_val_t a) {
    return allocateOrThrow(size, static_cast<size_t>(a));
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void operator delete(void* p) noexcept {
    release(p);
}
void operator delete[](void* p) noexcept {
    release(p);
}
void operator delete(void* p, size_t) noexcept {
    release(p);
}
void operator delete[](void* p, size_t) noexcept {
    release(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    release(p);
}
void operator delete(void* p, size_t, std::align_val_t) noexcept {
    release(p);
}
void operator delete[](void* p, size_t, std::align_val_t) noexcept {
    release(p);
}

using namespace timbrelo;
using namespace timbrelo::test;

namespace {

TEST(PsolaEffectThreads, ParametersChangeWhileBuffersFlowAndProcessingAllocatesNothing) {
    PsolaEffect effect;
    effect.prepare({{22050, 2}, 512});
    effect.setParameter(0, Effect::kOn);
    effect.setParameter(1.3f, 1);
    effect.setParameter(1.6f, 0);
    const std::vector<int16_t> voice = toInterleaved16(makeVoice(140, 4.0, 22050, 0.5), 2);
    const size_t voiceFrames = voice.size() / 2;

    std::atomic<long> allocations{-1};
    std::atomic<bool> resetAsked{false};
    size_t offset = 0; // the audio thread's own
    AudioThread audio([&] {
        tWatched = true;
        if (resetAsked.exchange(false)) {
            effect.reset();
        }
        if (effect.process(voice.data() + 2 * offset, 512) == 0) {
            // Read the whole result as the chain's next stage would.
            volatile long sum = 0;
            for (uint32_t i = 0; i < effect.outFrames() * 2; ++i) {
                sum = sum + effect.outBuffer()[i];
            }
        }
        offset = offset + 512 + 512 > voiceFrames ? 0 : offset + 512;
        allocations.store(tAllocations);
    });

    // Voices and slider moves, including the out-of-range values a bad caller might send;
    // the delay figures are read meanwhile as the capture engine would.
    const float values[] = {1.3f, 1.6f, 2.0f, 0.5f, 3.0f, 0.0f, -1.0f, 1.0f};
    uint32_t latencies = 0;
    for (int round = 0; round < 120; ++round) {
        const float v = values[round % 8];
        if (round % 5 == 0) { // a voice, as the presets send it
            effect.setParameter(0, Effect::kOn);
            effect.setParameter(v, 1);
            effect.setParameter(values[(round + 3) % 8], 0);
        } else if (round % 5 < 3) { // a slider
            effect.setParameter(v, round % 5 == 1 ? 0 : 1);
        } else {
            effect.setParameter(0, round % 5 == 3 ? Effect::kOff : Effect::kOn);
        }
        if (round % 17 == 0) {
            resetAsked.store(true);
        }
        latencies += effect.latencyFrames() + effect.blockFrames() + effect.tailFrames();
        audio.waitSteps(2);
    }
    // Several seconds of audio went by (a buffer of 512 frames is 23 ms).
    EXPECT_GT(audio.steps(), 240);
    EXPECT_GT(latencies, 0u);
    // The last voice sent must be the one the engine runs once a buffer has passed.
    effect.setParameter(0, Effect::kOn);
    effect.setParameter(1.3f, 1);
    effect.setParameter(1.6f, 0);
    audio.waitSteps(2);
    audio.stop();
    EXPECT_EQ(allocations.load(), 0) << "allocations or frees on the processing thread";
    EXPECT_FLOAT_EQ(effect.engine().pitchFactor(), 1.6f);
    EXPECT_FLOAT_EQ(effect.engine().formantFactor(), 1.3f);
    EXPECT_EQ(effect.latencyFrames(), 3324u);
    EXPECT_TRUE(effect.enabled());
}

TEST(PsolaEffectThreads, NoMemoryForANewEngineKeepsTheOldOne) {
    DebugCapture debug;
    PsolaEffect effect;
    effect.setInputFormat(22050, 16, 1);
    effect.setParameter(0, Effect::kOn);
    effect.setParameter(1.3f, 1);
    effect.setParameter(1.6f, 0);
    const std::vector<int16_t> input(100, 0);
    effect.process(input.data(), 100);
    // The engine's rings are the large allocations; the debug text's are small.
    tFailFrom = 16384;
    effect.setParameter(2.0f, 0);
    tFailFrom = static_cast<size_t>(-1);
    EXPECT_TRUE(debug.contains("psola: no memory for a new engine.\n"));
    effect.process(input.data(), 100);
    EXPECT_FLOAT_EQ(effect.engine().pitchFactor(), 1.6f);
    EXPECT_EQ(effect.latencyFrames(), 3324u);
    effect.setParameter(2.0f, 0);
    effect.process(input.data(), 100);
    EXPECT_FLOAT_EQ(effect.engine().pitchFactor(), 2.0f);
}

} // namespace
