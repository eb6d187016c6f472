#pragma once
// The control interface of the virtual audio device: requests identified by a control code,
// with an input block and an output block, answered synchronously.

#include <cstdint>

namespace timbrelo {

inline constexpr const char* kVirtualDeviceName = "zMIC";

inline constexpr uint32_t IOCTL_SET_START_EVENT = 0x222000;  // in: 4-byte event id
inline constexpr uint32_t IOCTL_SET_STOP_EVENT = 0x222004;   // in: 4-byte event id
inline constexpr uint32_t IOCTL_READ_RENDER = 0x22200C;      // out: up to 2048 bytes of PCM
inline constexpr uint32_t IOCTL_WRITE_CAPTURE = 0x222010;    // in: the PCM of one block
inline constexpr uint32_t IOCTL_SET_RENDER_EVENT = 0x222014; // in: 4-byte event id
inline constexpr uint32_t IOCTL_BEGIN_RENDER = 0x222018;     // no data
inline constexpr uint32_t IOCTL_GET_STATE = 0x22201C;        // out: 4-byte state, 1 = in use

inline constexpr uint32_t kRenderReadBytes = 2048;

// Audio in both directions: raw PCM, 2 channels interleaved, 22050 Hz, 16-bit little-endian.
inline constexpr uint32_t kVirtualDeviceRate = 22050;
inline constexpr uint32_t kVirtualDeviceChannels = 2;
inline constexpr uint32_t kVirtualDeviceFrameBytes = 4;

class VirtualDevice {
  public:
    virtual ~VirtualDevice() = default;
    // Sends one request. Returns false when the device refused it; `*returned` (when given)
    // receives the number of output bytes written.
    virtual bool ioControl(uint32_t code, const void* in, uint32_t inBytes, void* out,
                           uint32_t outBytes, uint32_t* returned) = 0;
    // True once the device has gone away for good (every request fails from then on).
    virtual bool lost() const { return false; }
};

} // namespace timbrelo
