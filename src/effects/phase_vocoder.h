#pragma once
// The pitch shifter of the cartoon voice: a short-frame phase vocoder that moves every
// frequency, formants included, by one factor. Frames of 128 samples are analysed every 32
// samples (four-fold overlap). The output lags the input by one frame, kDelay samples: a
// sample leaves only once the last of the four frames that cover it has been added.

#include "effects/complex_fft.h"

#include <array>
#include <cstddef>

namespace timbrelo {

class PhaseVocoder {
  public:
    static constexpr size_t kFrameSize = 128;
    static constexpr size_t kOversampling = 4;
    static constexpr size_t kStep = kFrameSize / kOversampling;
    // Samples the input FIFO keeps from one frame to the next.
    static constexpr size_t kLatency = kFrameSize - kStep;
    static constexpr size_t kDelay = kFrameSize;
    static constexpr size_t kBins = kFrameSize / 2 + 1;

    PhaseVocoder();

    // Takes one input sample and returns the output sample that leaves the FIFO in its place.
    // Once 32 new samples have arrived, one frame is resynthesised with `factor`.
    float push(float x, float factor) {
        inFifo_[rover_] = x;
        const float y = outFifo_[rover_ - kLatency];
        if (++rover_ == kFrameSize) {
            rover_ = kLatency;
            processFrame(factor);
        }
        return y;
    }

  private:
    void processFrame(float factor);

    ComplexFft fft_;
    std::array<float, kFrameSize> window_;
    std::array<float, kFrameSize> outWeight_; // the window with the overlap-add scaling

    std::array<float, kFrameSize> inFifo_{};
    std::array<float, kFrameSize> outFifo_{};
    std::array<float, 2 * kFrameSize> workspace_{};
    std::array<float, kBins> lastPhase_{};
    std::array<float, kBins> sumPhase_{};
    std::array<float, 2 * kFrameSize> outputAccum_{};
    // Frequencies are kept in bins (fractions of the bin spacing), so the sample rate cancels.
    std::array<float, kBins> anaFreq_{};
    std::array<float, kBins> anaMagn_{};
    std::array<float, kBins> synFreq_{};
    std::array<float, kBins> synMagn_{};
    size_t rover_ = kLatency;
};

} // namespace timbrelo
