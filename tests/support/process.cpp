#include "support/process.h"

#include "support/temp_dir.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace timbrelo::test {
namespace {

using Clock = std::chrono::steady_clock;

// Waits for `pid` until the deadline; its exit status, or nothing.
std::optional<int> waitUntil(pid_t pid, Clock::time_point deadline) {
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (r < 0 && errno != EINTR) {
            return -1;
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace

CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         bool withErrors) {
    TempDir dir;
    CommandResult result;
    {
        ChildProcess child(argv, dir.file("output"), withErrors);
        result.status = child.wait(timeout); // -1 when it is still running: it is then killed
    }
    result.output = readFile(dir.file("output"));
    return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& outputFile,
                           bool withErrors) {
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1,
                                     outputFile.empty() ? "/dev/null" : outputFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (withErrors) {
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    if (::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) {
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess() {
    stop();
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (!status_ && pid_ > 0) {
        status_ = waitUntil(pid_, Clock::now() + timeout);
    }
    return status_.value_or(-1);
}

void ChildProcess::signal(int sig) {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, sig);
    }
}

void ChildProcess::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0 || status_) {
        return;
    }
    ::kill(pid_, SIGTERM);
    status_ = waitUntil(pid_, Clock::now() + grace);
    if (!status_) {
        ::kill(pid_, SIGKILL);
        status_ = waitUntil(pid_, Clock::now() + std::chrono::seconds(2)).value_or(-1);
    }
}

} // namespace timbrelo::test
