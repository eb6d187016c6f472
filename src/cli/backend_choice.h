#pragma once
// Chooses the audio back end: the sound server for real use, the simulated one for tests
// and machines without sound.

#include "platform/wave/audio_backend.h"

#include <memory>
#include <string_view>

namespace timbrelo {

// The names `createAudioBackend` accepts, for usage texts and messages.
inline constexpr std::string_view kAudioBackendChoices = "pulse, sim";
// Environment variable that chooses the back end when the caller leaves it open.
inline constexpr const char* kAudioBackendEnv = "TIMBRELO_AUDIO";

// "pulse": the sound server (its operations report a server that is not running, and it
// connects once one is). "sim": the simulated back end with one endless 220 Hz microphone
// and one speaker, both paced in real time. "": TIMBRELO_AUDIO when set, else the sound
// server when one answers, else the simulated back end. Null for any other name.
std::unique_ptr<AudioBackend> createAudioBackend(std::string_view choice);

} // namespace timbrelo
