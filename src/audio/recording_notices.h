#pragma once
// Messages the recording writer gathers while it works and shows once it is done, so no
// message is shown while anything that others wait for is held.

#include "platform/messages.h"

#include <array>
#include <cstdarg>
#include <cstdio>

namespace timbrelo {

// Up to four messages, in fixed storage; the rest are dropped. Shown by the destructor, on
// the thread that gathered them (never an audio thread).
class RecordingNotices {
  public:
    RecordingNotices() = default;
    RecordingNotices(const RecordingNotices&) = delete;
    RecordingNotices& operator=(const RecordingNotices&) = delete;
    ~RecordingNotices() {
        for (int i = 0; i < count_; ++i) {
            showMessage(texts_[i].data());
        }
    }

    void add(int stringId) { addf("%s", loadString(stringId)); }
    void addf(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        if (count_ == kMax) {
            return;
        }
        va_list args;
        va_start(args, format);
        std::vsnprintf(texts_[count_].data(), texts_[count_].size(), format, args);
        va_end(args);
        ++count_;
    }

  private:
    static constexpr int kMax = 4;
    std::array<std::array<char, 512>, kMax> texts_;
    int count_ = 0;
};

} // namespace timbrelo
