#pragma once
// Where the voice and the audio other programs play to the virtual speaker meet, sample by
// sample, before anything reaches a file. Blocks of one source queue up behind each other; a
// block of the other source is mixed into what waits, and what has met is passed on.
//
// Threads: one thread at a time (the recording writer's thread); nothing here blocks except
// what the output does with a flush.

#include "audio/delivery_targets.h"

#include <array>
#include <cstdint>
#include <span>

namespace timbrelo {

class MixRing {
  public:
    static constexpr uint32_t kBytes = 10240;
    static constexpr uint32_t kSamples = kBytes / 2;
    // The largest block `add` takes, in samples (8192 bytes).
    static constexpr uint32_t kMaxBlockSamples = 4096;

    // Receives what leaves the ring, oldest first.
    class Output {
      public:
        virtual void flush(std::span<const int16_t> samples) = 0;

      protected:
        ~Output() = default;
    };

    // Adds a block of at most kMaxBlockSamples. From the source that waits: appended, after
    // flushing what waits when the ring would overflow. From the other source: mixed into
    // the samples waiting at the ring's start, and the mixed samples are flushed; what is
    // left of the longer of the two waits.
    void add(std::span<const int16_t> block, RecordSource source, Output& out);
    // Flushes everything that waits.
    void drain(Output& out);

    uint32_t fill() const { return fill_; }
    RecordSource waitingSource() const { return last_; }

    // Mixes two samples: `ring` from the source already waiting, `block` from the other.
    static int16_t mix(int16_t ring, int16_t block);

  private:
    alignas(16) std::array<int16_t, kSamples> samples_{};
    uint32_t fill_ = 0; // samples waiting at the start
    RecordSource last_ = RecordSource::Render;
};

} // namespace timbrelo
