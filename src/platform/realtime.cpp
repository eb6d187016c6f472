#include "platform/realtime.h"

#include <algorithm>
#include <pthread.h>
#include <sched.h>

namespace timbrelo {

bool makeThreadRealtime(int priority) {
    if (priority <= 0) {
        return false;
    }
    sched_param param{};
    param.sched_priority = std::clamp(priority, sched_get_priority_min(SCHED_FIFO),
                                      sched_get_priority_max(SCHED_FIFO));
    return pthread_setschedparam(pthread_self(), SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0;
}

} // namespace timbrelo
