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

// The user's default devices (one owner: every switch and every restore goes through here).
// The former devices are remembered by product name in the settings ("OldPlayDefault ",
// "OldRecDefault "), with "NeedRestoreDev 1" while they are switched, so a run that ended
// without restoring is restored by the next one. Control thread.

// Remembers the current defaults as the user's, unless an earlier run's are still remembered
// ("NeedRestoreDev 1"). Done before the virtual devices come up, since bringing them up may
// move the defaults. 0 on success, -1 when the default output can't be read (an unreadable
// default input leaves the remembered input as it was).
int32_t rememberUserDefaults(AudioBackend& backend);
// Makes the virtual device's sides the defaults and marks them switched. 0, or -1 when a
// default can't be set.
int32_t makeVirtualDefaults(AudioBackend& backend);
// Puts the remembered defaults back and clears the mark; a remembered device that is not
// there is skipped. 0, or -1 when the sound system can't be asked (a server that went away)
// or a default can't be set (the mark then stays, so the next run tries again).
int32_t restoreUserDefaults(AudioBackend& backend);

// on = 1: rememberUserDefaults then makeVirtualDefaults; on = 0: restoreUserDefaults.
int32_t switchPreferredDevices(AudioBackend& backend, uint32_t on);

} // namespace timbrelo
