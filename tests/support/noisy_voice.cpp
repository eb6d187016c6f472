#include "support/noisy_voice.h"

#include "effects/psola_effect.h"
#include "support/signals.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace timbrelo::test {
namespace {

constexpr double kPi = std::numbers::pi;

// Guards, seconds: after a syllable a gate holds and releases; before one it opens.
constexpr double kPauseGuardAfter = 0.12;
constexpr double kPauseGuardBefore = 0.02;
constexpr double kSyllableGuard = 0.05;
// The psola effect's output lags its input by about 2500 samples (its block and the engine's
// overlap), give or take a few periods.
constexpr size_t kPsolaLag = 2500;
constexpr double kPsolaGuard = 0.03;

struct Random {
    uint32_t state;
    // Uniform in [-1, 1).
    double next() {
        state = state * 1664525u + 1013904223u;
        return static_cast<double>(state >> 8) / static_cast<double>(1u << 23) - 1.0;
    }
};

void scaleToRms(std::vector<float>& x, double target) {
    const double r = rms(x);
    if (r > 0) {
        for (float& v : x) {
            v = static_cast<float>(v * target / r);
        }
    }
}

double levelDb(double rmsValue) {
    return 20 * std::log10(std::max(rmsValue, 1e-3) / 32768.0);
}

Span shrunk(Span s, size_t before, size_t after) {
    return {s.begin + before, s.end > after ? s.end - after : 0};
}

// RMS over the spans (moved by `delay`) of `out`.
double spansRms(std::span<const float> out, const std::vector<Span>& spans, size_t delay) {
    double sum = 0;
    size_t count = 0;
    for (const Span& s : spans) {
        for (size_t i = s.begin + delay; i < s.end + delay && i < out.size(); ++i) {
            sum += static_cast<double>(out[i]) * out[i];
            ++count;
        }
    }
    return count == 0 ? 0.0 : std::sqrt(sum / static_cast<double>(count));
}

std::vector<Span> pauseInteriors(const NoisyVoice& scene) {
    std::vector<Span> spans;
    const auto after = static_cast<size_t>(kPauseGuardAfter * scene.rate);
    const auto before = static_cast<size_t>(kPauseGuardBefore * scene.rate);
    for (const Span& p : scene.pauses) {
        spans.push_back(shrunk(p, after, before));
    }
    return spans;
}

std::vector<Span> syllableInteriors(const NoisyVoice& scene, double guard) {
    std::vector<Span> spans;
    const auto g = static_cast<size_t>(guard * scene.rate);
    for (const Syllable& s : scene.syllables) {
        spans.push_back(shrunk(s.at, g, g));
    }
    return spans;
}

double windowedPitchError(const NoisyVoice& scene, std::span<const float> out, size_t delay,
                          double factor, double guard) {
    constexpr size_t kWindow = 2048;
    const auto g = static_cast<size_t>(guard * scene.rate);
    double sum = 0;
    size_t count = 0;
    for (const Syllable& s : scene.syllables) {
        const Span inner = shrunk(s.at, g, g);
        const double expected = s.f0 * factor;
        for (size_t at = inner.begin + delay; at + kWindow <= inner.end + delay;
             at += kWindow / 2) {
            if (at + kWindow > out.size()) {
                break;
            }
            const double found = measurePitch(out.subspan(at, kWindow), scene.rate, 60, 500);
            sum += std::min(1.0, std::abs(found - expected) / expected);
            ++count;
        }
    }
    return count == 0 ? 100.0 : 100.0 * sum / static_cast<double>(count);
}

} // namespace

std::vector<float> makePinkNoise(size_t samples, uint32_t seed) {
    // White noise through a sum of one-pole filters spread over the octaves.
    Random random{seed};
    std::vector<float> out(samples);
    double b0 = 0, b1 = 0, b2 = 0, b3 = 0, b4 = 0, b5 = 0, b6 = 0;
    for (float& v : out) {
        const double white = random.next();
        b0 = 0.99886 * b0 + white * 0.0555179;
        b1 = 0.99332 * b1 + white * 0.0750759;
        b2 = 0.96900 * b2 + white * 0.1538520;
        b3 = 0.86650 * b3 + white * 0.3104856;
        b4 = 0.55000 * b4 + white * 0.5329522;
        b5 = -0.7616 * b5 - white * 0.0168980;
        v = static_cast<float>(b0 + b1 + b2 + b3 + b4 + b5 + b6 + white * 0.5362);
        b6 = white * 0.115926;
    }
    scaleToRms(out, 1.0);
    return out;
}

std::vector<float> makeHum(size_t samples, double rate, double mainsHz) {
    // Rectifiers and transformers: odd harmonics stronger than even ones.
    constexpr double kAmplitudes[] = {1.0, 0.3, 0.6, 0.15, 0.4, 0.1, 0.25, 0.08, 0.15, 0.05, 0.1};
    std::vector<float> out(samples);
    for (size_t i = 0; i < samples; ++i) {
        double v = 0;
        for (size_t k = 0; k < std::size(kAmplitudes); ++k) {
            const double h = static_cast<double>(k + 1);
            v += kAmplitudes[k] *
                 std::sin(2 * kPi * mainsHz * h * static_cast<double>(i) / rate + 0.7 * h);
        }
        out[i] = static_cast<float>(v);
    }
    scaleToRms(out, 1.0);
    return out;
}

std::vector<float> makeClicks(size_t samples, double rate, double perSecond, uint32_t seed) {
    Random random{seed};
    std::vector<float> out(samples, 0.0f);
    const auto length = static_cast<size_t>(0.004 * rate);
    const double decay = std::exp(-1.0 / (0.001 * rate));
    double at = 0;
    for (;;) {
        // Exponential intervals: clicks as independent keystrokes.
        at += -std::log(0.5 + 0.5 * random.next() + 1e-9) / perSecond * rate;
        const auto start = static_cast<size_t>(at);
        if (start + length >= samples) {
            break;
        }
        const double strength = 0.8 + 0.2 * random.next();
        double envelope = strength;
        for (size_t i = 0; i < length; ++i) {
            out[start + i] += static_cast<float>(envelope * random.next());
            envelope *= decay;
        }
    }
    const float p = peak(out);
    if (p > 0) {
        for (float& v : out) {
            v /= p;
        }
    }
    return out;
}

std::vector<float> makeRoomNoise(size_t samples, double rate, uint32_t seed) {
    std::vector<float> out = makePinkNoise(samples, seed);
    const std::vector<float> hum = makeHum(samples, rate);
    const std::vector<float> clicks = makeClicks(samples, rate, 3, seed + 4);
    const double humGain = std::pow(10.0, -8.0 / 20);
    const double clickGain = std::pow(10.0, 12.0 / 20);
    for (size_t i = 0; i < samples; ++i) {
        out[i] += static_cast<float>(humGain * hum[i] + clickGain * clicks[i]);
    }
    scaleToRms(out, 1.0);
    return out;
}

NoisyVoice makeNoisyVoice(double snrDb, double rate, double voicePeak, uint32_t seed) {
    struct Part {
        double seconds, f0, level, pause;
    };
    constexpr Part kParts[] = {{0.55, 110, 1.0, 0.45}, {0.45, 125, 0.8, 0.6},
                               {0.7, 140, 0.9, 0.4},   {0.5, 118, 0.7, 0.55},
                               {0.6, 132, 1.0, 0.5},   {0.65, 150, 0.85, 0.45},
                               {0.5, 105, 0.75, 0.6},  {0.6, 128, 0.95, 0.7}};
    constexpr double kLeadIn = 1.5;
    constexpr double kFade = 0.025;

    NoisyVoice scene;
    scene.rate = rate;
    // The parts twice, the second time 12% higher.
    constexpr double kRounds[] = {1.0, 1.12};
    double total = kLeadIn;
    for (const Part& p : kParts) {
        total += 2 * (p.seconds + p.pause);
    }
    const auto n = static_cast<size_t>(total * rate);
    scene.voice.assign(n, 0.0f);
    auto at = static_cast<size_t>(kLeadIn * rate);
    const auto fade = static_cast<size_t>(kFade * rate);
    for (size_t k = 0; k < 2 * std::size(kParts); ++k) {
        const Part& p = kParts[k % std::size(kParts)];
        const double f0 = p.f0 * kRounds[k / std::size(kParts)];
        const std::vector<float> v = makeVoice(f0, p.seconds, rate, voicePeak * p.level);
        for (size_t i = 0; i < v.size(); ++i) {
            const size_t edge = std::min(i, v.size() - 1 - i);
            const double gain =
                edge >= fade ? 1.0 : 0.5 - 0.5 * std::cos(kPi * static_cast<double>(edge) / fade);
            scene.voice[at + i] = static_cast<float>(v[i] * gain);
        }
        scene.syllables.push_back({{at, at + v.size()}, f0});
        const size_t pauseEnd = std::min(n, at + v.size() + static_cast<size_t>(p.pause * rate));
        scene.pauses.push_back({at + v.size(), pauseEnd});
        at = pauseEnd;
    }

    std::vector<Span> voiced;
    for (const Syllable& s : scene.syllables) {
        voiced.push_back(s.at);
    }
    const double voiceRms = spansRms(scene.voice, voiced, 0);
    scene.noise = makeRoomNoise(n, rate, seed);
    scaleToRms(scene.noise, voiceRms / std::pow(10.0, snrDb / 20));
    scene.mixed.resize(n);
    for (size_t i = 0; i < n; ++i) {
        scene.mixed[i] = scene.voice[i] + scene.noise[i];
    }
    return scene;
}

double pauseLevelDb(const NoisyVoice& scene, std::span<const float> out, size_t delay) {
    return levelDb(spansRms(out, pauseInteriors(scene), delay));
}

double voiceLevelDb(const NoisyVoice& scene, std::span<const float> out, size_t delay) {
    return levelDb(spansRms(out, syllableInteriors(scene, kSyllableGuard), delay));
}

double cleanVoiceLevelDb(const NoisyVoice& scene) {
    return voiceLevelDb(scene, scene.voice, 0);
}

double pitchErrorPercent(const NoisyVoice& scene, std::span<const float> out, size_t delay,
                         double factor) {
    return windowedPitchError(scene, out, delay, factor, kSyllableGuard);
}

PsolaPitchFigures psolaPitchFigures(const NoisyVoice& scene, std::span<const float> in,
                                    size_t delay, float pitchFactor, float formantFactor) {
    constexpr uint32_t kBlock = PsolaEffect::kBlockLength;
    PsolaEffect effect;
    effect.setInputFormat(static_cast<uint32_t>(scene.rate), 16, 2);
    effect.setParameter(0, Effect::kOn);
    effect.setParameter(formantFactor, 1);
    effect.setParameter(pitchFactor, 0);
    const std::vector<int16_t> stereo = toInterleaved16(in, 2);

    // One block a call: after each call the effect's period is that block's.
    std::vector<float> output;
    size_t wrong = 0;
    size_t count = 0;
    const auto margin = static_cast<size_t>(0.02 * scene.rate);
    const auto inside = [margin](Span s, size_t begin, size_t end) {
        return begin >= s.begin + margin && end + margin <= s.end;
    };
    std::vector<Span> quiet = scene.pauses;
    quiet.push_back({0, scene.syllables.front().at.begin}); // the lead-in
    for (size_t block = 0; (block + 1) * kBlock <= in.size(); ++block) {
        if (effect.process(stereo.data() + block * kBlock * 2, kBlock) != 0) {
            continue;
        }
        for (uint32_t i = 0; i < effect.outFrames(); ++i) {
            output.push_back(effect.outBuffer()[2 * i]);
        }
        // What the analysis saw, in the scene's time.
        const size_t seen = PsolaEffect::kAnalysisLength;
        if ((block + 1) * kBlock < seen + delay) {
            continue;
        }
        const size_t end = (block + 1) * kBlock - delay;
        const size_t begin = end - seen;
        const int32_t period = effect.lastPeriod();
        for (const Syllable& s : scene.syllables) {
            if (inside(s.at, begin, end)) {
                const double found = scene.rate / period;
                wrong += std::abs(found - s.f0) > 0.05 * s.f0 ? 1 : 0;
                ++count;
            }
        }
        for (const Span& s : quiet) {
            if (inside(s, begin, end)) {
                // Unvoiced: the effect falls back to its default period.
                wrong += period != PsolaEffect::periodFromFrequency(0) ? 1 : 0;
                ++count;
            }
        }
    }
    PsolaPitchFigures figures;
    figures.analysisErrorPercent =
        count == 0 ? 100.0 : 100.0 * static_cast<double>(wrong) / static_cast<double>(count);
    figures.outputErrorPercent = windowedPitchError(scene, output, delay + kPsolaLag, pitchFactor,
                                                    kSyllableGuard + kPsolaGuard);
    return figures;
}

} // namespace timbrelo::test
