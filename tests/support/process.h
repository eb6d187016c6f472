#pragma once
// Other programs run by the tests, and waiting for something that happens on another thread.

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace timbrelo::test {

// Polls `condition` until it holds or the time is up; whether it held.
template <typename Condition>
bool eventually(Condition condition,
                std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

struct CommandResult {
    int status = -1; // exit status; -1 when it did not start or end in time (it is then killed)
    std::string output;
};

// Runs a program (searched in PATH) and collects its standard output, and its standard error
// too when `withErrors` is set.
CommandResult runCommand(const std::vector<std::string>& argv,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10),
                         bool withErrors = false);

// A program running in the background, ended by its process id when this goes away.
class ChildProcess {
  public:
    // Standard output goes to `outputFile` when given, else nowhere; standard error too when
    // `withErrors` is set.
    explicit ChildProcess(const std::vector<std::string>& argv, const std::string& outputFile = "",
                          bool withErrors = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // Waits for it to end; its exit status, or -1 when it did not end in time.
    int wait(std::chrono::milliseconds timeout);
    // Asks it to end (SIGTERM), then kills it when it does not within `grace`.
    void stop(std::chrono::milliseconds grace = std::chrono::seconds(1));
    // Sends a signal and nothing else.
    void signal(int sig);

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

} // namespace timbrelo::test
