#pragma once
// One record or playback stream on the sound server, shaped as a wave device: buffers are
// queued, filled (record) or drained into the server (playback) on the event loop's thread,
// and handed back on a callback thread of the device's own, so that the caller's processing
// never holds up the event loop and the caller may use the device from its callback.

#include "platform/wave/audio_backend.h"
#include "platform/wave/header_queue.h"
#include "platform/wave/pulse_connection.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

struct pa_context;
struct pa_stream;

namespace timbrelo {

class PulseStreamCore : public std::enable_shared_from_this<PulseStreamCore> {
  public:
    enum class Direction { Record, Playback };

    PulseStreamCore(std::shared_ptr<PulseConnection> connection, const WaveFormat& format,
                    WaveInCallback& callback);
    PulseStreamCore(std::shared_ptr<PulseConnection> connection, const WaveFormat& format,
                    WaveOutCallback& callback);
    ~PulseStreamCore();

    // With the connection locked: creates the stream on `device` (the server's name; null
    // for the default device) and waits until it runs. Then `launch` starts the callback
    // thread; on failure, `release` undoes what was made.
    MmResult open(pa_context* context, const char* device);
    void launch();
    // The handle is gone: ends the stream and the callbacks without delivering anything.
    void release();

    MmResult prepareHeader(WaveHeader& header);
    MmResult unprepareHeader(WaveHeader& header);
    // addBuffer (record) or write (playback).
    MmResult queue(WaveHeader& header);
    MmResult start();                // record
    MmResult setPaused(bool paused); // playback
    MmResult reset();
    MmResult close();
    MmResult closeReason() const { return reason_.load(); }

  private:
    PulseStreamCore(std::shared_ptr<PulseConnection> connection, Direction direction,
                    const WaveFormat& format, WaveInCallback* in, WaveOutCallback* out);

    // On the loop (lock held).
    static void onState(pa_stream* stream, void* self);
    static void onRequest(pa_stream* stream, size_t bytes, void* self);
    void pump();
    void pumpRecord();
    void pumpPlayback();
    void discardRecorded();
    void finish(WaveHeader* header);
    void lose(MmResult reason);
    void disconnect();
    MmResult cork(bool corked);
    void setBufferAttr(uint32_t bufferLength);

    // Any thread.
    void arm();
    bool onCallbackThread() const;
    void stopCallbacks();
    void runCallbacks();
    void deliver(WaveHeader* header);
    void deliverClose();

    std::shared_ptr<PulseConnection> connection_;
    const Direction direction_;
    const WaveFormat format_;
    WaveInCallback* const inCallback_;
    WaveOutCallback* const outCallback_;

    // Guarded by the connection's lock.
    pa_stream* stream_ = nullptr;
    HeaderQueue pending_;
    size_t offset_ = 0;     // playback: bytes of the front buffer already written
    size_t peekOffset_ = 0; // record: bytes of the server's current fragment already taken
    uint32_t attrBufferLength_ = 0;
    bool opened_ = false;
    bool started_ = false;
    bool closed_ = false;
    bool lost_ = false;

    // Hand-over to the callback thread.
    std::mutex doneMutex_;
    std::condition_variable doneCv_;
    HeaderQueue done_;
    bool closePending_ = false;
    bool quit_ = false;
    std::mutex deliverMutex_; // held while a callback runs
    std::atomic<bool> armed_{false};
    std::atomic<MmResult> reason_{MMSYSERR_NOERROR};
    std::atomic<std::thread::id> callbackId_{};
    std::thread callbackThread_;
};

class PulseInputDevice : public WaveInDevice {
  public:
    explicit PulseInputDevice(std::shared_ptr<PulseStreamCore> core) : core_(std::move(core)) {}
    ~PulseInputDevice() override { core_->release(); }
    MmResult prepareHeader(WaveHeader& h) override { return core_->prepareHeader(h); }
    MmResult unprepareHeader(WaveHeader& h) override { return core_->unprepareHeader(h); }
    MmResult addBuffer(WaveHeader& h) override { return core_->queue(h); }
    MmResult start() override { return core_->start(); }
    MmResult reset() override { return core_->reset(); }
    MmResult close() override { return core_->close(); }
    MmResult closeReason() const override { return core_->closeReason(); }

  private:
    std::shared_ptr<PulseStreamCore> core_;
};

class PulseOutputDevice : public WaveOutDevice {
  public:
    explicit PulseOutputDevice(std::shared_ptr<PulseStreamCore> core) : core_(std::move(core)) {}
    ~PulseOutputDevice() override { core_->release(); }
    MmResult prepareHeader(WaveHeader& h) override { return core_->prepareHeader(h); }
    MmResult unprepareHeader(WaveHeader& h) override { return core_->unprepareHeader(h); }
    MmResult write(WaveHeader& h) override { return core_->queue(h); }
    MmResult pause() override { return core_->setPaused(true); }
    MmResult restart() override { return core_->setPaused(false); }
    MmResult reset() override { return core_->reset(); }
    MmResult close() override { return core_->close(); }
    MmResult closeReason() const override { return core_->closeReason(); }

  private:
    std::shared_ptr<PulseStreamCore> core_;
};

} // namespace timbrelo
