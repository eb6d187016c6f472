#include "app/voice_presets.h"

#include <array>
#include <cctype>
#include <cstdio>

namespace timbrelo {
namespace {

constexpr std::array<VoicePreset, 11> kPresets = {{
    {ID_NO_EFFECT, "No Effect", PresetFamily::Off, 0, 0, true, std::nullopt},
    {ID_MALE_TO_FEMALE_SWEET, "Male to female(Sweet)", PresetFamily::Psola, 1.6f, 1.3f, true,
     SliderPositions{160, 130}},
    {ID_MALE_TO_FEMALE_GENERAL, "Male to female(General)", PresetFamily::Semitones, 9, 0, true,
     std::nullopt},
    {ID_MALE_TO_GIRL_SWEET, "Male to girl(Sweet)", PresetFamily::Psola, 2.0f, 1.6f, true,
     SliderPositions{200, 160}},
    {ID_MALE_TO_GIRL_GENERAL, "Male to girl(General)", PresetFamily::Semitones, 11, 0, true,
     std::nullopt},
    {ID_HIDE_ME_MALE, "Hide me(Male)", PresetFamily::Semitones, -4, 0, true, std::nullopt},
    {ID_FEMALE_TO_MALE, "Female to male", PresetFamily::Semitones, -7, 0, true, std::nullopt},
    {ID_FEMALE_TO_BOY, "Female to boy", PresetFamily::Semitones, -4, 0, true, std::nullopt},
    {ID_HIDE_ME_FEMALE, "Hide me(Female)", PresetFamily::Semitones, 4, 0, true, std::nullopt},
    {ID_MICKEY, "Mickey", PresetFamily::Cartoon, 1.4f, 0, false, std::nullopt},
    {ID_DONALD, "Donald", PresetFamily::Cartoon, 1.99f, 0, false, std::nullopt},
}};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

} // namespace

std::span<const VoicePreset> voicePresets() {
    return kPresets;
}

const VoicePreset* findPreset(uint32_t id) {
    for (const VoicePreset& p : kPresets) {
        if (p.id == id) {
            return &p;
        }
    }
    return nullptr;
}

const VoicePreset* findPresetByName(std::string_view text) {
    for (const VoicePreset& p : kPresets) {
        if (equalsIgnoringCase(p.menuText, text)) {
            return &p;
        }
    }
    return nullptr;
}

const char* describePreset(const VoicePreset& preset, char* buffer, size_t size) {
    switch (preset.family) {
    case PresetFamily::Off:
        std::snprintf(buffer, size, "all voice changers off");
        break;
    case PresetFamily::Psola:
        std::snprintf(buffer, size, "psola: pitch x%.2f, formants x%.2f", preset.amount,
                      preset.formant);
        break;
    case PresetFamily::Semitones:
        std::snprintf(buffer, size, "pitch shifter %+d semitones", static_cast<int>(preset.amount));
        break;
    case PresetFamily::Cartoon:
        std::snprintf(buffer, size, "cartoon voice x%.2f (not in the menu)", preset.amount);
        break;
    }
    return buffer;
}

std::optional<SliderPositions> runPreset(const VoicePreset& preset, VoiceControls& controls) {
    switch (preset.family) {
    case PresetFamily::Off:
        controls.setCartoonParameter(0, -1);
        controls.setPitchShift(0, -1);
        controls.setPsolaParameter(0, -1);
        break;
    case PresetFamily::Psola:
        controls.setCartoonParameter(0, -1);
        controls.setPitchShift(0, -1);
        controls.setPsolaParameter(0, -2);
        controls.setPsolaParameter(preset.formant, 1);
        controls.setPsolaParameter(preset.amount, 0);
        break;
    case PresetFamily::Semitones:
        controls.setCartoonParameter(0, -1);
        controls.setPitchShift(0, -2);
        controls.setPitchShift(static_cast<int32_t>(preset.amount), 0);
        controls.setPsolaParameter(0, -1);
        break;
    case PresetFamily::Cartoon:
        controls.setPitchShift(0, -1);
        controls.setPitchShift(0, 0);
        controls.setCartoonParameter(0, -2);
        controls.setCartoonParameter(preset.amount, 0);
        controls.setPsolaParameter(0, -1);
        break;
    }
    return preset.sliders;
}

void applySliders(SliderPositions positions, VoiceControls& controls) {
    controls.setPitchShift(0, -1);
    controls.setCartoonParameter(0, -1);
    controls.setPsolaParameter(0, -2);
    controls.setPsolaParameter(static_cast<float>(positions.timbre / 100.0), 1);
    controls.setPsolaParameter(static_cast<float>(positions.pitch / 100.0), 0);
}

std::optional<SliderPositions> PresetState::choose(uint32_t id, VoiceControls& controls) {
    const VoicePreset* preset = findPreset(id);
    if (preset == nullptr) {
        return std::nullopt;
    }
    std::optional<SliderPositions> sliders = runPreset(*preset, controls);
    current_ = id;
    return sliders;
}

void PresetState::reissue(VoiceControls& controls) {
    choose(current_, controls);
}

} // namespace timbrelo
