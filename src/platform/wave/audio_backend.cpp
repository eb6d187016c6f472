#include "platform/wave/audio_backend.h"

namespace timbrelo {

std::string standardErrorText(MmResult code) {
    switch (code) {
    case MMSYSERR_NOERROR:
        return "The operation completed successfully.";
    case MMSYSERR_ERROR:
        return "Unspecified error.";
    case MMSYSERR_BADDEVICEID:
        return "The device identifier is out of range.";
    case MMSYSERR_NOTENABLED:
        return "The sound system is not running.";
    case MMSYSERR_ALLOCATED:
        return "The device is already in use.";
    case MMSYSERR_INVALHANDLE:
        return "The device handle is not valid.";
    case MMSYSERR_NODRIVER:
        return "The device is gone.";
    case MMSYSERR_NOMEM:
        return "Not enough memory.";
    case MMSYSERR_NOTSUPPORTED:
        return "The function is not supported.";
    case MMSYSERR_INVALPARAM:
        return "An invalid parameter was passed.";
    case WAVERR_BADFORMAT:
        return "The device does not support this audio format.";
    case WAVERR_STILLPLAYING:
        return "Buffers are still queued on the device.";
    case WAVERR_UNPREPARED:
        return "The buffer is not prepared.";
    default:
        return "Unknown error.";
    }
}

} // namespace timbrelo
