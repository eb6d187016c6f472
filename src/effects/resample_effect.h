#pragma once
// Brings background music from the rate of its file to the rate of the effect chain by
// bandlimited interpolation: a Kaiser-windowed sinc low-pass, computed in double precision on
// one channel (the left one of a stereo input). The output is always 16-bit stereo with the
// channel on both sides.
//
// Small ratios whose output side is the larger (11025 -> 22050) use exact coefficients for
// every output phase; other ratios interpolate a finely sampled table. History and output time
// carry over between calls, so consecutive blocks join without a seam, and input that does not
// fit one call's output is kept for the next call.

#include "effects/effect.h"

#include <cstdint>
#include <vector>

namespace timbrelo {

class ResampleEffect final : public Effect {
  public:
    // Output capacity of one convert call, in stereo frames (32768 bytes).
    static constexpr uint32_t kOutFrames = 8192;
    // Input samples (one channel) kept for the next call at most.
    static constexpr uint32_t kCarrySamples = 16384;

    ResampleEffect();

    // The stream-level preparation of every effect stays reachable beside this one.
    using Effect::prepare;
    // Builds the filter for the current input and output rates and clears the history.
    // True when convert delivers music at the output rate (equal rates are copied); false
    // when the rates can't be converted (a zero rate or channel count, or a ratio too extreme
    // for the work buffer): convert then copies unconverted.
    bool prepare();

    // Converts *inFrames frames of 16-bit input in the input format into `outBuffer` as
    // interleaved stereo, at most kOutFrames frames. *outFrames (and outFrames()) receives the
    // frames written; *inFrames the frames taken, which is all of them unless the carry-over
    // is full (the caller then offers the rest again). Input that could not be converted yet
    // is carried over: call with no input to take its output. Returns 0.
    int32_t convert(const int16_t* samples, uint32_t* inFrames, uint32_t* outFrames);

    // Input samples waiting for the next call.
    uint32_t carriedSamples() const { return carryCount_; }

    bool ready() const { return ready_; }
    bool exact() const { return exact_; }
    int32_t tableDensity() const { return nq_; } // table entries per zero crossing
    int32_t filterStep() const { return dhb_; }  // table method: 2^16 = one table entry
    int32_t inputRatio() const { return a_; }
    int32_t outputRatio() const { return b_; }
    double factor() const { return factor_; }

  private:
    static constexpr int32_t kWorkSize = 32768;
    static constexpr double kRolloff = 0.80;
    static constexpr double kBeta = 16.0;
    static constexpr int32_t kZeroCrossings = 45;

    struct Step {
        int32_t consumed = 0;
        int32_t produced = 0;
    };

    bool buildFilter();
    // One pass of the flow over `count` input samples `stride` apart (null: zeros), producing
    // at most `capacity` outputs into y.
    Step flow(const int16_t* in, int32_t stride, int32_t count, int32_t capacity);
    int32_t exactPass(int32_t nproc);
    int32_t tablePass(int32_t nproc);
    // Runs the flow until the input is used up or the output is full.
    uint32_t feed(const int16_t* in, int32_t stride, uint32_t count, uint32_t& produced);
    void copyThrough(const int16_t* samples, uint32_t* inFrames, uint32_t* outFrames);
    void emit(const double* values, int32_t count, uint32_t at);

    double factor_ = 1.0;
    bool exact_ = false;
    int32_t nwing_ = 0;
    int32_t nq_ = 0;
    std::vector<double> impStore_; // the filter wing, one entry in front and one behind
    const double* imp_ = nullptr;  // impStore_ + 1, so imp_[-1] is valid
    double time_ = 0.0;
    int32_t dhb_ = 0;
    int32_t a_ = 1;
    int32_t b_ = 1;
    int32_t t_ = 0;
    int32_t xh_ = 0;
    int32_t xoff_ = 0;
    int32_t xread_ = 0;
    int32_t xp_ = 0;
    int32_t xsize_ = 0;
    int32_t ysize_ = 0;
    std::vector<double> x_; // input part, then output part
    double* y_ = nullptr;
    bool ready_ = false;

    std::vector<int16_t> carry_;
    uint32_t carryStart_ = 0;
    uint32_t carryCount_ = 0;
};

} // namespace timbrelo
