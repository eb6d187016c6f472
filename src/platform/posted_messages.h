#pragma once
// Messages raised on audio threads, where nothing may be formatted or shown: a small record
// goes into a fixed queue, and a control thread (the window's, the headless runner's, or
// whoever stops capture) shows it later through the message sink.

#include "platform/audio_io/audio_result.h"

#include <cstddef>
#include <cstdint>

namespace timbrelo {

// A device error, shown as "<prefix>:%x:<result text> <what>" (for example
// "WAVEIN:6:The device is gone. Capture stopped."). `prefix` and `what` must be string
// literals. Any thread: never blocks longer than a copy of the record, never allocates; when
// the queue is full the record is counted and dropped.
void postDeviceError(const char* prefix, AudioResult code, const char* what);
// A string-table entry. Any thread, as above.
void postStringMessage(int stringId);

// Shows every posted message, oldest first; returns how many. Control threads.
size_t showPostedMessages();
// Messages dropped because the queue was full.
uint64_t droppedPostedMessages();

} // namespace timbrelo
