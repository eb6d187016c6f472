#include "platform/single_instance.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace timbrelo {

SingleInstance::SingleInstance() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const char* temp = std::getenv("TMPDIR");
    std::string folder = runtime != nullptr && runtime[0] == '/' ? runtime
                         : temp != nullptr && temp[0] == '/'     ? temp
                                                                 : "/tmp";
    path_ = folder + "/" + kSingleInstanceName + "-" + std::to_string(::getuid()) + ".lock";
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        return;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        first_ = false;
    }
}

SingleInstance::~SingleInstance() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

} // namespace timbrelo
