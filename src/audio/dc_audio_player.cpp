#include "audio/dc_audio_player.h"

#include "platform/debug.h"
#include "platform/messages.h"
#include "platform/posted_messages.h"

#include <algorithm>
#include <string>
#include <thread>

namespace timbrelo {
namespace {

JitterBuffer::Config bufferConfig(const DCAudioPlayer::Options& options) {
    JitterBuffer::Config c;
    c.format = kPipelineFormat;
    c.capacityFrames = DCAudioPlayer::kRingFrames;
    c.marginFrames = options.marginFrames;
    // A producer that falls silent is no stall: its next sound starts afresh, primed.
    c.idleFrames = static_cast<uint32_t>(options.idleAfter.count() * kPipelineFormat.rate / 1000);
    return c;
}

void showDeviceError(AudioResult code, const char* what) {
    std::string text = audioResultText(code);
    text.resize(std::min<size_t>(text.size(), 100));
    showMessagePrintf("WAVEOUT:%x:%s %s", timbrelo::code(code), text.c_str(), what);
}

} // namespace

DCAudioPlayer::DCAudioPlayer(AudioBackend& backend) : DCAudioPlayer(backend, Options{}) {}

DCAudioPlayer::DCAudioPlayer(AudioBackend& backend, Options options)
    : backend_(backend), options_(options), buffer_(bufferConfig(options_)) {}

DCAudioPlayer::~DCAudioPlayer() {
    stop();
    closeStream();
}

bool DCAudioPlayer::selectDevice(uint32_t deviceIndex) {
    stop();
    closeStream();
    deviceIndex_ = deviceIndex;
    if (deviceIndex != kDefaultDevice && deviceIndex >= backend_.outputDeviceCount()) {
        showStringMessage(IDS_ERROR_AUDIO_DEVICE);
        return false;
    }
    state_.store(PlayerState::Ready);
    return true;
}

void DCAudioPlayer::setBurstFrames(uint32_t frames) {
    burst_.store(frames);
    buffer_.setBurstFrames(frames);
}

bool DCAudioPlayer::openStream() {
    // A second open without a stop would leave the first stream playing nothing, forever.
    closeStream();
    deviceLost_.store(false);
    debugPrintf("***New play format c:%d,fre:%d,bits:%d\n", format_.channels, format_.rate, 16);
    std::unique_ptr<PlaybackStream> stream;
    AudioResult rc = format_ == buffer_.format() ? AudioResult::Ok : AudioResult::BadFormat;
    if (rc == AudioResult::Ok) {
        rc = backend_.openPlayback(deviceIndex_, format_, options_.periodFrames, *this, stream);
    }
    if (rc == AudioResult::Ok) {
        rc = stream->start();
    }
    if (rc != AudioResult::Ok) {
        showDeviceError(rc, "waveOutOpen()");
        return false;
    }
    stream_ = std::move(stream);
    streamOpen_.store(true);
    return true;
}

void DCAudioPlayer::closeStream() {
    streamOpen_.store(false);
    if (stream_) {
        stream_->stop();
        stream_.reset(); // no request runs after this
    }
    buffer_.endStream();
}

void DCAudioPlayer::addData(std::span<const int16_t> samples) {
    const PlayerState s = state_.load();
    if (samples.empty() || s == PlayerState::Stopping) {
        return;
    }
    if (s == PlayerState::Ready && streamOpen_.load()) {
        startPlaying(false);
    } else if (s == PlayerState::Playing && !buffer_.streaming()) {
        buffer_.beginStream(burst_.load());
    }
    const auto frames = static_cast<uint32_t>(samples.size() / buffer_.format().channels);
    if (buffer_.fillFrames() + frames > kRingFrames) {
        debugWrite("Temp Buffer is full, some data lost.\n");
        droppedBlocks_.fetch_add(1);
        return;
    }
    buffer_.push(samples);
}

bool DCAudioPlayer::play() {
    return startPlaying(true);
}

bool DCAudioPlayer::startPlaying(bool complain) {
    debugWrite("----Play.\n");
    if (state_.load() != PlayerState::Ready) {
        if (complain) {
            showStringMessage(IDS_PLAYER_STATUS_ERROR);
        }
        return false;
    }
    if (!streamOpen_.load()) {
        return false;
    }
    buffer_.beginStream(burst_.load());
    // Not a plain store: a stop may begin meanwhile, and then it wins.
    PlayerState expected = PlayerState::Ready;
    const bool playing = state_.compare_exchange_strong(expected, PlayerState::Playing);
    debugWrite("----Play End.\n");
    return playing;
}

void DCAudioPlayer::stop() {
    debugWrite("Stop. ");
    if (deviceLost_.load()) {
        // The device went away by itself: nothing plays, just forget it.
        closeStream();
        state_.store(PlayerState::Ready);
        return;
    }
    PlayerState expected = PlayerState::Playing;
    if (!state_.compare_exchange_strong(expected, PlayerState::Stopping) || !stream_) {
        return;
    }
    buffer_.endStream();
    // What is buffered plays out; a device that stops taking it must not hold us forever.
    const auto buffered = std::chrono::milliseconds(
        static_cast<int64_t>(buffer_.format().framesToMs(buffer_.fillFrames())));
    const auto deadline = std::chrono::steady_clock::now() + buffered + options_.drainSlack;
    while (buffer_.fillFrames() > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(options_.pollStep);
    }
    closeStream();
    state_.store(PlayerState::Ready);
    debugWrite("Stop End.\n");
}

uint32_t DCAudioPlayer::delayFrames() const {
    const uint32_t queued = streamOpen_.load() && stream_ ? stream_->queuedFrames() : 0;
    return buffer_.fillFrames() + queued;
}

uint32_t DCAudioPlayer::onPlaybackRequest(std::span<int16_t> samples) {
    buffer_.pull(samples);
    return static_cast<uint32_t>(samples.size() / buffer_.format().channels);
}

void DCAudioPlayer::onPlaybackEnded(AudioResult why) {
    // The device went away: nothing plays any more; `stop` or `openStream` tidies up.
    streamOpen_.store(false);
    deviceLost_.store(true);
    PlayerState expected = PlayerState::Playing;
    state_.compare_exchange_strong(expected, PlayerState::Ready);
    // A sound server that went away (NotRunning) is told once, by whoever watches the server
    // (VoiceChangerSession).
    if (why != AudioResult::NotRunning) {
        postDeviceError("WAVEOUT", why, "Playback stopped.");
    }
}

} // namespace timbrelo
