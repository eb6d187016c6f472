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
// - A device that goes away forgets its queued buffers (and any added until its Close is
//   out), delivers Close once (closeReason tells why) and fails later adds; `reset` and
//   `close` then succeed without callbacks.
class WaveInDevice {
  public:
    virtual ~WaveInDevice() = default;
    virtual MmResult prepareHeader(WaveHeader& header) = 0;
    virtual MmResult unprepareHeader(WaveHeader& header) = 0;
    virtual MmResult addBuffer(WaveHeader& header) = 0;
    virtual MmResult start() = 0;
    virtual MmResult reset() = 0;
    virtual MmResult close() = 0;
    // Why the device closed by itself (it went away, or the sound system did); 0 while it is
    // open or after it was closed on request.
    virtual MmResult closeReason() const { return MMSYSERR_NOERROR; }
};

enum class WaveOutMessage { Done, Close };

// Receives an output device's messages on the back end's callback thread (Done: a written
// buffer has been taken by the device and may be refilled; Close: the device has closed,
// header null).
class WaveOutCallback {
  public:
    virtual void onWaveOut(WaveOutMessage message, WaveHeader* header) = 0;

  protected:
    ~WaveOutCallback() = default;
};

// An open output device. It plays `bufferLength` bytes of every written buffer, in the order
// written; it starts unpaused.
//
// Contract shared by every back end:
// - written buffers come back (Done) in the order written, once the device has taken them;
// - `pause` holds playback (buffers stay queued), `restart` resumes it;
// - `reset` stops, hands every queued buffer back (Done) and returns only after any callback
//   in progress on another thread has returned;
// - `close` fails with WAVERR_STILLPLAYING while buffers are queued, otherwise delivers
//   Close and stops all callbacks; the object may then be destroyed (also from a callback).
// - A device that goes away forgets its queued buffers (and any written until its Close is
//   out), delivers Close once (closeReason tells why) and fails later writes; `reset` and
//   `close` then succeed without callbacks.
class WaveOutDevice {
  public:
    virtual ~WaveOutDevice() = default;
    virtual MmResult prepareHeader(WaveHeader& header) = 0;
    virtual MmResult unprepareHeader(WaveHeader& header) = 0;
    virtual MmResult write(WaveHeader& header) = 0;
    virtual MmResult pause() = 0;
    virtual MmResult restart() = 0;
    virtual MmResult reset() = 0;
    virtual MmResult close() = 0;
    virtual MmResult closeReason() const { return MMSYSERR_NOERROR; }
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

    // Output devices, numbered like the input devices. A back end without any has none.
    virtual uint32_t outputDeviceCount() { return 0; }
    virtual std::string outputDeviceName(uint32_t) { return {}; }
    virtual MmResult openOutput(uint32_t, const WaveFormat&, WaveOutCallback&,
                                std::unique_ptr<WaveOutDevice>&) {
        return MMSYSERR_BADDEVICEID;
    }

    // The system's preferred (default) devices, as device numbers of the lists above.
    virtual MmResult getPreferredInput(uint32_t&) { return MMSYSERR_NOTSUPPORTED; }
    virtual MmResult setPreferredInput(uint32_t) { return MMSYSERR_NOTSUPPORTED; }
    virtual MmResult getPreferredOutput(uint32_t&) { return MMSYSERR_NOTSUPPORTED; }
    virtual MmResult setPreferredOutput(uint32_t) { return MMSYSERR_NOTSUPPORTED; }

    // Error texts of input and output operations (at most 100 characters).
    virtual std::string inputErrorText(MmResult code) = 0;
    virtual std::string outputErrorText(MmResult code) = 0;
};

// Texts for the common result codes; back ends add their own.
std::string standardErrorText(MmResult code);

} // namespace timbrelo
