#pragma once
// Reads an input that is not a regular file (a pipe, a device) on a thread of its own, so
// that the one waiting for it can give up: a writer that stalls must end the run with an
// error, not hold it in a blocked read for ever. The thread opens the input, reads its audio
// header and then blocks of samples (as floats, interleaved) into a short queue; the reader
// waits for each with a deadline.
//
// A thread still blocked in a read when its reader gives up is left behind (detached): it
// owns everything it touches, and it ends with the process or when its read returns.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace timbrelo::cli {

class PipeFeed {
  public:
    enum class Result { kOk, kEnd, kFailed, kTimedOut };

    struct Header {
        int channels = 0;
        int rate = 0;
        int64_t frames = 0; // as the header says; often unknown (0 or huge) on a pipe
    };

    // Starts the reading thread on `path`.
    explicit PipeFeed(const std::string& path);
    // Stops the thread (or leaves it behind while it is blocked in a read).
    ~PipeFeed();
    PipeFeed(const PipeFeed&) = delete;
    PipeFeed& operator=(const PipeFeed&) = delete;

    // Waits for the input to open and give its header: kOk, kFailed (with the reason) or
    // kTimedOut. Caller's thread.
    Result waitForHeader(std::chrono::milliseconds timeout, Header& header, std::string& error);
    // Takes the next block of interleaved float frames: kOk, kEnd (all read; a read error
    // leaves its reason in `error`), kTimedOut (nothing came within `timeout`). Caller's
    // thread.
    Result next(std::vector<float>& block, std::chrono::milliseconds timeout, std::string& error);

  private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace timbrelo::cli
