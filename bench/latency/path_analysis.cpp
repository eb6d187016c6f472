#include "path_analysis.h"

#include <algorithm>
#include <iterator>

namespace timbrelo::bench {
namespace {

constexpr double kFullScale = 32768.0;
constexpr double kBin = 0.001;    // loudness bins of 1 ms
constexpr size_t kSmoothBins = 9; // smooths away the pitch periods, keeps syllable edges

// Mean |sample| per 1 ms of a stream's own frames (fraction of full scale).
struct Loudness {
    double binFrames = 1;
    std::vector<float> raw;
    std::vector<float> smooth;
    std::vector<uint8_t> sound; // 0 in and next to silence: left out when lining up
};

Loudness loudnessOf(const Recording& r, double silence) {
    Loudness l;
    l.binFrames = r.rate * kBin;
    const auto bins = static_cast<size_t>(static_cast<double>(r.samples.size()) / l.binFrames);
    l.raw.resize(bins);
    for (size_t j = 0; j < bins; ++j) {
        const auto from = static_cast<size_t>(std::lround(static_cast<double>(j) * l.binFrames));
        const auto to =
            std::min(r.samples.size(),
                     static_cast<size_t>(std::lround(static_cast<double>(j + 1) * l.binFrames)));
        double sum = 0;
        for (size_t i = from; i < to; ++i) {
            sum += std::abs(static_cast<double>(r.samples[i]));
        }
        l.raw[j] = static_cast<float>(sum / std::max<size_t>(1, to - from) / kFullScale);
    }
    // Centred moving average (shorter at the ends).
    std::vector<double> prefix(bins + 1, 0.0);
    for (size_t j = 0; j < bins; ++j) {
        prefix[j + 1] = prefix[j] + l.raw[j];
    }
    l.smooth.resize(bins);
    const size_t half = kSmoothBins / 2;
    for (size_t j = 0; j < bins; ++j) {
        const size_t from = j >= half ? j - half : 0;
        const size_t to = std::min(bins, j + half + 1);
        l.smooth[j] =
            static_cast<float>((prefix[to] - prefix[from]) / static_cast<double>(to - from));
    }
    // A gap in the output would spoil the correlation of a whole window: its bins, and those
    // its silence leaks into through the smoothing, do not take part.
    l.sound.assign(bins, 1);
    for (size_t j = 0; j < bins; ++j) {
        if (l.raw[j] <= silence) {
            for (size_t k = j >= half ? j - half : 0; k < std::min(bins, j + half + 1); ++k) {
                l.sound[k] = 0;
            }
        }
    }
    return l;
}

// A stream: its samples, clock and loudness together.
struct Stream {
    const Recording& rec;
    StreamClock clock;
    Loudness loud;

    Stream(const Recording& r, double silence)
        : rec(r), clock(r.timing, r.rate), loud(loudnessOf(r, silence)) {}
    double binTime(double bin) const { return clock.timeOf((bin + 0.5) * loud.binFrames); }
    double binAt(double time) const { return clock.frameAt(time) / loud.binFrames - 0.5; }
    size_t bins() const { return loud.raw.size(); }
};

double parabolicOffset(double left, double centre, double right) {
    const double denominator = left - 2 * centre + right;
    return denominator < 0 ? std::clamp(0.5 * (left - right) / denominator, -0.5, 0.5) : 0.0;
}

struct Match {
    double delay = NAN;
    double match = -1;
};

// Lines up the loudness of the reference window [refBin, refBin + width) with the output
// over delays lo..hi (seconds), trying only output windows from `firstOutBin` on (before it
// the output was silent, and the edge of its first sound could pass for a match).
Match matchLoudness(const Stream& ref, const Stream& out, size_t refBin, size_t width, double lo,
                    double hi, size_t firstOutBin) {
    const double refTime = ref.binTime(static_cast<double>(refBin));
    const long first = std::lround(out.binAt(refTime + lo));
    const long lags = static_cast<long>((hi - lo) / kBin) + 1;
    const float* a = ref.loud.smooth.data() + refBin;
    const std::vector<float>& b = out.loud.smooth;
    const std::vector<uint8_t>& sound = out.loud.sound;
    std::vector<double> r(static_cast<size_t>(std::max(0L, lags)), -2.0);
    for (long k = 0; k < lags; ++k) {
        const long start = first + k;
        if (start < static_cast<long>(firstOutBin) ||
            static_cast<size_t>(start) + width > b.size()) {
            continue;
        }
        // Pearson's correlation over the bins where the output has sound.
        double n = 0, sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
        for (size_t i = 0; i < width; ++i) {
            const auto at = static_cast<size_t>(start) + i;
            if (sound[at] != 0) {
                const double x = a[i], y = b[at];
                n += 1;
                sa += x;
                sb += y;
                saa += x * x;
                sbb += y * y;
                sab += x * y;
            }
        }
        if (n < static_cast<double>(width) / 3) {
            continue; // mostly gap: nothing to go by
        }
        const double va = saa - sa * sa / n, vb = sbb - sb * sb / n;
        if (va > 0 && vb > 0) {
            r[static_cast<size_t>(k)] = (sab - sa * sb / n) / std::sqrt(va * vb);
        }
    }
    const auto best = static_cast<size_t>(std::max_element(r.begin(), r.end()) - r.begin());
    if (r.empty() || r[best] < -1) {
        return {NAN, -2}; // nothing to compare with
    }
    double fraction = 0;
    if (best > 0 && best + 1 < r.size() && r[best - 1] > -2 && r[best + 1] > -2) {
        fraction = parabolicOffset(r[best - 1], r[best], r[best + 1]);
    }
    const double outBin = static_cast<double>(first) + static_cast<double>(best) + fraction;
    return {out.binTime(outBin) - refTime, r[best]};
}

// Refines a delay by the waveform around the reference moment `time`: the output is searched
// 4 ms either side of `delay`. A reference at another rate is first brought to the output's
// (PipeWire hands out sources at its own rate): smoothed over the step when it is the faster
// one, then read between its samples. Returns the exact delay, or NaN where the waveforms
// differ.
Match matchWaveform(const Stream& ref, const Stream& out, double time, double delay) {
    const double step = ref.rec.rate / out.rec.rate; // reference frames per output frame
    const auto half = static_cast<long>(0.015 * out.rec.rate);
    const auto reach = static_cast<long>(0.004 * out.rec.rate);
    const double refCentre = std::round(ref.clock.frameAt(time));
    const long outCentre = std::lround(out.clock.frameAt(time + delay));
    const auto& x = ref.rec.samples;
    const auto& y = out.rec.samples;
    const auto box = static_cast<long>(std::max(1.0, std::round(step)));
    const double first = refCentre - static_cast<double>(half) * step - static_cast<double>(box);
    const double last = refCentre + static_cast<double>(half) * step + static_cast<double>(box);
    if (first < 0 || last + 1 >= static_cast<double>(x.size()) || outCentre - half - reach < 0 ||
        outCentre + half + reach > static_cast<long>(y.size())) {
        return {};
    }
    auto smoothed = [&](long at) {
        double sum = 0;
        for (long k = 0; k < box; ++k) {
            sum += x[static_cast<size_t>(at - box / 2 + k)];
        }
        return sum / static_cast<double>(box);
    };
    std::vector<double> a(static_cast<size_t>(2 * half));
    double mean = 0;
    for (long i = -half; i < half; ++i) {
        const double position = refCentre + static_cast<double>(i) * step;
        const auto below = static_cast<long>(std::floor(position));
        const double weight = position - static_cast<double>(below);
        const double v = smoothed(below) * (1 - weight) + smoothed(below + 1) * weight;
        a[static_cast<size_t>(i + half)] = v;
        mean += v;
    }
    mean /= static_cast<double>(a.size());
    double saa = 0;
    for (double& v : a) {
        v -= mean;
        saa += v * v;
    }
    if (saa <= 0) {
        return {};
    }
    const auto n = static_cast<double>(a.size());
    std::vector<double> r(static_cast<size_t>(2 * reach + 1));
    for (long m = -reach; m <= reach; ++m) {
        double sy = 0, syy = 0, say = 0;
        for (long i = -half; i < half; ++i) {
            const double v = y[static_cast<size_t>(outCentre + m + i)];
            sy += v;
            syy += v * v;
            say += a[static_cast<size_t>(i + half)] * v;
        }
        const double variance = syy - sy * sy / n;
        r[static_cast<size_t>(m + reach)] = variance > 0 ? say / std::sqrt(saa * variance) : 0;
    }
    const auto best = static_cast<size_t>(std::max_element(r.begin(), r.end()) - r.begin());
    if (best == 0 || best + 1 == r.size()) {
        return {}; // the peak lies outside the searched span
    }
    const double fraction = parabolicOffset(r[best - 1], r[best], r[best + 1]);
    const double outFrame =
        static_cast<double>(outCentre) + static_cast<double>(best) - reach + fraction;
    return {out.clock.timeOf(outFrame) - ref.clock.timeOf(refCentre), r[best]};
}

double median(std::vector<double> v) {
    return percentile(std::move(v), 50);
}

// Reference bins with voice, and the spells of sound they form.
struct VoiceMap {
    std::vector<bool> voiced;                      // per reference bin
    std::vector<bool> expected;                    // voiced, and away from any pause inside a spell
    std::vector<std::pair<size_t, size_t>> spells; // [first, end) bins
};

VoiceMap mapVoice(const Stream& ref, const PathOptions& o) {
    VoiceMap map;
    const size_t bins = ref.bins();
    map.voiced.resize(bins);
    for (size_t j = 0; j < bins; ++j) {
        map.voiced[j] = ref.loud.smooth[j] > o.voice;
    }
    const auto idleBins = static_cast<size_t>(o.idle / kBin);
    size_t j = 0;
    while (j < bins) {
        while (j < bins && !map.voiced[j]) {
            ++j;
        }
        if (j == bins) {
            break;
        }
        const size_t first = j;
        size_t last = j; // last voiced bin of the spell
        while (j < bins && j - last <= idleBins) {
            if (map.voiced[j]) {
                last = j;
            }
            ++j;
        }
        map.spells.emplace_back(first, last + 1);
        j = last + 1;
    }
    // A pause inside a spell (the probe's own player ran dry) is no voice the output owes;
    // nor is anything within the spread of the delay around it.
    map.expected = map.voiced;
    const size_t edge = 30;
    for (const auto& [first, end] : map.spells) {
        for (size_t k = first; k < end; ++k) {
            if (!map.voiced[k]) {
                for (size_t m = std::max(first, k > edge ? k - edge : 0);
                     m < std::min(end, k + edge + 1); ++m) {
                    map.expected[m] = false;
                }
            }
        }
    }
    return map;
}

// The delay at reference moment `time`: the nearest measurement, or the median.
double delayNear(const std::vector<DelayPoint>& delays, double time, double fallback) {
    if (delays.empty()) {
        return fallback;
    }
    const auto at = std::lower_bound(delays.begin(), delays.end(), time,
                                     [](const DelayPoint& p, double t) { return p.time < t; });
    if (at == delays.end()) {
        return delays.back().delay;
    }
    if (at == delays.begin()) {
        return at->delay;
    }
    return (at->time - time < time - (at - 1)->time) ? at->delay : (at - 1)->delay;
}

// Steps in the delay: each one compared across one window, so that a step spread over the
// overlapping windows around it is seen whole.
void findSteps(const std::vector<DelayPoint>& delays, const PathOptions& o, PathReport& report) {
    if (delays.size() < 3) {
        return;
    }
    // Median of three: one wild measurement is not a step.
    std::vector<double> smooth(delays.size());
    for (size_t i = 0; i < delays.size(); ++i) {
        if (i == 0 || i + 1 == delays.size()) {
            smooth[i] = delays[i].delay;
        } else {
            double v[3] = {delays[i - 1].delay, delays[i].delay, delays[i + 1].delay};
            std::sort(v, v + 3);
            smooth[i] = v[1];
        }
    }
    const double span = o.window + o.hop / 2;
    double extreme = 0; // the largest step of the running event (signed)
    size_t j = 0;
    for (size_t i = 0; i < delays.size(); ++i) {
        while (j < delays.size() && delays[j].time < delays[i].time + o.window - o.hop / 2) {
            ++j;
        }
        double step = 0;
        if (j < delays.size() && delays[j].time - delays[i].time <= span + o.hop) {
            step = smooth[j] - smooth[i];
        }
        // An event lasts while the step stays beyond half the threshold on the same side.
        if (extreme != 0 && (step * extreme <= 0 || std::abs(step) < o.jump / 2)) {
            (extreme < 0 ? report.skips : report.inserts) += 1;
            (extreme < 0 ? report.skippedSeconds : report.insertedSeconds) += std::abs(extreme);
            extreme = 0;
        }
        if (std::abs(step) >= o.jump && std::abs(step) > std::abs(extreme)) {
            extreme = step;
        }
    }
    if (extreme != 0) {
        (extreme < 0 ? report.skips : report.inserts) += 1;
        (extreme < 0 ? report.skippedSeconds : report.insertedSeconds) += std::abs(extreme);
    }
}

} // namespace

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return NAN;
    }
    std::sort(values.begin(), values.end());
    const double position = p / 100 * static_cast<double>(values.size() - 1);
    const auto below = static_cast<size_t>(position);
    if (below + 1 >= values.size()) {
        return values.back();
    }
    const double weight = position - static_cast<double>(below);
    return values[below] * (1 - weight) + values[below + 1] * weight;
}

PathReport analysePath(const Recording& reference, const Recording& output, const PathOptions& o) {
    PathReport report;
    if (reference.samples.empty() || output.samples.empty() || reference.rate <= 0 ||
        output.rate <= 0) {
        report.problem = reference.samples.empty() ? "nothing recorded from the reference"
                                                   : "nothing recorded from the output";
        return report;
    }
    const Stream ref(reference, o.silence);
    const Stream out(output, o.silence);
    report.clockPpm =
        ((out.clock.measuredRate() / output.rate) / (ref.clock.measuredRate() / reference.rate) -
         1) *
        1e6;
    report.jitter = std::max(ref.clock.jitter(), out.clock.jitter());
    const VoiceMap voice = mapVoice(ref, o);
    if (voice.spells.empty()) {
        report.problem = "no voice in the reference";
        return report;
    }

    // The output's first voice.
    size_t firstOutBin = out.bins();
    for (size_t j = 0; j < out.bins(); ++j) {
        if (out.loud.raw[j] > o.voice) {
            firstOutBin = j;
            break;
        }
    }
    if (firstOutBin == out.bins()) {
        report.problem = "no voice reached the output";
        return report;
    }
    const double firstOutTime = out.binTime(static_cast<double>(firstOutBin));
    report.firstVoice = firstOutTime - output.connectTime;

    // Delay, window by window, over the reference's voice, searched near the last delays
    // found. Locking on (at the start, after an idle stretch of the reference, and after a
    // run of windows that match nowhere near) searches every delay, over longer stretches.
    const auto width = static_cast<size_t>(o.window / kBin);
    const auto hop = static_cast<size_t>(o.hop / kBin);
    const auto anchorWidth = static_cast<size_t>(o.anchor / kBin);
    auto voicedFrom = [&](size_t bin, size_t count) {
        size_t voiced = 0;
        for (size_t k = bin; k < bin + count; ++k) {
            voiced += voice.voiced[k];
        }
        return voiced >= count * 9 / 10;
    };
    // The median of up to `count` long stretches from `bin` on; NaN when none matched.
    auto lockOn = [&](size_t bin, int count) {
        std::vector<double> found;
        for (int i = 0; i < count && bin + anchorWidth <= ref.bins(); ++i, bin += anchorWidth) {
            if (!voicedFrom(bin, anchorWidth)) {
                break;
            }
            const Match m =
                matchLoudness(ref, out, bin, anchorWidth, -0.05, o.maxDelay, firstOutBin);
            if (m.match >= o.minMatch) {
                found.push_back(m.delay);
            }
        }
        return median(found);
    };
    std::vector<double> recent;
    int misses = 0;
    double lastVoiced = -1e9;
    for (size_t bin = 0; bin + width <= ref.bins(); bin += hop) {
        if (!voicedFrom(bin, width)) {
            continue;
        }
        const double time = ref.binTime(static_cast<double>(bin));
        const double middle = ref.binTime(static_cast<double>(bin + width / 2));
        if (time < firstOutTime) {
            continue; // voice the output could not have had yet at any delay
        }
        if (time - lastVoiced > o.idle || misses >= 5) {
            recent.clear();
        }
        lastVoiced = time;
        if (recent.empty()) {
            misses = 0;
            // At the very start seven stretches, so that one odd match cannot lead astray.
            const double lock = lockOn(bin, report.windows == 0 ? 7 : 3);
            if (std::isnan(lock)) {
                ++report.windows;
                continue;
            }
            recent.push_back(lock);
        }
        const double centre = median(recent);
        Match m =
            matchLoudness(ref, out, bin, width, centre - o.track, centre + o.track, firstOutBin);
        if (std::isnan(m.delay) && m.match < -1) {
            continue; // no output to compare with at any delay searched
        }
        ++report.windows;
        if (!(m.match >= o.minMatch)) {
            ++misses;
            continue;
        }
        misses = 0;
        bool exact = false;
        if (o.sampleExact) {
            const Match fine = matchWaveform(ref, out, middle, m.delay);
            if (fine.match >= 0.9) {
                m = fine;
                exact = true;
                ++report.exact;
            }
        }
        report.delays.push_back({middle, m.delay, m.match, exact});
        recent.push_back(m.delay);
        if (recent.size() > 5) {
            recent.erase(recent.begin());
        }
    }
    if (report.delays.empty()) {
        report.problem = "the output does not match the reference anywhere";
        return report;
    }
    std::vector<double> values;
    for (const DelayPoint& p : report.delays) {
        values.push_back(p.delay);
    }
    report.median = percentile(values, 50);
    report.p5 = percentile(values, 5);
    report.p95 = percentile(values, 95);
    report.min = percentile(values, 0);
    report.max = percentile(values, 100);
    // A path that does not absorb the drift between two clocks gains or loses delay steadily.
    const double from = report.delays.front().time, span = report.delays.back().time - from;
    std::vector<double> early, late;
    for (const DelayPoint& p : report.delays) {
        if (p.time <= from + span / 5) {
            early.push_back(p.delay);
        }
        if (p.time >= from + span * 4 / 5) {
            late.push_back(p.delay);
        }
    }
    report.early = median(early);
    report.late = median(late);
    // Steps are told from the noise of the measurement only where the waveform matched: a
    // changed voice lines up by its loudness to a few ms, which is no better than the steps.
    std::vector<DelayPoint> exact;
    std::copy_if(report.delays.begin(), report.delays.end(), std::back_inserter(exact),
                 [](const DelayPoint& p) { return p.exact; });
    if (exact.size() * 2 >= report.delays.size()) {
        findSteps(exact, o, report);
    } else {
        report.skips = report.inserts = -1;
        report.skippedSeconds = report.insertedSeconds = NAN;
    }

    // Each spell of the reference as it came out: from the output's first sound of it to
    // the end of the spell plus the delay. Spells that began while the output was being
    // recorded tell how late their first sound came and whether its beginning was cut off.
    struct Span {
        double outFrom, outTo, refFrom, refTo;
    };
    std::vector<Span> spans;
    for (const auto& [first, end] : voice.spells) {
        // The smoothed loudness rises a few bins early; the onset is the first loud bin.
        size_t onsetBin = first > kSmoothBins ? first - kSmoothBins : 0;
        while (onsetBin < end && ref.loud.raw[onsetBin] <= o.voice) {
            ++onsetBin;
        }
        const double onset = ref.binTime(static_cast<double>(onsetBin));
        const double finish = ref.binTime(static_cast<double>(end));
        std::vector<double> body;
        for (const DelayPoint& p : report.delays) {
            if (p.time >= onset + 0.3 && p.time <= onset + 1.5) {
                body.push_back(p.delay);
            }
        }
        SpellStart spell{onset, median(body), NAN, NAN, false};
        const double expected = std::isnan(spell.delay) ? report.median : spell.delay;
        // A spell that began before the output did comes out with the output's first voice.
        const double earliest = std::max(onset, firstOutTime);
        const double from = out.binAt(earliest);
        const double to = out.binAt(std::max(onset + expected, earliest) + 0.5);
        for (auto j = static_cast<size_t>(std::max(0.0, std::ceil(from)));
             j < out.bins() && static_cast<double>(j) < to; ++j) {
            if (out.loud.raw[j] > o.voice) {
                spell.heard = true;
                spell.onset = out.binTime(static_cast<double>(j)) - onset;
                spell.lost = spell.onset - expected;
                break;
            }
        }
        if (spell.heard) {
            const double outFrom = onset + spell.onset;
            const double outTo = finish + delayNear(report.delays, finish, report.median) - 0.03;
            if (outTo > outFrom) {
                spans.push_back({outFrom, outTo, onset, finish});
            }
        }
        if (onset >= output.connectTime + 0.3 && finish >= onset + 1.5) {
            report.spells.push_back(spell);
        }
    }

    // Gaps: runs of silence in the output within a span. Where the delay maps a moment to
    // the spell's start or before, the spell's first sound has come out already and its
    // voice runs on; elsewhere the reference must have had voice at the matching moment.
    const double outEnd = out.clock.timeOf(static_cast<double>(output.samples.size()));
    auto spanAt = [&](double t) -> const Span* {
        for (const Span& s : spans) {
            if (t >= s.outFrom && t < s.outTo) {
                return &s;
            }
        }
        return nullptr;
    };
    auto dueAt = [&](double outTime) {
        const Span* span = spanAt(outTime);
        if (span == nullptr) {
            return false;
        }
        const double refTime =
            outTime - delayNear(report.delays, outTime - report.median, report.median);
        if (refTime < span->refFrom) {
            return true;
        }
        const double bin = ref.binAt(refTime);
        return bin >= 0 && bin < static_cast<double>(ref.bins()) &&
               voice.expected[static_cast<size_t>(bin)];
    };
    for (const Span& span : spans) {
        report.expectedSeconds += std::max(0.0, std::min(span.outTo, outEnd) - span.outFrom);
    }
    const double quiet = o.silence * kFullScale;
    const auto minRun = static_cast<size_t>(o.gapLength * output.rate);
    const auto firstSample =
        static_cast<size_t>(static_cast<double>(firstOutBin) * out.loud.binFrames);
    const auto& y = output.samples;
    for (size_t i = firstSample; i < y.size();) {
        if (std::abs(y[i]) > quiet) {
            ++i;
            continue;
        }
        const size_t start = i;
        while (i < y.size() && std::abs(y[i]) <= quiet) {
            ++i;
        }
        if (i - start < minRun || i == y.size()) {
            continue; // too short, or the recording ended in it
        }
        // Count the silence 1 ms at a time where voice was due.
        double missing = 0;
        double firstMissing = NAN;
        const double step = output.rate * kBin;
        for (double f = static_cast<double>(start); f < static_cast<double>(i); f += step) {
            const double t = out.clock.timeOf(f);
            if (dueAt(t)) {
                missing += std::min(kBin, (static_cast<double>(i) - f) / output.rate);
                if (std::isnan(firstMissing)) {
                    firstMissing = t;
                }
            }
        }
        if (missing >= o.gapLength - 1e-9) {
            report.gaps.push_back({firstMissing, missing});
            report.gapSeconds += missing;
        }
    }
    return report;
}

} // namespace timbrelo::bench
