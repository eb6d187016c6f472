#include "platform/audio_io/jitter_buffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace timbrelo {

JitterBuffer::JitterBuffer(const Config& config)
    : config_(config), channels_(std::max<uint32_t>(config.format.channels, 1)),
      ring_(new int16_t[size_t{std::max<uint32_t>(config.capacityFrames, 1)} * channels_]()),
      margin_(config.marginFrames) {}

JitterBuffer::~JitterBuffer() = default;

// ---------------------------------------------------------------------------------------
// Producer

void JitterBuffer::beginStream(uint32_t burstFrames) {
    burst_.store(burstFrames, std::memory_order_relaxed);
    streamStart_.store(written_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    streaming_.store(true, std::memory_order_relaxed);
    generation_.fetch_add(1, std::memory_order_release);
}

void JitterBuffer::setBurstFrames(uint32_t burstFrames) {
    burst_.store(burstFrames, std::memory_order_relaxed);
}

uint32_t JitterBuffer::push(std::span<const int16_t> samples) {
    const auto frames = static_cast<uint32_t>(samples.size() / channels_);
    const uint64_t w = written_.load(std::memory_order_relaxed);
    const uint64_t r = read_.load(std::memory_order_acquire);
    const uint32_t capacity = config_.capacityFrames;
    const auto used = static_cast<uint32_t>(std::min<uint64_t>(w - r, capacity));
    const uint32_t n = std::min(frames, capacity - used);
    if (n < frames) {
        overflowFrames_.fetch_add(frames - n, std::memory_order_relaxed);
    }
    if (n == 0) {
        return 0; // an empty span may carry no pointer at all
    }
    const auto at = static_cast<uint32_t>(w % capacity);
    const uint32_t first = std::min(n, capacity - at);
    std::memcpy(ring_.get() + size_t{at} * channels_, samples.data(),
                size_t{first} * channels_ * sizeof(int16_t));
    std::memcpy(ring_.get(), samples.data() + size_t{first} * channels_,
                size_t{n - first} * channels_ * sizeof(int16_t));
    written_.store(w + n, std::memory_order_release);
    return n;
}

void JitterBuffer::endStream() {
    streaming_.store(false, std::memory_order_release);
}

// ---------------------------------------------------------------------------------------
// Consumer

uint32_t JitterBuffer::targetFrames() const {
    // A burst may land just after a request instead of just before it: a whole request
    // more must be in hand, or that one would come up short.
    return margin_.load(std::memory_order_relaxed) + request_.load(std::memory_order_relaxed);
}

uint32_t JitterBuffer::primeFrames() const {
    return burst_.load(std::memory_order_relaxed) + targetFrames();
}

uint32_t JitterBuffer::fillFrames() const {
    const uint64_t w = written_.load(std::memory_order_acquire);
    const uint64_t r = read_.load(std::memory_order_acquire);
    return w > r ? static_cast<uint32_t>(w - r) : 0;
}

void JitterBuffer::copyOut(int16_t* dst, uint64_t from, uint32_t frames) const {
    const uint32_t capacity = config_.capacityFrames;
    const auto at = static_cast<uint32_t>(from % capacity);
    const uint32_t first = std::min(frames, capacity - at);
    std::memcpy(dst, ring_.get() + size_t{at} * channels_,
                size_t{first} * channels_ * sizeof(int16_t));
    std::memcpy(dst + size_t{first} * channels_, ring_.get(),
                size_t{frames - first} * channels_ * sizeof(int16_t));
}

uint32_t JitterBuffer::copyAdjusted(int16_t* dst, uint64_t from, uint32_t frames, int step) {
    // The input frames this request consumes: one more when dropping, one fewer when
    // repeating.
    const uint32_t consumed = step < 0 ? frames + 1 : frames - 1;
    const uint32_t capacity = config_.capacityFrames;
    // The quietest frame: the smallest sum of magnitudes over the channels.
    uint32_t quietest = 0;
    int32_t quietLevel = INT32_MAX;
    for (uint32_t i = 0; i < consumed; ++i) {
        const int16_t* frame = ring_.get() + size_t((from + i) % capacity) * channels_;
        int32_t level = 0;
        for (uint32_t c = 0; c < channels_; ++c) {
            level += std::abs(int32_t{frame[c]});
        }
        if (level < quietLevel) {
            quietLevel = level;
            quietest = i;
        }
    }
    if (step < 0) {
        copyOut(dst, from, quietest);
        copyOut(dst + size_t{quietest} * channels_, from + quietest + 1, frames - quietest);
    } else {
        copyOut(dst, from, quietest + 1);
        copyOut(dst + size_t{quietest + 1} * channels_, from + quietest, frames - quietest - 1);
    }
    return consumed;
}

void JitterBuffer::checkLevel(uint32_t leftover, uint32_t frames) {
    windowMinFill_ = std::min(windowMinFill_, leftover);
    if (windowLeft_ > frames) {
        windowLeft_ -= frames;
        return;
    }
    // A whole window seen. Where a burst lands between two requests, and how late a thread
    // wakes, moves the lowest level from window to window; clock drift moves it one way for
    // good. So frames are repeated only when the last few windows all ran low, and dropped
    // only when they all had room to spare (a single dip is noise; a real shortfall shows as
    // an underrun, which raises the margin). Within a tolerance of half the margin (at least
    // 1 ms) nothing is done.
    const auto target = static_cast<int32_t>(targetFrames());
    const int32_t tolerance =
        std::max<int32_t>(static_cast<int32_t>(margin_.load(std::memory_order_relaxed)) / 2,
                          static_cast<int32_t>(config_.format.rate / 1000));
    history_[historyNext_] = windowMinFill_;
    historyNext_ = (historyNext_ + 1) % history_.size();
    const auto longLow = static_cast<int32_t>(
        std::min<uint32_t>(*std::min_element(history_.begin(), history_.end()), INT32_MAX));
    const auto longHigh = static_cast<int32_t>(
        std::min<uint32_t>(*std::max_element(history_.begin(), history_.end()), INT32_MAX));
    // Half the difference at a time (the next window shows what the correction did), and no
    // more than kMaxCorrectionPpm of the window: this follows clock drift, it does not chase
    // bursts; a level that is far too low shows as an underrun, which raises the margin.
    const auto most = static_cast<int32_t>(
        std::max<uint64_t>(1, uint64_t{config_.windowFrames} * kMaxCorrectionPpm / 1000000));
    if (longHigh < target - tolerance) {
        pendingAdjust_ = std::min((target - longHigh + 1) / 2, most);
    } else if (longLow > target + tolerance) {
        pendingAdjust_ = -std::min((longLow - target + 1) / 2, most);
    } else {
        pendingAdjust_ = 0;
    }
    shrinkMarginAfterCalm();
    settleRequestAfterCalm();
    // Spread over the next window, so that no two corrections come close together.
    correctionSpacing_ = pendingAdjust_ == 0 ? 0
                                             : config_.windowFrames /
                                                   static_cast<uint32_t>(std::abs(pendingAdjust_));
    untilCorrection_ = correctionSpacing_ / 2;
    windowLeft_ = config_.windowFrames;
    windowMinFill_ = UINT32_MAX;
}

uint32_t JitterBuffer::nextCorrection(uint32_t frames) const {
    const int64_t next = int64_t{untilCorrection_} + correctionSpacing_ - frames;
    return static_cast<uint32_t>(std::max<int64_t>(next, 0));
}

void JitterBuffer::stepDownTo(std::atomic<uint32_t>& value, uint32_t floor) const {
    // 1 ms a window: the level follows by dropping frames at quiet points, well inside the
    // drift corrections' limit, so nothing is heard but a delay that comes back down.
    const uint32_t now = value.load(std::memory_order_relaxed);
    if (now > floor) {
        const uint32_t step = std::max<uint32_t>(config_.format.rate / 1000, 1);
        value.store(std::max(floor, now - std::min(now, step)), std::memory_order_relaxed);
    }
}

void JitterBuffer::shrinkMarginAfterCalm() {
    if (config_.calmWindows != 0 && ++calmWindows_ > config_.calmWindows) {
        stepDownTo(margin_, config_.marginFrames);
    }
}

void JitterBuffer::settleRequestAfterCalm() {
    // A catch-up the device no longer makes stops costing delay, but the pace it keeps and
    // its opening fill stay in hand.
    const uint32_t windowMax = std::exchange(windowMaxRequest_, 0);
    if (config_.calmWindows != 0 && ++requestCalmWindows_ > config_.calmWindows) {
        stepDownTo(request_, std::max(openingRequest_, windowMax));
    }
}

uint32_t JitterBuffer::pull(std::span<int16_t> samples) {
    const auto frames = static_cast<uint32_t>(samples.size() / channels_);
    int16_t* dst = samples.data();
    const uint32_t generation = generation_.load(std::memory_order_acquire);
    uint64_t r = read_.load(std::memory_order_relaxed);
    if (generation != seenGeneration_) {
        // A new stream: what waited from before is stale.
        seenGeneration_ = generation;
        r = std::max(r, streamStart_.load(std::memory_order_relaxed));
        read_.store(r, std::memory_order_release);
        phase_ = Phase::Priming;
    }
    if (openingRequest_ == 0) {
        openingRequest_ = frames;
    }
    windowMaxRequest_ = std::max(windowMaxRequest_, frames);
    // A request larger than any before is the consumer catching up after a stall of its own,
    // not the producer being late: from now on it is held in hand, so what it found missing
    // needs no margin as well.
    const bool catchUp = frames > request_.load(std::memory_order_relaxed);
    if (catchUp) {
        request_.store(frames, std::memory_order_relaxed);
        requestCalmWindows_ = 0;
    }
    const bool streaming = streaming_.load(std::memory_order_acquire);
    const uint64_t w = written_.load(std::memory_order_acquire);
    const auto fill = static_cast<uint32_t>(std::min<uint64_t>(w - r, config_.capacityFrames));

    if (phase_ == Phase::Priming && fill > 0) {
        // The first audio: silence ahead of it brings the level to a burst and the margin at
        // once, so nothing waits longer than it must and nothing needs trimming later.
        const uint32_t prime = primeFrames();
        lead_ = streaming && fill < prime ? prime - fill : 0;
        phase_ = Phase::Playing;
        windowLeft_ = config_.windowFrames;
        windowMinFill_ = UINT32_MAX;
        history_.fill(targetFrames()); // no correction until whole windows have been seen
        pendingAdjust_ = 0;
        emptyRun_ = 0;
    }
    if (phase_ == Phase::Idle && fill > 0) {
        phase_ = Phase::Playing; // audio without a stream begun (a plain FIFO use)
    }
    if (phase_ != Phase::Playing) {
        std::memset(dst, 0, samples.size_bytes());
        return 0;
    }

    if (lead_ > 0) {
        const uint32_t n = std::min(lead_, frames);
        std::memset(dst, 0, size_t{n} * channels_ * sizeof(int16_t));
        lead_ -= n;
        if (n == frames) {
            return 0;
        }
        // The rest of the request starts the audio.
        return pull(samples.subspan(size_t{n} * channels_));
    }
    if (emptyRun_ > 0 && fill >= frames) {
        // A stall has ended: the producer was late, not silent. The margin grows by what was
        // missing, so the next late burst of that size is covered.
        if (config_.growMarginOnUnderrun) {
            const auto maxMargin =
                static_cast<uint32_t>(kMaxMarginMs * config_.format.rate / 1000.0);
            const uint32_t margin = margin_.load(std::memory_order_relaxed);
            margin_.store(std::min(maxMargin, margin + lateFrames_), std::memory_order_relaxed);
        }
        emptyRun_ = 0;
        lateFrames_ = 0;
    }
    // A correction that falls due in a request that can't take it (too little in hand) waits
    // for the next request; the spacing is kept frame-exact, so a window gets all it asked for.
    const bool correctNow = pendingAdjust_ != 0 && untilCorrection_ <= frames;
    if (!correctNow) {
        untilCorrection_ = untilCorrection_ > frames ? untilCorrection_ - frames : 0;
    }
    uint32_t given = 0;
    if (correctNow && fill > frames && pendingAdjust_ < 0 && frames > 0) {
        read_.store(r + copyAdjusted(dst, r, frames, -1), std::memory_order_release);
        droppedFrames_.fetch_add(1, std::memory_order_relaxed);
        ++pendingAdjust_;
        untilCorrection_ = nextCorrection(frames);
        given = frames;
    } else if (correctNow && fill >= frames && pendingAdjust_ > 0 && frames > 1) {
        read_.store(r + copyAdjusted(dst, r, frames, +1), std::memory_order_release);
        repeatedFrames_.fetch_add(1, std::memory_order_relaxed);
        --pendingAdjust_;
        untilCorrection_ = nextCorrection(frames);
        given = frames;
    } else {
        given = std::min(fill, frames);
        copyOut(dst, r, given);
        read_.store(r + given, std::memory_order_release);
    }
    if (given < frames) {
        std::memset(dst + size_t{given} * channels_, 0,
                    size_t{frames - given} * channels_ * sizeof(int16_t));
        if (streaming) {
            // The stream runs but the producer is late: the silence shifts the timeline, and
            // a larger margin keeps the next late burst from doing the same.
            if (emptyRun_ == 0) {
                underruns_.fetch_add(1, std::memory_order_relaxed);
            }
            underrunFrames_.fetch_add(frames - given, std::memory_order_relaxed);
            emptyRun_ += frames - given;
            if (!catchUp) {
                lateFrames_ += frames - given;
            }
            calmWindows_ = 0;
            // Frames still to be repeated go on being repeated: a producer whose clock is
            // slow would otherwise run dry again before a whole window has been seen.
            pendingAdjust_ = std::max(pendingAdjust_, 0);
            windowLeft_ = config_.windowFrames;
            windowMinFill_ = UINT32_MAX;
            if (config_.idleFrames > 0 && emptyRun_ >= config_.idleFrames) {
                // Fallen silent, not late: no margin for it; the next audio primes afresh.
                phase_ = Phase::Priming;
                emptyRun_ = 0;
                lateFrames_ = 0;
            }
        } else {
            phase_ = Phase::Idle; // the stream has ended and played out
        }
        return given;
    }
    if (streaming) {
        checkLevel(fill - frames, frames);
    }
    return given;
}

JitterBuffer::Stats JitterBuffer::stats() const {
    Stats s;
    s.underruns = underruns_.load(std::memory_order_relaxed);
    s.underrunFrames = underrunFrames_.load(std::memory_order_relaxed);
    s.overflowFrames = overflowFrames_.load(std::memory_order_relaxed);
    s.droppedFrames = droppedFrames_.load(std::memory_order_relaxed);
    s.repeatedFrames = repeatedFrames_.load(std::memory_order_relaxed);
    return s;
}

} // namespace timbrelo
