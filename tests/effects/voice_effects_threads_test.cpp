#include "effects/cartoon_effect.h"
#include "effects/echo_effect.h"
#include "effects/effect_chain.h"
#include "support/signals.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace timbrelo;
using namespace timbrelo::test;

namespace {

constexpr double kRate = 22050;
constexpr uint32_t kBlock = 512;

} // namespace

// The controls (factor, on/off) come from the user-interface thread while the audio thread
// runs buffers through the chain; afterwards the effects work as before.
TEST(VoiceEffectsThreads, ControlsWhileProcessing) {
    EffectChain chain;
    chain.setConfigSource(EffectConfigSource::text("echo 0.6 1 40 0.4\ncartoon 1.5\n"));
    chain.setFormat(2, static_cast<uint32_t>(kRate), 16);
    ASSERT_EQ(chain.load(), 0);
    auto* echo = dynamic_cast<EchoEffect*>(chain.slot(EffectChain::kEchoSlot));
    auto* cartoon = dynamic_cast<CartoonEffect*>(chain.slot(EffectChain::kCartoonSlot));
    ASSERT_NE(echo, nullptr);
    ASSERT_NE(cartoon, nullptr);

    const auto tone = makeTone(300, 1.0, kRate, 2);
    std::atomic<bool> done{false};
    std::atomic<int> produced{0};
    std::atomic<int> passedOver{0};
    std::thread audio([&] {
        uint32_t frames = 0;
        for (int call = 0; call < 200; ++call) {
            const size_t at = (call * kBlock) % (tone.size() / 2 - kBlock);
            const int16_t* out = chain.run(tone.data() + 2 * at, kBlock, &frames);
            ++(out != nullptr ? produced : passedOver);
            EXPECT_EQ(frames, kBlock);
        }
        done = true;
    });
    const float factors[] = {1.4f, 1.99f, 0.7f, -1.0f, 2.0f};
    for (int i = 0; !done; ++i) {
        chain.setCartoonParameter(factors[i % 5], 0);
        chain.setCartoonParameter(0, i % 3 == 0 ? Effect::kOff : Effect::kOn);
        echo->setParameter(0, i % 4 == 0 ? Effect::kOff : Effect::kOn);
        std::this_thread::yield();
    }
    audio.join();
    EXPECT_EQ(produced + passedOver, 200);

    echo->setParameter(0, Effect::kOff);
    chain.setCartoonParameter(1.4f, 0);
    chain.setCartoonParameter(0, Effect::kOn);
    std::vector<int16_t> out;
    uint32_t frames = 0;
    for (size_t at = 0; at + kBlock <= tone.size() / 2; at += kBlock) {
        const int16_t* result = chain.run(tone.data() + 2 * at, kBlock, &frames);
        ASSERT_EQ(result, cartoon->outBuffer());
        out.insert(out.end(), result, result + 2 * frames);
    }
    EXPECT_NEAR(measureToneFrequency(slice(channelOf(out, 2, 0), 0.3, 1.0), kRate), 420.0, 1.0);
}
