// Presets drive the real pipeline: choosing one twice, or after the sliders, must leave the
// voice exactly as choosing it once does.

#include "app/voice_presets.h"
#include "audio/capture_engine.h"
#include "sim/sim_audio_backend.h"
#include "support/capture_fixtures.h"
#include "support/signals.h"

#include <gtest/gtest.h>
#include <thread>

using namespace timbrelo;
using namespace timbrelo::test;

namespace {

// Runs a synthetic voice through a fresh engine after `setVoice` has set it up.
std::vector<int16_t> processWith(const std::function<void(CaptureEngine&)>& setVoice) {
    SimAudioBackend backend;
    const std::vector<int16_t> voice = toInterleaved16(makeVoice(140, 1.0, 22050), 2);
    auto gate =
        std::make_shared<GatedSource>(std::make_shared<MemorySource>(voice, kPipelineFormat));
    const uint32_t mic = backend.addInputDevice("Mic", gate);
    CaptureEngine engine(backend);
    engine.chain().setConfigSource(EffectConfigSource::text("cartoon 1.5\npsola 1.0"));
    CollectingDevice link;
    engine.setVirtualDevice(&link);
    engine.selectDevice(mic);
    EXPECT_TRUE(engine.start());
    setVoice(engine);
    gate->open();
    for (int i = 0; i < 1000 && !backend.inputEnded(mic); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    engine.stop();
    return link.samples();
}

TEST(PresetPipeline, RepeatingAPresetOrFollowingTheSlidersChangesNothing) {
    for (uint32_t id :
         {ID_MALE_TO_FEMALE_SWEET, ID_MALE_TO_FEMALE_GENERAL, ID_MICKEY, ID_NO_EFFECT}) {
        const std::vector<int16_t> once = processWith([id](CaptureEngine& e) {
            PresetState state;
            state.choose(id, e);
        });
        const std::vector<int16_t> twice = processWith([id](CaptureEngine& e) {
            PresetState state;
            state.choose(id, e);
            state.choose(id, e);
        });
        const std::vector<int16_t> afterSliders = processWith([id](CaptureEngine& e) {
            PresetState state;
            applySliders({230, 70}, e);
            state.sliderChangedVoice();
            state.choose(id, e);
        });
        ASSERT_GT(once.size(), 20000u) << id;
        EXPECT_TRUE(twice == once) << id;
        EXPECT_TRUE(afterSliders == once) << id;
    }
}

} // namespace
