// Presets drive the real pipeline: choosing one twice, or after the sliders, must leave the
// voice exactly as choosing it once does.

#include "app/voice_presets.h"
#include "audio/capture_engine.h"
#include "platform/wave/sim_audio_backend.h"
#include "support/capture_fixtures.h"
#include "support/signals.h"

#include <gtest/gtest.h>
#include <thread>

using namespace timbrelo;
using namespace timbrelo::test;

namespace {

// Runs a synthetic voice through a fresh engine after `setVoice` has set it up.
std::vector<uint8_t> processWith(const std::function<void(CaptureEngine&)>& setVoice) {
    SimAudioBackend backend;
    const std::vector<int16_t> voice = toInterleaved16(makeVoice(140, 1.0, 22050), 2);
    auto gate = std::make_shared<GatedSource>(
        std::make_shared<MemorySource>(voice, WaveFormat::pcm(2, 22050, 16)));
    const uint32_t mic = backend.addInputDevice("Mic", gate);
    CaptureEngine::Options options;
    options.stopGrace = std::chrono::milliseconds(0);
    CaptureEngine engine(backend, options);
    engine.chain().setConfigSource(EffectConfigSource::text("cartoon 1.5\npsola 1.0"));
    CollectingDevice link;
    engine.setLinkHandle(&link);
    engine.selectDevice(mic, 2048);
    EXPECT_EQ(engine.start(1, 22050, 16), 1);
    setVoice(engine);
    gate->open();
    for (int i = 0; i < 1000 && !backend.inputEnded(mic); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    engine.stop();
    return link.bytes();
}

TEST(PresetPipeline, RepeatingAPresetOrFollowingTheSlidersChangesNothing) {
    for (uint32_t id :
         {ID_MALE_TO_FEMALE_SWEET, ID_MALE_TO_FEMALE_GENERAL, ID_MICKEY, ID_NO_EFFECT}) {
        const std::vector<uint8_t> once = processWith([id](CaptureEngine& e) {
            PresetState state;
            state.choose(id, e);
        });
        const std::vector<uint8_t> twice = processWith([id](CaptureEngine& e) {
            PresetState state;
            state.choose(id, e);
            state.choose(id, e);
        });
        const std::vector<uint8_t> afterSliders = processWith([id](CaptureEngine& e) {
            PresetState state;
            applySliders({230, 70}, e);
            state.sliderChangedVoice();
            state.choose(id, e);
        });
        ASSERT_GT(once.size(), 40000u) << id;
        EXPECT_TRUE(twice == once) << id;
        EXPECT_TRUE(afterSliders == once) << id;
    }
}

} // namespace
