#pragma once
// Chooses the sound system: the sound server for real use, the simulated one for tests and
// machines without sound; and the virtual device that goes with it.

#include "platform/audio_io/audio_backend.h"
#include "platform/vdev/virtual_device.h"

#include <memory>
#include <string>
#include <string_view>

namespace timbrelo {

// The names `createAudioBackend` accepts, for usage texts and messages.
inline constexpr std::string_view kAudioBackendChoices = "pulse, sim";
// Environment variable that chooses the back end when the caller leaves it open.
inline constexpr const char* kAudioBackendEnv = "TIMBRELO_AUDIO";

// "pulse": the sound server (its operations report a server that is not running, and it
// connects once one is). "sim": the simulated sound system with one endless 220 Hz
// microphone and one speaker, both paced in real time, which also lists a simulated virtual
// microphone and speaker. "": TIMBRELO_AUDIO when set, else the sound server when one
// answers, else the simulated one. Null for any other name.
std::unique_ptr<AudioBackend> createAudioBackend(std::string_view choice);

// The virtual device for a back end of that kind ("pulse" or "sim"); null with a one-line
// reason when it can't be brought up.
std::unique_ptr<VirtualDevice> openVirtualDevice(std::string_view kind, std::string& error);

} // namespace timbrelo
