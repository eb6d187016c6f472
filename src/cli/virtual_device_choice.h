#pragma once
// Chooses the virtual device: the sound server's virtual microphone and speaker for real
// use, the in-process simulated device for tests and machines without sound.

#include "platform/vdev/virtual_device.h"

#include <memory>
#include <string>
#include <string_view>

namespace timbrelo {

// The names `openVirtualDevice` accepts, for usage texts and messages.
inline constexpr std::string_view kVirtualDeviceChoices = "pulse, sim";

// "pulse": brings the virtual pair up on the sound server (see PulseVirtualDevice); the
// device takes it down again when destroyed. "sim": a SimVirtualDevice. Null, with a
// one-line reason in `error`, when the device can't be made or the name is unknown.
std::unique_ptr<VirtualDevice> openVirtualDevice(std::string_view backend, std::string& error);

} // namespace timbrelo
