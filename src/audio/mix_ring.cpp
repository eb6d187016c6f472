#include "audio/mix_ring.h"

#include <algorithm>
#include <cstring>

namespace timbrelo {

int16_t MixRing::mix(int16_t ring, int16_t block) {
    const int32_t a = ring;
    const int32_t b = block;
    const int32_t mixed = a < 0 && b < 0 ? a + b - (a * b) / -32767 : a + b - (a * b) / 32768;
    // Two loud positive samples reach 32768: keep them at full scale instead of wrapping.
    return static_cast<int16_t>(std::clamp(mixed, -32768, 32767));
}

void MixRing::add(std::span<const int16_t> block, RecordSource source, Output& out) {
    const uint32_t length = static_cast<uint32_t>(std::min<size_t>(block.size(), kMaxBlockSamples));
    int16_t* r = samples_.data();
    if (source == last_) {
        if (kSamples - fill_ < length) {
            drain(out);
        }
        std::memcpy(r + fill_, block.data(), length * sizeof(int16_t));
        fill_ += length;
        return;
    }
    const uint32_t overlap = std::min(fill_, length);
    for (uint32_t i = 0; i < overlap; ++i) {
        r[i] = mix(r[i], block[i]);
    }
    if (overlap > 0) {
        out.flush({r, overlap});
    }
    if (fill_ < length) {
        std::memcpy(r, block.data() + overlap, (length - overlap) * sizeof(int16_t));
        fill_ = length - overlap;
        last_ = source;
    } else {
        std::memmove(r, r + length, (fill_ - length) * sizeof(int16_t));
        fill_ -= length;
    }
}

void MixRing::drain(Output& out) {
    if (fill_ > 0) {
        out.flush({samples_.data(), fill_});
        fill_ = 0;
    }
}

} // namespace timbrelo
