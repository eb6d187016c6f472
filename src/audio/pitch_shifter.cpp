#include "audio/pitch_shifter.h"

#include <algorithm>
#include <cmath>
#include <soundtouch/SoundTouch.h>

namespace timbrelo {
namespace {

// The library is built for float samples; they carry the 16-bit values unscaled.
static_assert(std::is_same_v<soundtouch::SAMPLETYPE, float>,
              "the library is expected to work on float samples");

// Short time-stretch windows: speech keeps its quality and the delay halves.
constexpr int kSequenceMs = 30;
constexpr int kSeekWindowMs = 15;
constexpr int kOverlapMs = 8;

int16_t toInt16(float v) {
    const long r = std::lrint(v);
    return static_cast<int16_t>(std::clamp<long>(r, -32768, 32767));
}

void setUp(soundtouch::SoundTouch& touch, uint32_t channels, float semitones) {
    touch.setSampleRate(PitchShifter::kRate);
    touch.setChannels(channels);
    touch.setTempoChange(0.0);
    touch.setPitchSemiTones(semitones);
    touch.setRateChange(0.0);
    touch.setSetting(SETTING_USE_QUICKSEEK, 0);
    touch.setSetting(SETTING_USE_AA_FILTER, 0);
    touch.setSetting(SETTING_SEQUENCE_MS, kSequenceMs);
    touch.setSetting(SETTING_SEEKWINDOW_MS, kSeekWindowMs);
    touch.setSetting(SETTING_OVERLAP_MS, kOverlapMs);
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
    // The library grows its buffers to the largest amount a shift has needed. Running the
    // extremes through it once here means the audio thread never makes it allocate.
    for (float semitones : {-kMaxSemitones, kMaxSemitones}) {
        setUp(*touch_, channels_, semitones);
        std::fill(scratch_.begin(), scratch_.end(), 0.0f);
        for (int i = 0; i < 16; ++i) {
            touch_->putSamples(scratch_.data(), kChunkFrames / channels_);
            while (touch_->receiveSamples(scratch_.data(), kChunkFrames / channels_) > 0) {
            }
        }
        touch_->clear();
    }
    setUp(*touch_, channels_, 0.0f);
    requested_.store(0.0f);
    pending_.store(false);
    // The bypass stays as the voice set it: a bypassed shifter is at 0 semitones too.
    wasBypassed_ = bypassed_.load();
    latency_.store(static_cast<uint32_t>(touch_->getSetting(SETTING_INITIAL_LATENCY)));
    sequence_.store(static_cast<uint32_t>(touch_->getSetting(SETTING_NOMINAL_INPUT_SEQUENCE)));
}

void PitchShifter::requestSemitones(float semitones) {
    if (!(semitones >= -kMaxSemitones)) { // also NaN
        semitones = semitones > 0 ? kMaxSemitones : -kMaxSemitones;
    }
    semitones = std::min(semitones, kMaxSemitones);
    // The delay at that pitch, worked out on a shifter of this thread's own: the audio
    // thread's instance must not be asked while it runs.
    soundtouch::SoundTouch probe;
    setUp(probe, channels_, semitones);
    latency_.store(static_cast<uint32_t>(probe.getSetting(SETTING_INITIAL_LATENCY)));
    sequence_.store(static_cast<uint32_t>(probe.getSetting(SETTING_NOMINAL_INPUT_SEQUENCE)));
    requested_.store(semitones);
    pending_.store(true, std::memory_order_release);
}

uint32_t PitchShifter::latencyFrames() const {
    return bypassed() ? 0 : latency_.load(std::memory_order_relaxed);
}

uint32_t PitchShifter::blockFrames() const {
    return bypassed() ? 0 : sequence_.load(std::memory_order_relaxed);
}

void PitchShifter::takeOverRequests() {
    const bool bypassed = bypassed_.load(std::memory_order_acquire);
    if (bypassed != wasBypassed_) {
        // Either way the shifter starts empty: what it held belongs to the other voice.
        touch_->clear();
        wasBypassed_ = bypassed;
    }
    if (pending_.exchange(false, std::memory_order_acquire)) {
        touch_->setPitchSemiTones(requested_.load());
    }
}

void PitchShifter::putSamples(const int16_t* samples, uint32_t frames) {
    takeOverRequests();
    while (frames > 0) {
        const uint32_t n = std::min(frames, kChunkFrames / channels_);
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
    const uint32_t n =
        touch_->receiveSamples(scratch_.data(), std::min(maxFrames, kChunkFrames / channels_));
    const uint32_t count = n * channels_;
    for (uint32_t i = 0; i < count; ++i) {
        out[i] = toInt16(scratch_[i]);
    }
    return n;
}

void PitchShifter::flushAndDrop() {
    touch_->flush();
    const uint32_t perTake = kChunkFrames / channels_;
    while (touch_->receiveSamples(scratch_.data(), perTake) > 0) {
    }
    touch_->clear();
}

} // namespace timbrelo
