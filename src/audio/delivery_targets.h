#pragma once
// The places the capture engine hands processed audio to, besides the virtual device.

#include "platform/wave/wave_types.h"

#include <cstdint>

namespace timbrelo {

// Anything that plays blocks of PCM as they arrive (the preview player).
class PcmTarget {
  public:
    virtual void addData(const uint8_t* data, uint32_t length) = 0;

  protected:
    ~PcmTarget() = default;
};

enum RecordSlot : uint32_t { kOriginSlot = 0, kEffectSlot = 1 };
inline constexpr uint32_t kVoiceTag = 1;  // source tag of the voice
inline constexpr uint32_t kRenderTag = 0; // source tag of the render side's audio

// The recording writer as the capture engine sees it.
class RecordingTarget {
  public:
    // Run at every capture start, before the format is known.
    virtual void resetEncoderState() = 0;
    // The capture format and the capture buffers' total size, once the device format is set.
    virtual void setCaptureFormat(const WaveFormat& format, uint32_t bufferCount,
                                  uint32_t bufferBytes) = 0;
    // True while a recording runs and `slot` has a file open that takes data.
    virtual bool recordsSlot(RecordSlot slot) const = 0;
    // Hands PCM to the writer; `tag` names the source.
    virtual void write(const uint8_t* data, uint32_t length, uint32_t tag) = 0;
    // Ends the slot's recording of `kind` ("mp3" or "wav").
    virtual void stopRecording(uint32_t slot, const char* kind) = 0;
    // Releases the encoder library and resets the encoder state (capture stop).
    virtual void unloadEncoder() = 0;

  protected:
    ~RecordingTarget() = default;
};

} // namespace timbrelo
