#pragma once
// The voice presets: each sets the whole voice (pitch shifter, cartoon and psola) with one
// command, and the sliders' fine-tuning route to the psola effect. No user-interface code:
// the window and the command line both drive a VoiceControls through this module.

#include "audio/voice_controls.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace timbrelo {

inline constexpr uint32_t kNoPreset = 0xFFFFFFFFu;

enum PresetId : uint32_t {
    ID_NO_EFFECT = 32784,
    ID_MALE_TO_FEMALE_SWEET = 32771,
    ID_MALE_TO_FEMALE_GENERAL = 32782,
    ID_MALE_TO_GIRL_SWEET = 32775,
    ID_MALE_TO_GIRL_GENERAL = 32783,
    ID_HIDE_ME_MALE = 32780,
    ID_FEMALE_TO_MALE = 32772,
    ID_FEMALE_TO_BOY = 32776,
    ID_HIDE_ME_FEMALE = 32781,
    ID_MICKEY = 32773,
    ID_DONALD = 32774,
};

// Positions of the pitch and timbre sliders (50..300, factor x 100).
struct SliderPositions {
    int pitch;
    int timbre;
    bool operator==(const SliderPositions&) const = default;
};
inline constexpr int kSliderMin = 50;
inline constexpr int kSliderMax = 300;

enum class PresetFamily { Off, Psola, Semitones, Cartoon };

struct VoicePreset {
    uint32_t id;
    const char* menuText;
    PresetFamily family;
    float amount;  // semitones, cartoon factor, or psola pitch factor
    float formant; // psola formant factor (psola presets only)
    bool inMenu;   // "Mickey" and "Donald" run as commands but are never offered
    std::optional<SliderPositions> sliders;
};

// The eleven presets, in menu order ("Mickey" and "Donald" last).
std::span<const VoicePreset> voicePresets();
const VoicePreset* findPreset(uint32_t id);
// By menu text, compared without regard to case.
const VoicePreset* findPresetByName(std::string_view text);
// One line saying what the preset does, e.g. "pitch shifter +9 semitones".
const char* describePreset(const VoicePreset& preset, char* buffer, size_t size);

// Issues the preset's calls in their fixed order. Returns the slider positions it gives.
std::optional<SliderPositions> runPreset(const VoicePreset& preset, VoiceControls& controls);

// What a release of the pitch or timbre slider sends: pitch shifter and cartoon off, psola on,
// formant factor, then pitch factor (positions / 100).
void applySliders(SliderPositions positions, VoiceControls& controls);

// The preset memory of the window: the preset last chosen, or kNoPreset after a slider set the
// voice. It starts at "No Effect", which the first capture start re-issues.
class PresetState {
  public:
    uint32_t currentPreset() const { return current_; }

    // Runs a preset command; an unknown id does nothing and returns nothing.
    std::optional<SliderPositions> choose(uint32_t id, VoiceControls& controls);
    // A slider release that changed the voice.
    void sliderChangedVoice() { current_ = kNoPreset; }
    // Re-issues the current preset (capture start); kNoPreset reaches no preset.
    void reissue(VoiceControls& controls);

  private:
    uint32_t current_ = ID_NO_EFFECT;
};

} // namespace timbrelo
