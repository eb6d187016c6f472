#pragma once
// Stretches in which no CPU of this machine ran an ordinary (not real-time) thread: a
// sound server's main thread, which takes in what clients write and asks them for more, is
// one. A thread at the priority such a server gives its main thread (when the system
// allows it) wakes every millisecond and notes each wake-up that came late by at least the
// threshold. A gap in a path that starts during or just after such a stretch is one the
// server could not have filled in time, whatever the client did.

#include "path_analysis.h"

#include <atomic>
#include <thread>
#include <vector>

namespace timbrelo::bench {

struct MachineStall {
    double time;    // monotonic seconds: when the watcher should have woken
    double seconds; // how late it woke
};

class MachineStallWatch {
  public:
    explicit MachineStallWatch(double threshold = 0.010) : threshold_(threshold) {}
    ~MachineStallWatch() { stop(); }
    MachineStallWatch(const MachineStallWatch&) = delete;
    MachineStallWatch& operator=(const MachineStallWatch&) = delete;

    void start();
    // Ends the watch; stalls() and niceness() are read after it.
    void stop();
    const std::vector<MachineStall>& stalls() const { return stalls_; }
    // The niceness the watcher ran at (a server's main thread runs at -11).
    int niceness() const { return niceness_; }

  private:
    void watch();

    double threshold_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    int niceness_ = 0;
    std::vector<MachineStall> stalls_;
};

// How many of the gaps start during a stall or within `after` seconds of its end (the server
// and the recorder catch up that long after), or just before it (a recorder's clock places
// a frame by its block).
size_t gapsAfterStalls(const std::vector<Gap>& gaps, const std::vector<MachineStall>& stalls,
                       double after = 0.1);

} // namespace timbrelo::bench
