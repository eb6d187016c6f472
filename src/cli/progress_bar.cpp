#include "cli/progress_bar.h"

#include <algorithm>
#include <cstdio>

namespace timbrelo::cli {

void ProgressBar::update(uint64_t done) {
    if (!shown_ || finished_) {
        return;
    }
    const int percent = static_cast<int>(std::min<uint64_t>(100, done * 100 / total_));
    if (percent == lastPercent_) {
        return;
    }
    lastPercent_ = percent;
    constexpr int kWidth = 40;
    char bar[kWidth + 1];
    const int filled = percent * kWidth / 100;
    for (int i = 0; i < kWidth; ++i) {
        bar[i] = i < filled ? '#' : '.';
    }
    bar[kWidth] = '\0';
    std::fprintf(stderr, "\r[%s] %3d%%", bar, percent);
    std::fflush(stderr);
}

void ProgressBar::finish() {
    if (shown_ && !finished_) {
        update(total_);
        std::fputc('\n', stderr);
    }
    finished_ = true;
}

} // namespace timbrelo::cli
