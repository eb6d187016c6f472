#include "audio/dc_audio_player.h"

#include "platform/debug.h"
#include "platform/messages.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace timbrelo {

class DCAudioPlayer::ProducerScope {
  public:
    explicit ProducerScope(std::atomic<int>& count) : count_(count) { ++count_; }
    ~ProducerScope() { --count_; }
    ProducerScope(const ProducerScope&) = delete;
    ProducerScope& operator=(const ProducerScope&) = delete;

  private:
    std::atomic<int>& count_;
};

DCAudioPlayer::DCAudioPlayer(AudioBackend& backend) : DCAudioPlayer(backend, Options{}) {}

DCAudioPlayer::DCAudioPlayer(AudioBackend& backend, Options options)
    : backend_(backend), options_(options), ring_(new uint8_t[kRingBytes]()) {}

DCAudioPlayer::~DCAudioPlayer() {
    stop();
    if (device_) {
        closeDevice(false);
    }
    releaseBuffers();
}

int32_t DCAudioPlayer::selectDevice(uint32_t deviceIndex, uint32_t bufferBytes, uint32_t,
                                    uint32_t) {
    stop();
    if (device_) {
        closeDevice(false);
    }
    releaseBuffers();
    deviceIndex_ = deviceIndex;
    if ((deviceIndex != kWaveMapper && deviceIndex >= backend_.outputDeviceCount()) ||
        bufferBytes == 0 || bufferBytes > kMaxBufferBytes) {
        showStringMessage(IDS_ERROR_AUDIO_DEVICE);
        return 0;
    }
    bufferBytes_.store(bufferBytes);
    state_.store(PlayerState::Ready);
    return 1;
}

void DCAudioPlayer::setFormat(uint32_t stereo, uint32_t rate, uint16_t bits) {
    format_ = WaveFormat::pcm(stereo != 0 ? 2 : 1, rate, bits);
}

int32_t DCAudioPlayer::openStream() {
    // A second open without a stop would leave the first device playing nothing, forever.
    if (device_) {
        closeDevice(false);
    }
    deviceLost_.store(false);
    std::unique_ptr<WaveOutDevice> device;
    const MmResult rc = backend_.openOutput(deviceIndex_, format_, *this, device);

    releaseBuffers();
    const uint32_t count =
        bufferCountFor(format_.channels, format_.bitsPerSample, format_.samplesPerSec);
    buffers_.assign(count, std::vector<uint8_t>(bufferBytes_.load(), 0));
    headers_.assign(count, WaveHeader{});
    fillCounts_.assign(count, 0);
    bufferCount_.store(count);
    debugPrintf("***New play format c:%d,fre:%d,bits:%d\n", format_.channels, format_.samplesPerSec,
                format_.bitsPerSample);
    if (rc != MMSYSERR_NOERROR) {
        showDeviceError(rc, "waveOutOpen()");
        return 0;
    }
    device_ = std::move(device);
    // What arrived while no device was open is old by now.
    read_.store(write_.load());
    published_.store(device_.get());
    return 1;
}

uint32_t DCAudioPlayer::usedBytes() const {
    return (write_.load() - read_.load() + kRingBytes) % kRingBytes;
}

uint32_t DCAudioPlayer::startThreshold() const {
    // Half the ring at most: a threshold the ring can't reach would never start playback.
    return std::min(bufferBytes_.load() * (bufferCount_.load() + 4), kRingBytes / 2);
}

void DCAudioPlayer::addData(const uint8_t* data, uint32_t length) {
    if (length == 0) {
        return;
    }
    ProducerScope scope(activeProducers_);
    if (state_.load() == PlayerState::Stopping) {
        return;
    }
    const uint32_t w = write_.load(std::memory_order_relaxed);
    const uint32_t used = (w - read_.load(std::memory_order_acquire) + kRingBytes) % kRingBytes;
    const uint32_t free = kRingBytes - 1 - used;
    if (used >= startThreshold() && state_.load() == PlayerState::Ready) {
        // Not play(): a stop or reopen may begin between the check and the start, and that
        // is no status error to show the user. playOn leaves such a stop to drain.
        if (WaveOutDevice* device = published_.load()) {
            debugWrite("----Play.\n");
            playOn(*device);
        }
    }
    if (free < length) {
        debugWrite("Temp Buffer is full, some data lost.\n");
        return;
    }
    const uint32_t first = std::min(length, kRingBytes - w);
    std::memcpy(ring_.get() + w, data, first);
    std::memcpy(ring_.get(), data + first, length - first);
    write_.store((w + length) % kRingBytes, std::memory_order_release);

    if (queued_.load() == 0 && state_.load() == PlayerState::Playing) {
        if (WaveOutDevice* device = published_.load()) {
            refill(*device);
        }
    }
}

int32_t DCAudioPlayer::play() {
    ProducerScope scope(activeProducers_);
    debugWrite("----Play.\n");
    if (state_.load() != PlayerState::Ready) {
        showStringMessage(IDS_PLAYER_STATUS_ERROR);
        return 0;
    }
    WaveOutDevice* device = published_.load();
    if (device == nullptr) {
        return 0;
    }
    return playOn(*device);
}

int32_t DCAudioPlayer::playOn(WaveOutDevice& device) {
    queued_.store(0);
    if (MmResult rc = device.pause(); rc != 0) {
        showDeviceError(rc, "waveOutPause() failed");
    }
    for (uint32_t i = 0; i < bufferCount_.load(); ++i) {
        writeBuffer(device, i, fillFromRing(buffers_[i].data(), bufferBytes_));
    }
    // Playing before the device runs, so the first buffer back is already refilled; unless a
    // stop began meanwhile, which then lets these buffers drain.
    PlayerState expected = PlayerState::Ready;
    const bool playing = state_.compare_exchange_strong(expected, PlayerState::Playing);
    if (MmResult rc = device.restart(); rc != 0) {
        showDeviceError(rc, "waveOutRestart() failed");
    }
    debugWrite("----Play End.\n");
    return playing ? 1 : 0;
}

void DCAudioPlayer::refill(WaveOutDevice& device) {
    // Take from the ring first and write afterwards: once a buffer is written its callback
    // feeds from the ring too, and the ring's read side must have one writer at a time.
    const uint32_t n = bufferCount_.load();
    uint32_t filled = 0;
    for (; filled < n; ++filled) {
        fillCounts_[filled] = fillFromRing(buffers_[filled].data(), bufferBytes_);
        if (fillCounts_[filled] == 0) {
            break;
        }
    }
    for (uint32_t i = 0; i < filled; ++i) {
        writeBuffer(device, i, fillCounts_[i]);
    }
}

uint32_t DCAudioPlayer::fillFromRing(uint8_t* dst, uint32_t size) {
    const uint32_t r = read_.load(std::memory_order_relaxed);
    const uint32_t used = (write_.load(std::memory_order_acquire) - r + kRingBytes) % kRingBytes;
    const uint32_t n = std::min(used, size);
    if (n == 0) {
        debugWrite("Temp Buffer is empty.\n");
        return 0;
    }
    const uint32_t first = std::min(n, kRingBytes - r);
    std::memcpy(dst, ring_.get() + r, first);
    std::memcpy(dst + first, ring_.get(), n - first);
    if (n > first && n < size) {
        debugWrite("DCAudioPlayer::GetNetData ata not enough for capture1.\n");
    }
    read_.store((r + n) % kRingBytes, std::memory_order_release);
    return n;
}

bool DCAudioPlayer::writeBuffer(WaveOutDevice& device, uint32_t index, uint32_t count) {
    const uint32_t bytes = bufferBytes_.load();
    uint8_t* data = buffers_[index].data();
    // The whole buffer always plays: what the ring did not fill plays as silence, not as
    // whatever the buffer held before.
    std::memset(data + count, 0, bytes - count);
    WaveHeader& h = headers_[index];
    h = WaveHeader{};
    h.data = data;
    h.bufferLength = bytes;
    h.bytesRecorded = count;
    h.user = index;
    if (MmResult rc = device.prepareHeader(h); rc != 0) {
        showDeviceError(rc, "waveOutPrepareHeader() failed");
        return false;
    }
    // Counted before the write, since it may come back at once; a refused one is not counted.
    ++queued_;
    if (MmResult rc = device.write(h); rc != 0) {
        --queued_;
        showDeviceError(rc, "waveOutWrite() failed");
        return false;
    }
    return true;
}

void DCAudioPlayer::stop() {
    debugWrite("Stop. ");
    if (deviceLost_.load() && device_) {
        // The device went away by itself: nothing is queued, just forget it.
        closeDevice(false);
        return;
    }
    const PlayerState s = state_.load();
    if ((s != PlayerState::Playing && s != PlayerState::Stopping) || !device_) {
        return;
    }
    closeDevice(true);
    debugWrite("Stop End.\n");
}

void DCAudioPlayer::closeDevice(bool drain) {
    state_.store(PlayerState::Stopping);
    published_.store(nullptr);
    while (activeProducers_.load() != 0) {
        std::this_thread::yield();
    }
    if (drain) {
        // The buffers drain without refill; a device that stops taking them must not hold
        // the caller forever.
        const auto queuedAudio = std::chrono::milliseconds(
            format_.avgBytesPerSec == 0 ? 0
                                        : uint64_t{bufferBytes_.load()} * bufferCount_.load() *
                                              1000 / format_.avgBytesPerSec);
        const auto deadline = std::chrono::steady_clock::now() + queuedAudio + options_.drainSlack;
        while (queued_.load() > 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(options_.pollStep);
        }
    }
    if (MmResult rc = device_->reset(); rc != 0) {
        showDeviceError(rc, "waveOutReset() failed");
    }
    closing_.store(true);
    device_->pause();
    if (MmResult rc = device_->close(); rc != 0) {
        showDeviceError(rc, "waveOutClose() failed");
    }
    // Destroying the device ends its callbacks even when the close failed.
    device_.reset();
    closing_.store(false);
    deviceLost_.store(false);
    queued_.store(0);
    read_.store(0);
    write_.store(0);
    state_.store(PlayerState::Ready);
}

void DCAudioPlayer::releaseBuffers() {
    if (device_) {
        return;
    }
    bufferCount_.store(0);
    buffers_.clear();
    headers_.clear();
    fillCounts_.clear();
}

void DCAudioPlayer::onWaveOut(WaveOutMessage message, WaveHeader* header) {
    if (message == WaveOutMessage::Done) {
        if (header != nullptr) {
            onBufferDone(*header);
        }
        return;
    }
    queued_.store(0);
    if (closing_.load()) {
        return; // closed on request: the closer sets the state
    }
    // The device went away: nothing plays any more; `stop` or `openStream` tidies up. A stop
    // in progress sets the state itself.
    published_.store(nullptr);
    deviceLost_.store(true);
    PlayerState expected = PlayerState::Playing;
    state_.compare_exchange_strong(expected, PlayerState::Ready);
    const MmResult reason = device_->closeReason();
    showDeviceError(reason != 0 ? reason : MMSYSERR_NODRIVER, "Playback stopped.");
}

void DCAudioPlayer::onBufferDone(WaveHeader& header) {
    WaveOutDevice& device = *device_;
    if (MmResult rc = device.unprepareHeader(header); rc != 0) {
        showDeviceError(rc, "waveOutUnprepareHeader() failed");
        --queued_; // it is back from the device all the same
        return;
    }
    if (state_.load() == PlayerState::Playing) {
        const auto i = static_cast<uint32_t>(header.user);
        writeBuffer(device, i, fillFromRing(buffers_[i].data(), bufferBytes_));
    }
    // Only now: while a returned buffer is being refilled the count must not read 0, or a
    // producer would refill every buffer at the same time.
    --queued_;
}

void DCAudioPlayer::showDeviceError(MmResult code, const char* what) {
    std::string text = backend_.outputErrorText(code);
    if (text.size() > 100) {
        text.resize(100);
    }
    showMessagePrintf("WAVEOUT:%x:%s %s", code, text.c_str(), what);
}

} // namespace timbrelo
