#pragma once
// Records a conversation to a WAV or an MP3 file. Slot 0 (Origin) takes the unprocessed
// voice, slot 1 (Effect) the processed voice. Whatever arrives, the voice and the audio other
// programs play to the virtual speaker, meets sample by sample in the mix ring before it
// reaches a file. MP3 files are made by the encoder library, loaded when the first MP3
// recording starts and released when capture stops.
//
// Threads: `write` runs on the audio threads (the capture thread with the voice, the render
// reader with the render side) and only copies the block into a queue. The writer's own
// thread does everything else in the order it arrives: the mix ring, the file writes and the
// encoding, and the work of starting and stopping, which the control thread hands it and
// waits for. Audio that finds the queue full is counted, and the end of the recording says
// how much was lost.
//
// On its own (no capture engine): `setCaptureFormat`, `startRecording`, `write` blocks of at
// most kMaxBlockBytes, `stopRecording` for the slot with both kinds.

#include "audio/delivery_targets.h"
#include "audio/encoder_library.h"
#include "audio/mix_ring.h"
#include "audio/mp3_recording.h"
#include "audio/recording_notices.h"
#include "audio/recording_thread.h"
#include "audio/wav_recording.h"
#include "platform/audio_io/stream_format.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

namespace timbrelo {

class RecordingWriter final : public RecordingTarget, private RecordingThread::Handler {
  public:
    static constexpr uint32_t kMixRingBytes = MixRing::kBytes;
    // Larger blocks are ignored by `write`.
    static constexpr uint32_t kMaxBlockBytes = MixRing::kMaxBlockSamples * 2;
    // The queue between the audio threads and the writer's thread: four seconds of both
    // sources at 48000 Hz stereo (nearly nine at the pipeline format).
    static constexpr size_t kDefaultQueueBytes = 1536 * 1024;
    static constexpr int kSlots = 2;

    // Starts the writer's thread with a queue of `queueBytes`. Control thread.
    explicit RecordingWriter(size_t queueBytes = kDefaultQueueBytes);
    // Finishes any recording still open, releases the encoder library and ends the thread.
    // Control thread; blocks on all the queued work.
    ~RecordingWriter();
    RecordingWriter(const RecordingWriter&) = delete;
    RecordingWriter& operator=(const RecordingWriter&) = delete;

    // Opens the slot's file: MP3 when the path ends in ".mp3" (any case), otherwise WAV. Sets
    // the recording flag. 1 on success; 0 after a message saying why. Control thread; blocks
    // on file I/O, on loading the encoder and on the work queued before it.
    int32_t startRecording(uint32_t slot, const std::string& path);
    // Once everything queued before it is written: writes out what the mix ring holds, clears
    // the recording flag and closes the slot's file of `kind`. When that ends the recording
    // and audio was lost, says how much. Control thread; blocks on the work queued before it
    // and on file I/O.
    void stopRecording(uint32_t slot, RecordKind kind) override;
    // Queues a copy of the block (at most kMaxBlockBytes, else ignored) for the mix ring;
    // nothing is queued while no file is open. When the queue is full the block is counted
    // as lost. Audio threads; blocks only while the other audio thread copies a block in.
    void write(std::span<const int16_t> samples, RecordSource source) override;
    // Returns once everything queued before the call is written. Control thread.
    void waitForWriter();

    // Finishes any MP3 recording still open and forgets the slots' encoder state. Control
    // thread; blocks on the work queued before it and on file I/O.
    void resetEncoderState() override;
    // The format of everything recorded from the next start on, and the MP3 staging buffer's
    // size. An invalid format is refused (the previous one stays). Before any call: the
    // pipeline format with 6 blocks of 2048 bytes. Control thread.
    void setCaptureFormat(const StreamFormat& format, uint32_t stagingBytes) override;
    // True while a recording runs and `slot` has a file open that takes audio. Any thread.
    bool recordsSlot(RecordSlot slot) const override;
    // Finishes any MP3 recording still open, releases the library, resets the encoder state.
    // Control thread; blocks on the work queued before it and on file I/O.
    void unloadEncoder() override;

    // The encoder library: a bare file name is looked for next to the executable, then on
    // the normal library path; a name with a '/' is loaded as it is. Control thread.
    void setEncoderLibrary(std::string name);

    // Any thread.
    bool recording() const { return recording_.load(); }
    bool encoderLoaded() const { return encoder_.usable(); }
    bool wavOpen(uint32_t slot) const { return slot < kSlots && slots_[slot].wavOpen.load(); }
    bool mp3Open(uint32_t slot) const { return slot < kSlots && slots_[slot].mp3Open.load(); }

    // Mixes two samples: `ring` from the source already waiting, `block` from the other.
    static int16_t mix(int16_t ring, int16_t block) { return MixRing::mix(ring, block); }

  private:
    // Slot state is the writer thread's; the flags are read anywhere.
    struct Slot {
        std::unique_ptr<WavRecording> wav;
        std::unique_ptr<Mp3Recording> mp3;
        std::atomic<bool> wavOpen{false};
        std::atomic<bool> mp3Open{false};
    };
    class Flush;

    // The functions below run on the writer's thread.
    void handle(std::span<const int16_t> samples, RecordSource source) override;
    void flush(std::span<const int16_t> samples, RecordingNotices& notices);
    void drain(RecordingNotices& notices);
    void closeWav(Slot& slot, RecordingNotices& notices);
    void closeMp3(Slot& slot, RecordingNotices& notices);
    // Finishes every open MP3 file (what the ring holds first).
    void finishMp3s(RecordingNotices& notices);
    // Once no file is open, says how much audio the recording lost, if any.
    void reportLoss(RecordingNotices& notices);
    bool anyFileOpen() const;

    // Serialises starting, stopping, resetting and unloading, and guards what they share.
    std::mutex controlMutex_;
    StreamFormat format_ = kPipelineFormat;
    uint32_t stagingBytes_ = blockCountFor(kPipelineFormat) * 2048;
    EncoderLibrary encoder_;

    MixRing ring_; // the writer thread's
    std::array<Slot, kSlots> slots_;
    std::atomic<bool> recording_{false};
    // Samples that found the queue full, per source (Render, Voice).
    std::array<std::atomic<uint64_t>, 2> lostSamples_{};

    RecordingThread thread_; // last: it runs while everything above exists
};

} // namespace timbrelo
