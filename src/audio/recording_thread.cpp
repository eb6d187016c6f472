#include "audio/recording_thread.h"

#include <mutex>
#include <pthread.h>

namespace timbrelo {

RecordingThread::RecordingThread(size_t queueBytes, Handler& handler)
    : queue_(queueBytes), handler_(handler), thread_([this] { loop(); }) {}

RecordingThread::~RecordingThread() {
    run([this] { quit_ = true; });
    thread_.join();
}

bool RecordingThread::post(std::span<const int16_t> samples, RecordSource source) {
    if (!queue_.push(samples, source)) {
        return false;
    }
    wake();
    return true;
}

void RecordingThread::wake() {
    wakeups_.fetch_add(1, std::memory_order_release);
    // A system call only when the thread sleeps.
    wakeups_.notify_one();
}

void RecordingThread::run(const std::function<void()>& work) {
    std::lock_guard lock(runMutex_);
    const uint32_t before = completed_.load(std::memory_order_relaxed);
    Command command{&work, queue_.end()};
    pending_.store(&command, std::memory_order_release);
    wake();
    completed_.wait(before, std::memory_order_acquire);
}

void RecordingThread::loop() {
    ::pthread_setname_np(::pthread_self(), "recording");
    const auto handle = [this](std::span<const int16_t> samples, RecordSource source) {
        handler_.handle(samples, source);
    };
    for (;;) {
        const uint32_t seen = wakeups_.load(std::memory_order_acquire);
        if (Command* command = pending_.load(std::memory_order_acquire)) {
            while (queue_.popBefore(command->barrier, handle)) {
            }
            (*command->work)();
            const bool quit = quit_;
            pending_.store(nullptr, std::memory_order_relaxed);
            // The command lives on the caller's stack: not touched once it may return.
            completed_.fetch_add(1, std::memory_order_release);
            completed_.notify_all();
            if (quit) {
                return; // what is posted from now on is nobody's
            }
            continue;
        }
        if (queue_.popBefore(UINT64_MAX, handle)) {
            continue;
        }
        wakeups_.wait(seen, std::memory_order_acquire);
    }
}

} // namespace timbrelo
