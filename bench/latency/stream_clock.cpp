#include "stream_clock.h"

#include <algorithm>
#include <cmath>

namespace timbrelo::bench {
namespace {

double percentileOf(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    const auto at = values.begin() +
                    static_cast<std::ptrdiff_t>(p / 100 * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), at, values.end());
    return *at;
}

// A mark per 1.5 s of frames: short against the wander of a server's clock, long enough to
// hold reads that came without delay (a read every 10 ms or so).
constexpr double kBlockSeconds = 1.5;
// The earliest reads of a block, not the single earliest: one odd point must not move it.
constexpr double kEarly = 2;
// Marks compared with a mark on either side, and how much later than they say it may be.
constexpr size_t kNeighbours = 2;
constexpr double kHeldBack = 0.003;

// Seconds per frame from mark to mark, the median over neighbouring marks (a step or a
// stretch held back moves only a few of them); `fallback` with fewer than two marks.
double typicalSlope(const std::vector<ClockPoint>& marks, double fallback) {
    std::vector<double> slopes;
    for (size_t i = 1; i < marks.size(); ++i) {
        slopes.push_back((marks[i].time - marks[i - 1].time) /
                         (marks[i].frame - marks[i - 1].frame));
    }
    return slopes.empty() ? fallback : percentileOf(slopes, 50);
}

} // namespace

StreamClock::StreamClock(const std::vector<ClockPoint>& points, double nominalRate) {
    secondsPerFrame_ = 1.0 / nominalRate;
    measuredRate_ = nominalRate;
    if (points.empty()) {
        marks_.push_back({0, 0});
        return;
    }
    const double origin = points.front().time - points.front().frame * secondsPerFrame_;
    const double blockFrames = nominalRate * kBlockSeconds;
    // How much later than the nominal clock each point came, block by block.
    std::vector<ClockPoint> marks;
    size_t i = 0;
    while (i < points.size()) {
        const auto block = static_cast<long>(points[i].frame / blockFrames);
        std::vector<double> late;
        double first = points[i].frame, last = points[i].frame;
        while (i < points.size() && static_cast<long>(points[i].frame / blockFrames) == block) {
            late.push_back(points[i].time - origin - points[i].frame * secondsPerFrame_);
            last = points[i].frame;
            ++i;
        }
        const double frame = (first + last) / 2;
        marks.push_back({frame, origin + frame * secondsPerFrame_ + percentileOf(late, kEarly)});
    }
    // A sink's monitor runs on a steady clock; a mark later than its neighbours say is a
    // stretch the server held the stream's data back and then handed it over in a burst
    // (PipeWire's pulse server does, now and then, for one stream of several): left out,
    // the clock runs straight across it. A lasting step (frames lost) moves the neighbours
    // too and stays.
    const double slope = typicalSlope(marks, secondsPerFrame_);
    std::vector<ClockPoint> kept;
    for (size_t i = 0; i < marks.size(); ++i) {
        std::vector<double> predicted;
        for (size_t j = i >= kNeighbours ? i - kNeighbours : 0;
             j < std::min(marks.size(), i + kNeighbours + 1); ++j) {
            if (j != i) {
                predicted.push_back(marks[j].time + slope * (marks[i].frame - marks[j].frame));
            }
        }
        if (predicted.empty() || marks[i].time - percentileOf(predicted, 50) <= kHeldBack) {
            kept.push_back(marks[i]);
        }
    }
    // Keep the marks strictly increasing (a stall can make two blocks' marks cross).
    for (const ClockPoint& m : kept) {
        if (marks_.empty() || (m.frame > marks_.back().frame && m.time > marks_.back().time)) {
            marks_.push_back(m);
        }
    }
    if (marks_.size() >= 2) {
        // The rate over the whole recording, from its second mark on (the first may hold a
        // stream's start-up).
        const ClockPoint& a = marks_[marks_.size() > 2 ? 1 : 0];
        const ClockPoint& b = marks_.back();
        measuredRate_ = (b.frame - a.frame) / (b.time - a.time);
    }
    std::vector<double> late;
    for (const ClockPoint& p : points) {
        late.push_back(p.time - timeOf(p.frame));
    }
    jitter_ = percentileOf(late, 50);
}

double StreamClock::timeOf(double frame) const {
    if (marks_.size() == 1) {
        return marks_[0].time + (frame - marks_[0].frame) * secondsPerFrame_;
    }
    // Straight between neighbouring marks; beyond the ends at the rate of the nearest pair.
    auto above = std::upper_bound(marks_.begin(), marks_.end(), frame,
                                  [](double f, const ClockPoint& m) { return f < m.frame; });
    if (above == marks_.begin()) {
        ++above;
    } else if (above == marks_.end()) {
        --above;
    }
    const ClockPoint& b = *above;
    const ClockPoint& a = *(above - 1);
    return a.time + (frame - a.frame) * (b.time - a.time) / (b.frame - a.frame);
}

double StreamClock::frameAt(double time) const {
    if (marks_.size() == 1) {
        return marks_[0].frame + (time - marks_[0].time) / secondsPerFrame_;
    }
    auto above = std::upper_bound(marks_.begin(), marks_.end(), time,
                                  [](double t, const ClockPoint& m) { return t < m.time; });
    if (above == marks_.begin()) {
        ++above;
    } else if (above == marks_.end()) {
        --above;
    }
    const ClockPoint& b = *above;
    const ClockPoint& a = *(above - 1);
    return a.frame + (time - a.time) * (b.frame - a.frame) / (b.time - a.time);
}

} // namespace timbrelo::bench
