#include "platform/vdev/event_registry.h"

namespace timbrelo {

EventRegistry& EventRegistry::instance() {
    static EventRegistry registry;
    return registry;
}

uint32_t EventRegistry::add(std::shared_ptr<AutoResetEvent> event) {
    std::lock_guard lock(mutex_);
    while (next_ == 0 || events_.count(next_) != 0) {
        ++next_;
    }
    const uint32_t id = next_++;
    events_[id] = std::move(event);
    return id;
}

std::shared_ptr<AutoResetEvent> EventRegistry::find(uint32_t id) const {
    std::lock_guard lock(mutex_);
    auto it = events_.find(id);
    return it == events_.end() ? nullptr : it->second;
}

void EventRegistry::remove(uint32_t id) {
    std::lock_guard lock(mutex_);
    events_.erase(id);
}

} // namespace timbrelo
