#pragma once
// The interface every voice effect implements. An effect owns one output buffer; `process`
// reads its input (never writing to it) and leaves its result in that buffer.
//
// Parameter convention of `setParameter(value, kind)`: kind -1 switches the effect off,
// -2 switches it on, 0, 1, ... are the effect's numbered parameters (0 the main one).
// The on/off flag and the stored parameter cross threads, so they are atomics.
//
// Lifecycle: `prepare` with the stream's format and largest block before any audio flows
// (control thread, while nothing processes), then `process` per block on the processing
// thread; `reset` forgets the audio held (processing thread between blocks, or control
// thread while nothing processes). `latencyFrames`, `tailFrames` and `blockFrames` describe
// the effect as configured now; any thread may ask (they read atomics).

#include "effects/audio_format.h"
#include "platform/audio_io/stream_format.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace timbrelo {

// What an effect is prepared for.
struct ProcessSpec {
    StreamFormat format = kPipelineFormat;
    // The largest block `process` will be given, in frames.
    uint32_t maxBlockFrames = 512;
};

class Effect {
  public:
    static constexpr int32_t kOff = -1;
    static constexpr int32_t kOn = -2;

    virtual ~Effect() = default;
    Effect(const Effect&) = delete;
    Effect& operator=(const Effect&) = delete;

    virtual const char* name() const { return name_; }
    // Base behaviour: stores the value, ignores the kind.
    virtual void setParameter(float value, int32_t kind);
    virtual void setInputFormat(uint32_t rate, uint32_t bits, uint32_t channels);
    virtual void setOutputFormat(uint32_t rate, uint32_t bits, uint32_t channels);
    // 0 on success, -1 on a bad configuration line. The strings live only during the call.
    // A rejected line changes nothing, and argsProblem() then says what is wrong with it.
    // Control thread, before processing starts.
    virtual int32_t parseArgs(int32_t argc, const char* const* argv);
    // 0 when the result is in outBuffer()/outFrames(); non-zero when nothing was produced
    // (the input then stands unchanged). `samples` holds frames x channels interleaved values.
    virtual int32_t process(const int16_t* samples, uint32_t frames);

    // Base behaviour: sets the input and output formats (16-bit) from the spec.
    virtual void prepare(const ProcessSpec& spec);
    // Forgets the audio the effect holds (delay lines, partial blocks). Base: nothing.
    virtual void reset() {}
    // Frames by which the effect's output lags its input while it is on; 0 when off.
    virtual uint32_t latencyFrames() const { return 0; }
    // Frames of output that follow the end of the input while it is on (an echo's tail).
    virtual uint32_t tailFrames() const { return 0; }
    // While on, the effect may answer up to this many frames of input with nothing, then
    // hand out a block at once (it works in blocks); 0 when it answers every call.
    virtual uint32_t blockFrames() const { return 0; }

    const int16_t* outBuffer() const { return outBuffer_.data(); }
    uint32_t outFrames() const { return outFrames_; }
    bool enabled() const { return enabled_.load(std::memory_order_relaxed) != 0; }
    float parameter() const { return parameter_.load(std::memory_order_relaxed); }
    const AudioFormat& inFormat() const { return inFormat_; }
    const AudioFormat& outFormat() const { return outFormat_; }
    // Why the last parseArgs rejected its line, in words for the user ("" after success).
    const std::string& argsProblem() const { return argsProblem_; }

  protected:
    // `outSamples` is the capacity of the output buffer in 16-bit samples, allocated here once.
    Effect(const char* name, size_t outSamples);

    void setEnabled(bool on) { enabled_.store(on ? 1 : 0, std::memory_order_relaxed); }
    int16_t* outData() { return outBuffer_.data(); }
    size_t outCapacity() const { return outBuffer_.size(); }
    void setOutFrames(uint32_t frames) { outFrames_ = frames; }
    // For parseArgs: writes `debugLine` to the debug channel, keeps `why` for argsProblem()
    // and returns -1.
    int32_t refuseArgs(const char* debugLine, std::string why);
    // For parseArgs: forgets an earlier problem and returns 0.
    int32_t acceptArgs() {
        argsProblem_.clear();
        return 0;
    }

    AudioFormat inFormat_;
    AudioFormat outFormat_;

  private:
    char name_[20] = {};
    std::atomic<int32_t> enabled_{0};
    std::atomic<float> parameter_{0.0f};
    std::vector<int16_t> outBuffer_;
    uint32_t outFrames_ = 0;
    std::string argsProblem_;
};

} // namespace timbrelo
