#pragma once
// Real-time scheduling for the threads that move audio: a late wake-up there is a gap the
// listener hears. Asked for where the system permits it without privileges (an rtkit limit,
// or a root test run); otherwise the thread goes on at normal priority.

namespace timbrelo {

// SCHED_FIFO priorities: low among real-time threads (above every ordinary thread, below the
// sound server's own), the event loops above the capture thread, so that heavy processing on
// a capture thread never delays a playback request.
inline constexpr int kCaptureThreadPriority = 3;
inline constexpr int kLoopThreadPriority = 4;

// Asks real-time scheduling for the calling thread; false when the system does not permit it.
// Children it starts run at normal priority.
bool makeThreadRealtime(int priority);

} // namespace timbrelo
