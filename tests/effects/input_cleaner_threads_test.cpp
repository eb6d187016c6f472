// The input cleaner takes its switches and values from the window's or the command line's
// thread while the capture thread processes; this program runs both at once (and under
// ThreadSanitizer).

#include "effects/input_cleaner.h"
#include "support/signals.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace timbrelo;
using namespace timbrelo::test;

namespace {

TEST(InputCleanerThreads, SettingsChangeWhileBlocksFlow) {
    InputCleaner stage;
    stage.prepare({});
    const std::vector<int16_t> voice = toInterleaved16(makeVoice(140, 1.0, 22050, 0.5), 2);

    std::atomic<int> blocks{0};
    std::atomic<uint32_t> badDelay{0};
    std::jthread audio([&](std::stop_token stop) {
        for (size_t offset = 0; !stop.stop_requested(); offset = (offset + 1024) % 40960) {
            if (stage.process(voice.data() + offset, 512) == 0) {
                volatile long sum = 0;
                for (uint32_t i = 0; i < stage.outFrames() * 2; ++i) {
                    sum = sum + stage.outBuffer()[i];
                }
            }
            // Whatever the switches, the delay is all or nothing.
            const uint32_t delay = stage.latencyFrames();
            if (delay != 0 && delay != 2 * stage.frameLength() - 1) {
                badDelay.store(delay);
            }
            blocks.fetch_add(1);
        }
    });
    const auto twoBlocksPass = [&] {
        for (const int seen = blocks.load(); blocks.load() < seen + 2;) {
            std::this_thread::yield();
        }
    };

    for (int round = 0; round < 80; ++round) {
        switch (round % 6) {
        case 0:
            stage.setDenoise(round % 12 == 0);
            break;
        case 1:
            stage.setStrengthDb(static_cast<float>(round % 50));
            break;
        case 2:
            stage.setParameter(-30.0f - static_cast<float>(round % 40), 1);
            break;
        case 3:
            stage.setGateReleaseMs(static_cast<float>(10 * round));
            break;
        case 4:
            stage.apply({round % 4 == 0, 20, round % 8 == 0, -50});
            break;
        default:
            stage.setParameter(0, Effect::kOff);
            break;
        }
        twoBlocksPass();
    }
    const InputCleanerSettings last{true, 24, true, -42};
    stage.apply(last);
    twoBlocksPass();
    audio.request_stop();
    audio.join();
    EXPECT_EQ(stage.settings(), last);
    EXPECT_EQ(badDelay.load(), 0u);
}

} // namespace
