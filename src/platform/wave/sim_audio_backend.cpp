#include "platform/wave/sim_audio_backend.h"

#include <array>
#include <chrono>
#include <thread>

namespace timbrelo {
namespace {

// The device's queue of buffers: a fixed ring, so queueing never allocates.
class HeaderQueue {
  public:
    bool empty() const { return count_ == 0; }
    bool push_back(WaveHeader* h) {
        if (count_ == slots_.size()) {
            return false;
        }
        slots_[(head_ + count_++) % slots_.size()] = h;
        return true;
    }
    void push_front(WaveHeader* h) {
        head_ = (head_ + slots_.size() - 1) % slots_.size();
        slots_[head_] = h;
        ++count_;
    }
    WaveHeader* front() const { return slots_[head_]; }
    WaveHeader* pop_front() {
        WaveHeader* h = slots_[head_];
        head_ = (head_ + 1) % slots_.size();
        --count_;
        return h;
    }

  private:
    std::array<WaveHeader*, 256> slots_{};
    size_t head_ = 0;
    size_t count_ = 0;
};

// The device's state and thread. The handle below owns it jointly with the thread, so the
// device may be closed and destroyed from its own callback.
class SimInputCore : public std::enable_shared_from_this<SimInputCore> {
  public:
    SimInputCore(SimAudioBackend& backend, uint32_t index, std::shared_ptr<PcmSource> source,
                 Pacing pacing, const WaveFormat& format, WaveInCallback& callback)
        : backend_(backend), index_(index), source_(std::move(source)), pacing_(pacing),
          format_(format), callback_(callback) {}

    void launch() {
        worker_ = std::thread([self = shared_from_this()] { self->run(); });
    }

    void release() {
        stopWorker();
        if (!closed_) {
            backend_.noteClosed();
        }
    }

    MmResult prepareHeader(WaveHeader& h) {
        MmResult code;
        if (backend_.takeFailure(SimOp::Prepare, code)) {
            return code;
        }
        h.flags |= WHDR_PREPARED;
        return MMSYSERR_NOERROR;
    }

    MmResult unprepareHeader(WaveHeader& h) {
        MmResult code;
        if (backend_.takeFailure(SimOp::Unprepare, code)) {
            return code;
        }
        if (h.flags & WHDR_INQUEUE) {
            return WAVERR_STILLPLAYING;
        }
        h.flags &= ~WHDR_PREPARED;
        return MMSYSERR_NOERROR;
    }

    MmResult addBuffer(WaveHeader& h) {
        MmResult code;
        if (backend_.takeFailure(SimOp::AddBuffer, code)) {
            return code;
        }
        if (!(h.flags & WHDR_PREPARED)) {
            return WAVERR_UNPREPARED;
        }
        std::lock_guard lock(mutex_);
        if (closed_) {
            return MMSYSERR_INVALHANDLE;
        }
        if (!queue_.push_back(&h)) {
            return MMSYSERR_NOMEM;
        }
        h.flags = (h.flags & ~WHDR_DONE) | WHDR_INQUEUE;
        h.bytesRecorded = 0;
        cv_.notify_all();
        return MMSYSERR_NOERROR;
    }

    MmResult start() {
        MmResult code;
        if (backend_.takeFailure(SimOp::Start, code)) {
            return code;
        }
        std::lock_guard lock(mutex_);
        if (!started_) {
            started_ = true;
            nextDue_ = std::chrono::steady_clock::now();
        }
        cv_.notify_all();
        return MMSYSERR_NOERROR;
    }

    MmResult reset() {
        MmResult code;
        if (backend_.takeFailure(SimOp::Reset, code)) {
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
            started_ = false;
            std::swap(returned, queue_);
        }
        while (!returned.empty()) {
            WaveHeader* h = returned.pop_front();
            h->flags = (h->flags & ~WHDR_INQUEUE) | WHDR_DONE;
            callback_.onWaveIn(WaveInMessage::Data, h);
        }
        return MMSYSERR_NOERROR;
    }

    MmResult close() {
        MmResult code;
        if (backend_.takeFailure(SimOp::Close, code)) {
            return code;
        }
        {
            std::lock_guard lock(mutex_);
            if (closed_) {
                return MMSYSERR_INVALHANDLE;
            }
            if (!queue_.empty()) {
                return WAVERR_STILLPLAYING;
            }
            closed_ = true;
            cv_.notify_all();
        }
        stopWorker();
        backend_.noteClosed();
        callback_.onWaveIn(WaveInMessage::Close, nullptr);
        return MMSYSERR_NOERROR;
    }

  private:
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

    void run() {
        const auto bytesPerSecond = static_cast<double>(format_.avgBytesPerSec);
        for (;;) {
            WaveHeader* h = nullptr;
            {
                std::unique_lock lock(mutex_);
                cv_.wait(lock, [&] { return quit_ || (started_ && !queue_.empty() && !ended_); });
                if (quit_) {
                    return;
                }
                h = queue_.front();
            }
            std::lock_guard deliver(deliverMutex_);
            {
                std::lock_guard lock(mutex_);
                // A reset or close may have taken the buffer meanwhile.
                if (quit_ || !started_ || queue_.empty() || queue_.front() != h) {
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

    SimAudioBackend& backend_;
    uint32_t index_;
    std::shared_ptr<PcmSource> source_;
    Pacing pacing_;
    WaveFormat format_;
    WaveInCallback& callback_;

    std::mutex mutex_;        // guards the queue and the flags
    std::mutex deliverMutex_; // held while a buffer is being delivered
    std::condition_variable cv_;
    HeaderQueue queue_;
    bool started_ = false;
    bool closed_ = false;
    bool quit_ = false;
    bool ended_ = false;
    std::chrono::steady_clock::time_point nextDue_;
    std::thread worker_;
};

class SimInputDevice : public WaveInDevice {
  public:
    explicit SimInputDevice(std::shared_ptr<SimInputCore> core) : core_(std::move(core)) {
        core_->launch();
    }
    ~SimInputDevice() override { core_->release(); }
    MmResult prepareHeader(WaveHeader& h) override { return core_->prepareHeader(h); }
    MmResult unprepareHeader(WaveHeader& h) override { return core_->unprepareHeader(h); }
    MmResult addBuffer(WaveHeader& h) override { return core_->addBuffer(h); }
    MmResult start() override { return core_->start(); }
    MmResult reset() override { return core_->reset(); }
    MmResult close() override { return core_->close(); }

  private:
    std::shared_ptr<SimInputCore> core_;
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
    device = std::make_unique<SimInputDevice>(
        std::make_shared<SimInputCore>(*this, index, std::move(source), pacing, format, callback));
    return MMSYSERR_NOERROR;
}

std::string SimAudioBackend::inputErrorText(MmResult code) {
    return standardErrorText(code);
}

std::string SimAudioBackend::outputErrorText(MmResult code) {
    return standardErrorText(code);
}

} // namespace timbrelo
