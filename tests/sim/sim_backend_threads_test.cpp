// The simulated streams' threading and timing, which the pipeline's tests rely on without
// checking: every frame in order, the end of a finite source, real-time pacing, stop and
// destruction from inside a callback, losing the devices mid-callback, injected failures.

#include "sim/sim_audio_backend.h"
#include "sim/sim_virtual_device.h"
#include "support/process.h"

#include <functional>
#include <gtest/gtest.h>
#include <set>
#include <thread>

using namespace timbrelo;
using namespace timbrelo::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr StreamFormat kStereo = kPipelineFormat;
constexpr uint32_t kBlock = 441; // 20 ms

std::vector<int16_t> ramp(size_t samples, size_t from = 0) {
    std::vector<int16_t> out(samples);
    for (size_t i = 0; i < samples; ++i) {
        out[i] = static_cast<int16_t>((from + i) % 30011 - 15000);
    }
    return out;
}

// What a stream calls back, when and on which thread. `inside` runs within each data
// callback (numbered from 1), after it has been recorded.
struct Calls {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<int16_t> samples;
    std::vector<uint32_t> blocks;
    std::vector<Clock::time_point> times;
    std::set<std::thread::id> threads;
    std::vector<AudioResult> ends;
    bool callAfterEnd = false;
    std::function<void(size_t call)> inside;

    void record(std::span<const int16_t> s, AudioResult* end) {
        size_t call = 0;
        {
            std::lock_guard lock(mutex);
            threads.insert(std::this_thread::get_id());
            if (end != nullptr) {
                ends.push_back(*end);
            } else {
                callAfterEnd |= !ends.empty();
                samples.insert(samples.end(), s.begin(), s.end());
                blocks.push_back(static_cast<uint32_t>(s.size() / 2));
                times.push_back(Clock::now());
                call = blocks.size();
            }
        }
        cv.notify_all();
        if (call != 0 && inside) {
            inside(call);
        }
    }
    size_t count() { return std::lock_guard(mutex), blocks.size(); }
    size_t endCount() { return std::lock_guard(mutex), ends.size(); }
    bool waitFor(size_t calls, size_t endings = 0) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, 5s,
                           [&] { return blocks.size() >= calls && ends.size() >= endings; });
    }
    // Nothing more arrives for a while.
    bool staysAt(size_t n) {
        std::this_thread::sleep_for(60ms);
        return count() == n;
    }
};

struct Sink : CaptureSink, Calls {
    void onCaptured(std::span<const int16_t> s) override { record(s, nullptr); }
    void onCaptureEnded(AudioResult why) override { record({}, &why); }
};

// Gives `give` frames of a ramp per request (the whole period when 0), none after `limit`.
struct Source : PlaybackSource, Calls {
    uint32_t give = 0;
    size_t limit = SIZE_MAX;
    size_t position = 0;
    uint32_t onPlaybackRequest(std::span<int16_t> s) override {
        const auto n = count() >= limit ? 0
                       : give == 0      ? static_cast<uint32_t>(s.size() / 2)
                                        : give;
        const std::vector<int16_t> r = ramp(size_t{n} * 2, position);
        std::copy(r.begin(), r.end(), s.begin());
        position += r.size();
        record(std::span<const int16_t>(s).first(r.size()), nullptr);
        return n;
    }
    void onPlaybackEnded(AudioResult why) override { record({}, &why); }
};

class SimStreams : public ::testing::Test {
  protected:
    SimAudioBackend backend;
    const uint32_t mic =
        backend.addInputDevice("Mic", std::make_shared<ToneSource>(440, 0.5, 0), Pacing::RealTime);
    const uint32_t fastMic =
        backend.addInputDevice("Fast", std::make_shared<ToneSource>(440, 0.5, 0));
    const uint32_t speakers = backend.addOutputDevice("Speakers");
    const uint32_t fastSpeakers =
        backend.addOutputDevice("Fast", Pacing::AsFastAsPossible, 5 * kBlock);

    std::unique_ptr<CaptureStream> capture(uint32_t device, Sink& sink, uint32_t block = kBlock) {
        std::unique_ptr<CaptureStream> stream;
        EXPECT_EQ(backend.openCapture(device, kStereo, block, sink, stream), AudioResult::Ok);
        return stream;
    }
    std::unique_ptr<PlaybackStream> playback(uint32_t device, Source& source) {
        std::unique_ptr<PlaybackStream> stream;
        EXPECT_EQ(backend.openPlayback(device, kStereo, kBlock, source, stream), AudioResult::Ok);
        return stream;
    }
};

TEST_F(SimStreams, CaptureDeliversEveryFrameInOrderThenThePartialBlockThenTheEndOnEveryOpen) {
    for (const size_t frames : {size_t{10 * 512 + 100}, size_t{4 * 512}}) {
        const std::vector<int16_t> input = ramp(frames * 2);
        const uint32_t memory =
            backend.addInputDevice("Memory", std::make_shared<MemorySource>(input, kStereo));
        for (int open = 0; open < 2; ++open) {
            SCOPED_TRACE(testing::Message() << frames << " frames, open " << open);
            Sink sink;
            std::atomic<int> handled{0};
            backend.setEndOfInputHandler([&](uint32_t device) {
                EXPECT_EQ(device, memory);
                EXPECT_EQ(sink.endCount(), 1u) << "the sink hears of the end first";
                ++handled;
            });
            auto stream = capture(memory, sink, 512);
            EXPECT_FALSE(backend.inputEnded(memory));
            ASSERT_EQ(stream->start(), AudioResult::Ok);
            ASSERT_TRUE(sink.waitFor(0, 1));
            EXPECT_TRUE(eventually([&] { return handled.load() != 0; }, 1s));
            EXPECT_EQ(handled.load(), 1);
            EXPECT_TRUE(backend.inputEnded(memory));

            std::lock_guard lock(sink.mutex);
            EXPECT_EQ(sink.samples, input);
            std::vector<uint32_t> blocks(frames / 512, 512);
            if (frames % 512 != 0) {
                blocks.push_back(frames % 512);
            }
            EXPECT_EQ(sink.blocks, blocks);
            EXPECT_EQ(sink.ends, std::vector<AudioResult>{AudioResult::Ok});
            EXPECT_FALSE(sink.callAfterEnd);
            ASSERT_EQ(sink.threads.size(), 1u);
            EXPECT_NE(*sink.threads.begin(), std::this_thread::get_id());
            EXPECT_EQ(stream->start(), AudioResult::NotOpen);
        }
    }
}

TEST_F(SimStreams, RealTimeDevicesKeepTheClockOfTheirBlocksAndPeriods) {
    Sink sink;
    Source source;
    auto in = capture(mic, sink);
    auto out = playback(speakers, source);
    const auto start = Clock::now();
    ASSERT_EQ(in->start(), AudioResult::Ok);
    ASSERT_EQ(out->start(), AudioResult::Ok);
    uint32_t mostQueued = 0;
    while (Clock::now() - start < 500ms) {
        mostQueued = std::max(mostQueued, out->queuedFrames());
        std::this_thread::sleep_for(3ms);
    }
    in->stop();
    out->stop();
    EXPECT_EQ(out->queuedFrames(), 0u);
    EXPECT_GT(mostQueued, 0u);
    EXPECT_LE(mostQueued, kBlock);
    // Every period asked for is played, but one whose callback the stop overlapped.
    EXPECT_LE(source.count() * kBlock - backend.playedFrames(speakers), kBlock);

    // Never early (a block once recorded, a period once the last has played), and late only
    // by the scheduler's delay.
    for (Calls* calls : std::initializer_list<Calls*>{&sink, &source}) {
        const int lead = calls == &sink ? 1 : 0;
        std::lock_guard lock(calls->mutex);
        ASSERT_GE(calls->times.size(), 20u);
        EXPECT_LE(calls->times.size(), 27u);
        for (size_t k = 0; k < calls->times.size(); ++k) {
            const auto late = calls->times[k] - (start + 20ms * (static_cast<int>(k) + lead));
            EXPECT_GE(late, -2ms) << "step " << k;
            EXPECT_LT(late, 150ms) << "step " << k;
        }
    }
}

TEST_F(SimStreams, StopWaitsForTheCallbackInProgressAndStartGoesOnWhereItStopped) {
    const std::vector<int16_t> input = ramp(20 * 256 * 2);
    const uint32_t memory =
        backend.addInputDevice("Memory", std::make_shared<MemorySource>(input, kStereo));
    Sink sink;
    std::atomic<bool> entered{false}, returned{false};
    sink.inside = [&](size_t call) {
        if (call == 3) {
            entered = true;
            std::this_thread::sleep_for(100ms);
            returned = true;
        }
    };
    auto stream = capture(memory, sink, 256);
    ASSERT_EQ(stream->start(), AudioResult::Ok);
    ASSERT_TRUE(eventually([&] { return entered.load(); }));
    EXPECT_EQ(stream->stop(), AudioResult::Ok);
    EXPECT_TRUE(returned.load());
    EXPECT_TRUE(sink.staysAt(3));

    ASSERT_EQ(stream->start(), AudioResult::Ok);
    ASSERT_TRUE(sink.waitFor(0, 1));
    std::lock_guard lock(sink.mutex);
    EXPECT_EQ(sink.samples, input);
}

TEST_F(SimStreams, StopAndDestructionFromInsideTheirOwnCallbacksEndTheCallbacks) {
    Sink sink;
    Source source;
    std::unique_ptr<CaptureStream> in = capture(fastMic, sink);
    std::unique_ptr<PlaybackStream> out = playback(fastSpeakers, source);
    std::atomic<int> destroyed{0};
    auto selfStopping = [&](auto& stream) {
        return [&](size_t call) {
            if (call == 3) {
                EXPECT_EQ(stream->stop(), AudioResult::Ok);
            } else if (call == 6) {
                stream.reset();
                ++destroyed;
            }
        };
    };
    sink.inside = selfStopping(in);
    source.inside = selfStopping(out);
    ASSERT_EQ(in->start(), AudioResult::Ok);
    ASSERT_EQ(out->start(), AudioResult::Ok);
    ASSERT_TRUE(sink.waitFor(3) && source.waitFor(3));
    EXPECT_TRUE(sink.staysAt(3));
    EXPECT_TRUE(source.staysAt(3));
    // The period whose callback stopped the stream is not played.
    EXPECT_EQ(backend.playedFrames(fastSpeakers), 2u * kBlock);

    ASSERT_EQ(in->start(), AudioResult::Ok);
    ASSERT_EQ(out->start(), AudioResult::Ok);
    EXPECT_TRUE(eventually([&] { return destroyed.load() == 2; }));
    EXPECT_TRUE(sink.staysAt(6));
    EXPECT_TRUE(source.staysAt(6));
    EXPECT_EQ(backend.openInputCount() + backend.openOutputCount(), 0);
    EXPECT_EQ(sink.endCount() + source.endCount(), 0u);
}

TEST_F(SimStreams, LosingTheDevicesEndsEveryStreamOnItsOwnThreadAfterTheCallbackInProgress) {
    Sink running, stopped;
    Source playing;
    std::atomic<bool> entered{false}, returned{false};
    running.inside = [&](size_t call) {
        if (call == 2) {
            entered = true;
            std::this_thread::sleep_for(100ms);
            returned = true;
        }
    };
    auto a = capture(mic, running);
    auto b = capture(fastMic, stopped);
    auto c = playback(speakers, playing);
    ASSERT_EQ(a->start(), AudioResult::Ok);
    ASSERT_EQ(c->start(), AudioResult::Ok);
    ASSERT_TRUE(eventually([&] { return entered.load(); }));
    backend.loseDevices(AudioResult::DeviceGone);
    for (Calls* calls : std::initializer_list<Calls*>{&running, &stopped, &playing}) {
        ASSERT_TRUE(calls->waitFor(0, 1));
        EXPECT_TRUE(returned.load());
        EXPECT_TRUE(calls->staysAt(calls->count()));
        std::lock_guard lock(calls->mutex);
        EXPECT_EQ(calls->ends, std::vector<AudioResult>{AudioResult::DeviceGone});
        EXPECT_FALSE(calls->callAfterEnd);
        EXPECT_EQ(calls->threads.size(), 1u) << "all calls on the stream's own thread";
        EXPECT_EQ(calls->threads.count(std::this_thread::get_id()), 0u);
    }
    EXPECT_EQ(running.count(), 2u);
    EXPECT_EQ(a->start(), AudioResult::DeviceGone);
    EXPECT_EQ(b->start(), AudioResult::DeviceGone);
    EXPECT_EQ(c->start(), AudioResult::DeviceGone);
    EXPECT_EQ(a->stop(), AudioResult::Ok);
    EXPECT_EQ(backend.openInputCount(), 2);
    a.reset();

    // A stream opened afterwards works, and may lose the devices from its own callback.
    Sink fresh;
    fresh.inside = [&](size_t call) {
        if (call == 2) {
            backend.loseDevices(AudioResult::NotRunning);
        }
    };
    auto d = capture(mic, fresh);
    ASSERT_EQ(d->start(), AudioResult::Ok);
    ASSERT_TRUE(fresh.waitFor(0, 1));
    d.reset();
    EXPECT_EQ(fresh.blocks.size(), 2u);
    EXPECT_EQ(fresh.ends, std::vector<AudioResult>{AudioResult::NotRunning});
}

TEST_F(SimStreams, InjectedStartAndStopFailuresLeaveTheStreamAsItWas) {
    Sink sink;
    Source source;
    std::unique_ptr<CaptureStream> in = capture(mic, sink);
    std::unique_ptr<PlaybackStream> out = playback(speakers, source);
    auto check = [&](Calls& calls, auto& stream, SimOp startOp, SimOp stopOp) {
        backend.injectFailure(startOp, AudioResult::NotRunning, 2);
        EXPECT_EQ(stream->start(), AudioResult::NotRunning);
        EXPECT_EQ(stream->start(), AudioResult::NotRunning);
        EXPECT_TRUE(calls.staysAt(0));
        ASSERT_EQ(stream->start(), AudioResult::Ok);
        ASSERT_TRUE(calls.waitFor(2));
        backend.injectFailure(stopOp, AudioResult::Error);
        EXPECT_EQ(stream->stop(), AudioResult::Error);
        EXPECT_TRUE(calls.waitFor(calls.count() + 2)) << "a failed stop stops nothing";
        EXPECT_EQ(stream->stop(), AudioResult::Ok);
        EXPECT_TRUE(calls.staysAt(calls.count()));
    };
    check(sink, in, SimOp::CaptureStart, SimOp::CaptureStop);
    check(source, out, SimOp::PlaybackStart, SimOp::PlaybackStop);
}

TEST_F(SimStreams, PlaybackKeepsWhatItPlayedWithSilenceForShortFillsAndIdlesWhenStarved) {
    Source source;
    source.give = 300;
    source.limit = 8;
    auto stream = playback(fastSpeakers, source);
    ASSERT_EQ(stream->start(), AudioResult::Ok);
    ASSERT_TRUE(backend.waitForPlayed(fastSpeakers, 8 * kBlock, 5s));
    EXPECT_FALSE(backend.waitForPlayed(fastSpeakers, UINT64_MAX, 10ms));
    // Starved, the stream asks about once a period instead of spinning.
    const size_t starved = source.count();
    std::this_thread::sleep_for(200ms);
    EXPECT_LE(source.count() - starved, 15u);
    stream.reset();
    EXPECT_LE(source.count() * kBlock - backend.playedFrames(fastSpeakers), kBlock);

    std::vector<int16_t> expected; // the device keeps five periods
    for (size_t k = 0; k < 5; ++k) {
        const std::vector<int16_t> filled = ramp(2 * 300, k * 2 * 300);
        expected.insert(expected.end(), filled.begin(), filled.end());
        expected.resize(expected.size() + 2 * (kBlock - 300), 0);
    }
    EXPECT_EQ(backend.played(fastSpeakers), expected);
}

TEST(SimVirtualDevice, ReadRenderWaitsForAudioAndInterruptWakesItAtOnce) {
    SimVirtualDevice device;
    for (const bool feed : {true, false}) {
        std::atomic<uint32_t> got{99};
        std::jthread reader([&] {
            std::vector<int16_t> samples(2 * 100);
            got = device.readRender(samples, 5s);
        });
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(got.load(), 99u) << "still waiting";
        const auto woken = Clock::now();
        if (feed) {
            device.feedRender(ramp(2 * 40));
        } else {
            device.interruptRender();
        }
        reader.join();
        EXPECT_LT(Clock::now() - woken, 1s);
        EXPECT_EQ(got.load(), feed ? 40u : 0u);
    }
}

} // namespace
