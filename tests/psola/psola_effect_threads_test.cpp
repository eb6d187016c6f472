// The psola effect takes its parameters from the user-interface thread while the capture
// thread processes; this program runs both at once (and under ThreadSanitizer).

#include "psola/psola_effect.h"
#include "support/signals.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace timbrelo;
using namespace timbrelo::test;

namespace {

TEST(PsolaEffectThreads, ParametersChangeWhileBuffersFlow) {
    PsolaEffect effect;
    effect.setInputFormat(22050, 16, 2);
    effect.setParameter(0, Effect::kOn);
    const std::vector<int16_t> voice = toInterleaved16(makeVoice(140, 1.0, 22050, 0.5), 2);

    std::atomic<bool> stop{false};
    std::atomic<int> buffers{0};
    std::thread audio([&] {
        size_t offset = 0;
        while (!stop.load()) {
            const uint32_t frames = 512;
            if (offset + frames * 2 > voice.size()) {
                offset = 0;
            }
            if (effect.process(voice.data() + offset, frames) == 0) {
                // Read the whole result as the chain's next stage would.
                long sum = 0;
                for (uint32_t i = 0; i < effect.outFrames() * 2; ++i) {
                    sum += effect.outBuffer()[i];
                }
                (void)sum;
            }
            offset += frames * 2;
            buffers.fetch_add(1);
        }
    });

    // Voices and slider moves, including the out-of-range values a bad caller might send.
    const float values[] = {1.3f, 1.6f, 2.0f, 0.5f, 3.0f, 0.0f, -1.0f, 1.0f};
    for (int round = 0; round < 60; ++round) {
        const float v = values[round % 8];
        switch (round % 5) {
        case 0:
            effect.setParameter(0, Effect::kOn);
            effect.setParameter(v, 1);
            effect.setParameter(values[(round + 3) % 8], 0);
            break;
        case 1:
            effect.setParameter(v, 0);
            break;
        case 2:
            effect.setParameter(v, 1);
            break;
        case 3:
            effect.setParameter(0, Effect::kOff);
            break;
        default:
            effect.setParameter(0, Effect::kOn);
            break;
        }
        const int seen = buffers.load();
        while (buffers.load() < seen + 2) {
            std::this_thread::yield();
        }
    }
    // The last voice sent must be the one the engine runs once a buffer has passed.
    effect.setParameter(0, Effect::kOn);
    effect.setParameter(1.3f, 1);
    effect.setParameter(1.6f, 0);
    const int seen = buffers.load();
    while (buffers.load() < seen + 2) {
        std::this_thread::yield();
    }
    stop = true;
    audio.join();
    EXPECT_FLOAT_EQ(effect.engine().pitchFactor(), 1.6f);
    EXPECT_FLOAT_EQ(effect.engine().formantFactor(), 1.3f);
    EXPECT_TRUE(effect.enabled());
}

} // namespace
