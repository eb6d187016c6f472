#include "effects/psola_effect.h"

#include "effects/float_arg.h"
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
    : Effect("psola", kBufferSamples), input_(kBufferSamples, 0),
      analyzer_(kAnalysisLength, 1.0f / kSampleRate) {
    sound_.dx = 1.0f / kSampleRate;
    sound_.x1 = sound_.dx / 2;
    sound_.xmin = 0;
    sound_.xmax = 0.04f;
    sound_.samples.assign(kAnalysisLength, 0.0f);
    auto node = std::make_unique<EngineNode>();
    node->engine =
        std::make_unique<PsolaEngine>(kBlockLength, kInitialPitchFactor, kInitialFormantFactor);
    engineDelay_.store(node->engine->delayFrames(), std::memory_order_relaxed);
    engineFormant_.store(node->engine->formantFactor(), std::memory_order_relaxed);
    engine_ = node.release();
}

PsolaEffect::~PsolaEffect() {
    delete engine_;
    delete waiting_.exchange(nullptr, std::memory_order_acquire);
    freeRetired();
}

void PsolaEffect::setParameter(float value, int32_t kind) {
    freeRetired();
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
        offerEngine();
        break;
    case 1:
        formantFactor_.store(value, std::memory_order_relaxed);
        refreshWaitingEngine();
        break;
    default:
        break;
    }
}

PsolaEffect::EngineNode* PsolaEffect::buildEngine() noexcept {
    try {
        auto node = std::make_unique<EngineNode>();
        node->engine = std::make_unique<PsolaEngine>(kBlockLength, pitchFactor(), formantFactor());
        return node.release();
    } catch (const std::bad_alloc&) {
        debugWrite("psola: no memory for a new engine.\n");
        return nullptr;
    }
}

void PsolaEffect::offerEngine() {
    EngineNode* node = buildEngine();
    if (node == nullptr) {
        return; // the engine in use (or the one waiting) carries on
    }
    const int32_t delay = node->engine->delayFrames();
    const float formant = node->engine->formantFactor();
    // One that still waits was never used: the newer factors replace it.
    delete waiting_.exchange(node, std::memory_order_acq_rel);
    engineDelay_.store(delay, std::memory_order_relaxed);
    engineFormant_.store(formant, std::memory_order_relaxed);
}

void PsolaEffect::refreshWaitingEngine() {
    // The engine is built with both factors as they stand when the processing thread takes
    // it, so a factor that arrives while one waits goes into a rebuilt one.
    if (waiting_.load(std::memory_order_acquire) == nullptr) {
        return;
    }
    EngineNode* node = buildEngine();
    if (node == nullptr) {
        return;
    }
    const int32_t delay = node->engine->delayFrames();
    const float formant = node->engine->formantFactor();
    EngineNode* expected = waiting_.load(std::memory_order_acquire);
    while (expected != nullptr) {
        if (waiting_.compare_exchange_weak(expected, node, std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
            delete expected;
            engineDelay_.store(delay, std::memory_order_relaxed);
            engineFormant_.store(formant, std::memory_order_relaxed);
            return;
        }
    }
    delete node; // taken meanwhile: the factor waits for the next pitch factor
}

void PsolaEffect::freeRetired() noexcept {
    EngineNode* node = retired_.exchange(nullptr, std::memory_order_acquire);
    while (node != nullptr) {
        EngineNode* next = node->next;
        delete node;
        node = next;
    }
}

void PsolaEffect::adoptWaitingEngine() noexcept {
    if (waiting_.load(std::memory_order_relaxed) == nullptr) {
        return;
    }
    EngineNode* node = waiting_.exchange(nullptr, std::memory_order_acquire);
    if (node == nullptr) {
        return;
    }
    EngineNode* old = engine_;
    engine_ = node;
    old->next = retired_.load(std::memory_order_relaxed);
    while (!retired_.compare_exchange_weak(old->next, old, std::memory_order_release,
                                           std::memory_order_relaxed)) {
    }
}

void PsolaEffect::prepare(const ProcessSpec& spec) {
    Effect::prepare(spec);
    freeRetired();
    // A whole call must fit behind the partial block that waits.
    const size_t needed = std::max<size_t>(
        kBufferSamples, static_cast<size_t>(spec.maxBlockFrames) + (kBlockLength - 1));
    if (input_.size() < needed) {
        try {
            input_.assign(needed, 0);
        } catch (const std::bad_alloc&) {
            debugWrite("psola: no memory for the input buffer.\n");
        }
    }
    reset();
}

void PsolaEffect::reset() {
    dropPending_.store(false, std::memory_order_relaxed);
    inputFill_ = 0;
    engine_->engine->reset();
    std::fill(sound_.samples.begin(), sound_.samples.end(), 0.0f);
    maxFrequency_ = 0;
    period_ = 0;
    setOutFrames(0);
}

uint32_t PsolaEffect::latencyFrames() const {
    if (!enabled()) {
        return 0;
    }
    return static_cast<uint32_t>(kBlockLength + engineDelay_.load(std::memory_order_relaxed));
}

uint32_t PsolaEffect::tailFrames() const {
    if (!enabled()) {
        return 0;
    }
    const float formant = engineFormant_.load(std::memory_order_relaxed);
    return static_cast<uint32_t>(std::ceil(static_cast<float>(kMaxGrainReach) / formant));
}

uint32_t PsolaEffect::blockFrames() const {
    return enabled() ? kBlockLength : 0;
}

int32_t PsolaEffect::parseArgs(int32_t argc, const char* const* argv) {
    if (argc != 1) {
        return refuseArgs("psola: number of params not right.",
                          "psola takes one number, the pitch factor");
    }
    float value = 0;
    if (!readWholeFloatArg(argv[0], value)) {
        return refuseArgs("psola: param is not a number.",
                          "psola: " + quoteArg(argv[0]) + " is not a number");
    }
    if (!(value >= PsolaEngine::kMinFactor && value <= PsolaEngine::kMaxFactor)) {
        return refuseArgs("psola: factor out of range.",
                          "psola: the pitch factor " + quoteArg(argv[0]) + " is outside 0.25..4");
    }
    pitchFactor_.store(value, std::memory_order_relaxed);
    refreshWaitingEngine();
    return acceptArgs();
}

int32_t PsolaEffect::periodFromFrequency(float frequency) {
    if (frequency >= 75.0f && frequency <= 500.0f) {
        return static_cast<int32_t>(kSampleRate / frequency + 0.5f);
    }
    return 294;
}

bool PsolaEffect::processBlock(const int16_t* block, uint32_t outFrames, bool stereo) {
    float* analysed = sound_.samples.data();
    for (int32_t i = 0; i < kBlockLength; ++i) {
        analysed[kAnalysisHistory + i] = block[i];
    }
    const PitchTrack* track = analyzer_.analyse(sound_);
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

    const float* result = engine_->engine->processBlock(block, kBlockLength, period_);
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
    adoptWaitingEngine();

    const bool stereo = inFormat_.channels == 2;
    const uint32_t step = stereo ? 2 : 1;
    const auto outCapacityFrames = static_cast<uint32_t>(outCapacity() / step);
    const auto inputCapacity = static_cast<uint32_t>(input_.size());
    uint32_t outFrames = 0;
    uint32_t consumed = 0;
    for (;;) {
        // Gather what fits; when more arrives than the buffers hold, whole blocks wait in
        // the input buffer for the next call and only what fits nowhere is dropped.
        const uint32_t take =
            std::min(frames - consumed, inputCapacity - static_cast<uint32_t>(inputFill_));
        for (uint32_t i = 0; i < take; ++i) {
            input_[inputFill_ + i] = samples[(consumed + i) * step];
        }
        consumed += take;
        inputFill_ += static_cast<int32_t>(take);

        int32_t done = 0;
        while (inputFill_ - done >= kBlockLength && outFrames + kBlockLength <= outCapacityFrames) {
            adoptWaitingEngine(); // a pitch factor sent during this call applies from here
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
