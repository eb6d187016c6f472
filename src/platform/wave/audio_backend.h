#pragma once
// The operations the audio pipeline needs of a sound system, shaped like the classic
// wave-device calls: numbered devices, open with a callback, prepare/add buffers, start,
// reset, close. Back ends only move frames; the pipeline's logic stays above them.

#include "platform/wave/wave_types.h"

#include <cstdint>
#include <memory>
#include <string>

namespace timbrelo {

enum class WaveInMessage { Data, Close };

// Receives the device's messages on the back end's callback thread (Data: a filled buffer;
// Close: the device has closed, header null).
class WaveInCallback {
  public:
    virtual void onWaveIn(WaveInMessage message, WaveHeader* header) = 0;

  protected:
    ~WaveInCallback() = default;
};

// An open input device.
//
// Contract shared by every back end:
// - filled buffers come back in the order they were added, only while started;
// - `reset` stops, hands every queued buffer back (Data) and returns only after any
//   callback in progress on another thread has returned;
// - `close` fails with WAVERR_STILLPLAYING while buffers are queued, otherwise delivers
//   Close and stops all callbacks; the object may then be destroyed (also from a callback).
class WaveInDevice {
  public:
    virtual ~WaveInDevice() = default;
    virtual MmResult prepareHeader(WaveHeader& header) = 0;
    virtual MmResult unprepareHeader(WaveHeader& header) = 0;
    virtual MmResult addBuffer(WaveHeader& header) = 0;
    virtual MmResult start() = 0;
    virtual MmResult reset() = 0;
    virtual MmResult close() = 0;
};

class AudioBackend {
  public:
    virtual ~AudioBackend() = default;

    virtual uint32_t inputDeviceCount() = 0;
    // The product name (at most 31 characters); "" when the device can't be queried.
    virtual std::string inputDeviceName(uint32_t index) = 0;
    // Opens input device `index` (or kWaveMapper) for the format.
    virtual MmResult openInput(uint32_t index, const WaveFormat& format, WaveInCallback& callback,
                               std::unique_ptr<WaveInDevice>& device) = 0;

    // Error texts of input and output operations (at most 100 characters).
    virtual std::string inputErrorText(MmResult code) = 0;
    virtual std::string outputErrorText(MmResult code) = 0;
};

// Texts for the common result codes; back ends add their own.
std::string standardErrorText(MmResult code);

} // namespace timbrelo
