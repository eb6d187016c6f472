#include "effects/input_cleaner.h"

#include "platform/settings.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <speex/speex_preprocess.h>

namespace timbrelo {
namespace {

// The gate: a peak follower that falls by 1/e in 10 ms, a 0.5 ms attack, 50 ms of hold and
// 6 dB of hysteresis, so that the dips between syllables do not chop the voice.
constexpr float kEnvelopeMs = 10.0f;
constexpr float kAttackMs = 0.5f;
constexpr float kHoldMs = 50.0f;
constexpr float kHysteresisDb = 6.0f;
// Below this gain (-100 dB) the closed gate lets nothing through.
constexpr float kGainFloor = 1e-5f;
// The largest share of the raw input's low band that joins the preprocessor's output while
// the voice holds it open, and where that band ends (see processFrame).
constexpr float kVoiceRawShare = 0.6f;
constexpr double kRawBandHz = 600.0;

// Rounds to the nearest 16-bit value, saturating (inline: std::lrint is a library call here).
int16_t toSample(double v) {
    v = std::clamp(v, -32768.0, 32767.0);
    return static_cast<int16_t>(v < 0 ? v - 0.5 : v + 0.5);
}

float dbToLinear(float db) {
    return std::pow(10.0f, db / 20.0f);
}

// A value from a control thread: NaN leaves `current`, anything else is clamped.
float checked(float value, float low, float high, float current) {
    return std::isnan(value) ? current : std::clamp(value, low, high);
}

} // namespace

void InputCleaner::LowCut::design(double rate) {
    // A second-order Butterworth high-pass: steeper ones turn the phase of the voice's
    // fundamental so far against its harmonics that the psola effect's grains suffer.
    const double w = 2 * std::numbers::pi * kLowCutHz / rate;
    const double alpha = std::sin(w) / (2 * std::numbers::sqrt2);
    const double a0 = 1 + alpha;
    b0 = (1 + std::cos(w)) / 2 / a0;
    b1 = -(1 + std::cos(w)) / a0;
    b2 = b0;
    a1 = -2 * std::cos(w) / a0;
    a2 = (1 - alpha) / a0;
    clear();
}

void InputCleaner::LowCut::clear() {
    z1 = z2 = 0;
}

void InputCleaner::LowCut::run(int16_t* x, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        // Transposed direct form II.
        const double v = x[i];
        const double y = b0 * v + z1;
        z1 = b1 * v - a1 * y + z2;
        z2 = b2 * v - a2 * y;
        x[i] = toSample(y);
    }
}

void InputCleaner::RawBand::design(double rate) {
    // A second-order Butterworth low-pass: the voice's lowest harmonics and no more.
    const double w = 2 * std::numbers::pi * kRawBandHz / rate;
    const double alpha = std::sin(w) / (2 * std::numbers::sqrt2);
    const double a0 = 1 + alpha;
    b0 = (1 - std::cos(w)) / 2 / a0;
    b1 = (1 - std::cos(w)) / a0;
    b2 = b0;
    a1 = -2 * std::cos(w) / a0;
    a2 = (1 - alpha) / a0;
    clear();
}

void InputCleaner::RawBand::clear() {
    z1 = z2 = 0;
}

double InputCleaner::RawBand::step(double v) {
    const double y = b0 * v + z1;
    z1 = b1 * v - a1 * y + z2;
    z2 = b2 * v - a2 * y;
    return y;
}

InputCleaner::InputCleaner(uint32_t frameLength)
    : Effect("cleaner", size_t{kMaxBlockFrames} * 2),
      frameLength_(std::clamp(frameLength, kMinFrameLength, kMaxFrameLength)) {}

InputCleaner::~InputCleaner() {
    destroyStates();
}

void InputCleaner::destroyStates() {
    for (SpeexPreprocessState* state : states_) {
        speex_preprocess_state_destroy(state);
    }
    states_.clear();
}

void InputCleaner::prepare(const ProcessSpec& spec) {
    Effect::prepare(spec);
    prepared_ = false;
    active_ = false; // the next block starts the stage afresh
    destroyStates();
    if (!spec.format.valid()) {
        return;
    }
    channels_ = spec.format.channels;
    rate_ = spec.format.rate;
    const size_t n = frameLength_;
    for (uint32_t c = 0; c < channels_; ++c) {
        SpeexPreprocessState* state =
            speex_preprocess_state_init(static_cast<int>(n), static_cast<int>(rate_));
        if (state == nullptr) {
            destroyStates();
            return;
        }
        // Noise suppression only: no level control and no dereverberation (either would change
        // the voice the effects are set up for). Voice detection is off from the start (and
        // its switch complains on standard error).
        spx_int32_t on = 1;
        spx_int32_t off = 0;
        speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_DENOISE, &on);
        speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_AGC, &off);
        speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_DEREVERB, &off);
        states_.push_back(state);
    }
    lowCuts_.assign(channels_, LowCut{});
    for (LowCut& lowCut : lowCuts_) {
        lowCut.design(rate_);
    }
    rawBands_.assign(channels_, RawBand{});
    for (RawBand& rawBand : rawBands_) {
        rawBand.design(rate_);
    }
    appliedStrength_ = 0; // unknown: set at the first block
    frameIn_.assign(n * channels_, 0);
    previous_.assign(n * channels_, 0);
    work_.assign(n, 0);
    cleaned_.assign(n * channels_, 0);
    out_.assign((n - 1 + kMaxBlockFrames) * channels_, 0);

    const auto rate = static_cast<float>(rate_);
    envelopeCoef_ = std::exp(-1000.0f / (kEnvelopeMs * rate));
    attackCoef_ = 1.0f - std::exp(-1000.0f / (kAttackMs * rate));
    holdFrames_ = static_cast<uint32_t>(kHoldMs * rate / 1000.0f);
    appliedGateDb_ = 1.0f; // above any threshold: recomputed at the first block
    appliedReleaseMs_ = -1.0f;
    prepared_ = true;
    restart();
}

void InputCleaner::updateEnabled() {
    setEnabled(denoiseOn() || gateOn());
}

void InputCleaner::setDenoise(bool on) {
    denoise_.store(on, std::memory_order_relaxed);
    updateEnabled();
}

void InputCleaner::setStrengthDb(float db) {
    strengthDb_.store(checked(db, kMinStrengthDb, kMaxStrengthDb, strengthDb()),
                      std::memory_order_relaxed);
}

void InputCleaner::setGate(bool on) {
    gate_.store(on, std::memory_order_relaxed);
    updateEnabled();
}

void InputCleaner::setGateThresholdDb(float db) {
    gateDb_.store(checked(db, kMinGateDb, kMaxGateDb, gateThresholdDb()),
                  std::memory_order_relaxed);
}

void InputCleaner::setGateReleaseMs(float ms) {
    releaseMs_.store(checked(ms, kMinReleaseMs, kMaxReleaseMs, gateReleaseMs()),
                     std::memory_order_relaxed);
}

void InputCleaner::apply(const InputCleanerSettings& s) {
    setStrengthDb(s.strengthDb);
    setGateThresholdDb(s.gateDb);
    setDenoise(s.denoise);
    setGate(s.gate);
}

InputCleanerSettings InputCleaner::settings() const {
    return {denoiseOn(), strengthDb(), gateOn(), gateThresholdDb()};
}

void InputCleaner::setParameter(float value, int32_t kind) {
    switch (kind) {
    case kOff:
        setDenoise(false);
        setGate(false);
        break;
    case kOn:
        setDenoise(true);
        break;
    case 0:
        setStrengthDb(value);
        break;
    case 1:
        setGateThresholdDb(value);
        setGate(true);
        break;
    case 2:
        setGate(false);
        break;
    case 3:
        setGateReleaseMs(value);
        break;
    default:
        break;
    }
}

uint32_t InputCleaner::latencyFrames() const {
    return enabled() ? 2 * frameLength_ - 1 : 0;
}

void InputCleaner::reset() {
    if (prepared_) {
        restart();
        wasDenoise_ = denoiseOn();
    }
}

void InputCleaner::restart() {
    // frameLength - 1 frames of silence ahead of the first frame: with them a block of any
    // size finds its output cleaned already.
    std::fill(out_.begin(), out_.end(), int16_t{0});
    outFill_ = frameLength_ - 1;
    frameFill_ = 0;
    std::fill(previous_.begin(), previous_.end(), int16_t{0});
    rawShare_.fill(0.0f);
    for (RawBand& rawBand : rawBands_) {
        rawBand.clear();
    }
    primed_.fill(false);
    alike_ = false;
    gateGain_ = 0.0f;
    envelope_ = 0.0f;
    holdLeft_ = 0;
}

void InputCleaner::applyChanges() {
    const int strength = -static_cast<int>(std::lround(strengthDb()));
    if (strength != appliedStrength_) {
        // A field store inside the preprocessor: nothing is allocated.
        spx_int32_t value = strength;
        for (SpeexPreprocessState* state : states_) {
            speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &value);
        }
        appliedStrength_ = strength;
    }
    const float gateDb = gateThresholdDb();
    if (gateDb != appliedGateDb_) {
        openLevel_ = dbToLinear(gateDb);
        closeLevel_ = dbToLinear(gateDb - kHysteresisDb);
        appliedGateDb_ = gateDb;
    }
    const float releaseMs = gateReleaseMs();
    if (releaseMs != appliedReleaseMs_) {
        // The gain falls by 60 dB (a factor of 1000) over the release.
        releaseCoef_ =
            std::exp(std::log(1e-3f) * 1000.0f / (releaseMs * static_cast<float>(rate_)));
        appliedReleaseMs_ = releaseMs;
    }
}

int32_t InputCleaner::process(const int16_t* samples, uint32_t frames) {
    const bool denoise = denoiseOn();
    const bool gate = gateOn();
    if (!prepared_ || (!denoise && !gate) || (samples == nullptr && frames > 0)) {
        active_ = false;
        return 1;
    }
    if (!active_) {
        restart();
        wasDenoise_ = denoise; // the stage starts from silence: nothing to fade from
        active_ = true;
    }
    applyChanges();

    const uint32_t channels = channels_;
    const uint32_t n = std::min(frames, kMaxBlockFrames);
    for (uint32_t taken = 0; taken < n;) {
        const uint32_t count = std::min(n - taken, frameLength_ - frameFill_);
        std::memcpy(frameIn_.data() + size_t{frameFill_} * channels,
                    samples + size_t{taken} * channels, size_t{count} * channels * 2);
        frameFill_ += count;
        taken += count;
        if (frameFill_ == frameLength_) {
            processFrame(denoise, gate);
            frameFill_ = 0;
        }
    }
    // The FIFO holds frameLength - 1 - frameFill + n >= n frames: hand out the oldest n.
    int16_t* out = outData();
    std::memcpy(out, out_.data(), size_t{n} * channels * 2);
    outFill_ -= n;
    std::memmove(out_.data(), out_.data() + size_t{n} * channels, size_t{outFill_} * channels * 2);
    setOutFrames(n);
    return 0;
}

bool InputCleaner::channelsAlike() const {
    if (channels_ != 2) {
        return false;
    }
    for (uint32_t i = 0; i < frameLength_; ++i) {
        if (frameIn_[2 * size_t{i}] != frameIn_[2 * size_t{i} + 1]) {
            return false;
        }
    }
    return true;
}

void InputCleaner::processFrame(bool denoise, bool gate) {
    const uint32_t channels = channels_;
    const uint32_t n = frameLength_;
    // A mono microphone fills both channels alike. While this frame and the one before are
    // alike, the second channel's output is the first's (the preprocessor's output spans
    // both), which halves the work; its preprocessor catches up, primed, when they differ.
    const bool alike = channelsAlike();
    const bool twin = alike && alike_;
    alike_ = alike;
    // Noise suppression switched on or off while the stage runs: this frame fades from the
    // old output to the new, so the switch does not click.
    const bool preprocess = denoise || wasDenoise_;
    const bool fade = denoise != wasDenoise_;
    wasDenoise_ = denoise;
    for (uint32_t c = 0; c < channels; ++c) {
        int16_t* previous = previous_.data() + size_t{c} * n;
        if (preprocess && c == 1 && twin) {
            for (uint32_t i = 0; i < n; ++i) {
                cleaned_[2 * size_t{i} + 1] = cleaned_[2 * size_t{i}];
            }
            rawShare_[1] = rawShare_[0];
            primed_[c] = false;
        } else if (preprocess) {
            SpeexPreprocessState* state = states_[c];
            LowCut& lowCut = lowCuts_[c];
            if (!primed_[c]) {
                // The preprocessor's output lags one frame (overlap-add): let it see the frame
                // before this one, so that its first output continues the delayed signal.
                lowCut.clear();
                rawBands_[c].clear();
                std::copy(previous, previous + n, work_.begin());
                lowCut.run(work_.data(), n);
                speex_preprocess_run(state, work_.data());
                primed_[c] = true;
            }
            for (uint32_t i = 0; i < n; ++i) {
                work_[i] = frameIn_[size_t{i} * channels + c];
            }
            lowCut.run(work_.data(), n);
            speex_preprocess_run(state, work_.data());
            // In voice the preprocessor takes 4-6 dB, unevenly from frame to frame, off the
            // lowest harmonics, where room noise is strongest, and the low cut turns the
            // fundamental's phase: the psola effect's analysis then takes voices above 150 Hz
            // an octave low and its grains differ period to period. The low band of the raw
            // frame (the one the preprocessor's output stands for) restores them while the
            // voice lasts; above it the preprocessor's cleaning stays whole. Its share follows
            // the power the preprocessor let through, so pauses, where it takes 20 dB off, get
            // almost none; it glides over the frame, so it does not click.
            double rawPower = 0;
            double cleanPower = 0;
            for (uint32_t i = 0; i < n; ++i) {
                rawPower += static_cast<double>(previous[i]) * previous[i];
                cleanPower += static_cast<double>(work_[i]) * work_[i];
            }
            const float passed =
                rawPower > 0 ? static_cast<float>(std::min(1.0, cleanPower / rawPower)) : 0.0f;
            const float shareFrom = rawShare_[c];
            const float shareTo = kVoiceRawShare * passed;
            rawShare_[c] = shareTo;
            RawBand& rawBand = rawBands_[c];
            for (uint32_t i = 0; i < n; ++i) {
                const float step = (static_cast<float>(i) + 0.5f) / static_cast<float>(n);
                const float share = shareFrom + (shareTo - shareFrom) * step;
                const double restored = rawBand.step((previous[i] - work_[i]) * share);
                float v = work_[i] + static_cast<float>(restored);
                if (fade) {
                    v = denoise ? previous[i] + (v - previous[i]) * step
                                : v + (previous[i] - v) * step;
                }
                cleaned_[size_t{i} * channels + c] = toSample(v);
            }
        } else {
            // The same lag without the preprocessor: the previous frame.
            for (uint32_t i = 0; i < n; ++i) {
                cleaned_[size_t{i} * channels + c] = previous[i];
            }
            primed_[c] = false;
        }
        for (uint32_t i = 0; i < n; ++i) {
            previous[i] = frameIn_[size_t{i} * channels + c];
        }
    }
    if (gate) {
        runGate(cleaned_.data());
    }
    std::memcpy(out_.data() + size_t{outFill_} * channels, cleaned_.data(),
                size_t{n} * channels * 2);
    outFill_ += n;
}

void InputCleaner::runGate(int16_t* frame) {
    const uint32_t channels = channels_;
    for (uint32_t i = 0; i < frameLength_; ++i) {
        int16_t* f = frame + size_t{i} * channels;
        int peak = 0;
        for (uint32_t c = 0; c < channels; ++c) {
            peak = std::max(peak, std::abs(static_cast<int>(f[c])));
        }
        const float level = static_cast<float>(peak) / 32768.0f;
        envelope_ = level > envelope_ ? level : envelope_ * envelopeCoef_;
        if (envelope_ >= openLevel_) {
            holdLeft_ = holdFrames_ + 1;
        } else if (holdLeft_ > 0) {
            holdLeft_ = envelope_ >= closeLevel_ ? holdFrames_ + 1 : holdLeft_ - 1;
        }
        if (holdLeft_ > 0) {
            // Within half a step of 16 bits at full scale the gate is open: the samples pass.
            gateGain_ =
                gateGain_ > 1.0f - kGainFloor ? 1.0f : gateGain_ + (1.0f - gateGain_) * attackCoef_;
        } else {
            gateGain_ *= releaseCoef_;
            if (gateGain_ < kGainFloor) {
                gateGain_ = 0.0f;
            }
        }
        if (gateGain_ != 1.0f) {
            for (uint32_t c = 0; c < channels; ++c) {
                f[c] = toSample(static_cast<double>(f[c]) * gateGain_);
            }
        }
    }
}

// Settings -------------------------------------------------------------------------------

namespace {

// "on 30" / "off -45": the switch, then the value; false when unreadable.
bool parseSetting(const std::string& text, bool& on, float& value) {
    const size_t blank = text.find(' ');
    const std::string_view word = std::string_view(text).substr(0, blank);
    if (word != "on" && word != "off") {
        return false;
    }
    if (blank == std::string::npos) {
        return false;
    }
    const char* begin = text.data() + blank + 1;
    const char* end = text.data() + text.size();
    while (end > begin && (end[-1] == ' ' || end[-1] == '\r')) {
        --end;
    }
    float v = 0;
    auto [stop, ec] = std::from_chars(begin, end, v);
    if (ec != std::errc() || stop != end || !std::isfinite(v)) {
        return false;
    }
    on = word == "on";
    value = v;
    return true;
}

std::string formatSetting(bool on, float value) {
    char text[48];
    std::snprintf(text, sizeof text, "%s %.4g", on ? "on" : "off", static_cast<double>(value));
    return text;
}

InputCleanerSettings readSettings(const std::string* file) {
    InputCleanerSettings s;
    std::string denoise;
    std::string gate;
    if (file != nullptr) {
        getSettingIn(*file, kDenoiseSettingKey, denoise);
        getSettingIn(*file, kGateSettingKey, gate);
    } else {
        getSetting(kDenoiseSettingKey, denoise);
        getSetting(kGateSettingKey, gate);
    }
    bool on = false;
    float v = 0;
    if (parseSetting(denoise, on, v)) {
        s.denoise = on;
        s.strengthDb = std::clamp(v, InputCleaner::kMinStrengthDb, InputCleaner::kMaxStrengthDb);
    }
    if (parseSetting(gate, on, v)) {
        s.gate = on;
        s.gateDb = std::clamp(v, InputCleaner::kMinGateDb, InputCleaner::kMaxGateDb);
    }
    return s;
}

} // namespace

InputCleanerSettings loadInputCleanerSettings() {
    return readSettings(nullptr);
}

InputCleanerSettings loadInputCleanerSettingsFrom(const std::string& file) {
    return readSettings(&file);
}

bool saveInputCleanerSettings(const InputCleanerSettings& s) {
    const bool denoise = setSetting(kDenoiseSettingKey, formatSetting(s.denoise, s.strengthDb));
    const bool gate = setSetting(kGateSettingKey, formatSetting(s.gate, s.gateDb));
    return denoise && gate;
}

bool saveInputCleanerSettingsTo(const std::string& file, const InputCleanerSettings& s) {
    const bool denoise =
        setSettingIn(file, kDenoiseSettingKey, formatSetting(s.denoise, s.strengthDb));
    const bool gate = setSettingIn(file, kGateSettingKey, formatSetting(s.gate, s.gateDb));
    return denoise && gate;
}

} // namespace timbrelo
