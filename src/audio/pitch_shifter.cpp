#include "audio/pitch_shifter.h"

#include <algorithm>
#include <cmath>
#include <soundtouch/SoundTouch.h>

namespace timbrelo {
namespace {

// The library is built for float samples; they carry the 16-bit values unscaled.
static_assert(std::is_same_v<soundtouch::SAMPLETYPE, float>,
              "the library is expected to work on float samples");

int16_t toInt16(float v) {
    const long r = std::lrint(v);
    return static_cast<int16_t>(std::clamp<long>(r, -32768, 32767));
}

} // namespace

PitchShifter::PitchShifter()
    : touch_(std::make_unique<soundtouch::SoundTouch>()), scratch_(kChunkFrames * 2) {
    configure(2);
}

PitchShifter::~PitchShifter() = default;

void PitchShifter::configure(uint32_t channels) {
    channels_ = std::clamp<uint32_t>(channels, 1, 2);
    touch_->clear();
    touch_->setSampleRate(kRate);
    touch_->setChannels(channels_);
    touch_->setTempoChange(0.0);
    touch_->setPitchSemiTones(0.0f);
    touch_->setRateChange(0.0);
    touch_->setSetting(SETTING_USE_QUICKSEEK, 0);
    touch_->setSetting(SETTING_USE_AA_FILTER, 0);
    requested_.store(0.0f);
    pending_.store(false);
}

void PitchShifter::requestSemitones(float semitones) {
    requested_.store(semitones);
    pending_.store(true, std::memory_order_release);
}

void PitchShifter::applyPendingPitch() {
    if (pending_.exchange(false, std::memory_order_acquire)) {
        touch_->setPitchSemiTones(requested_.load());
    }
}

void PitchShifter::putSamples(const int16_t* samples, uint32_t frames) {
    applyPendingPitch();
    while (frames > 0) {
        const uint32_t n = std::min(frames, kChunkFrames);
        const uint32_t count = n * channels_;
        for (uint32_t i = 0; i < count; ++i) {
            scratch_[i] = samples[i];
        }
        touch_->putSamples(scratch_.data(), n);
        samples += count;
        frames -= n;
    }
}

uint32_t PitchShifter::receiveSamples(int16_t* out, uint32_t maxFrames) {
    const uint32_t n = touch_->receiveSamples(scratch_.data(), std::min(maxFrames, kChunkFrames));
    const uint32_t count = n * channels_;
    for (uint32_t i = 0; i < count; ++i) {
        out[i] = toInt16(scratch_[i]);
    }
    return n;
}

void PitchShifter::flushAndDrop() {
    touch_->flush();
    const uint32_t perTake = 2048 / channels_;
    while (touch_->receiveSamples(scratch_.data(), std::min(perTake, kChunkFrames)) > 0) {
    }
    touch_->clear();
}

} // namespace timbrelo
