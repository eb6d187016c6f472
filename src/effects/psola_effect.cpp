#include "effects/psola_effect.h"

#include "platform/debug.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

namespace timbrelo {
namespace {

// The engine a new effect runs until the first pitch factor arrives.
constexpr float kInitialPitchFactor = 2.6f;
constexpr float kInitialFormantFactor = 1.4f;
constexpr float kSampleRate = 22050.0f;

int16_t saturate(float v) {
    if (v > 32767.0f) {
        return 32767;
    }
    if (v < -32768.0f) {
        return -32768;
    }
    if (std::isnan(v)) {
        return 0;
    }
    return static_cast<int16_t>(v); // truncates toward zero
}

} // namespace

PsolaEffect::PsolaEffect()
    : Effect("psola", kBufferSamples),
      engine_(
          std::make_unique<PsolaEngine>(kBlockLength, kInitialPitchFactor, kInitialFormantFactor)),
      input_(kBufferSamples, 0) {
    sound_.dx = 1.0f / kSampleRate;
    sound_.x1 = sound_.dx / 2;
    sound_.xmin = 0;
    sound_.xmax = 0.04f;
    sound_.samples.assign(kAnalysisLength, 0.0f);
}

void PsolaEffect::setParameter(float value, int32_t kind) {
    switch (kind) {
    case kOff:
        setEnabled(false);
        debugWrite("not use psola.\n");
        break;
    case kOn:
        // The processing thread drops the partial block itself, before its next buffer.
        dropPending_.store(true, std::memory_order_release);
        setEnabled(true);
        debugWrite("use psola.\n");
        break;
    case 0:
        pitchFactor_.store(value, std::memory_order_relaxed);
        rebuild_.store(true, std::memory_order_release);
        break;
    case 1:
        formantFactor_.store(value, std::memory_order_relaxed);
        break;
    default:
        break;
    }
}

int32_t PsolaEffect::parseArgs(int32_t argc, const char* const* argv) {
    if (argc != 1) {
        debugWrite("psola: number of params not right.");
        return -1;
    }
    float value = 0;
    if (std::sscanf(argv[0], "%f", &value) != 1) {
        debugWrite("psola: param is not a number.");
        return -1;
    }
    pitchFactor_.store(value, std::memory_order_relaxed);
    return 0;
}

int32_t PsolaEffect::periodFromFrequency(float frequency) {
    if (frequency >= 75.0f && frequency <= 500.0f) {
        return static_cast<int32_t>(kSampleRate / frequency + 0.5f);
    }
    return 294;
}

void PsolaEffect::rebuildIfAsked() {
    if (!rebuild_.exchange(false, std::memory_order_acq_rel)) {
        return;
    }
    try {
        engine_ = std::make_unique<PsolaEngine>(kBlockLength, pitchFactor(), formantFactor());
    } catch (const std::bad_alloc&) {
        debugWrite("psola: no memory for a new engine.\n");
    }
}

bool PsolaEffect::processBlock(const int16_t* block, uint32_t outFrames, bool stereo) {
    float* analysed = sound_.samples.data();
    for (int32_t i = 0; i < kBlockLength; ++i) {
        analysed[kAnalysisHistory + i] = block[i];
    }
    const std::unique_ptr<PitchTrack> track =
        analysePitch(sound_, 0.01f, 75.0f, 3.0f, 15, 0.03f, 0.45f, 0.01f, 0.35f, 0.14f, 500.0f);
    // The next analysis sees the end of this block before its own.
    std::copy(analysed + kBlockLength, analysed + kAnalysisLength, analysed);
    if (!track) {
        return false;
    }
    maxFrequency_ = 0;
    for (const PitchFrame& frame : track->frames) {
        maxFrequency_ = std::max(maxFrequency_, frame.candidates[0].frequency);
    }
    period_ = periodFromFrequency(maxFrequency_);

    const float* result = engine_->processBlock(block, kBlockLength, period_);
    if (result == nullptr) {
        return false;
    }
    for (int32_t i = 0; i < kBlockLength; ++i) {
        converted_[i] = saturate(result[i]);
    }
    int16_t* out = outData();
    if (stereo) {
        for (int32_t i = 0; i < kBlockLength; ++i) {
            out[2 * (outFrames + i)] = converted_[i];
            out[2 * (outFrames + i) + 1] = converted_[i];
        }
    } else {
        std::copy(converted_.begin(), converted_.end(), out + outFrames);
    }
    return true;
}

int32_t PsolaEffect::process(const int16_t* samples, uint32_t frames) {
    if (!enabled() || (samples == nullptr && frames > 0)) {
        return 1;
    }
    if (dropPending_.exchange(false, std::memory_order_acq_rel)) {
        inputFill_ = 0;
    }
    rebuildIfAsked();

    const bool stereo = inFormat_.channels == 2;
    const uint32_t step = stereo ? 2 : 1;
    const auto outCapacityFrames = static_cast<uint32_t>(outCapacity() / step);
    uint32_t outFrames = 0;
    uint32_t consumed = 0;
    for (;;) {
        // Gather what fits; when more arrives than the buffers hold, whole blocks wait in
        // the input buffer for the next call and only what fits nowhere is dropped.
        const uint32_t take =
            std::min(frames - consumed, static_cast<uint32_t>(kBufferSamples - inputFill_));
        for (uint32_t i = 0; i < take; ++i) {
            input_[inputFill_ + i] = samples[(consumed + i) * step];
        }
        consumed += take;
        inputFill_ += static_cast<int32_t>(take);

        int32_t done = 0;
        while (inputFill_ - done >= kBlockLength && outFrames + kBlockLength <= outCapacityFrames) {
            if (processBlock(input_.data() + done, outFrames, stereo)) {
                outFrames += kBlockLength;
            }
            done += kBlockLength;
        }
        std::memmove(input_.data(), input_.data() + done,
                     static_cast<size_t>(inputFill_ - done) * sizeof(int16_t));
        inputFill_ -= done;

        if (consumed == frames) {
            break;
        }
        if (take == 0 && done == 0) {
            debugPrintf("psola: buffers full, %u frames dropped.\n", frames - consumed);
            break;
        }
    }
    setOutFrames(outFrames);
    return 0;
}

} // namespace timbrelo
