#pragma once
// The clock of one recorded stream: when each of its frames became available to a program
// recording it (seconds on the monotonic clock). Built from timing points taken as data
// arrived (frames read so far, and the time of the read): a server posts a source's data in
// blocks, and a read can only come late, never early, so the earliest arrivals of each
// stretch of about a second and a half mark the stream's clock. Between those marks the clock
// runs straight; the marks follow a stream whose rate is a few hundred ppm off the wall clock
// and any lasting step (frames lost in an overflow), but not a stretch whose data the server
// held back for this stream alone.

#include <cstdint>
#include <vector>

namespace timbrelo::bench {

struct ClockPoint {
    double frame; // frames read so far
    double time;  // seconds: when they had arrived
};

class StreamClock {
  public:
    StreamClock() = default;
    // `nominalRate` is the stream's sample rate; the points are in the order they were taken.
    // Without points the clock runs at the nominal rate from 0.
    StreamClock(const std::vector<ClockPoint>& points, double nominalRate);

    // The moment of a (fractional) frame.
    double timeOf(double frame) const;
    // The (fractional) frame at a moment.
    double frameAt(double time) const;
    // Frames per second of this stream measured against the monotonic clock.
    double measuredRate() const { return measuredRate_; }
    // How late reads came after the clock (median, seconds): the probe's own scheduling.
    double jitter() const { return jitter_; }

  private:
    double secondsPerFrame_ = 1.0;
    double measuredRate_ = 1.0;
    std::vector<ClockPoint> marks_; // sorted by frame and time
    double jitter_ = 0;
};

} // namespace timbrelo::bench
