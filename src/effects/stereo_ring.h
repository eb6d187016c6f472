#pragma once
// A lock-free ring of 16-bit stereo frames between one producer thread and one consumer
// thread. Positions only grow (modulo 2^32); the capacity is a power of two.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

namespace timbrelo {

class StereoRing {
  public:
    explicit StereoRing(uint32_t capacityFrames)
        : data_(2 * static_cast<size_t>(capacityFrames)), capacity_(capacityFrames) {}
    StereoRing(const StereoRing&) = delete;
    StereoRing& operator=(const StereoRing&) = delete;

    uint32_t capacity() const { return capacity_; }

    // Empties the ring. Only while no consumer can reach it.
    void clear() {
        read_.store(0, std::memory_order_relaxed);
        write_.store(0, std::memory_order_relaxed);
    }

    // Producer side.
    uint32_t freeFrames() const {
        return capacity_ -
               (write_.load(std::memory_order_relaxed) - read_.load(std::memory_order_acquire));
    }
    // Appends up to `count` frames; returns how many fitted.
    uint32_t push(const int16_t* frames, uint32_t count) {
        const uint32_t w = write_.load(std::memory_order_relaxed);
        count = std::min(count, capacity_ - (w - read_.load(std::memory_order_acquire)));
        const uint32_t start = w & (capacity_ - 1);
        const uint32_t first = std::min(count, capacity_ - start);
        std::memcpy(slot(start), frames, bytes(first));
        std::memcpy(slot(0), frames + 2 * static_cast<size_t>(first), bytes(count - first));
        write_.store(w + count, std::memory_order_release);
        return count;
    }

    // Consumer side.
    uint32_t availableFrames() const {
        return write_.load(std::memory_order_acquire) - read_.load(std::memory_order_relaxed);
    }
    // Takes up to `count` frames; returns how many there were.
    uint32_t pop(int16_t* frames, uint32_t count) {
        const uint32_t r = read_.load(std::memory_order_relaxed);
        count = std::min(count, write_.load(std::memory_order_acquire) - r);
        const uint32_t start = r & (capacity_ - 1);
        const uint32_t first = std::min(count, capacity_ - start);
        std::memcpy(frames, slot(start), bytes(first));
        std::memcpy(frames + 2 * static_cast<size_t>(first), slot(0), bytes(count - first));
        read_.store(r + count, std::memory_order_release);
        return count;
    }

  private:
    int16_t* slot(uint32_t frame) { return data_.data() + 2 * static_cast<size_t>(frame); }
    static size_t bytes(uint32_t frames) { return 2 * sizeof(int16_t) * frames; }

    std::vector<int16_t> data_;
    const uint32_t capacity_;
    alignas(64) std::atomic<uint32_t> write_{0};
    alignas(64) std::atomic<uint32_t> read_{0};
};

} // namespace timbrelo
