#pragma once
// The three voice changers as the presets and sliders drive them: the semitone pitch shifter,
// the cartoon effect and the psola effect. Kind/mode -1 switches one off, -2 on.

#include <cstdint>

namespace timbrelo {

class VoiceControls {
  public:
    virtual void setPitchShift(int32_t value, int32_t mode) = 0;
    virtual void setCartoonParameter(float value, int32_t kind) = 0;
    virtual void setPsolaParameter(float value, int32_t kind) = 0;

  protected:
    ~VoiceControls() = default;
};

} // namespace timbrelo
