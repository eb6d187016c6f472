#pragma once
// The thread that does the recording writer's work, strictly in the order it arrives: blocks
// queued by the audio threads, and work handed over by the control thread. It sleeps while
// there is nothing to do.

#include "audio/block_queue.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <thread>

namespace timbrelo {

class RecordingThread {
  public:
    // What the thread does with each block.
    class Handler {
      public:
        virtual void handle(std::span<const int16_t> samples, RecordSource source) = 0;

      protected:
        ~Handler() = default;
    };

    // Allocates a queue of `queueBytes` and starts the thread, which hands every block to
    // `handler` (it must outlive this object). Control thread.
    RecordingThread(size_t queueBytes, Handler& handler);
    // Handles every block posted before the call, then ends the thread. Control thread;
    // blocks on that work.
    ~RecordingThread();
    RecordingThread(const RecordingThread&) = delete;
    RecordingThread& operator=(const RecordingThread&) = delete;

    // Queues a copy of the block and wakes the thread. False when the queue has no room.
    // Audio threads; blocks only while another audio thread copies a block in.
    bool post(std::span<const int16_t> samples, RecordSource source);
    // Runs `work` on the thread once every block posted before the call is handled, and
    // returns when it has run. Control threads (one at a time is enforced); blocks on all the
    // work queued before it. Never called from `work` or the handler.
    void run(const std::function<void()>& work);

  private:
    struct Command {
        const std::function<void()>* work;
        uint64_t barrier;
    };

    void loop();
    void wake();

    BlockQueue queue_;
    Handler& handler_;
    std::atomic<uint32_t> wakeups_{0};       // bumped for every post and command
    std::atomic<Command*> pending_{nullptr}; // set by `run`, cleared by the thread
    std::atomic<uint32_t> completed_{0};     // commands run so far
    std::mutex runMutex_;                    // control threads only
    bool quit_ = false;                      // the thread's own
    std::thread thread_;
};

} // namespace timbrelo
