#pragma once
// The places the capture engine hands processed audio to, besides the virtual device.

#include "platform/audio_io/stream_format.h"

#include <cstdint>
#include <span>

namespace timbrelo {

// Anything that plays audio as it arrives (the preview player).
class PcmTarget {
  public:
    // Appends interleaved frames. Producer thread (capture or render reader); never blocks.
    virtual void addData(std::span<const int16_t> samples) = 0;

  protected:
    ~PcmTarget() = default;
};

enum RecordSlot : uint32_t { kOriginSlot = 0, kEffectSlot = 1 };
// Where audio handed to the recording writer comes from.
enum class RecordSource : uint32_t { Render = 0, Voice = 1 };
// The two kinds of recording file a slot can have open.
enum class RecordKind { Wav, Mp3 };

// The recording writer as the capture engine sees it.
class RecordingTarget {
  public:
    // Run at every capture start, before the format is known. Control thread.
    virtual void resetEncoderState() = 0;
    // The capture format and the MP3 staging buffer's size in bytes, once the capture
    // format is set. Control thread.
    virtual void setCaptureFormat(const StreamFormat& format, uint32_t stagingBytes) = 0;
    // True while a recording runs and `slot` has a file open that takes audio. Any thread.
    virtual bool recordsSlot(RecordSlot slot) const = 0;
    // Hands interleaved frames to the writer. Audio threads: never blocks on file work.
    virtual void write(std::span<const int16_t> samples, RecordSource source) = 0;
    // Ends the slot's recording of that kind. Control thread.
    virtual void stopRecording(uint32_t slot, RecordKind kind) = 0;
    // Releases the encoder library and resets the encoder state (capture stop). Control
    // thread.
    virtual void unloadEncoder() = 0;

  protected:
    ~RecordingTarget() = default;
};

} // namespace timbrelo
