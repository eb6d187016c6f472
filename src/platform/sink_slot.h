#pragma once
// A process-wide callback that any thread may call while another thread replaces it.
// Replaced callbacks are kept alive for the life of the process, because a caller may
// still be running inside one; they are few (set up at start, swapped by tests).

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

namespace timbrelo {

class SinkSlot {
  public:
    using Sink = std::function<void(std::string_view)>;

    // Calls the current sink; false when there is none.
    bool call(std::string_view text) const {
        if (Sink* sink = current_.load(std::memory_order_acquire)) {
            (*sink)(text);
            return true;
        }
        return false;
    }

    bool empty() const { return current_.load(std::memory_order_relaxed) == nullptr; }

    // Installs a new sink (or none) and returns a copy of the previous one.
    Sink replace(Sink sink) {
        std::lock_guard lock(swapMutex_);
        Sink* fresh = sink ? new Sink(std::move(sink)) : nullptr;
        Sink* old = current_.exchange(fresh, std::memory_order_acq_rel);
        Sink previous;
        if (old != nullptr) {
            previous = *old;
            retired_.emplace_back(old);
        }
        return previous;
    }

  private:
    std::atomic<Sink*> current_{nullptr};
    std::mutex swapMutex_;
    std::vector<std::unique_ptr<Sink>> retired_;
};

// Writes all of the text to a file descriptor, retrying short writes.
void writeAll(int fd, std::string_view text);

} // namespace timbrelo
