#pragma once
// Measures how long the voice takes through the pipeline, as a listener of the virtual
// microphone would feel it: from the moment a sample was captured to the moment the sample
// carrying it reached the virtual microphone.
//
// Two measurements make it up. The content lag: where in the output the input's loudness
// envelope reappears (envelopes survive pitch and formant changes, so this works for every
// effect). The holding: how much input had been captured when each output sample was
// delivered. A sample's delay is the input captured at its delivery minus its content's
// position in the input.

#include <cstdint>
#include <vector>

namespace timbrelo::cli {

class DelayMeter {
  public:
    // Envelope hop, how much of the signals is compared, and the lags searched.
    static constexpr uint32_t kHopFrames = 22; // about 1 ms at 22050 Hz
    static constexpr uint32_t kMaxHops = 20 * 1000;
    static constexpr int kMinLagHops = -500;
    static constexpr int kMaxLagHops = 1500;

    void addInput(const int16_t* stereo, uint32_t frames) { add(input_, stereo, frames); }
    // An output block, and how many input frames had been captured when it was delivered.
    void addOutput(const int16_t* stereo, uint32_t frames, uint64_t inputCaptured);

    // The delay in milliseconds, or a negative value when the signals don't tell (silence).
    double delayMs(double rate) const;
    // Where the input's content reappears in the output, in frames; false when unclear.
    bool contentLag(double& frames) const;

  private:
    struct Envelope {
        std::vector<float> hops;
        double sum = 0;
        uint32_t count = 0;
    };
    struct Delivery {
        int64_t holding; // input captured minus the block's first output position
        uint32_t frames;
    };
    static void add(Envelope& e, const int16_t* stereo, uint32_t frames);

    Envelope input_;
    Envelope output_;
    std::vector<Delivery> deliveries_;
    uint64_t outputFrames_ = 0;
};

} // namespace timbrelo::cli
