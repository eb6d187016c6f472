#pragma once
// Only one copy of the voice changer may run per user: two copies would share one virtual
// device and the first to exit would take it away from the other. An exclusive lock on a file
// named after the program's mutex holds it; the kernel releases it when the process ends,
// however it ends.

#include <string>

namespace timbrelo {

inline constexpr const char* kSingleInstanceName = "Qop$Tonvari";

class SingleInstance {
  public:
    SingleInstance();
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // False when another copy holds the lock. A lock file that can't be made counts as the
    // first copy.
    bool first() const { return first_; }
    const std::string& lockPath() const { return path_; }

  private:
    int fd_ = -1;
    bool first_ = true;
    std::string path_;
};

} // namespace timbrelo
