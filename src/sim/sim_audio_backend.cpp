#include "sim/sim_audio_backend.h"

#include "sim/sim_capture_stream.h"

namespace timbrelo {

SimAudioBackend::SimAudioBackend() = default;
SimAudioBackend::~SimAudioBackend() = default;

uint32_t SimAudioBackend::addInputDevice(std::string name, std::shared_ptr<PcmSource> source,
                                         Pacing pacing) {
    std::lock_guard lock(mutex_);
    inputs_.push_back(
        std::unique_ptr<InputDevice>(new InputDevice{std::move(name), std::move(source), pacing}));
    return static_cast<uint32_t>(inputs_.size() - 1);
}

uint32_t SimAudioBackend::addOutputDevice(std::string name, Pacing pacing, uint64_t keepFrames) {
    std::lock_guard lock(mutex_);
    outputs_.push_back(std::unique_ptr<OutputDevice>(
        new OutputDevice{std::move(name), pacing, PlayedAudio(keepFrames)}));
    return static_cast<uint32_t>(outputs_.size() - 1);
}

SimAudioBackend::InputDevice* SimAudioBackend::input(uint32_t index) const {
    std::lock_guard lock(mutex_);
    return index < inputs_.size() ? inputs_[index].get() : nullptr;
}

SimAudioBackend::OutputDevice* SimAudioBackend::output(uint32_t index) const {
    std::lock_guard lock(mutex_);
    return index < outputs_.size() ? outputs_[index].get() : nullptr;
}

uint32_t SimAudioBackend::currentDefaultInput() const {
    std::lock_guard lock(mutex_);
    return defaultInput_;
}

uint32_t SimAudioBackend::currentDefaultOutput() const {
    std::lock_guard lock(mutex_);
    return defaultOutput_;
}

std::vector<int16_t> SimAudioBackend::played(uint32_t device) const {
    const OutputDevice* out = output(device);
    return out != nullptr ? out->played.samples() : std::vector<int16_t>{};
}

uint64_t SimAudioBackend::playedFrames(uint32_t device) const {
    const OutputDevice* out = output(device);
    return out != nullptr ? out->played.frames() : 0;
}

bool SimAudioBackend::waitForPlayed(uint32_t device, uint64_t frames,
                                    std::chrono::milliseconds timeout) const {
    const OutputDevice* out = output(device);
    return out != nullptr && out->played.waitFor(frames, timeout);
}

void SimAudioBackend::setEndOfInputHandler(std::function<void(uint32_t)> handler) {
    auto shared = handler ? std::make_shared<const EndHandler>(std::move(handler)) : nullptr;
    std::lock_guard lock(mutex_);
    endHandler_ = std::move(shared);
}

bool SimAudioBackend::inputEnded(uint32_t device) const {
    const InputDevice* in = input(device);
    return in != nullptr && in->ended.load();
}

void SimAudioBackend::noteInputEnded(uint32_t device) {
    std::shared_ptr<const EndHandler> handler;
    {
        std::lock_guard lock(mutex_);
        inputs_[device]->ended.store(true);
        handler = endHandler_;
    }
    if (handler) {
        (*handler)(device);
    }
}

void SimAudioBackend::injectFailure(SimOp op, AudioResult result, int times) {
    failures_.inject(op, result, times);
}

void SimAudioBackend::loseDevices(AudioResult reason) {
    std::vector<std::shared_ptr<SimStreamCore>> live;
    {
        std::lock_guard lock(mutex_);
        for (const auto& weak : streams_) {
            if (auto core = weak.lock()) {
                live.push_back(std::move(core));
            }
        }
        streams_.clear();
    }
    for (const auto& core : live) {
        core->lose(reason);
    }
}

void SimAudioBackend::track(std::weak_ptr<SimStreamCore> core) {
    std::lock_guard lock(mutex_);
    std::erase_if(streams_, [](const auto& weak) { return weak.expired(); });
    streams_.push_back(std::move(core));
}

uint32_t SimAudioBackend::inputDeviceCount() {
    std::lock_guard lock(mutex_);
    return static_cast<uint32_t>(inputs_.size());
}

std::string SimAudioBackend::inputDeviceName(uint32_t index) {
    const InputDevice* in = input(index);
    return in != nullptr ? in->name.substr(0, kMaxProductName) : std::string();
}

uint32_t SimAudioBackend::outputDeviceCount() {
    std::lock_guard lock(mutex_);
    return static_cast<uint32_t>(outputs_.size());
}

std::string SimAudioBackend::outputDeviceName(uint32_t index) {
    const OutputDevice* out = output(index);
    return out != nullptr ? out->name.substr(0, kMaxProductName) : std::string();
}

AudioResult SimAudioBackend::openCapture(uint32_t index, const StreamFormat& format,
                                         uint32_t blockFrames, CaptureSink& sink,
                                         std::unique_ptr<CaptureStream>& stream) {
    AudioResult result;
    if (failures_.take(SimOp::CaptureOpen, result)) {
        return result;
    }
    if (index == kDefaultDevice) {
        index = currentDefaultInput();
    }
    InputDevice* in = input(index);
    if (in == nullptr) {
        return AudioResult::BadDevice;
    }
    if (blockFrames == 0) {
        return AudioResult::InvalidArgument;
    }
    if (!format.valid() || !in->source->begin(format)) {
        return AudioResult::BadFormat;
    }
    in->ended.store(false);
    SimCaptureStream::Setup setup{format,     blockFrames,
                                  in->pacing, in->source,
                                  &sink,      [this, index] { noteInputEnded(index); }};
    auto opened = std::make_unique<SimCaptureStream>(std::move(setup), failures_, openInputs_);
    track(opened->core());
    stream = std::move(opened);
    return AudioResult::Ok;
}

AudioResult SimAudioBackend::openPlayback(uint32_t index, const StreamFormat& format,
                                          uint32_t periodFrames, PlaybackSource& source,
                                          std::unique_ptr<PlaybackStream>& stream) {
    AudioResult result;
    if (failures_.take(SimOp::PlaybackOpen, result)) {
        return result;
    }
    if (index == kDefaultDevice) {
        index = currentDefaultOutput();
    }
    OutputDevice* out = output(index);
    if (out == nullptr) {
        return AudioResult::BadDevice;
    }
    if (periodFrames == 0) {
        return AudioResult::InvalidArgument;
    }
    if (!format.valid()) {
        return AudioResult::BadFormat;
    }
    SimPlaybackStream::Setup setup{format, periodFrames, out->pacing, &source, &out->played};
    auto opened = std::make_unique<SimPlaybackStream>(setup, failures_, openOutputs_);
    track(opened->core());
    stream = std::move(opened);
    return AudioResult::Ok;
}

AudioResult SimAudioBackend::getDefault(SimOp op, uint32_t& index, const uint32_t& current,
                                        size_t count) {
    AudioResult result;
    if (failures_.take(op, result)) {
        return result;
    }
    std::lock_guard lock(mutex_);
    if (current >= count) {
        return AudioResult::NoDefaultDevice;
    }
    index = current;
    return AudioResult::Ok;
}

AudioResult SimAudioBackend::setDefault(SimOp op, uint32_t index, uint32_t& current, size_t count) {
    AudioResult result;
    if (failures_.take(op, result)) {
        return result;
    }
    std::lock_guard lock(mutex_);
    if (index >= count) {
        return AudioResult::BadDevice;
    }
    current = index;
    return AudioResult::Ok;
}

AudioResult SimAudioBackend::defaultInput(uint32_t& index) {
    return getDefault(SimOp::GetDefaultInput, index, defaultInput_, inputDeviceCount());
}

AudioResult SimAudioBackend::setDefaultInput(uint32_t index) {
    return setDefault(SimOp::SetDefaultInput, index, defaultInput_, inputDeviceCount());
}

AudioResult SimAudioBackend::defaultOutput(uint32_t& index) {
    return getDefault(SimOp::GetDefaultOutput, index, defaultOutput_, outputDeviceCount());
}

AudioResult SimAudioBackend::setDefaultOutput(uint32_t index) {
    return setDefault(SimOp::SetDefaultOutput, index, defaultOutput_, outputDeviceCount());
}

} // namespace timbrelo
