#include "machine_stalls.h"

#include <algorithm>
#include <ctime>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace timbrelo::bench {
namespace {

constexpr long kTickNanos = 1'000'000;
constexpr int kServerMainNiceness = -11;

double seconds(const timespec& t) {
    return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

void advance(timespec& t, long nanos) {
    t.tv_nsec += nanos;
    while (t.tv_nsec >= 1'000'000'000) {
        t.tv_nsec -= 1'000'000'000;
        ++t.tv_sec;
    }
}

} // namespace

void MachineStallWatch::start() {
    stop();
    stalls_.clear();
    stalls_.reserve(4096);
    running_ = true;
    thread_ = std::thread([this] { watch(); });
}

void MachineStallWatch::stop() {
    running_ = false;
    if (thread_.joinable()) {
        thread_.join();
    }
}

void MachineStallWatch::watch() {
    // On Linux a niceness is a thread's own.
    const auto self = static_cast<id_t>(syscall(SYS_gettid));
    setpriority(PRIO_PROCESS, self, kServerMainNiceness);
    niceness_ = getpriority(PRIO_PROCESS, self);
    timespec due{};
    clock_gettime(CLOCK_MONOTONIC, &due);
    while (running_) {
        advance(due, kTickNanos);
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const double late = seconds(now) - seconds(due);
        if (late >= threshold_) {
            stalls_.push_back({seconds(due), late});
        }
        if (late > 0) {
            due = now; // a stall is one event, not one per tick it swallowed
        }
    }
}

size_t gapsAfterStalls(const std::vector<Gap>& gaps, const std::vector<MachineStall>& stalls,
                       double after) {
    constexpr double kBefore = 0.03;
    return static_cast<size_t>(std::count_if(gaps.begin(), gaps.end(), [&](const Gap& g) {
        return std::any_of(stalls.begin(), stalls.end(), [&](const MachineStall& s) {
            return g.time >= s.time - kBefore && g.time <= s.time + s.seconds + after;
        });
    }));
}

} // namespace timbrelo::bench
