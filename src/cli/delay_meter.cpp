#include "cli/delay_meter.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace timbrelo::cli {

void DelayMeter::add(Envelope& e, const int16_t* stereo, uint32_t frames) {
    for (uint32_t i = 0; i < frames && e.hops.size() < kMaxHops; ++i) {
        const double m = (stereo[2 * i] + stereo[2 * i + 1]) * 0.5;
        e.sum += m * m;
        if (++e.count == kHopFrames) {
            e.hops.push_back(static_cast<float>(std::sqrt(e.sum / kHopFrames)));
            e.sum = 0;
            e.count = 0;
        }
    }
}

void DelayMeter::addOutput(const int16_t* stereo, uint32_t frames, uint64_t inputCaptured) {
    add(output_, stereo, frames);
    deliveries_.push_back(
        {static_cast<int64_t>(inputCaptured) - static_cast<int64_t>(outputFrames_), frames});
    outputFrames_ += frames;
}

namespace {

// A moving average over about 20 ms: syllables stay, the beating of music under the voice
// and the roughness of pitch-shifted grains go.
std::vector<float> smoothed(const std::vector<float>& x) {
    constexpr size_t kWidth = 21;
    std::vector<float> out(x.size(), 0.0f);
    double sum = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        sum += x[i];
        if (i >= kWidth) {
            sum -= x[i - kWidth];
        }
        out[i] = static_cast<float>(sum / static_cast<double>(std::min(i + 1, kWidth)));
    }
    return out;
}

} // namespace

bool DelayMeter::contentLag(double& frames) const {
    const std::vector<float> a = smoothed(input_.hops);
    const std::vector<float> b = smoothed(output_.hops);
    if (a.size() < 8 || b.size() < 8) {
        return false;
    }
    const double meanA = std::accumulate(a.begin(), a.end(), 0.0) / static_cast<double>(a.size());
    const double meanB = std::accumulate(b.begin(), b.end(), 0.0) / static_cast<double>(b.size());
    auto score = [&](int lag) {
        double ab = 0, aa = 0, bb = 0;
        for (size_t i = 0; i < a.size(); ++i) {
            const long j = static_cast<long>(i) + lag;
            if (j < 0 || j >= static_cast<long>(b.size())) {
                continue;
            }
            const double x = a[i] - meanA;
            const double y = b[j] - meanB;
            ab += x * y;
            aa += x * x;
            bb += y * y;
        }
        return (aa > 0 && bb > 0) ? ab / std::sqrt(aa * bb) : 0.0;
    };
    double best = 0;
    int bestLag = 0;
    for (int lag = kMinLagHops; lag <= kMaxLagHops; ++lag) {
        const double s = score(lag);
        if (s > best) {
            best = s;
            bestLag = lag;
        }
    }
    if (best < 0.3) {
        return false;
    }
    // Refine between hops with a parabola through the peak and its neighbours.
    const double l = score(bestLag - 1), c = best, r = score(bestLag + 1);
    const double denom = l - 2 * c + r;
    const double shift = denom < 0 ? 0.5 * (l - r) / denom : 0.0;
    frames = (bestLag + shift) * kHopFrames;
    return true;
}

double DelayMeter::delayMs(double rate) const {
    double lag = 0;
    if (deliveries_.empty() || !contentLag(lag)) {
        return -1;
    }
    // The median over output samples of (input captured at delivery - output position):
    // within a block the holding falls by one frame per sample.
    std::vector<std::pair<double, uint32_t>> spans; // (mid holding of the block, frames)
    uint64_t total = 0;
    for (const Delivery& d : deliveries_) {
        spans.emplace_back(static_cast<double>(d.holding) - (d.frames - 1) / 2.0, d.frames);
        total += d.frames;
    }
    std::sort(spans.begin(), spans.end());
    uint64_t seen = 0;
    double holding = spans.back().first;
    for (const auto& [h, n] : spans) {
        seen += n;
        if (seen * 2 >= total) {
            holding = h;
            break;
        }
    }
    return (holding + lag) * 1000.0 / rate;
}

} // namespace timbrelo::cli
