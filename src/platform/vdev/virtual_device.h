#pragma once
// The virtual device: a virtual microphone that other programs record the changed voice from,
// and a virtual speaker they play to. Audio in both directions is in the pipeline format
// (kPipelineFormat: 2 channels, 22050 Hz, signed 16-bit), counted in frames.
//
// The voice goes through a jitter buffer (see JitterBuffer): a voice begins with the largest
// burst it comes in, so the device can prime for it, and ends when capture stops. Between
// voices the virtual microphone plays silence.

#include "platform/audio_io/jitter_buffer.h"

#include <chrono>
#include <cstdint>
#include <span>

namespace timbrelo {

// Told when the device's state changes: a program starts or stops recording from the
// virtual microphone, or the device is lost. Called on a thread of the device; must return
// quickly and must not call back into the device.
class VirtualDeviceListener {
  public:
    virtual void onVirtualDeviceChanged() = 0;

  protected:
    ~VirtualDeviceListener() = default;
};

class VirtualDevice {
  public:
    virtual ~VirtualDevice() = default;

    // A voice begins (capture starts) whose audio arrives in bursts of at most `burstFrames`.
    // Control thread, before the first writeVoice.
    virtual void beginVoice(uint32_t burstFrames) = 0;
    // The voice's largest burst changed (a new voice mid-stream). Capture thread.
    virtual void setVoiceBurst(uint32_t burstFrames) = 0;
    // Appends voice frames for the virtual microphone. Capture thread: never blocks, never
    // allocates. Frames that do not fit are counted as overflow.
    virtual void writeVoice(std::span<const int16_t> samples) = 0;
    // The voice ends (capture stopped); what is buffered still plays. Control thread, after
    // the last writeVoice.
    virtual void endVoice() = 0;

    // Copies what programs played to the virtual speaker into `samples` (whole frames),
    // waiting at most `wait` for some to arrive. Returns the frames copied; 0 when none came
    // in time or the device is lost. One reader thread.
    virtual uint32_t readRender(std::span<int16_t> samples, std::chrono::milliseconds wait) = 0;
    // Wakes a reader waiting in readRender at once. Any thread.
    virtual void interruptRender() = 0;
    // The most render audio that has arrived at once, in frames (0: not known): what the
    // render player must hold in hand to play it without a gap. Any thread.
    virtual uint32_t renderBurstFrames() const { return 0; }

    // True while another program records from the virtual microphone. Any thread.
    virtual bool clientRecording() const = 0;
    // The listener for state changes (null: none). Set before it can fire, cleared before it
    // goes away. Control thread.
    virtual void setListener(VirtualDeviceListener* listener) = 0;
    // True once the device has gone away for good (the sound server went away or removed
    // it): the voice goes nowhere and nobody records. Any thread.
    virtual bool lost() const = 0;

    // The voice's delivery: underruns, overflows and drift corrections so far. Any thread.
    virtual JitterBuffer::Stats voiceStats() const = 0;
    // The delay the delivery adds to the voice now, in frames: the fill held in the jitter
    // buffer plus what waits in the sound server. Any thread.
    virtual uint32_t voiceDelayFrames() const = 0;
    // Times the sound server ran out of voice while one played (it then plays silence).
    // Any thread.
    virtual uint64_t serverUnderruns() const { return 0; }
};

} // namespace timbrelo
