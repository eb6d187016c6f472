#pragma once
// The one result type of the audio back ends and everything built on them. The numbers are
// part of what users see: device errors are shown as "WAVEIN:%x:..." with the number in hex.

#include <cstdint>
#include <string>

namespace timbrelo {

enum class AudioResult : uint32_t {
    Ok = 0,
    Error = 1,
    BadDevice = 2,     // no device with that number
    NotRunning = 3,    // the sound system is not running
    Busy = 4,          // the device is already in use
    NotOpen = 5,       // the stream is closed (or was never opened)
    DeviceGone = 6,    // the device went away
    NoMemory = 7,
    NotSupported = 8,
    InvalidArgument = 11,
    BadFormat = 32,    // the device does not take this format
    ServerTimeout = 0x1008,
    NoDefaultDevice = 0x1100,
};

// Sound-server error numbers travel as kServerErrorBase + the server's own number.
inline constexpr uint32_t kServerErrorBase = 0x1000;

constexpr AudioResult serverError(int number) {
    return static_cast<AudioResult>(kServerErrorBase + static_cast<uint32_t>(number));
}
constexpr uint32_t code(AudioResult result) {
    return static_cast<uint32_t>(result);
}

// What the result means, in one sentence of at most 100 characters.
std::string audioResultText(AudioResult result);

} // namespace timbrelo
