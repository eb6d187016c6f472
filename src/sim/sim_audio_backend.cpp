#include "platform/wave/sim_audio_backend.h"

#include "platform/wave/header_queue.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace timbrelo {

// What the back end needs of every open device, whatever its direction.
class SimDeviceCore {
  public:
    virtual ~SimDeviceCore() = default;
    virtual void lose(MmResult reason) = 0;
};

namespace {

// What both directions share: the queue, the flags, the worker thread and the way a device
// closes or goes away. The handle owns the core jointly with the worker thread, so a device
// may be closed and destroyed from its own callback.
class SimCoreBase : public SimDeviceCore, public std::enable_shared_from_this<SimCoreBase> {
  public:
    struct Ops {
        SimOp prepare, unprepare, reset, close;
    };

    SimCoreBase(SimAudioBackend& backend, Ops ops) : backend_(backend), ops_(ops) {}

    void launch() {
        worker_ = std::thread([self = shared_from_this()] { self->run(); });
    }

    void release() {
        stopWorker();
        bool wasOpen;
        {
            std::lock_guard lock(mutex_);
            wasOpen = !closed_;
            closed_ = true;
        }
        if (wasOpen) {
            noteClosed();
        }
    }

    MmResult prepareHeader(WaveHeader& h) {
        MmResult code;
        if (backend_.takeFailure(ops_.prepare, code)) {
            return code;
        }
        h.flags |= WHDR_PREPARED;
        return MMSYSERR_NOERROR;
    }

    MmResult unprepareHeader(WaveHeader& h) {
        MmResult code;
        if (backend_.takeFailure(ops_.unprepare, code)) {
            return code;
        }
        if (h.flags & WHDR_INQUEUE) {
            return WAVERR_STILLPLAYING;
        }
        h.flags &= ~WHDR_PREPARED;
        return MMSYSERR_NOERROR;
    }

    MmResult reset() {
        MmResult code;
        if (backend_.takeFailure(ops_.reset, code)) {
            return code;
        }
        // Wait for a delivery in progress, unless this is that delivery's own thread.
        std::unique_lock deliver(deliverMutex_, std::defer_lock);
        if (std::this_thread::get_id() != worker_.get_id()) {
            deliver.lock();
        }
        HeaderQueue returned;
        {
            std::lock_guard lock(mutex_);
            onReset();
            std::swap(returned, queue_);
        }
        while (!returned.empty()) {
            WaveHeader* h = returned.pop_front();
            h->flags = (h->flags & ~WHDR_INQUEUE) | WHDR_DONE;
            deliverData(h);
        }
        return MMSYSERR_NOERROR;
    }

    MmResult close() {
        MmResult code;
        if (backend_.takeFailure(ops_.close, code)) {
            return code;
        }
        bool deliverClose = true;
        bool wasLost = false;
        {
            std::lock_guard lock(mutex_);
            wasLost = lost_;
            if (lost_) {
                // Already closed by itself; Close goes out once, here if not yet delivered.
                deliverClose = closePending_;
                closePending_ = false;
            } else if (closed_) {
                return MMSYSERR_INVALHANDLE;
            } else if (!queue_.empty()) {
                return WAVERR_STILLPLAYING;
            } else {
                closed_ = true;
            }
            cv_.notify_all();
        }
        stopWorker();
        if (!wasLost) {
            noteClosed();
        }
        if (deliverClose) {
            deliverCloseMessage();
        }
        return MMSYSERR_NOERROR;
    }

    MmResult closeReason() const { return reason_.load(); }

    // Called by every operation: the caller holds the device now, so the Close of a loss may
    // reach it (not before its open has even returned).
    void arm() {
        if (armed_.exchange(true)) {
            return;
        }
        std::lock_guard lock(mutex_);
        cv_.notify_all();
    }

    void lose(MmResult reason) override {
        {
            std::lock_guard lock(mutex_);
            if (closed_) {
                return;
            }
            closed_ = true;
            lost_ = true;
            reason_.store(reason);
            closePending_ = true;
            while (!queue_.empty()) {
                queue_.pop_front()->flags &= ~WHDR_INQUEUE;
            }
            cv_.notify_all();
        }
        noteClosed();
    }

  protected:
    // Puts a prepared buffer at the end of the queue.
    MmResult enqueue(WaveHeader& h) {
        if (!(h.flags & WHDR_PREPARED)) {
            return WAVERR_UNPREPARED;
        }
        std::lock_guard lock(mutex_);
        if (lost_) {
            // Until its Close is out, buffers are forgotten like those it held.
            return closePending_ ? MMSYSERR_NOERROR : reason_.load();
        }
        if (closed_) {
            return MMSYSERR_INVALHANDLE;
        }
        if (h.flags & WHDR_INQUEUE) {
            return WAVERR_STILLPLAYING;
        }
        if (!queue_.push_back(&h)) {
            return MMSYSERR_NOMEM;
        }
        h.flags = (h.flags & ~WHDR_DONE) | WHDR_INQUEUE;
        onQueued(h);
        cv_.notify_all();
        return MMSYSERR_NOERROR;
    }

    // Delivers the loss's Close on the worker; true when it did (the worker then ends).
    bool deliverPendingClose() {
        std::lock_guard deliver(deliverMutex_);
        {
            std::lock_guard lock(mutex_);
            if (!closePending_) {
                return false;
            }
            closePending_ = false;
        }
        deliverCloseMessage();
        return true;
    }

    void stopWorker() {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
            cv_.notify_all();
        }
        if (!worker_.joinable()) {
            return;
        }
        if (std::this_thread::get_id() == worker_.get_id()) {
            // Closed from its own callback: the thread ends as soon as the callback returns.
            worker_.detach();
        } else {
            worker_.join();
        }
    }

    virtual void run() = 0;
    virtual void onQueued(WaveHeader&) {}
    virtual void onReset() {}
    virtual void deliverData(WaveHeader* h) = 0;
    virtual void deliverCloseMessage() = 0;
    virtual void noteClosed() = 0;

    SimAudioBackend& backend_;
    Ops ops_;
    std::mutex mutex_;        // guards the queue and the flags
    std::mutex deliverMutex_; // held while a buffer is being delivered
    std::condition_variable cv_;
    HeaderQueue queue_;
    bool closed_ = false;
    bool quit_ = false;
    bool lost_ = false;
    bool closePending_ = false;
    std::atomic<MmResult> reason_{MMSYSERR_NOERROR};
    std::atomic<bool> armed_{false};
    std::thread worker_;
};

// An input device: reads its source into the queued buffers while started.
class SimInputCore : public SimCoreBase {
  public:
    SimInputCore(SimAudioBackend& backend, uint32_t index, std::shared_ptr<PcmSource> source,
                 Pacing pacing, const WaveFormat& format, WaveInCallback& callback)
        : SimCoreBase(backend, {SimOp::Prepare, SimOp::Unprepare, SimOp::Reset, SimOp::Close}),
          index_(index), source_(std::move(source)), pacing_(pacing), format_(format),
          callback_(callback) {}

    MmResult addBuffer(WaveHeader& h) {
        MmResult code;
        if (backend_.takeFailure(SimOp::AddBuffer, code)) {
            return code;
        }
        return enqueue(h);
    }

    MmResult start() {
        MmResult code;
        if (backend_.takeFailure(SimOp::Start, code)) {
            return code;
        }
        std::lock_guard lock(mutex_);
        if (lost_) {
            return reason_.load();
        }
        if (!started_) {
            started_ = true;
            nextDue_ = std::chrono::steady_clock::now();
        }
        cv_.notify_all();
        return MMSYSERR_NOERROR;
    }

  private:
    void onQueued(WaveHeader& h) override { h.bytesRecorded = 0; }
    void onReset() override { started_ = false; }
    void deliverData(WaveHeader* h) override { callback_.onWaveIn(WaveInMessage::Data, h); }
    void deliverCloseMessage() override { callback_.onWaveIn(WaveInMessage::Close, nullptr); }
    void noteClosed() override { backend_.noteClosed(); }

    void run() override {
        const auto bytesPerSecond = static_cast<double>(format_.avgBytesPerSec);
        for (;;) {
            WaveHeader* h = nullptr;
            {
                std::unique_lock lock(mutex_);
                cv_.wait(lock, [&] {
                    return quit_ || (closePending_ && armed_) ||
                           (started_ && !queue_.empty() && !ended_);
                });
                if (quit_) {
                    return;
                }
                if (!closePending_) {
                    h = queue_.front();
                }
            }
            if (h == nullptr) {
                if (deliverPendingClose()) {
                    return;
                }
                continue;
            }
            std::lock_guard deliver(deliverMutex_);
            {
                std::lock_guard lock(mutex_);
                // A reset or close may have taken the buffer meanwhile.
                if (quit_ || lost_ || !started_ || queue_.empty() || queue_.front() != h) {
                    continue;
                }
                queue_.pop_front();
            }
            const size_t got = source_->read(h->data, h->bufferLength);
            if (got == 0) {
                // Nothing more to deliver: put the buffer back and report the end.
                std::lock_guard lock(mutex_);
                queue_.push_front(h);
                ended_ = true;
            } else {
                if (pacing_ == Pacing::RealTime) {
                    nextDue_ += std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(got / bytesPerSecond));
                    std::this_thread::sleep_until(nextDue_);
                }
                h->bytesRecorded = static_cast<uint32_t>(got);
                h->flags = (h->flags & ~WHDR_INQUEUE) | WHDR_DONE;
                callback_.onWaveIn(WaveInMessage::Data, h);
                if (got < h->bufferLength) {
                    std::lock_guard lock(mutex_);
                    ended_ = true;
                }
            }
            bool ended;
            {
                std::lock_guard lock(mutex_);
                ended = ended_;
            }
            if (ended) {
                backend_.noteEnded(index_);
            }
        }
    }

    uint32_t index_;
    std::shared_ptr<PcmSource> source_;
    Pacing pacing_;
    WaveFormat format_;
    WaveInCallback& callback_;
    bool started_ = false;
    bool ended_ = false;
    std::chrono::steady_clock::time_point nextDue_;
};

// An output device: plays the queued buffers in order unless paused, keeping what it played.
class SimOutputCore : public SimCoreBase {
  public:
    SimOutputCore(SimAudioBackend& backend, uint32_t index, Pacing pacing, const WaveFormat& format,
                  WaveOutCallback& callback)
        : SimCoreBase(backend,
                      {SimOp::OutPrepare, SimOp::OutUnprepare, SimOp::OutReset, SimOp::OutClose}),
          index_(index), pacing_(pacing), format_(format), callback_(callback) {}

    MmResult write(WaveHeader& h) {
        MmResult code;
        if (backend_.takeFailure(SimOp::OutWrite, code)) {
            return code;
        }
        return enqueue(h);
    }

    MmResult pause() { return setPaused(SimOp::OutPause, true); }
    MmResult restart() { return setPaused(SimOp::OutRestart, false); }

  private:
    MmResult setPaused(SimOp op, bool paused) {
        MmResult code;
        if (backend_.takeFailure(op, code)) {
            return code;
        }
        std::lock_guard lock(mutex_);
        if (lost_) {
            return reason_.load();
        }
        paused_ = paused;
        cv_.notify_all();
        return MMSYSERR_NOERROR;
    }

    void deliverData(WaveHeader* h) override { callback_.onWaveOut(WaveOutMessage::Done, h); }
    void deliverCloseMessage() override { callback_.onWaveOut(WaveOutMessage::Close, nullptr); }
    void noteClosed() override { backend_.noteOutputClosed(); }

    void run() override {
        using Clock = std::chrono::steady_clock;
        const auto bytesPerSecond = static_cast<double>(format_.avgBytesPerSec);
        Clock::time_point nextDue = Clock::now();
        for (;;) {
            WaveHeader* h = nullptr;
            {
                std::unique_lock lock(mutex_);
                cv_.wait(lock, [&] {
                    return quit_ || (closePending_ && armed_) || (!paused_ && !queue_.empty());
                });
                if (quit_) {
                    return;
                }
                if (!closePending_) {
                    h = queue_.front();
                }
            }
            if (h == nullptr) {
                if (deliverPendingClose()) {
                    return;
                }
                continue;
            }
            std::lock_guard deliver(deliverMutex_);
            {
                std::lock_guard lock(mutex_);
                if (quit_ || lost_ || paused_ || queue_.empty() || queue_.front() != h) {
                    continue;
                }
            }
            if (pacing_ == Pacing::RealTime) {
                // After running dry the device's clock starts again with the next buffer.
                nextDue = std::max(nextDue, Clock::now()) +
                          std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(h->bufferLength / bytesPerSecond));
                std::this_thread::sleep_until(nextDue);
            }
            {
                std::lock_guard lock(mutex_);
                if (quit_ || lost_ || queue_.empty() || queue_.front() != h) {
                    continue;
                }
                queue_.pop_front();
            }
            backend_.notePlayed(index_, h->data, h->bufferLength);
            h->flags = (h->flags & ~WHDR_INQUEUE) | WHDR_DONE;
            callback_.onWaveOut(WaveOutMessage::Done, h);
        }
    }

    uint32_t index_;
    Pacing pacing_;
    WaveFormat format_;
    WaveOutCallback& callback_;
    bool paused_ = false;
};

class SimInputDevice : public WaveInDevice {
  public:
    explicit SimInputDevice(std::shared_ptr<SimInputCore> core) : core_(std::move(core)) {
        core_->launch();
    }
    ~SimInputDevice() override { core_->release(); }
    MmResult prepareHeader(WaveHeader& h) override { return core().prepareHeader(h); }
    MmResult unprepareHeader(WaveHeader& h) override { return core().unprepareHeader(h); }
    MmResult addBuffer(WaveHeader& h) override { return core().addBuffer(h); }
    MmResult start() override { return core().start(); }
    MmResult reset() override { return core().reset(); }
    MmResult close() override { return core().close(); }
    MmResult closeReason() const override { return core_->closeReason(); }

  private:
    // Every operation arms the core first.
    SimInputCore& core() {
        core_->arm();
        return *core_;
    }
    std::shared_ptr<SimInputCore> core_;
};

class SimOutputDevice : public WaveOutDevice {
  public:
    explicit SimOutputDevice(std::shared_ptr<SimOutputCore> core) : core_(std::move(core)) {
        core_->launch();
    }
    ~SimOutputDevice() override { core_->release(); }
    MmResult prepareHeader(WaveHeader& h) override { return core().prepareHeader(h); }
    MmResult unprepareHeader(WaveHeader& h) override { return core().unprepareHeader(h); }
    MmResult write(WaveHeader& h) override { return core().write(h); }
    MmResult pause() override { return core().pause(); }
    MmResult restart() override { return core().restart(); }
    MmResult reset() override { return core().reset(); }
    MmResult close() override { return core().close(); }
    MmResult closeReason() const override { return core_->closeReason(); }

  private:
    SimOutputCore& core() {
        core_->arm();
        return *core_;
    }
    std::shared_ptr<SimOutputCore> core_;
};

} // namespace

SimAudioBackend::SimAudioBackend() = default;
SimAudioBackend::~SimAudioBackend() = default;

uint32_t SimAudioBackend::addInputDevice(std::string name, std::shared_ptr<PcmSource> source,
                                         Pacing pacing) {
    std::lock_guard lock(mutex_);
    inputs_.push_back({std::move(name), std::move(source), pacing});
    return static_cast<uint32_t>(inputs_.size() - 1);
}

void SimAudioBackend::setDefaultInput(uint32_t index) {
    std::lock_guard lock(mutex_);
    defaultInput_ = index;
}

uint32_t SimAudioBackend::defaultInput() const {
    std::lock_guard lock(mutex_);
    return defaultInput_;
}

uint32_t SimAudioBackend::addOutputDevice(std::string name, Pacing pacing, size_t keepBytes) {
    std::lock_guard lock(mutex_);
    outputs_.push_back({std::move(name), pacing, keepBytes, {}});
    return static_cast<uint32_t>(outputs_.size() - 1);
}

void SimAudioBackend::setDefaultOutput(uint32_t index) {
    std::lock_guard lock(mutex_);
    defaultOutput_ = index;
}

uint32_t SimAudioBackend::defaultOutput() const {
    std::lock_guard lock(mutex_);
    return defaultOutput_;
}

void SimAudioBackend::injectFailure(SimOp op, MmResult code, int times) {
    std::lock_guard lock(mutex_);
    failures_[op] = {code, times};
}

bool SimAudioBackend::takeFailure(SimOp op, MmResult& code) {
    std::lock_guard lock(mutex_);
    auto it = failures_.find(op);
    if (it == failures_.end() || it->second.second <= 0) {
        return false;
    }
    code = it->second.first;
    if (--it->second.second == 0) {
        failures_.erase(it);
    }
    return true;
}

void SimAudioBackend::setEndOfInputHandler(std::function<void(uint32_t)> handler) {
    std::lock_guard lock(mutex_);
    endHandler_ = std::move(handler);
}

void SimAudioBackend::noteEnded(uint32_t device) {
    std::function<void(uint32_t)> handler;
    {
        std::lock_guard lock(mutex_);
        if (device >= inputs_.size() || inputs_[device].ended) {
            return;
        }
        inputs_[device].ended = true;
        handler = endHandler_;
    }
    if (handler) {
        handler(device);
    }
}

bool SimAudioBackend::inputEnded(uint32_t device) const {
    std::lock_guard lock(mutex_);
    return device < inputs_.size() && inputs_[device].ended;
}

void SimAudioBackend::notePlayed(uint32_t device, const uint8_t* data, size_t bytes) {
    {
        std::lock_guard lock(mutex_);
        OutputEntry& out = outputs_[device];
        const size_t keep =
            std::min(bytes, out.keepBytes - std::min(out.keepBytes, out.played.size()));
        out.played.insert(out.played.end(), data, data + keep);
        out.playedBytes += bytes;
    }
    playedCv_.notify_all();
}

std::vector<uint8_t> SimAudioBackend::played(uint32_t device) const {
    std::lock_guard lock(mutex_);
    return device < outputs_.size() ? outputs_[device].played : std::vector<uint8_t>{};
}

size_t SimAudioBackend::playedBytes(uint32_t device) const {
    std::lock_guard lock(mutex_);
    return device < outputs_.size() ? outputs_[device].playedBytes : 0;
}

bool SimAudioBackend::waitForPlayed(uint32_t device, size_t bytes,
                                    std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return playedCv_.wait_for(lock, timeout, [&] {
        return device < outputs_.size() && outputs_[device].playedBytes >= bytes;
    });
}

void SimAudioBackend::loseDevices(MmResult reason) {
    std::vector<std::shared_ptr<SimDeviceCore>> live;
    {
        std::lock_guard lock(mutex_);
        for (auto& weak : devices_) {
            if (auto core = weak.lock()) {
                live.push_back(std::move(core));
            }
        }
        devices_.clear();
    }
    for (auto& core : live) {
        core->lose(reason);
    }
}

void SimAudioBackend::track(const std::shared_ptr<SimDeviceCore>& core) {
    std::lock_guard lock(mutex_);
    std::erase_if(devices_, [](const auto& weak) { return weak.expired(); });
    devices_.push_back(core);
}

uint32_t SimAudioBackend::inputDeviceCount() {
    std::lock_guard lock(mutex_);
    return static_cast<uint32_t>(inputs_.size());
}

std::string SimAudioBackend::inputDeviceName(uint32_t index) {
    std::lock_guard lock(mutex_);
    if (index >= inputs_.size()) {
        return {};
    }
    return inputs_[index].name.substr(0, kMaxProductName);
}

MmResult SimAudioBackend::openInput(uint32_t index, const WaveFormat& format,
                                    WaveInCallback& callback,
                                    std::unique_ptr<WaveInDevice>& device) {
    MmResult code;
    if (takeFailure(SimOp::Open, code)) {
        return code;
    }
    std::shared_ptr<PcmSource> source;
    Pacing pacing;
    {
        std::lock_guard lock(mutex_);
        if (index == kWaveMapper) {
            index = defaultInput_;
        }
        if (index >= inputs_.size()) {
            return MMSYSERR_BADDEVICEID;
        }
        source = inputs_[index].source;
        pacing = inputs_[index].pacing;
    }
    if (format.formatTag != 1 || !source->begin(format)) {
        return WAVERR_BADFORMAT;
    }
    ++openInputs_;
    {
        std::lock_guard lock(mutex_);
        inputs_[index].ended = false;
    }
    auto core =
        std::make_shared<SimInputCore>(*this, index, std::move(source), pacing, format, callback);
    track(core);
    device = std::make_unique<SimInputDevice>(std::move(core));
    return MMSYSERR_NOERROR;
}

uint32_t SimAudioBackend::outputDeviceCount() {
    std::lock_guard lock(mutex_);
    return static_cast<uint32_t>(outputs_.size());
}

std::string SimAudioBackend::outputDeviceName(uint32_t index) {
    std::lock_guard lock(mutex_);
    if (index >= outputs_.size()) {
        return {};
    }
    return outputs_[index].name.substr(0, kMaxProductName);
}

MmResult SimAudioBackend::openOutput(uint32_t index, const WaveFormat& format,
                                     WaveOutCallback& callback,
                                     std::unique_ptr<WaveOutDevice>& device) {
    MmResult code;
    if (takeFailure(SimOp::OutOpen, code)) {
        return code;
    }
    Pacing pacing;
    {
        std::lock_guard lock(mutex_);
        if (index == kWaveMapper) {
            index = defaultOutput_;
        }
        if (index >= outputs_.size()) {
            return MMSYSERR_BADDEVICEID;
        }
        pacing = outputs_[index].pacing;
    }
    if (format.formatTag != 1 || format.channels == 0 || format.samplesPerSec == 0 ||
        (format.bitsPerSample != 8 && format.bitsPerSample != 16) || format.avgBytesPerSec == 0) {
        return WAVERR_BADFORMAT;
    }
    ++openOutputs_;
    auto core = std::make_shared<SimOutputCore>(*this, index, pacing, format, callback);
    track(core);
    device = std::make_unique<SimOutputDevice>(std::move(core));
    return MMSYSERR_NOERROR;
}

MmResult SimAudioBackend::getPreferred(SimOp op, uint32_t& index, const uint32_t& preferred,
                                       size_t count) {
    MmResult code;
    if (takeFailure(op, code)) {
        return code;
    }
    std::lock_guard lock(mutex_);
    if (preferred >= count) {
        return MMSYSERR_NODRIVER;
    }
    index = preferred;
    return MMSYSERR_NOERROR;
}

MmResult SimAudioBackend::setPreferred(SimOp op, uint32_t index, uint32_t& preferred,
                                       size_t count) {
    MmResult code;
    if (takeFailure(op, code)) {
        return code;
    }
    std::lock_guard lock(mutex_);
    if (index >= count) {
        return MMSYSERR_BADDEVICEID;
    }
    preferred = index;
    return MMSYSERR_NOERROR;
}

MmResult SimAudioBackend::getPreferredInput(uint32_t& index) {
    return getPreferred(SimOp::GetPreferredInput, index, defaultInput_, inputDeviceCount());
}

MmResult SimAudioBackend::getPreferredOutput(uint32_t& index) {
    return getPreferred(SimOp::GetPreferredOutput, index, defaultOutput_, outputDeviceCount());
}

MmResult SimAudioBackend::setPreferredInput(uint32_t index) {
    return setPreferred(SimOp::SetPreferredInput, index, defaultInput_, inputDeviceCount());
}

MmResult SimAudioBackend::setPreferredOutput(uint32_t index) {
    return setPreferred(SimOp::SetPreferredOutput, index, defaultOutput_, outputDeviceCount());
}

std::string SimAudioBackend::inputErrorText(MmResult code) {
    return standardErrorText(code);
}

std::string SimAudioBackend::outputErrorText(MmResult code) {
    return standardErrorText(code);
}

} // namespace timbrelo
