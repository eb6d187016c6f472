#pragma once
// A fixed ring of blocks of samples, each with its source, from any number of producers to
// one consumer. All storage is allocated by the constructor. A push copies the block in under
// a lock that only producers take, held for nothing but that copy; the consumer takes no lock
// and reads each block where it lies.

#include "audio/delivery_targets.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <span>
#include <vector>

namespace timbrelo {

class BlockQueue {
  public:
    // The largest block `push` takes, in samples.
    static constexpr uint32_t kMaxBlockSamples = 4096;

    // Room for `bytes` of blocks (rounded up to whole records, and to at least two of the
    // largest blocks, so an empty queue takes any block).
    explicit BlockQueue(size_t bytes);
    BlockQueue(const BlockQueue&) = delete;
    BlockQueue& operator=(const BlockQueue&) = delete;

    // Copies the block in. False, and nothing is queued, when it does not fit or is larger
    // than kMaxBlockSamples. Producer threads (audio threads); blocks only while another
    // producer copies a block in.
    bool push(std::span<const int16_t> samples, RecordSource source);

    // The position just after the last block pushed so far. Any thread.
    uint64_t end() const { return written_.load(std::memory_order_acquire); }

    // Calls `take(samples, source)` for the oldest block that starts before `limit` (a
    // position from `end`), then releases its room. False when there is none. The samples
    // are valid only during the call. Consumer thread; never blocks.
    template <typename Take>
    bool popBefore(uint64_t limit, Take&& take) {
        uint64_t at = read_.load(std::memory_order_relaxed);
        const uint64_t stop = std::min(limit, end());
        while (at < stop) {
            const size_t offset = static_cast<size_t>(at % capacity_);
            Header h;
            std::memcpy(&h, bytes() + offset, sizeof h);
            if (h.samples == kWrap) {
                at += capacity_ - offset;
                read_.store(at, std::memory_order_release);
                continue;
            }
            take(std::span<const int16_t>(
                     reinterpret_cast<const int16_t*>(bytes() + offset + sizeof h), h.samples),
                 static_cast<RecordSource>(h.source));
            read_.store(at + recordBytes(h.samples), std::memory_order_release);
            return true;
        }
        return false;
    }

    size_t capacityBytes() const { return capacity_; }

  private:
    struct Header {
        uint32_t samples;
        uint32_t source;
    };
    // A header with this count sends the consumer back to the start of the storage.
    static constexpr uint32_t kWrap = 0xFFFFFFFFu;

    static constexpr size_t recordBytes(size_t samples) {
        return sizeof(Header) + (samples * sizeof(int16_t) + 7) / 8 * 8;
    }
    uint8_t* bytes() { return reinterpret_cast<uint8_t*>(storage_.data()); }

    std::vector<uint64_t> storage_;    // 8-byte records, 8-byte aligned
    size_t capacity_;                  // bytes
    std::mutex pushMutex_;             // producers only
    std::atomic<uint64_t> written_{0}; // advanced by producers, under pushMutex_
    std::atomic<uint64_t> read_{0};    // advanced by the consumer
};

} // namespace timbrelo
