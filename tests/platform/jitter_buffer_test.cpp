// The jitter buffer between a bursty producer and a steady consumer, driven on a simulated
// clock: each frame of the producer carries its own index, so every test can tell exactly
// which frames came out, in which order, and how late.

#include "platform/audio_io/jitter_buffer.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <utility>
#include <vector>

using namespace timbrelo;

namespace {

constexpr uint32_t kRate = 22050;

// Frame n carries n in its left sample (mod 2^15) and its inverse in its right one; frame
// numbers start at 1, so a zero frame is always silence.
void fillFrames(std::vector<int16_t>& block, uint64_t first, uint32_t frames) {
    block.resize(size_t{frames} * 2);
    for (uint32_t i = 0; i < frames; ++i) {
        const auto n = static_cast<int16_t>(((first + i) % 32767) + 1);
        block[2 * i] = n;
        block[2 * i + 1] = static_cast<int16_t>(-n);
    }
}

struct Outcome {
    std::vector<int16_t> left; // the left sample of every frame played
    uint64_t framesPlayed = 0;
    uint32_t maxFill = 0;
    uint32_t fillAtEnd = 0;
    std::vector<uint32_t> fills; // before each request
};

// Runs `seconds` of simulated time. The producer delivers `sizes[k % sizes.size()]` frames
// every `interval` of its clock (which runs `ppm` fast); the consumer asks for `period`
// frames every period of the reference clock, except that before request k it may stall for
// `consumerStall(k)` periods and then ask for all it missed at once, as a sound server does
// (late bursts come right after it).
Outcome simulate(JitterBuffer& buffer, double seconds, std::vector<uint32_t> sizes,
                 uint32_t interval, uint32_t period, double ppm = 0,
                 const std::function<bool(uint64_t)>& producerLate = {},
                 const std::function<uint32_t(uint64_t)>& consumerStall = {}) {
    Outcome out;
    const double producerStep = interval / (1.0 + ppm * 1e-6); // in reference frames
    double nextPush = interval;
    uint64_t produced = 0;
    uint64_t pushes = 0;
    uint32_t owed = 0; // frames of late bursts
    std::vector<int16_t> block;
    std::vector<int16_t> request;
    uint64_t requests = 0;
    uint32_t stalledFor = 0; // periods the consumer has missed
    const auto total = static_cast<uint64_t>(seconds * kRate);
    for (uint64_t t = period; t <= total; t += period) {
        while (nextPush <= static_cast<double>(t)) {
            // A late burst comes with the next one.
            owed += sizes[pushes % sizes.size()];
            if (!producerLate || !producerLate(pushes)) {
                fillFrames(block, produced, owed);
                buffer.push(block);
                produced += owed;
                owed = 0;
            }
            ++pushes;
            nextPush += producerStep;
        }
        if (consumerStall && stalledFor < consumerStall(requests)) {
            ++stalledFor;
            continue;
        }
        const bool stalled = stalledFor > 0;
        const uint32_t frames = period * (1 + std::exchange(stalledFor, 0));
        request.resize(size_t{frames} * 2);
        out.fills.push_back(buffer.fillFrames());
        out.maxFill = std::max(out.maxFill, out.fills.back());
        buffer.pull(request);
        for (uint32_t i = 0; i < frames; ++i) {
            out.left.push_back(request[2 * i]);
        }
        out.framesPlayed += frames;
        ++requests;
        if (stalled && owed > 0) {
            // Back from a stall of the server they share: the producer's late bursts come just
            // after the consumer's catch-up.
            fillFrames(block, produced, owed);
            buffer.push(block);
            produced += std::exchange(owed, 0);
        }
    }
    out.fillAtEnd = buffer.fillFrames();
    return out;
}

JitterBuffer::Config config(uint32_t margin = 66) {
    JitterBuffer::Config c;
    c.format = {kRate, 2};
    c.capacityFrames = kRate;
    c.marginFrames = margin;
    return c;
}

// Frames between the first non-silent frame and the end that are silence.
uint64_t silentFramesAfterStart(const Outcome& out) {
    size_t first = 0;
    while (first < out.left.size() && out.left[first] == 0) {
        ++first;
    }
    uint64_t silent = 0;
    for (size_t i = first; i < out.left.size(); ++i) {
        silent += out.left[i] == 0;
    }
    return silent;
}

// How many frames were dropped or repeated: steps other than +1 in the played sequence.
struct Continuity {
    uint64_t skips = 0;
    uint64_t repeats = 0;
    uint64_t other = 0;
};
Continuity continuity(const Outcome& out) {
    Continuity c;
    int prev = 0;
    for (int16_t v : out.left) {
        if (v == 0) {
            continue;
        }
        if (prev != 0) {
            const int step = (v - prev + 32767) % 32767;
            if (step == 2) {
                ++c.skips;
            } else if (step == 0) {
                ++c.repeats;
            } else if (step != 1) {
                ++c.other;
            }
        }
        prev = v;
    }
    return c;
}

} // namespace

TEST(JitterBufferTest, PrimesForTheBurstThenPlaysEveryFrameInOrderAtAConstantDelay) {
    // Capture blocks of 512 every 512 frames, requests of 128: the plain voice.
    JitterBuffer buffer(config());
    buffer.beginStream(512);
    const Outcome out = simulate(buffer, 30.0, {512}, 512, 128);

    // Nothing plays before the buffer holds a burst and the margin.
    size_t first = 0;
    while (out.left[first] == 0) {
        ++first;
    }
    EXPECT_GE(first, 512u + 66u) << "played before primed";
    const Continuity c = continuity(out);
    EXPECT_EQ(silentFramesAfterStart(out), 0u);
    EXPECT_EQ(c.skips + c.repeats + c.other, 0u) << "same clock: nothing dropped or repeated";
    EXPECT_EQ(buffer.stats().underruns, 0u);
    // The delay does not creep: the buffer never holds more than a burst and a request above
    // the margin, and the margin it keeps stays the configured one.
    EXPECT_LE(out.maxFill, 512u + 2 * 128u + 66u);
    EXPECT_EQ(buffer.marginFrames(), 66u);
}

TEST(JitterBufferTest, PsolaBlocksArrivingEveryOneOrTwoCaptureBlocksNeverRunDry) {
    // 882-frame blocks made from 512-frame captures: bursts at irregular intervals. Output
    // lags the input by up to a block and a capture block, which is the burst to prime for.
    JitterBuffer buffer(config());
    buffer.beginStream(882 + 512);
    // Push every 512 frames: 882 when a whole block has gathered, else nothing (size 0).
    std::vector<uint32_t> pattern;
    uint32_t gathered = 0;
    for (int k = 0; k < 441; ++k) { // 441 x 512 = 256 x 882: the pattern repeats
        gathered += 512;
        uint32_t out = 0;
        while (gathered >= 882) {
            gathered -= 882;
            out += 882;
        }
        pattern.push_back(out);
    }
    const Outcome out = simulate(buffer, 60.0, pattern, 512, 128);
    EXPECT_EQ(silentFramesAfterStart(out), 0u);
    EXPECT_EQ(buffer.stats().underruns, 0u);
    EXPECT_EQ(continuity(out).other, 0u);
}

TEST(JitterBufferTest, ClockDriftIsAbsorbedByLoneFramesWithoutGapsOrGrowingDelay) {
    for (double ppm : {-600.0, 600.0}) {
        SCOPED_TRACE(ppm);
        JitterBuffer buffer(config());
        buffer.beginStream(512);
        // Ten minutes at 600 ppm is 360 ms of difference: without correction the buffer
        // would run dry (slow producer) or hold a third of a second more (fast producer).
        const Outcome out = simulate(buffer, 600.0, {512}, 512, 128, ppm);
        EXPECT_EQ(silentFramesAfterStart(out), 0u);
        EXPECT_EQ(buffer.stats().underruns, 0u);
        EXPECT_LE(out.maxFill, 512u + 2 * 128u + 3 * 66u) << "the delay grew";
        const Continuity c = continuity(out);
        EXPECT_EQ(c.other, 0u) << "only single frames may go or come twice";
        // The net correction is the clocks' difference; back and forth is kept small.
        const double net = static_cast<double>(c.skips) - static_cast<double>(c.repeats);
        const double expected = 600.0 * ppm * 1e-6 * kRate;
        EXPECT_NEAR(net, expected, std::abs(expected) * 0.1 + 100);
        EXPECT_LE(static_cast<double>(c.skips + c.repeats), 1.5 * std::abs(expected) + 200);
        EXPECT_EQ(buffer.stats().droppedFrames, c.skips);
        EXPECT_EQ(buffer.stats().repeatedFrames, c.repeats);
    }
}

TEST(JitterBufferTest, ALateBurstOrAServerCatchUpRaisesTheLevelUntilACalmSpellGivesItBack) {
    JitterBuffer::Config c = config();
    c.calmWindows = 5;
    // Burst 200 comes late by one block (it and the next arrive together). Or a server
    // stall, twice: the consumer misses six requests before requests 800 and 3000 and then
    // asks for all seven at once, and the producer (fed by the same server) is late too.
    const std::function<bool(uint64_t)> lateOnce = [](uint64_t k) { return k == 200; };
    const std::function<bool(uint64_t)> lateInStalls = [](uint64_t k) {
        return k == 200 || k == 751 || k == 752; // the bursts due in the stalls
    };
    const std::function<uint32_t(uint64_t)> stallTwice = [](uint64_t k) {
        return k == 800 || k == 3000 ? 6u : 0u;
    };
    const uint32_t steadyTarget = 66 + 128;
    for (const bool serverStall : {false, true}) {
        SCOPED_TRACE(serverStall ? "server catch-up" : "late burst");
        const auto late = serverStall ? lateInStalls : lateOnce;
        const auto stall = serverStall ? stallTwice : std::function<uint32_t(uint64_t)>{};
        uint64_t underruns = 0;
        {
            JitterBuffer buffer(c);
            buffer.beginStream(512);
            simulate(buffer, 20.0, {512}, 512, 128, 0, late, stall);
            const JitterBuffer::Stats s = buffer.stats();
            underruns = s.underruns;
            if (serverStall) {
                // The first catch-up finds too little, and is held in hand from then on: the
                // second is covered, and the margin needs no growing for it.
                EXPECT_EQ(s.underruns, 1u);
                EXPECT_GE(buffer.targetFrames(), 66u + 7 * 128u);
                EXPECT_EQ(buffer.marginFrames(), 66u);
            } else {
                EXPECT_EQ(s.underruns, 1u);
                EXPECT_GE(s.underrunFrames, 512u - 66u - 128u); // a burst less what was in hand
                EXPECT_GT(buffer.marginFrames(), 66u);
            }
            EXPECT_LE(buffer.marginFrames(),
                      static_cast<uint32_t>(JitterBuffer::kMaxMarginMs * 22.05));
        }
        // The same run, long enough for the calm spell and the way back down: then the
        // buffer holds what it held before.
        JitterBuffer buffer(c);
        buffer.beginStream(512);
        const Outcome out = simulate(buffer, 70.0, {512}, 512, 128, 0, late, stall);
        EXPECT_EQ(buffer.stats().underruns, underruns) << "giving the delay back caused a gap";
        EXPECT_EQ(buffer.marginFrames(), 66u);
        EXPECT_EQ(buffer.targetFrames(), steadyTarget);
        EXPECT_EQ(continuity(out).other, 0u) << "only single frames may go";
        // The most held over two seconds (from the requests' times), before the stall and at
        // the end.
        const auto mostHeld = [&](double from) {
            const auto first = out.fills.begin() + static_cast<ptrdiff_t>(from * kRate / 128);
            return *std::max_element(first, first + static_cast<ptrdiff_t>(2 * kRate / 128));
        };
        EXPECT_LE(mostHeld(66), mostHeld(2) + 66) << "the delay stayed up";
    }
}

TEST(JitterBufferTest, StreamsBeginAndEndCleanly) {
    JitterBuffer buffer(config());
    std::vector<int16_t> block;
    std::vector<int16_t> request(2 * 128);

    // Stale audio from before a stream begins is dropped.
    fillFrames(block, 1000, 300);
    buffer.push(block);
    buffer.beginStream(256);
    fillFrames(block, 0, 400);
    buffer.push(block);
    // An ended stream plays what it holds, then silence, and nothing counts as an underrun.
    buffer.endStream();
    std::vector<int16_t> played;
    for (int i = 0; i < 10; ++i) {
        buffer.pull(request);
        for (size_t f = 0; f < 128; ++f) {
            if (request[2 * f] != 0) {
                played.push_back(request[2 * f]);
            }
        }
    }
    ASSERT_EQ(played.size(), 400u);
    EXPECT_EQ(played.front(), 1) << "the new stream's first frame, not the stale one";
    EXPECT_EQ(buffer.stats().underruns, 0u);

    // A push that does not fit is cut and counted.
    JitterBuffer small([] {
        JitterBuffer::Config c = config();
        c.capacityFrames = 1000;
        return c;
    }());
    fillFrames(block, 0, 1500);
    EXPECT_EQ(small.push(block), 1000u);
    EXPECT_EQ(small.stats().overflowFrames, 500u);
}

TEST(JitterBufferTest, AProducerThatFallsSilentStartsItsNextSoundPrimedWhenIdleIsSet) {
    JitterBuffer::Config c = config();
    c.growMarginOnUnderrun = false;
    c.idleFrames = 2205;
    JitterBuffer buffer(c);
    buffer.beginStream(256);
    std::vector<int16_t> block;
    std::vector<int16_t> request(2 * 128);
    fillFrames(block, 0, 1024);
    buffer.push(block);
    for (int i = 0; i < 40; ++i) { // plays out, then 100 ms of nothing
        buffer.pull(request);
    }
    EXPECT_EQ(buffer.marginFrames(), 66u) << "falling silent is no stall";
    // The next sound starts afresh: silence ahead of it, then all of it without a gap.
    fillFrames(block, 5000, 256);
    buffer.push(block);
    std::vector<int16_t> played;
    for (int i = 0; i < 6; ++i) {
        buffer.pull(request);
        for (size_t f = 0; f < 128; ++f) {
            played.push_back(request[2 * f]);
        }
    }
    EXPECT_EQ(played.front(), 0) << "primed: silence ahead of the sound";
    const auto start = std::find(played.begin(), played.end(), 5001);
    ASSERT_NE(start, played.end());
    for (int f = 0; f < 256; ++f) {
        EXPECT_EQ(start[f], 5001 + f);
    }
}
