#pragma once
// Failures a test orders from the simulated sound system, so callers' error paths can be
// exercised: the next calls of an operation fail with a given result and do nothing else.
//
// Threads: any; each call takes a lock held only for the table look-up.

#include "platform/audio_io/audio_result.h"

#include <array>
#include <cstddef>
#include <mutex>

namespace timbrelo {

// The operations that can be told to fail, whatever device or stream they concern.
enum class SimOp {
    CaptureOpen,
    CaptureStart,
    CaptureStop,
    PlaybackOpen,
    PlaybackStart,
    PlaybackStop,
    GetDefaultInput,
    SetDefaultInput,
    GetDefaultOutput,
    SetDefaultOutput,
};
inline constexpr size_t kSimOpCount = static_cast<size_t>(SimOp::SetDefaultOutput) + 1;

class SimFailures {
  public:
    // The next `times` calls of `op` fail with `result`; replaces an order still pending for
    // `op` (times 0 cancels it).
    void inject(SimOp op, AudioResult result, int times) {
        std::lock_guard lock(mutex_);
        entries_[index(op)] = {result, times};
    }

    // True, with the result to return, when this call of `op` is to fail.
    bool take(SimOp op, AudioResult& result) {
        std::lock_guard lock(mutex_);
        Entry& entry = entries_[index(op)];
        if (entry.left <= 0) {
            return false;
        }
        --entry.left;
        result = entry.result;
        return true;
    }

  private:
    struct Entry {
        AudioResult result = AudioResult::Ok;
        int left = 0;
    };
    static size_t index(SimOp op) { return static_cast<size_t>(op); }

    std::mutex mutex_;
    std::array<Entry, kSimOpCount> entries_{};
};

} // namespace timbrelo
