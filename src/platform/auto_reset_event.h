#pragma once
// An event that wakes one waiter per signal and then resets itself, like the kernel's
// auto-reset events: a signal given while nobody waits is kept until the next wait.

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace timbrelo {

class AutoResetEvent {
  public:
    void set() {
        {
            std::lock_guard lock(mutex_);
            signalled_ = true;
        }
        cv_.notify_one();
    }

    void reset() {
        std::lock_guard lock(mutex_);
        signalled_ = false;
    }

    // True when signalled within the timeout; the signal is consumed.
    bool wait(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        if (!cv_.wait_for(lock, timeout, [this] { return signalled_; })) {
            return false;
        }
        signalled_ = false;
        return true;
    }

    void wait() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return signalled_; });
        signalled_ = false;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

} // namespace timbrelo
