#include "audio/recording_writer.h"

#include "platform/debug.h"

#include <algorithm>
#include <cmath>

namespace timbrelo {

// Hands what leaves the mix ring to the files.
class RecordingWriter::Flush final : public MixRing::Output {
  public:
    Flush(RecordingWriter& writer, RecordingNotices& notices)
        : writer_(writer), notices_(notices) {}
    void flush(std::span<const int16_t> samples) override { writer_.flush(samples, notices_); }

  private:
    RecordingWriter& writer_;
    RecordingNotices& notices_;
};

namespace {

bool isMp3Path(const std::string& path) {
    if (path.size() < 4) {
        return false;
    }
    std::string end = path.substr(path.size() - 4);
    for (char& c : end) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return end == ".mp3";
}

} // namespace

RecordingWriter::RecordingWriter(size_t queueBytes) : thread_(queueBytes, *this) {}

RecordingWriter::~RecordingWriter() {
    for (uint32_t slot = 0; slot < kSlots; ++slot) {
        stopRecording(slot, RecordKind::Mp3);
        stopRecording(slot, RecordKind::Wav);
    }
    unloadEncoder();
}

void RecordingWriter::setEncoderLibrary(std::string name) {
    std::lock_guard control(controlMutex_);
    encoder_.setName(std::move(name));
}

void RecordingWriter::setCaptureFormat(const StreamFormat& format, uint32_t stagingBytes) {
    std::lock_guard control(controlMutex_);
    if (!format.valid()) {
        debugPrintf("Recording: capture format %u Hz, %u channels refused\n", format.rate,
                    format.channels);
        return;
    }
    format_ = format;
    stagingBytes_ = stagingBytes;
}

bool RecordingWriter::recordsSlot(RecordSlot slot) const {
    if (slot >= kSlots) {
        return false;
    }
    const Slot& s = slots_[slot];
    if (slot == kOriginSlot) {
        return (recording_.load() && s.wavOpen.load()) || (encoder_.usable() && s.mp3Open.load());
    }
    return recording_.load() && (s.wavOpen.load() || s.mp3Open.load());
}

bool RecordingWriter::anyFileOpen() const {
    for (const Slot& s : slots_) {
        if (s.wavOpen.load() || s.mp3Open.load()) {
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------------------
// The control thread's side

int32_t RecordingWriter::startRecording(uint32_t index, const std::string& path) {
    RecordingNotices notices; // shown once the lock is released
    std::lock_guard control(controlMutex_);
    if (index >= kSlots || path.empty()) {
        return 0;
    }
    Slot& slot = slots_[index];
    std::unique_ptr<WavRecording> wav;
    std::unique_ptr<Mp3Recording> mp3;
    if (isMp3Path(path)) {
        if (!encoder_.load(notices)) {
            return 0;
        }
        if (!slot.mp3Open.load()) {
            mp3 = std::make_unique<Mp3Recording>();
            if (!mp3->open(encoder_.entries(), path, format_, stagingBytes_, notices)) {
                return 0;
            }
        }
    } else if (!slot.wavOpen.load()) {
        wav = std::make_unique<WavRecording>();
        if (!wav->create(path, format_, notices)) {
            return 0;
        }
    }
    // The file takes audio from here on: what was queued before it goes where it would have.
    thread_.run([&] {
        if (mp3) {
            slot.mp3 = std::move(mp3);
            slot.mp3Open.store(true);
        }
        if (wav) {
            slot.wav = std::move(wav);
            slot.wavOpen.store(true);
        }
        recording_.store(true);
    });
    return 1;
}

void RecordingWriter::stopRecording(uint32_t index, RecordKind kind) {
    std::lock_guard control(controlMutex_);
    thread_.run([&] {
        RecordingNotices notices;
        // What is still in the ring belongs to the recording: write it out while the files
        // and the recording flag are as they were.
        drain(notices);
        recording_.store(false);
        if (index >= kSlots) {
            return;
        }
        Slot& slot = slots_[index];
        if (kind == RecordKind::Wav) {
            closeWav(slot, notices);
        } else if (kind == RecordKind::Mp3 && encoder_.usable()) {
            closeMp3(slot, notices);
        }
        reportLoss(notices);
    });
}

void RecordingWriter::resetEncoderState() {
    std::lock_guard control(controlMutex_);
    thread_.run([&] {
        RecordingNotices notices;
        finishMp3s(notices);
    });
}

void RecordingWriter::unloadEncoder() {
    std::lock_guard control(controlMutex_);
    thread_.run([&] {
        RecordingNotices notices;
        finishMp3s(notices);
    });
    // No stream is open any more: nothing calls into the library.
    encoder_.unload();
}

void RecordingWriter::waitForWriter() {
    thread_.run([] {});
}

// ---------------------------------------------------------------------------------------
// The audio threads' side

void RecordingWriter::write(std::span<const int16_t> samples, RecordSource source) {
    if (!anyFileOpen() || samples.empty() || samples.size_bytes() > kMaxBlockBytes) {
        return;
    }
    if (!thread_.post(samples, source)) {
        lostSamples_[source == RecordSource::Voice ? 1 : 0].fetch_add(samples.size(),
                                                                      std::memory_order_relaxed);
    }
}

// ---------------------------------------------------------------------------------------
// The writer thread's side

void RecordingWriter::handle(std::span<const int16_t> samples, RecordSource source) {
    if (!anyFileOpen()) {
        return; // stopped meanwhile: nothing stale may wait for the next recording
    }
    RecordingNotices notices;
    Flush out(*this, notices);
    ring_.add(samples, source, out);
}

void RecordingWriter::drain(RecordingNotices& notices) {
    Flush out(*this, notices);
    ring_.drain(out);
}

void RecordingWriter::flush(std::span<const int16_t> samples, RecordingNotices& notices) {
    if (recording_.load()) {
        Slot* target = slots_[kEffectSlot].wavOpen.load()   ? &slots_[kEffectSlot]
                       : slots_[kOriginSlot].wavOpen.load() ? &slots_[kOriginSlot]
                                                            : nullptr;
        if (target != nullptr) {
            target->wav->append(samples, notices);
        }
    }
    if (encoder_.usable()) {
        Slot& target =
            slots_[kOriginSlot].mp3Open.load() ? slots_[kOriginSlot] : slots_[kEffectSlot];
        if (target.mp3Open.load()) {
            target.mp3->stage(samples, notices);
        }
    }
}

void RecordingWriter::closeWav(Slot& slot, RecordingNotices& notices) {
    if (!slot.wavOpen.load()) {
        return;
    }
    slot.wavOpen.store(false);
    slot.wav->close(notices);
    slot.wav.reset();
}

void RecordingWriter::closeMp3(Slot& slot, RecordingNotices& notices) {
    if (!slot.mp3Open.load()) {
        return;
    }
    slot.mp3Open.store(false);
    slot.mp3->close(notices);
    slot.mp3.reset();
}

void RecordingWriter::finishMp3s(RecordingNotices& notices) {
    for (Slot& slot : slots_) {
        if (slot.mp3Open.load()) {
            drain(notices);
            closeMp3(slot, notices);
        }
    }
    reportLoss(notices);
}

void RecordingWriter::reportLoss(RecordingNotices& notices) {
    if (anyFileOpen()) {
        return;
    }
    // The two sources lose their blocks at about the same moments: the longer loss is the
    // time the recording misses.
    const uint64_t lost = std::max(lostSamples_[0].exchange(0), lostSamples_[1].exchange(0));
    if (lost == 0) {
        return;
    }
    // Run for the control thread, which holds the control lock: the format is stable.
    const double ms = format_.framesToMs(static_cast<double>(lost) / format_.channels);
    notices.addf("Recording could not keep up: %.0f ms of audio lost.",
                 std::max(1.0, std::round(ms)));
}

} // namespace timbrelo
