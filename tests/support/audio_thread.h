#pragma once
// A stand-in for the capture thread: calls one step (a buffer through an effect, say) over and
// over on a thread of its own while the test's thread plays the user interface.

#include <atomic>
#include <functional>
#include <thread>

namespace timbrelo::test {

class AudioThread {
  public:
    explicit AudioThread(std::function<void()> step)
        : thread_([this, step = std::move(step)](std::stop_token stop) {
              while (!stop.stop_requested()) {
                  step();
                  calls_.fetch_add(1);
              }
          }) {}
    ~AudioThread() { stop(); }
    AudioThread(const AudioThread&) = delete;
    AudioThread& operator=(const AudioThread&) = delete;

    // Returns once `n` more steps have run.
    void waitSteps(int n) const {
        for (const int seen = calls_.load(); calls_.load() < seen + n;) {
            std::this_thread::yield();
        }
    }
    int steps() const { return calls_.load(); }
    // Ends the thread after its current step; the step is not called again.
    void stop() {
        thread_.request_stop();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

  private:
    std::atomic<int> calls_{0}; // before the thread, which counts into it
    std::jthread thread_;
};

} // namespace timbrelo::test
