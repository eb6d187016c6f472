#pragma once
// What a listener gets from an audio path, found by comparing two recordings made at the
// same time: the reference (what went in, e.g. the microphone) and the output (what came
// out, e.g. the virtual microphone). The recordings are lined up by the shape of their
// loudness, which survives pitch and formant changes, and where the output is an unchanged
// copy, sample by sample. Each recording keeps its own clock (StreamClock), so two streams
// whose sample clocks drift apart are still compared moment by moment.

#include "stream_clock.h"

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace timbrelo::bench {

// One recorded stream, mixed down to one channel.
struct Recording {
    double rate = 0;
    std::vector<int16_t> samples;
    std::vector<ClockPoint> timing; // see StreamClock
    double connectTime = 0;         // when the stream was asked for (monotonic seconds)
    int overflows = 0;              // times the server dropped data we did not read in time
    uint64_t holeFrames = 0;        // frames the server reported as missing
};

struct PathOptions {
    double window = 0.5;      // seconds of loudness compared at a time
    double hop = 0.1;         // seconds between two delay measurements
    double anchor = 2.0;      // seconds of loudness compared when locking on
    double maxDelay = 3.0;    // longest delay searched for when locking on
    double track = 0.15;      // once locked on: seconds searched either side of the last delays
    double minMatch = 0.6;    // correlation of the loudness needed to accept a measurement
    double gapLength = 0.005; // silence in the output at least this long is a gap
    double silence = 0.0003;  // |sample| below this (fraction of full scale) is silence
    double voice = 0.002;     // mean |sample| over 9 ms above this is voice
    double jump = 0.005;      // a step in the delay this large is skipped or inserted audio
    double idle = 1.0;        // a pause this long in the reference ends a spell of sound
    bool sampleExact = true;  // refine by the waveform where it matches
};

struct DelayPoint {
    double time;  // reference moment (middle of the compared window)
    double delay; // seconds
    double match; // correlation of the loudness (or of the waveform, when exact)
    bool exact;   // refined by the waveform
};

struct Gap {
    double time;    // output moment where it starts
    double seconds; // how much of the voice was missing
};

// The first sound of a spell (after an idle stretch of the reference).
struct SpellStart {
    double time;  // reference moment of the onset
    double delay; // delay of the spell's first 0.3..1.5 s (NaN when not measured)
    double onset; // from the onset in the reference to the first sound in the output
    double lost;  // onset - delay: the beginning cut off (below 0: held up after it began)
    bool heard;   // false: nothing came out within half a second of the expected moment
};

struct PathReport {
    std::vector<DelayPoint> delays;
    size_t windows = 0; // windows with voice in the reference
    size_t exact = 0;
    double median = NAN, p5 = NAN, p95 = NAN, min = NAN, max = NAN;
    double early = NAN, late = NAN; // median delay of the first and the last fifth of the run
    std::vector<Gap> gaps;
    double gapSeconds = 0;
    double expectedSeconds = 0; // output time during which voice was due (lost_pct's base)
    // Steps of the delay, counted where the output is a copy of the reference (else -1 and
    // NaN): down, audio was left out; up, something was put in (silence, repeats).
    int skips = 0;
    double skippedSeconds = 0;
    int inserts = 0;
    double insertedSeconds = 0;
    double firstVoice = NAN; // seconds from the output stream's start to its first voice
    std::vector<SpellStart> spells;
    double clockPpm = 0; // how much faster the output's clock runs than the reference's
    double jitter = 0;   // how late the probe's reads came (s, the larger of the two)
    std::string problem; // why nothing could be measured
};

PathReport analysePath(const Recording& reference, const Recording& output,
                       const PathOptions& options = {});

// The p-th percentile (0..100) of the values; NaN when there are none.
double percentile(std::vector<double> values, double p);

} // namespace timbrelo::bench
