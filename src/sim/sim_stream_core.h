#pragma once
// The life of one simulated stream, whatever its direction: a thread of its own that runs
// the stream's steps (a block captured, a period asked for) while the stream is started,
// either paced like a real device or as fast as its callbacks return, and that reports the
// stream's end when its device goes away.
//
// The stream's handle and its thread own the core jointly, so the handle may be destroyed
// from the stream's own callback: the thread then ends as soon as that callback returns,
// without calling back again.
//
// Threads: launch on the control thread that opens the stream; start on the control thread;
// stop and close on the control thread or the stream's own thread; lose and queuedFrames on
// any thread. Steps and end reports run on the stream's thread, one at a time, under the
// delivery lock that stop and close (from another thread) wait for.

#include "platform/audio_io/audio_result.h"
#include "platform/audio_io/stream_format.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace timbrelo {

// How a simulated device keeps time.
enum class Pacing {
    // Like a real device: capture hands over a block once its duration has passed since the
    // previous one (falling behind, it catches up); playback asks for the next period once
    // the previous one has played (falling behind, its clock starts again).
    RealTime,
    // Capture hands over the next block as soon as the callback returns; playback asks
    // again at once, except after a request that got nothing (it then idles one period, so
    // a starved stream does not spin).
    AsFastAsPossible,
};

class SimStreamCore : public std::enable_shared_from_this<SimStreamCore> {
  public:
    // Where in a step the clock waits: before it (a block is captured first) or after it (a
    // period is asked for ahead of playing).
    enum class WaitPoint { BeforeStep, AfterStep };

    SimStreamCore(const StreamFormat& format, uint32_t stepFrames, Pacing pacing,
                  WaitPoint waitPoint);
    virtual ~SimStreamCore();
    SimStreamCore(const SimStreamCore&) = delete;
    SimStreamCore& operator=(const SimStreamCore&) = delete;

    // Starts the stream's thread (stopped). Once, right after construction.
    void launch();
    // Starts the steps; the ending's result once the stream has ended (the loss's reason, or
    // NotOpen after a finite source ran out). Does nothing when already started.
    AudioResult start();
    // Stops the steps; returns once no step runs and none will until the next start. From
    // the stream's own thread it returns at once and the current step is the last.
    void stop();
    // The device went away: the stream stops and reports `why` on its own thread; later
    // starts fail with `why`. Nothing happens to a stream that has ended or is closing.
    void lose(AudioResult why);
    // Ends the thread for good, without calling back again: waits for it, or from the
    // stream's own thread leaves it to end when the current callback returns.
    void close();

    // Frames asked for and not yet played by the clock (real-time playback); 0 otherwise.
    uint32_t queuedFrames() const;

  protected:
    // One step: calls the stream's callbacks. Stream thread, while started, with the delivery
    // lock held. Returns false when it had nothing to move (a starved playback).
    virtual bool step() = 0;
    // Reports the loss of the device. Stream thread, with the delivery lock held.
    virtual void reportLoss(AudioResult why) = 0;

    // True while the current step may still call back: not stopped, lost or closed since
    // it began. Stream thread, inside step.
    bool stillRunning();
    // The stream ends by itself (its finite source ran out): it stops and later starts fail
    // with NotOpen. False when it has already ended (lost meanwhile): no end to report then.
    // Stream thread, inside step.
    bool endByItself();

    const StreamFormat format_;
    const uint32_t stepFrames_;

  private:
    using Clock = std::chrono::steady_clock;

    void run();
    Clock::duration stepsDuration(uint64_t steps) const;
    // When the next step is due; now or earlier means at once. Under mutex_.
    Clock::time_point dueTime() const;
    // Moves the clock on after a step. Under mutex_.
    void advanceClock(bool moved);
    void setQueuedUntil(Clock::time_point until);

    const Pacing pacing_;
    const WaitPoint waitPoint_;

    std::mutex mutex_;        // guards the flags and the clock below
    std::mutex deliverMutex_; // held while the thread calls back
    std::condition_variable cv_;
    bool running_ = false;
    bool ended_ = false;       // lost or ran out: later starts fail with endResult_
    bool lossPending_ = false; // the loss is still to be reported
    bool quit_ = false;        // closed
    AudioResult endResult_ = AudioResult::Ok;
    uint64_t generation_ = 0;     // changes at every start, stop, loss and end
    uint64_t stepGeneration_ = 0; // the generation the current step began in (stream thread)
    Clock::time_point clockStart_;
    uint64_t steps_ = 0;                    // steps since the clock started
    Clock::time_point idleUntil_;           // as fast as possible: after a step that moved nothing
    std::atomic<int64_t> queuedUntilNs_{0}; // when the frames asked for have played

    std::thread worker_;
    std::thread::id workerId_;
};

} // namespace timbrelo
