#pragma once
// A one-line progress bar on standard error for long work.

#include <cstdint>

namespace timbrelo::cli {

class ProgressBar {
  public:
    ProgressBar(bool shown, uint64_t total) : shown_(shown), total_(total > 0 ? total : 1) {}
    ~ProgressBar() { finish(); }
    void update(uint64_t done);
    void finish();

  private:
    bool shown_;
    uint64_t total_;
    int lastPercent_ = -1;
    bool finished_ = false;
};

} // namespace timbrelo::cli
