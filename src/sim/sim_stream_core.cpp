#include "sim/sim_stream_core.h"

#include <algorithm>
#include <pthread.h>

namespace timbrelo {

SimStreamCore::SimStreamCore(const StreamFormat& format, uint32_t stepFrames, Pacing pacing,
                             WaitPoint waitPoint)
    : format_(format), stepFrames_(stepFrames), pacing_(pacing), waitPoint_(waitPoint) {}

SimStreamCore::~SimStreamCore() = default;

void SimStreamCore::launch() {
    // The thread waits for this lock, so it never sees workerId_ unset.
    std::lock_guard lock(mutex_);
    worker_ = std::thread([self = shared_from_this()] { self->run(); });
    workerId_ = worker_.get_id();
}

AudioResult SimStreamCore::start() {
    std::lock_guard lock(mutex_);
    if (ended_) {
        return endResult_;
    }
    if (!running_) {
        running_ = true;
        ++generation_;
        clockStart_ = Clock::now();
        steps_ = 0;
        idleUntil_ = {};
        cv_.notify_all();
    }
    return AudioResult::Ok;
}

void SimStreamCore::stop() {
    {
        std::lock_guard lock(mutex_);
        if (running_) {
            running_ = false;
            ++generation_;
            setQueuedUntil({});
            cv_.notify_all();
        }
    }
    if (std::this_thread::get_id() != workerId_) {
        // Waits for a callback in progress; the next step sees the new generation.
        std::lock_guard deliver(deliverMutex_);
    }
}

void SimStreamCore::lose(AudioResult why) {
    std::lock_guard lock(mutex_);
    if (ended_ || quit_) {
        return;
    }
    ended_ = true;
    lossPending_ = true;
    endResult_ = why;
    running_ = false;
    ++generation_;
    setQueuedUntil({});
    cv_.notify_all();
}

void SimStreamCore::close() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
        running_ = false;
        ++generation_;
        setQueuedUntil({});
        cv_.notify_all();
    }
    if (!worker_.joinable()) {
        return;
    }
    if (std::this_thread::get_id() == workerId_) {
        worker_.detach();
    } else {
        worker_.join();
    }
}

uint32_t SimStreamCore::queuedFrames() const {
    const int64_t until = queuedUntilNs_.load(std::memory_order_relaxed);
    const int64_t now =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
            .count();
    if (until <= now) {
        return 0;
    }
    const double frames = static_cast<double>(until - now) * format_.rate / 1e9;
    return static_cast<uint32_t>(std::min<double>(frames, stepFrames_));
}

bool SimStreamCore::stillRunning() {
    std::lock_guard lock(mutex_);
    return !quit_ && generation_ == stepGeneration_;
}

bool SimStreamCore::endByItself() {
    std::lock_guard lock(mutex_);
    if (ended_ || quit_) {
        return false;
    }
    ended_ = true;
    endResult_ = AudioResult::NotOpen;
    running_ = false;
    ++generation_;
    setQueuedUntil({});
    return true;
}

void SimStreamCore::run() {
    // Named like the audio thread it stands for (tests pick audio threads out by name).
    pthread_setname_np(pthread_self(), "sim-audio");
    std::unique_lock lock(mutex_);
    for (;;) {
        cv_.wait(lock, [&] { return quit_ || lossPending_ || running_; });
        if (quit_) {
            return;
        }
        if (lossPending_) {
            lossPending_ = false;
            const AudioResult why = endResult_;
            lock.unlock();
            {
                std::lock_guard deliver(deliverMutex_);
                bool closing;
                {
                    std::lock_guard check(mutex_);
                    closing = quit_;
                }
                if (!closing) {
                    reportLoss(why);
                }
            }
            lock.lock();
            continue;
        }
        const uint64_t generation = generation_;
        // Woken before the step is due by a stop, loss or close: look again.
        if (const Clock::time_point due = dueTime();
            due > Clock::now() &&
            cv_.wait_until(lock, due, [&] { return quit_ || generation_ != generation; })) {
            continue;
        }
        lock.unlock();
        bool current;
        bool moved = false;
        {
            std::lock_guard deliver(deliverMutex_);
            {
                std::lock_guard check(mutex_);
                current = !quit_ && generation_ == generation;
            }
            if (current) {
                stepGeneration_ = generation;
                moved = step();
            }
        }
        lock.lock();
        if (current && generation_ == generation) {
            advanceClock(moved);
        }
    }
}

SimStreamCore::Clock::duration SimStreamCore::stepsDuration(uint64_t steps) const {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(steps) * stepFrames_ / format_.rate));
}

SimStreamCore::Clock::time_point SimStreamCore::dueTime() const {
    if (pacing_ == Pacing::AsFastAsPossible) {
        return idleUntil_;
    }
    return clockStart_ + stepsDuration(steps_ + (waitPoint_ == WaitPoint::BeforeStep ? 1 : 0));
}

void SimStreamCore::advanceClock(bool moved) {
    const Clock::time_point now = Clock::now();
    ++steps_;
    if (pacing_ == Pacing::AsFastAsPossible) {
        idleUntil_ = moved ? Clock::time_point{} : now + stepsDuration(1);
        return;
    }
    if (waitPoint_ == WaitPoint::AfterStep) {
        Clock::time_point next = clockStart_ + stepsDuration(steps_);
        if (next < now) {
            // The period came too late: the device ran dry and plays from now on.
            clockStart_ = now;
            steps_ = 1;
            next = now + stepsDuration(1);
        }
        setQueuedUntil(next);
    }
}

void SimStreamCore::setQueuedUntil(Clock::time_point until) {
    const int64_t ns =
        until == Clock::time_point{}
            ? 0
            : std::chrono::duration_cast<std::chrono::nanoseconds>(until.time_since_epoch())
                  .count();
    queuedUntilNs_.store(ns, std::memory_order_relaxed);
}

} // namespace timbrelo
