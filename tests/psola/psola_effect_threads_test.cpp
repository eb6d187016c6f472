// The psola effect takes its parameters from the user-interface thread while the capture
// thread processes; this program runs both at once (and under ThreadSanitizer).

#include "effects/psola_effect.h"
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

    std::atomic<int> buffers{0};
    std::jthread audio([&](std::stop_token stop) {
        for (size_t offset = 0; !stop.stop_requested(); offset = (offset + 1024) % 40960) {
            if (effect.process(voice.data() + offset, 512) == 0) {
                // Read the whole result as the chain's next stage would.
                volatile long sum = 0;
                for (uint32_t i = 0; i < effect.outFrames() * 2; ++i) {
                    sum = sum + effect.outBuffer()[i];
                }
            }
            buffers.fetch_add(1);
        }
    });
    const auto twoBuffersPass = [&] {
        for (const int seen = buffers.load(); buffers.load() < seen + 2;) {
            std::this_thread::yield();
        }
    };

    // Voices and slider moves, including the out-of-range values a bad caller might send.
    const float values[] = {1.3f, 1.6f, 2.0f, 0.5f, 3.0f, 0.0f, -1.0f, 1.0f};
    for (int round = 0; round < 60; ++round) {
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
        twoBuffersPass();
    }
    // The last voice sent must be the one the engine runs once a buffer has passed.
    effect.setParameter(0, Effect::kOn);
    effect.setParameter(1.3f, 1);
    effect.setParameter(1.6f, 0);
    twoBuffersPass();
    audio.request_stop();
    audio.join();
    EXPECT_FLOAT_EQ(effect.engine().pitchFactor(), 1.6f);
    EXPECT_FLOAT_EQ(effect.engine().formantFactor(), 1.3f);
    EXPECT_TRUE(effect.enabled());
}

} // namespace
