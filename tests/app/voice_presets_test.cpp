#include "app/voice_presets.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace timbrelo;

namespace {

// Logs every call, and models the state the three voice changers end up in.
class ModelControls : public VoiceControls {
  public:
    struct State {
        float semitones = 0;
        bool cartoonOn = false;
        float cartoonFactor = 0;
        bool psolaOn = false;
        float psolaPitch = 0;
        float psolaFormant = 0;
        bool operator==(const State&) const = default;
    };

    void setPitchShift(int32_t value, int32_t mode) override {
        note("pitch(" + std::to_string(value) + "," + std::to_string(mode) + ")");
        if (mode == -1) {
            state.semitones = 0;
        } else if (mode != -2) {
            state.semitones = static_cast<float>(value);
        }
    }
    void setCartoonParameter(float value, int32_t kind) override {
        note("cartoon(" + number(value) + "," + std::to_string(kind) + ")");
        if (kind == -1 || kind == -2) {
            state.cartoonOn = kind == -2;
        } else {
            state.cartoonFactor = value;
        }
    }
    void setPsolaParameter(float value, int32_t kind) override {
        note("psola(" + number(value) + "," + std::to_string(kind) + ")");
        if (kind == -1 || kind == -2) {
            state.psolaOn = kind == -2;
        } else if (kind == 0) {
            state.psolaPitch = value;
        } else if (kind == 1) {
            state.psolaFormant = value;
        }
    }

    std::string log; // the calls, separated by blanks
    State state;

  private:
    void note(const std::string& call) { log += (log.empty() ? "" : " ") + call; }
    static std::string number(float v) {
        char text[32];
        std::snprintf(text, sizeof text, "%g", v);
        return text;
    }
};

TEST(VoicePresets, EachPresetIssuesItsCallsInOrder) {
    const std::vector<std::pair<uint32_t, std::string>> expected = {
        {32784, "cartoon(0,-1) pitch(0,-1) psola(0,-1)"},
        {32771, "cartoon(0,-1) pitch(0,-1) psola(0,-2) psola(1.3,1) psola(1.6,0)"},
        {32782, "cartoon(0,-1) pitch(0,-2) pitch(9,0) psola(0,-1)"},
        {32775, "cartoon(0,-1) pitch(0,-1) psola(0,-2) psola(1.6,1) psola(2,0)"},
        {32783, "cartoon(0,-1) pitch(0,-2) pitch(11,0) psola(0,-1)"},
        {32780, "cartoon(0,-1) pitch(0,-2) pitch(-4,0) psola(0,-1)"},
        {32772, "cartoon(0,-1) pitch(0,-2) pitch(-7,0) psola(0,-1)"},
        {32776, "cartoon(0,-1) pitch(0,-2) pitch(-4,0) psola(0,-1)"},
        {32781, "cartoon(0,-1) pitch(0,-2) pitch(4,0) psola(0,-1)"},
        {32773, "pitch(0,-1) pitch(0,0) cartoon(0,-2) cartoon(1.4,0) psola(0,-1)"},
        {32774, "pitch(0,-1) pitch(0,0) cartoon(0,-2) cartoon(1.99,0) psola(0,-1)"},
    };
    ASSERT_EQ(voicePresets().size(), expected.size());
    for (const auto& [id, calls] : expected) {
        ModelControls controls;
        PresetState state;
        state.choose(id, controls);
        EXPECT_EQ(controls.log, calls) << id;
        EXPECT_EQ(state.currentPreset(), id);
    }
}

TEST(VoicePresets, MenuTextsSlidersAndLookup) {
    EXPECT_EQ(findPresetByName("male TO female(general)")->id, 32782u);
    EXPECT_EQ(findPresetByName("Male to female"), nullptr);
    EXPECT_EQ(findPreset(12345), nullptr);

    EXPECT_EQ(findPreset(32771)->sliders, (SliderPositions{160, 130}));
    EXPECT_EQ(findPreset(32775)->sliders, (SliderPositions{200, 160}));
    EXPECT_FALSE(findPreset(32782)->sliders.has_value());

    std::vector<uint32_t> menu;
    for (const VoicePreset& p : voicePresets()) {
        if (p.inMenu) {
            menu.push_back(p.id);
        }
    }
    EXPECT_EQ(menu, (std::vector<uint32_t>{32784, 32771, 32782, 32775, 32783, 32780, 32772, 32776,
                                           32781}));
}

TEST(VoicePresets, NothingAccumulatesAcrossRepeatsOrAfterASlider) {
    for (const VoicePreset& preset : voicePresets()) {
        ModelControls once;
        runPreset(preset, once);

        ModelControls twice;
        runPreset(preset, twice);
        runPreset(preset, twice);
        EXPECT_EQ(twice.state, once.state) << preset.menuText;

        ModelControls afterSlider;
        applySliders({250, 60}, afterSlider);
        runPreset(preset, afterSlider);
        // Psola pitch and formant values persist while psola is off; compare what is heard.
        ModelControls::State heard = afterSlider.state;
        ModelControls::State expected = once.state;
        if (!heard.psolaOn) {
            heard.psolaPitch = expected.psolaPitch = 0;
            heard.psolaFormant = expected.psolaFormant = 0;
        }
        if (!heard.cartoonOn) {
            heard.cartoonFactor = expected.cartoonFactor = 0;
        }
        EXPECT_EQ(heard, expected) << preset.menuText;
    }
}

TEST(VoicePresets, StartReissuesTheLastChoiceButNothingAfterASlider) {
    ModelControls controls;
    PresetState state;
    EXPECT_EQ(state.currentPreset(), 32784u);
    state.reissue(controls);
    EXPECT_EQ(controls.log, "cartoon(0,-1) pitch(0,-1) psola(0,-1)");
    state.choose(32776, controls);
    controls.log.clear();
    state.reissue(controls);
    EXPECT_EQ(controls.log, "cartoon(0,-1) pitch(0,-2) pitch(-4,0) psola(0,-1)");
    EXPECT_EQ(state.currentPreset(), 32776u);

    // The sliders send the formant before the pitch and leave no preset current.
    controls.log.clear();
    applySliders({150, 80}, controls);
    state.sliderChangedVoice();
    EXPECT_EQ(controls.log, "pitch(0,-1) cartoon(0,-1) psola(0,-2) psola(0.8,1) psola(1.5,0)");
    EXPECT_EQ(state.currentPreset(), kNoPreset);
    controls.log.clear();
    state.reissue(controls);
    EXPECT_TRUE(controls.log.empty());
}

} // namespace
