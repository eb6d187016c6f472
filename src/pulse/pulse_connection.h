#pragma once
// The program's connection to the sound server (PulseAudio, or PipeWire through its pulse
// protocol server): a threaded event loop and a context on it. The context is made when first
// needed and made again after the server went away, so a server that comes back is used
// again. Every wait is bounded: a server that dies or stops answering yields an error, never
// a hang.

#include "platform/audio_io/audio_result.h"

#include <chrono>
#include <string>

struct pa_context;
struct pa_operation;
struct pa_threaded_mainloop;

namespace timbrelo {

// The result for a server error number (a few map to the common results).
AudioResult pulseResult(int paError);

class PulseConnection {
  public:
    struct Options {
        std::chrono::milliseconds connectTimeout{2000};
        std::chrono::milliseconds operationTimeout{3000};
    };

    explicit PulseConnection(Options options);
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    // Holds the event loop's lock; everything below needs it. Never taken on the loop's own
    // thread (callbacks from the loop run with it held already).
    class Lock {
      public:
        explicit Lock(PulseConnection& connection);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        PulseConnection& connection_;
    };

    // A ready context, connecting first when there is none or the old one failed; null with
    // the reason in `error` when no server answers.
    pa_context* context(AudioResult& error);

    // Waits for a started operation to finish and releases it. A null operation, a failed
    // context or a timeout give an error (the operation is then cancelled, so its callback
    // never runs after this returns).
    AudioResult await(pa_operation* operation);

    // Waits until `ready()` holds, the context fails or the timeout passes; `ready` is
    // evaluated with the lock held, after every event of the loop that signals.
    template <typename Ready>
    AudioResult waitUntil(Ready ready, std::chrono::milliseconds timeout) {
        WaitTimer timer(*this, timeout);
        for (;;) {
            if (ready()) {
                return AudioResult::Ok;
            }
            if (AudioResult rc = timer.check(); rc != AudioResult::Ok) {
                return rc;
            }
            wait();
        }
    }

    // Wakes every waiter (called from loop callbacks).
    void signal();
    // The error of the current context as a result code.
    AudioResult contextError() const;
    const Options& options() const { return options_; }

  private:
    class WaitTimer {
      public:
        WaitTimer(PulseConnection& connection, std::chrono::milliseconds timeout);
        ~WaitTimer();
        WaitTimer(const WaitTimer&) = delete;
        WaitTimer& operator=(const WaitTimer&) = delete;
        // An error once the time is up or the context has failed.
        AudioResult check() const;

      private:
        PulseConnection& connection_;
        pa_context* context_;
        void* event_ = nullptr;
        bool fired_ = false;
    };

    void wait();
    void dropContext();

    Options options_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
};

} // namespace timbrelo
