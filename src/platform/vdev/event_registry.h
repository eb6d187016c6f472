#pragma once
// Events travel to the virtual device as 4-byte values. Instead of casting pointers to
// 32 bits, each event gets a small id in this process-wide table.

#include "platform/auto_reset_event.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace timbrelo {

class EventRegistry {
  public:
    static EventRegistry& instance();

    // Registers the event; returns its id (never 0).
    uint32_t add(std::shared_ptr<AutoResetEvent> event);
    // The event with that id, or null.
    std::shared_ptr<AutoResetEvent> find(uint32_t id) const;
    void remove(uint32_t id);

  private:
    mutable std::mutex mutex_;
    std::unordered_map<uint32_t, std::shared_ptr<AutoResetEvent>> events_;
    uint32_t next_ = 1;
};

} // namespace timbrelo
