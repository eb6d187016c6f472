#pragma once
// Records a conversation to a WAV or an MP3 file. Slot 0 (Origin) takes the unprocessed
// voice, slot 1 (Effect) the processed voice. Whatever arrives, the voice (tag 1) and the
// audio other programs play to the virtual speaker (tag 0), meets sample by sample in the
// mix ring before it reaches a file. MP3 files are made by the encoder library, loaded at
// run time when the first MP3 recording starts and released when capture stops.
//
// Threads: `write` runs on the capture callback thread and on the render reader thread; the
// ring lock serialises them and covers the mixing, the encoding and the file writes.
// Starting and stopping run on the user-interface or a link watcher thread; they take a
// control lock of their own and the ring lock only while they change what `write` uses.
// Messages are shown after the locks are released, so a message box never holds up the
// audio threads.
//
// On its own (no capture engine): `setCaptureFormat`, `startRecording`, `write` blocks of at
// most kMaxBlockBytes with tag 1, `stopRecording` for the slot with both kinds.

#include "audio/delivery_targets.h"
#include "lame_enc/lame_enc.h"
#include "platform/riff_writer.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace timbrelo {

class RecordingWriter final : public RecordingTarget {
  public:
    static constexpr uint32_t kMixRingBytes = 10240;
    // Larger blocks are ignored by `write`.
    static constexpr uint32_t kMaxBlockBytes = 8192;
    static constexpr const char* kEncoderLibrary = "liblame_enc.so";
    static constexpr int kSlots = 2;

    RecordingWriter();
    // Finishes any recording still open, then releases the encoder library.
    ~RecordingWriter();
    RecordingWriter(const RecordingWriter&) = delete;
    RecordingWriter& operator=(const RecordingWriter&) = delete;

    // Opens the slot's file: MP3 when the path ends in ".mp3" (any case), otherwise WAV. Sets
    // the recording flag. 1 on success; 0 after a message saying why.
    int32_t startRecording(uint32_t slot, const std::string& path);
    // Clears the recording flag, writes out what the mix ring still holds, and closes the
    // slot's file of `kind` ("wav" or "mp3").
    void stopRecording(uint32_t slot, const char* kind) override;
    // Hands PCM in the capture format to the mix ring; `tag` names the source.
    void write(const uint8_t* data, uint32_t length, uint32_t tag) override;

    // Finishes any MP3 recording still open and forgets the slots' encoder state.
    void resetEncoderState() override;
    // The format of everything written, and the capture buffers' total size, which sizes
    // the MP3 staging buffer. Before any call: the pipeline format with 6 buffers of 2048.
    void setCaptureFormat(const WaveFormat& format, uint32_t bufferCount,
                          uint32_t bufferBytes) override;
    bool recordsSlot(RecordSlot slot) const override;
    // Finishes any MP3 recording still open, releases the library, resets the encoder state.
    void unloadEncoder() override;

    // The encoder library: a bare file name is looked for next to the executable, then on
    // the normal library path; a name with a '/' is loaded as it is.
    void setEncoderLibrary(std::string name);

    bool recording() const { return recording_.load(); }
    bool encoderLoaded() const { return encoderLoaded_.load(); }
    bool wavOpen(uint32_t slot) const { return slot < kSlots && slots_[slot].wavOpen.load(); }
    bool mp3Open(uint32_t slot) const { return slot < kSlots && slots_[slot].mp3Open.load(); }

    // Mixes two samples: `ring` from the source already waiting, `block` from the other.
    static int16_t mix(int16_t ring, int16_t block);

  private:
    struct Encoder {
        BEINITSTREAM initStream = nullptr;
        BEENCODECHUNK encodeChunk = nullptr;
        BEDEINITSTREAM deinitStream = nullptr;
        BECLOSESTREAM closeStream = nullptr;
        BEVERSION version = nullptr;
        BEWRITEVBRHEADER writeVbrHeader = nullptr;
        BEWRITEINFOTAG writeInfoTag = nullptr;
    };

    struct Slot {
        RiffWriter wav;
        std::atomic<bool> wavOpen{false};
        int mp3Fd = -1;
        std::atomic<bool> mp3Open{false};
        HBE_STREAM stream = 0;
        bool streamLive = false; // false once the stream is closed, even after a failure
        std::vector<uint8_t> mp3Buffer;
        std::vector<uint8_t> staging; // its size is the staging capacity
        uint32_t stagingFill = 0;
        uint32_t chunkBytes = 0;
        std::string fileName;
        bool wavFailed = false; // a write failed: the file keeps what it had, nothing more
        bool mp3Failed = false;
    };

    class Notices;

    bool loadEncoder(Notices& notices);
    bool openMp3(uint32_t slot, const std::string& path, Notices& notices);
    bool openWav(uint32_t slot, const std::string& path, Notices& notices);
    // The functions below run with the ring lock held.
    void closeWavLocked(Slot& slot, Notices& notices);
    void closeMp3Locked(Slot& slot, Notices& notices);
    void drainLocked(Notices& notices);
    void flushLocked(uint32_t bytes, Notices& notices);
    void stageLocked(Slot& slot, const uint8_t* data, uint32_t bytes, Notices& notices);
    void encodeLocked(Slot& slot, const uint8_t* pcm, uint32_t bytes, Notices& notices);
    void writeMp3Locked(Slot& slot, const uint8_t* data, uint32_t bytes, Notices& notices);
    void clearSlotEncoderLocked(Slot& slot);
    // Finishes every open MP3 file (what the ring holds first) and forgets the encoder state.
    void finishMp3sLocked(Notices& notices);
    bool anyFileOpen() const;

    // Serialises starting, stopping, resetting and unloading. Taken before the ring lock.
    std::mutex controlMutex_;
    WaveFormat format_;
    uint32_t stagingCapacity_;
    std::string libraryName_ = kEncoderLibrary;
    void* module_ = nullptr;

    // The ring lock: guards the mix ring, the slots' files and encoder state, the entry
    // points and everything `write` touches.
    std::mutex ringMutex_;
    alignas(16) std::array<uint8_t, kMixRingBytes> ring_{};
    uint32_t fill_ = 0;
    uint32_t lastTag_ = 0;
    Encoder encoder_;
    std::array<Slot, kSlots> slots_;

    std::atomic<bool> recording_{false};
    std::atomic<bool> encoderLoaded_{false};
};

} // namespace timbrelo
