#include "audio/block_queue.h"

#include <algorithm>

namespace timbrelo {

BlockQueue::BlockQueue(size_t bytes)
    : storage_(std::max((bytes + 7) / 8, 2 * recordBytes(kMaxBlockSamples) / 8)),
      capacity_(storage_.size() * 8) {}

bool BlockQueue::push(std::span<const int16_t> samples, RecordSource source) {
    if (samples.size() > kMaxBlockSamples) {
        return false;
    }
    const size_t need = recordBytes(samples.size());
    std::lock_guard lock(pushMutex_);
    uint64_t at = written_.load(std::memory_order_relaxed);
    const uint64_t used = at - read_.load(std::memory_order_acquire);
    size_t offset = static_cast<size_t>(at % capacity_);
    const size_t tail = capacity_ - offset;
    // A record never wraps: when it does not fit before the end, it starts over at the start.
    const size_t total = tail < need ? tail + need : need;
    if (capacity_ - used < total) {
        return false;
    }
    if (tail < need) {
        const Header wrap{kWrap, 0};
        std::memcpy(bytes() + offset, &wrap, sizeof wrap);
        at += tail;
        offset = 0;
    }
    const Header h{static_cast<uint32_t>(samples.size()), static_cast<uint32_t>(source)};
    std::memcpy(bytes() + offset, &h, sizeof h);
    if (!samples.empty()) {
        std::memcpy(bytes() + offset + sizeof h, samples.data(), samples.size_bytes());
    }
    written_.store(at + need, std::memory_order_release);
    return true;
}

} // namespace timbrelo
