#pragma once
// Plays a stream of PCM that arrives in blocks of any size from another thread. Blocks go
// into a fixed ring; the output device is fed from the ring in whole buffers, playback starts
// by itself once enough audio has gathered, and silence keeps the device running when the
// ring runs dry.
//
// Threads: `addData` runs on one producer thread at a time (the capture callback or the
// render reader); the device's callbacks refill buffers on the back end's callback thread;
// `selectDevice`, `openStream`, `stop` and the destructor run on a controlling thread. The
// ring positions have one writer each (write: the producer; read: whoever feeds the device,
// which is one thread at a time); everything shared is atomic and no lock is taken.

#include "audio/delivery_targets.h"
#include "platform/wave/audio_backend.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace timbrelo {

enum class PlayerState : int32_t { Idle = 0, Ready = 1, Playing = 2, Stopping = 3 };

class DCAudioPlayer : public PcmTarget, private WaveOutCallback {
  public:
    static constexpr uint32_t kRingBytes = 0xF000; // 61440; holds at most one byte less
    static constexpr uint32_t kDefaultBufferBytes = 2048;
    // Largest buffer size `selectDevice` accepts: the ring must hold several buffers.
    static constexpr uint32_t kMaxBufferBytes = kRingBytes / 4;

    struct Options {
        // Step of `stop`'s wait for the device to hand its buffers back.
        std::chrono::milliseconds pollStep{10};
        // How much longer than the queued audio lasts `stop` waits before resetting anyway.
        std::chrono::milliseconds drainSlack{2000};
    };

    explicit DCAudioPlayer(AudioBackend& backend);
    DCAudioPlayer(AudioBackend& backend, Options options);
    virtual ~DCAudioPlayer();
    DCAudioPlayer(const DCAudioPlayer&) = delete;
    DCAudioPlayer& operator=(const DCAudioPlayer&) = delete;

    // Stops the player, closes its device and stores the device. 1 on success; 0 with
    // "Error audio device." for an index at or above the device count (kWaveMapper is always
    // accepted) or a buffer size of 0 or above kMaxBufferBytes.
    int32_t selectDevice(uint32_t deviceIndex, uint32_t bufferBytes, uint32_t reserved1 = 0,
                         uint32_t reserved2 = 0);
    // The format of the next `openStream`.
    void setFormat(uint32_t stereo, uint32_t rate, uint16_t bits);
    // Opens the device (closing one still open first) and allocates the buffers. 1 on
    // success; 0 after showing "WAVEOUT:%x:%s waveOutOpen()". The state stays as it is.
    int32_t openStream();
    // Appends a block; starts playback once enough audio has gathered. A block that does not
    // fit is dropped whole.
    void addData(const uint8_t* data, uint32_t length) override;
    // Starts output from the ring; 1 when playing. 0 with "Player status error." unless ready,
    // and 0 without a message when no device is open (its failure was already shown).
    int32_t play();
    // Lets the queued buffers play out, then resets and closes the device and empties the
    // ring. Does nothing unless playing (or the device has gone away by itself).
    void stop();

    PlayerState state() const { return state_.load(); }
    int32_t queuedCount() const { return queued_.load(); }
    uint32_t readPosition() const { return read_.load(); }
    uint32_t writePosition() const { return write_.load(); }
    uint32_t usedBytes() const;
    uint32_t deviceIndex() const { return deviceIndex_; }
    uint32_t bufferBytes() const { return bufferBytes_.load(); }
    uint32_t bufferCount() const { return static_cast<uint32_t>(buffers_.size()); }
    const WaveFormat& format() const { return format_; }
    bool deviceOpen() const { return device_ != nullptr; }

  private:
    // Counts a producer in while it may touch the device, so the device is never closed under it.
    class ProducerScope;

    void onWaveOut(WaveOutMessage message, WaveHeader* header) override;
    void onBufferDone(WaveHeader& header);
    int32_t playOn(WaveOutDevice& device);
    void refill(WaveOutDevice& device);
    uint32_t fillFromRing(uint8_t* dst, uint32_t size);
    bool writeBuffer(WaveOutDevice& device, uint32_t index, uint32_t count);
    // Stops feeding, optionally lets the queued buffers play out, then resets, closes and
    // forgets the device and empties the ring; the state ends ready.
    void closeDevice(bool drain);
    void releaseBuffers();
    uint32_t startThreshold() const;
    void showDeviceError(MmResult code, const char* what);

    AudioBackend& backend_;
    Options options_;

    std::atomic<int32_t> queued_{0};
    std::atomic<PlayerState> state_{PlayerState::Idle};
    uint32_t deviceIndex_ = 0;
    WaveFormat format_;
    std::unique_ptr<WaveOutDevice> device_;
    // The device as producers see it: null while none may be used.
    std::atomic<WaveOutDevice*> published_{nullptr};
    std::atomic<int> activeProducers_{0};
    std::atomic<bool> closing_{false};
    std::atomic<bool> deviceLost_{false};
    std::vector<std::vector<uint8_t>> buffers_;
    std::vector<WaveHeader> headers_;
    std::vector<uint32_t> fillCounts_; // the producer's refill plan, one per buffer
    std::atomic<uint32_t> bufferBytes_{kDefaultBufferBytes};
    std::atomic<uint32_t> bufferCount_{0};

    std::unique_ptr<uint8_t[]> ring_;
    std::atomic<uint32_t> read_{0};
    std::atomic<uint32_t> write_{0};
};

} // namespace timbrelo
