#pragma once
// The device lists every part of the audio pipeline uses, finding a device by its product
// name, and switching the system's preferred devices to the virtual device while the program
// runs (and back at exit). The former devices are remembered by product name in the settings,
// so a run that ended without restoring is restored by the next one.

#include "platform/audio_io/audio_backend.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace timbrelo {

// The text in the product names of the virtual device's two sides (case-sensitive).
inline constexpr std::string_view kVirtualDeviceNameTag = "Timbrelo";

// Settings keys (each ends in one blank).
inline constexpr std::string_view kNeedRestoreDevKey = "NeedRestoreDev ";
inline constexpr std::string_view kOldPlayDefaultKey = "OldPlayDefault ";
inline constexpr std::string_view kOldRecDefaultKey = "OldRecDefault ";

uint32_t inputDeviceCount(AudioBackend& backend);
uint32_t outputDeviceCount(AudioBackend& backend);
// Product names, at most 31 characters; "" when the device can't be queried.
std::string inputDeviceName(AudioBackend& backend, uint32_t index);
std::string outputDeviceName(AudioBackend& backend, uint32_t index);

// The first device, in index order, whose product name contains `text` (case-sensitive);
// an empty text matches device 0. -1 when none does.
int32_t findInputDevice(AudioBackend& backend, std::string_view text);
int32_t findOutputDevice(AudioBackend& backend, std::string_view text);

// on = 1: remembers the preferred devices (unless an earlier run's are still remembered)
// and makes the virtual device's sides preferred. on = 0: makes the remembered devices
// preferred again. 0 on success, -1 when a preferred device can't be read or set (except
// the capture side's query, which ends the switch with 0 and changes nothing).
int32_t switchPreferredDevices(AudioBackend& backend, uint32_t on);

} // namespace timbrelo
