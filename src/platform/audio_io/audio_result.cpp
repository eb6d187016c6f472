#include "platform/audio_io/audio_result.h"

#include <array>

namespace timbrelo {
namespace {

// The sound server's error numbers (they are part of its protocol and do not change).
constexpr std::array<const char*, 27> kServerErrors = {
    "OK",
    "Access denied",
    "Unknown command",
    "Invalid argument",
    "Entity exists",
    "No such entity",
    "Connection refused",
    "Protocol error",
    "Timeout",
    "No authentication key",
    "Internal error",
    "Connection terminated",
    "Entity killed",
    "Invalid server",
    "Module initialization failed",
    "Bad state",
    "No data",
    "Incompatible protocol version",
    "Too large",
    "Not supported",
    "Unknown error code",
    "No such extension",
    "Obsolete functionality",
    "Missing implementation",
    "Client forked",
    "Input/Output error",
    "Device or resource busy",
};

} // namespace

std::string audioResultText(AudioResult result) {
    switch (result) {
    case AudioResult::Ok:
        return "The operation completed successfully.";
    case AudioResult::Error:
        return "Unspecified error.";
    case AudioResult::BadDevice:
        return "The device identifier is out of range.";
    case AudioResult::NotRunning:
        return "The sound server is not running.";
    case AudioResult::Busy:
        return "The device is already in use.";
    case AudioResult::NotOpen:
        return "The stream is not open.";
    case AudioResult::DeviceGone:
        return "The device is gone.";
    case AudioResult::NoMemory:
        return "Not enough memory.";
    case AudioResult::NotSupported:
        return "The function is not supported.";
    case AudioResult::InvalidArgument:
        return "An invalid parameter was passed.";
    case AudioResult::BadFormat:
        return "The device does not support this audio format.";
    case AudioResult::ServerTimeout:
        return "The sound server did not answer in time.";
    case AudioResult::NoDefaultDevice:
        return "The sound server has no default device the program can use.";
    }
    const uint32_t number = code(result) - kServerErrorBase;
    if (code(result) > kServerErrorBase && number < kServerErrors.size()) {
        return std::string("Sound server error: ") + kServerErrors[number] + ".";
    }
    return "Unknown error.";
}

} // namespace timbrelo
