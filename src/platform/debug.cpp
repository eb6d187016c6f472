#include "platform/debug.h"

#include "platform/sink_slot.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <unistd.h>

namespace timbrelo {
namespace {

bool envRequestsDebug() {
    const char* v = std::getenv("TIMBRELO_DEBUG");
    return v != nullptr && std::strcmp(v, "0") != 0 && v[0] != '\0';
}

std::atomic<bool>& toStderr() {
    static std::atomic<bool> flag{envRequestsDebug()};
    return flag;
}

SinkSlot& sinkSlot() {
    static SinkSlot slot;
    return slot;
}

} // namespace

bool debugEnabled() {
    return toStderr().load(std::memory_order_relaxed) || !sinkSlot().empty();
}

void setDebugToStderr(bool on) {
    toStderr().store(on);
}

void debugWrite(std::string_view text) {
    if (toStderr().load(std::memory_order_relaxed)) {
        writeAll(STDERR_FILENO, text);
    }
    sinkSlot().call(text);
}

void debugPrintf(const char* format, ...) {
    if (!debugEnabled()) {
        return;
    }
    char line[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0) {
        return;
    }
    debugWrite(std::string_view(line, std::min<size_t>(static_cast<size_t>(n), sizeof line - 1)));
}

DebugSink setDebugSink(DebugSink sink) {
    return sinkSlot().replace(std::move(sink));
}

struct DebugCapture::State {
    mutable std::mutex mutex;
    std::string text;
};

DebugCapture::DebugCapture() : state_(std::make_shared<State>()) {
    // The sink shares the state, so a late writer never touches freed memory.
    previous_ = setDebugSink([s = state_](std::string_view t) {
        std::lock_guard lock(s->mutex);
        s->text.append(t);
    });
}

DebugCapture::~DebugCapture() {
    setDebugSink(std::move(previous_));
}

std::string DebugCapture::text() const {
    std::lock_guard lock(state_->mutex);
    return state_->text;
}

bool DebugCapture::contains(std::string_view needle) const {
    return text().find(needle) != std::string::npos;
}

void DebugCapture::clear() {
    std::lock_guard lock(state_->mutex);
    state_->text.clear();
}

} // namespace timbrelo
