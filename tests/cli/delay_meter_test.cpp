#include "cli/delay_meter.h"
#include "support/signals.h"

#include <gtest/gtest.h>

using namespace timbrelo;
using namespace timbrelo::test;

namespace {

// Syllable-like bursts: a voice switched on and off at uneven times.
std::vector<int16_t> bursts(double seconds) {
    std::vector<float> voice = makeVoice(150, seconds, 22050, 0.5);
    const double on[] = {0.1, 0.5, 0.7, 1.3, 1.5, 2.2, 2.3, 2.9};
    for (size_t i = 0; i < voice.size(); ++i) {
        const double t = static_cast<double>(i) / 22050;
        bool loud = false;
        for (size_t k = 0; k + 1 < std::size(on); k += 2) {
            loud = loud || (t >= on[k] && t < on[k + 1]);
        }
        voice[i] *= loud ? 1.0f : 0.02f;
    }
    return toInterleaved16(voice, 2);
}

// Plays `input` through a pipeline that delivers its output in 512-frame blocks, each
// `holding` frames after the matching input was captured, with the content itself shifted by
// `lag` frames.
double measure(const std::vector<int16_t>& input, long lag, long holding) {
    cli::DelayMeter meter;
    const long frames = static_cast<long>(input.size() / 2);
    meter.addInput(input.data(), static_cast<uint32_t>(frames));
    std::vector<int16_t> output(input.size(), 0);
    for (long i = 0; i < frames; ++i) {
        const long from = i - lag;
        if (from >= 0 && from < frames) {
            output[2 * i] = input[2 * from];
            output[2 * i + 1] = input[2 * from + 1];
        }
    }
    for (long start = 0; start < frames; start += 512) {
        const long n = std::min(512L, frames - start);
        meter.addOutput(&output[2 * start], static_cast<uint32_t>(n),
                        static_cast<uint64_t>(start + n + holding));
    }
    return meter.delayMs(22050);
}

TEST(DelayMeter, AddsContentLagAndHoldingAsAListenerFeelsThemAndSilenceTellsNothing) {
    const std::vector<int16_t> input = bursts(3.0);
    // Pass-through: half a 512-frame block on average (11.6 ms).
    EXPECT_NEAR(measure(input, 0, 0), 11.6, 1.0);
    // Content 100 ms later in the stream.
    EXPECT_NEAR(measure(input, 2205, 0), 111.6, 2.0);
    // Content on time, but delivered 50 ms late.
    EXPECT_NEAR(measure(input, 0, 1102), 61.6, 1.0);
    // A shifter whose content runs ahead of its holding.
    EXPECT_NEAR(measure(input, -441, 2205), 91.6, 2.0);
    EXPECT_LT(measure(std::vector<int16_t>(22050 * 2, 0), 0, 0), 0);
}

} // namespace
