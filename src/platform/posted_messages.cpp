#include "platform/posted_messages.h"

#include "platform/messages.h"

#include <array>
#include <atomic>
#include <mutex>
#include <string>

namespace timbrelo {
namespace {

struct Record {
    const char* prefix = nullptr; // null: a string-table entry
    AudioResult code = AudioResult::Ok;
    const char* what = nullptr;
    int stringId = 0;
};

class PostedQueue {
  public:
    void post(const Record& record) {
        std::lock_guard lock(mutex_); // held for the copy only
        if (count_ == records_.size()) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        records_[(head_ + count_) % records_.size()] = record;
        ++count_;
    }

    bool take(Record& record) {
        std::lock_guard lock(mutex_);
        if (count_ == 0) {
            return false;
        }
        record = records_[head_];
        head_ = (head_ + 1) % records_.size();
        --count_;
        return true;
    }

    uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

  private:
    std::mutex mutex_;
    std::array<Record, 32> records_{};
    size_t head_ = 0;
    size_t count_ = 0;
    std::atomic<uint64_t> dropped_{0};
};

PostedQueue& queue() {
    static PostedQueue q;
    return q;
}

} // namespace

void postDeviceError(const char* prefix, AudioResult code, const char* what) {
    queue().post(Record{prefix, code, what, 0});
}

void postStringMessage(int stringId) {
    queue().post(Record{nullptr, AudioResult::Ok, nullptr, stringId});
}

size_t showPostedMessages() {
    size_t shown = 0;
    Record r;
    while (queue().take(r)) {
        if (r.prefix == nullptr) {
            showStringMessage(r.stringId);
        } else {
            std::string text = audioResultText(r.code);
            if (text.size() > 100) {
                text.resize(100);
            }
            showMessagePrintf("%s:%x:%s %s", r.prefix, code(r.code), text.c_str(), r.what);
        }
        ++shown;
    }
    return shown;
}

uint64_t droppedPostedMessages() {
    return queue().dropped();
}

} // namespace timbrelo
