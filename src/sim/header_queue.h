#pragma once
// A device's queue of buffers: a fixed ring, so queueing never allocates.

#include "platform/wave/wave_types.h"

#include <array>
#include <cstddef>

namespace timbrelo {

class HeaderQueue {
  public:
    static constexpr size_t kCapacity = 256;

    bool empty() const { return count_ == 0; }
    size_t size() const { return count_; }
    bool push_back(WaveHeader* h) {
        if (count_ == slots_.size()) {
            return false;
        }
        slots_[(head_ + count_++) % slots_.size()] = h;
        return true;
    }
    void push_front(WaveHeader* h) {
        head_ = (head_ + slots_.size() - 1) % slots_.size();
        slots_[head_] = h;
        ++count_;
    }
    WaveHeader* front() const { return slots_[head_]; }
    WaveHeader* pop_front() {
        WaveHeader* h = slots_[head_];
        head_ = (head_ + 1) % slots_.size();
        --count_;
        return h;
    }
    void clear() {
        head_ = 0;
        count_ = 0;
    }

  private:
    std::array<WaveHeader*, kCapacity> slots_{};
    size_t head_ = 0;
    size_t count_ = 0;
};

} // namespace timbrelo
