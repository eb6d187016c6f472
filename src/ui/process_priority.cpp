#include "ui/process_priority.h"

#include <algorithm>
#include <cerrno>
#include <sys/resource.h>

namespace timbrelo {

int raisePriorityWithoutPrivileges() {
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, 0);
    if (errno != 0) {
        return 0;
    }
    // RLIMIT_NICE allows nice values down to 20 - limit. A privileged user may go further,
    // but privileges are not ours to use for this.
    rlimit limit{};
    if (getrlimit(RLIMIT_NICE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return current;
    }
    const int floor = 20 - static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 40));
    const int wanted = std::max(kWantedNice, floor);
    if (wanted < current && setpriority(PRIO_PROCESS, 0, wanted) == 0) {
        return wanted;
    }
    return current;
}

} // namespace timbrelo
