#include "effects/background_effect.h"

#include "effects/mp3_decoder.h"
#include "effects/resample_effect.h"
#include "platform/debug.h"
#include "platform/settings.h"
#include "platform/wav_file.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <strings.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace timbrelo {

static_assert(std::endian::native == std::endian::little, "WAV samples are read in place");

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(20);
// Bytes read from a WAV file at a time.
constexpr uint32_t kWavReadBytes = 16384;

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

void put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
    put16(p, v);
    put16(p + 2, v >> 16);
}

// The copy of the decoded music kept for debugging: a WAV file whose header always matches
// what has been written so far.
class DiagnosticCopy {
  public:
    ~DiagnosticCopy() { close(); }

    void create(const std::string& path, uint32_t rate, uint16_t channels) {
        close();
        // A fixed name in a shared folder: replace whatever is there, never follow a link.
        ::unlink(path.c_str());
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd_ < 0) {
            debugPrintf("Can't write %s: %s.\n", path.c_str(), std::strerror(errno));
            return;
        }
        uint8_t h[kHeaderBytes] = {};
        std::memcpy(h, "RIFF", 4);
        std::memcpy(h + 8, "WAVEfmt ", 8);
        put32(h + 16, 18);
        put16(h + 20, 1);
        put16(h + 22, channels);
        put32(h + 24, rate);
        put32(h + 28, rate * channels * 2);
        put16(h + 32, channels * 2);
        put16(h + 34, 16);
        std::memcpy(h + 38, "data", 4);
        dataBytes_ = 0;
        if (!writeAt(h, sizeof h, 0)) {
            closeFd(fd_);
        }
        sizes();
    }

    void append(const int16_t* samples, uint32_t frames, uint16_t channels) {
        if (fd_ < 0 || frames == 0) {
            return;
        }
        const uint32_t bytes = frames * channels * 2;
        if (!writeAt(samples, bytes, kHeaderBytes + dataBytes_)) {
            closeFd(fd_);
            return;
        }
        dataBytes_ += bytes;
        sizes();
    }

    void close() { closeFd(fd_); }

  private:
    static constexpr uint32_t kHeaderBytes = 46;

    bool writeAt(const void* data, size_t bytes, uint64_t offset) {
        return ::pwrite(fd_, data, bytes, static_cast<off_t>(offset)) ==
               static_cast<ssize_t>(bytes);
    }
    void sizes() {
        uint8_t v[4];
        put32(v, kHeaderBytes - 8 + dataBytes_);
        writeAt(v, 4, 4);
        put32(v, dataBytes_);
        writeAt(v, 4, kHeaderBytes - 4);
    }

    int fd_ = -1;
    uint32_t dataBytes_ = 0;
};

} // namespace

// What the user-interface thread asks of the reader thread.
struct BackgroundEffect::Command {
    enum class Kind { kOpen, kStop };
    Kind kind = Kind::kStop;
    uint32_t generation = 0;
    std::string path;
    bool mp3 = false;
    int fd = -1; // belongs to the command until the reader takes it; -1: play silence
    WavInfo wav;
    std::string diagnosticPath; // MP3 while debugging: where the decoded copy goes
    AudioFormat chain;

    Command() = default;
    Command(Command&& other) noexcept { *this = std::move(other); }
    Command& operator=(Command&& other) noexcept {
        if (this != &other) {
            closeFd(fd);
            kind = other.kind;
            generation = other.generation;
            path = std::move(other.path);
            mp3 = other.mp3;
            fd = std::exchange(other.fd, -1);
            wav = other.wav;
            diagnosticPath = std::move(other.diagnosticPath);
            chain = other.chain;
        }
        return *this;
    }
    ~Command() { closeFd(fd); }
};

// Reads, decodes and converts the music of one file; lives on the reader thread.
class BackgroundEffect::Reader {
  public:
    explicit Reader(std::shared_ptr<Mp3Decoder> decoder) : decoder_(std::move(decoder)) {}
    ~Reader() {
        close();
        DecoderList::release(decoder_);
    }

    void start(Command& command) {
        close();
        path_ = command.path;
        fd_ = std::exchange(command.fd, -1);
        converter_.setOutputFormat(command.chain.rate, command.chain.bits, 2);
        if (command.mp3) {
            kind_ = Kind::kMp3;
            diagnosticPath_ = command.diagnosticPath;
            formatPending_ = true;
            openDecoder();
            return;
        }
        kind_ = Kind::kWav;
        wav_ = command.wav;
        wavPosition_ = 0;
        const WavFormat& f = wav_.format;
        converter_.setInputFormat(f.rate, f.bits, f.channels);
        if (!converter_.prepare()) {
            giveUp("has a sample rate that can't be converted");
        } else if (wav_.dataBytes < frameBytes()) {
            giveUp("holds no samples");
        }
    }

    void close() {
        kind_ = Kind::kNone;
        closeFd(fd_);
        pending_ = 0;
        diagnostic_.close();
        if (decoder_) {
            decoder_->close();
        }
    }

    // Makes the next block of music; false once the file has nothing more to give.
    bool produce() {
        if (kind_ == Kind::kNone) {
            return false;
        }
        if (converter_.carriedSamples() > 0) {
            convert(nullptr, 0);
            if (pending_ > 0) {
                return true;
            }
        }
        return kind_ == Kind::kWav ? produceWav() : produceMp3();
    }

    // Converted music not handed on yet.
    const int16_t* cursor() const { return cursor_; }
    uint32_t pending() const { return pending_; }
    void consumed(uint32_t frames) {
        cursor_ += 2 * static_cast<size_t>(frames);
        pending_ -= frames;
    }

  private:
    enum class Kind { kNone, kWav, kMp3 };

    uint32_t frameBytes() const { return 2u * wav_.format.channels; }

    bool giveUp(const char* why) {
        debugPrintf("Background music %s %s; playing silence.\n", path_.c_str(), why);
        close();
        return false;
    }

    void convert(const int16_t* samples, uint32_t frames) {
        uint32_t out = 0;
        converter_.convert(samples, &frames, &out);
        cursor_ = converter_.outBuffer();
        pending_ = out;
        if (kind_ == Kind::kMp3) {
            diagnostic_.append(cursor_, pending_, 2);
        }
    }

    bool produceWav() {
        const uint32_t frameBytes = this->frameBytes();
        if (readBuffer_.empty()) {
            readBuffer_.resize(kWavReadBytes / 2);
        }
        for (int failures = 0; failures < kMaxFailures;) {
            const uint64_t left = wav_.dataBytes - wavPosition_;
            const auto want = static_cast<size_t>(
                std::min<uint64_t>(kWavReadBytes / frameBytes * frameBytes, left));
            const ssize_t n = ::pread(fd_, readBuffer_.data(), want,
                                      static_cast<off_t>(wav_.dataOffset + wavPosition_));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            const uint32_t frames = n > 0 ? static_cast<uint32_t>(n) / frameBytes : 0;
            if (frames == 0) {
                ++failures;
                wavPosition_ = 0; // the file holds less than its header says: start over
                continue;
            }
            // Only what was read is converted; at the end of the samples the loop goes back
            // to the first sample, never to the file's header.
            wavPosition_ += uint64_t{frames} * frameBytes;
            if (wav_.dataBytes - wavPosition_ < frameBytes) {
                wavPosition_ = 0;
            }
            convert(readBuffer_.data(), frames);
            return true;
        }
        return giveUp("can't be read");
    }

    bool produceMp3() {
        for (int failures = 0;;) {
            const int32_t rc = decoder_->decode(&block_);
            if (rc == Mp3Decoder::kOk) {
                if (block_.bits != 16 || block_.channels == 0) {
                    if (++failures >= kMaxFailures) {
                        return giveUp("decodes to samples of another size than 16 bits");
                    }
                    continue;
                }
                if (!takeFrameFormat()) {
                    return giveUp("has a sample rate that can't be converted");
                }
                heardSinceStart_ = true;
                const auto* samples = reinterpret_cast<const int16_t*>(block_.data);
                convert(samples, block_.length / block_.channels / 2);
                return true;
            }
            if (rc == Mp3Decoder::kEndOfStream) {
                if (!heardSinceStart_) {
                    return giveUp("holds no music");
                }
                if (!restart()) {
                    return giveUp("can't be read again");
                }
                continue;
            }
            if (++failures >= kMaxFailures) {
                return giveUp(rc == Mp3Decoder::kReadError ? "can't be read"
                                                           : "keeps failing to decode");
            }
        }
    }

    // The first frame after opening sets the converter's input; a stream that changes its
    // rate or channels later sets it again rather than play at the wrong speed.
    bool takeFrameFormat() {
        const AudioFormat& in = converter_.inFormat();
        if (!formatPending_ && in.rate == block_.rate && in.channels == block_.channels) {
            return true;
        }
        converter_.setInputFormat(block_.rate, block_.bits, block_.channels);
        if (!converter_.prepare()) {
            return false;
        }
        if (formatPending_ && !diagnosticPath_.empty()) {
            diagnostic_.create(diagnosticPath_, converter_.outFormat().rate, 2);
        }
        formatPending_ = false;
        return true;
    }

    void openDecoder() {
        decoder_->setGapless(true); // loops join without the encoder's silence
        const AudioSource source{AudioSource::kFile, fd_};
        uint32_t size = 0;
        decoder_->open(&source, &size);
        blockBuffer_.resize(size);
        block_ = DecodedBlock{};
        block_.data = blockBuffer_.data();
        block_.capacity = size;
        heardSinceStart_ = false;
    }

    // Starts the stream again with a fresh decoder from the process-wide list.
    bool restart() {
        decoder_->close();
        DecoderList::reset();
        decoder_ = DecoderList::create();
        if (::lseek(fd_, 0, SEEK_SET) != 0) {
            return false;
        }
        openDecoder();
        return true;
    }

    Kind kind_ = Kind::kNone;
    std::string path_;
    int fd_ = -1;
    ResampleEffect converter_;
    const int16_t* cursor_ = nullptr;
    uint32_t pending_ = 0;

    WavInfo wav_;
    uint64_t wavPosition_ = 0; // within the data chunk
    std::vector<int16_t> readBuffer_;

    std::shared_ptr<Mp3Decoder> decoder_;
    std::vector<uint8_t> blockBuffer_;
    DecodedBlock block_;
    bool formatPending_ = true;
    bool heardSinceStart_ = false;
    std::string diagnosticPath_;
    DiagnosticCopy diagnostic_;
};

BackgroundEffect::BackgroundEffect()
    : Effect("background", kOutSamples), music_(std::make_unique<int16_t[]>(kOutSamples * 2)),
      reader_(std::make_unique<Reader>(DecoderList::create())) {
    for (auto& ring : rings_) {
        ring = std::make_unique<StereoRing>(kRingFrames);
    }
}

BackgroundEffect::~BackgroundEffect() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool BackgroundEffect::isMp3Name(const std::string& path) {
    return path.size() < 4 || ::strcasecmp(path.c_str() + path.size() - 4, ".wav") != 0;
}

void BackgroundEffect::setParameter(float value, int32_t kind) {
    if (kind == kOn || !std::isfinite(value)) {
        return;
    }
    level_.store(value, std::memory_order_relaxed);
    Effect::setParameter(value, kind);
}

void BackgroundEffect::setInputFormat(uint32_t rate, uint32_t bits, uint32_t channels) {
    Effect::setInputFormat(rate, bits, channels);
    std::lock_guard lock(mutex_);
    chain_ = {rate, bits, channels};
}

int32_t BackgroundEffect::openFile(const char* path) {
    if (path == nullptr) {
        return 0;
    }
    Command command;
    command.kind = Command::Kind::kOpen;
    command.path = path;
    command.mp3 = isMp3Name(command.path);
    command.fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (command.mp3) {
        if (command.fd < 0) {
            return 0;
        }
        if (debugEnabled()) {
            std::string folder;
            getSetting("tempDir ", folder);
            if (folder.empty()) {
                std::error_code ec;
                folder = std::filesystem::temp_directory_path(ec).string();
            }
            if (!folder.empty()) {
                command.diagnosticPath = (std::filesystem::path(folder) / "Decoder.wav").string();
            }
        }
    } else if (command.fd < 0) {
        debugPrintf("Open wave file fail:%s.\n", path);
    } else {
        std::string error;
        const WavFormat& f = command.wav.format;
        if (!readWavInfo(command.fd, command.wav, error)) {
            debugPrintf("Background music %s: %s.\n", path, error.c_str());
            closeFd(command.fd);
        } else if ((f.tag != 1 && f.tag != 0xFFFE) || f.bits != 16 ||
                   f.channels == 0 || f.rate == 0) {
            debugPrintf("Background music %s: not 16-bit PCM.\n", path);
            closeFd(command.fd);
        }
    }
    fileName_ = command.path;
    command.generation = wanted_.fetch_add(1, std::memory_order_acq_rel) + 1;
    post(std::move(command));
    setEnabled(std::fabs(level()) >= 0.00001f);
    return 1;
}

void BackgroundEffect::stop() {
    setEnabled(false);
    if (!started_) {
        wanted_.fetch_add(1, std::memory_order_acq_rel);
        return; // nothing was ever opened
    }
    Command command;
    command.kind = Command::Kind::kStop;
    command.generation = wanted_.fetch_add(1, std::memory_order_acq_rel) + 1;
    post(std::move(command));
}

void BackgroundEffect::post(Command command) {
    {
        std::lock_guard lock(mutex_);
        command.chain = chain_;
        // A request the reader has not taken yet is superseded (and its file closed).
        command_ = std::make_unique<Command>(std::move(command));
    }
    wake_.notify_one();
    if (!started_) {
        started_ = true;
        thread_ = std::thread([this] { run(); });
    }
}

uint32_t BackgroundEffect::bufferedFrames() const {
    int ring = offer_.load(std::memory_order_acquire);
    if (ring == kNoRing) {
        ring = playing_;
    }
    if (ring == kNoRing || ringGeneration_[ring].load(std::memory_order_acquire) !=
                               wanted_.load(std::memory_order_acquire)) {
        return 0;
    }
    return rings_[ring]->availableFrames();
}

void BackgroundEffect::waitForMusic(uint32_t frames) {
    const uint32_t generation = wanted_.load(std::memory_order_acquire);
    if (generation == gaveUpWaiting_) {
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (bufferedFrames() < frames) {
        if (std::chrono::steady_clock::now() > deadline) {
            gaveUpWaiting_ = generation; // a file that gives no music: don't wait on it again
            return;
        }
        hungry_.store(true); // the reader may be resting on a ring it believes full enough
        wake_.notify_one();
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    if (offer_.load(std::memory_order_relaxed) != kNoRing) {
        const int ring = offer_.exchange(kNoRing, std::memory_order_acq_rel);
        if (ring != kNoRing) {
            playing_ = ring;
        }
    }
}

int32_t BackgroundEffect::process(const int16_t* samples, uint32_t frames) {
    // A ring handed over by the reader is taken at the buffer boundary, whether on or off.
    if (offer_.load(std::memory_order_relaxed) != kNoRing) {
        const int ring = offer_.exchange(kNoRing, std::memory_order_acq_rel);
        if (ring != kNoRing) {
            playing_ = ring;
        }
    }
    if (!enabled()) {
        return 1;
    }
    if (waitForMusic_.load(std::memory_order_relaxed)) {
        waitForMusic(frames);
    }
    const uint32_t channels = inFormat_.channels;
    if ((channels != 1 && channels != 2) || frames * channels > kOutSamples) {
        return 1;
    }

    uint32_t got = 0;
    if (playing_ != kNoRing && ringGeneration_[playing_].load(std::memory_order_acquire) ==
                                   wanted_.load(std::memory_order_acquire)) {
        got = rings_[playing_]->pop(music_.get(), frames);
    }
    std::fill(music_.get() + 2 * static_cast<size_t>(got),
              music_.get() + 2 * static_cast<size_t>(frames), int16_t{0});

    const double share = level();
    const double keep = 1.0 - share;
    int16_t* out = outData();
    const size_t musicStep = channels == 2 ? 1 : 2; // a mono chain hears the left channel
    for (size_t i = 0; i < size_t{frames} * channels; ++i) {
        const double v = samples[i] * keep + music_[i * musicStep] * share;
        out[i] = static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
    }
    setOutFrames(frames);
    return 0;
}

void BackgroundEffect::run() {
    std::unique_lock lock(mutex_);
    while (!quit_) {
        if (command_) {
            std::unique_ptr<Command> command = std::move(command_);
            lock.unlock();
            handle(*command);
            command.reset();
            lock.lock();
            continue;
        }
        lock.unlock();
        const bool busy = pump();
        lock.lock();
        if (busy) {
            continue;
        }
        const auto woken = [this] {
            return quit_ || command_ != nullptr || hungry_.exchange(false);
        };
        if (producing_ != kNoRing && !exhausted_) {
            wake_.wait_for(lock, kPollInterval, woken); // the ring is full: let it drain
        } else {
            wake_.wait(lock, woken);
        }
    }
}

void BackgroundEffect::retract() {
    if (offered_ == kNoRing) {
        return;
    }
    if (offer_.exchange(kNoRing, std::memory_order_acq_rel) == kNoRing) {
        audioRing_ = offered_; // the processing thread took it
    }
    offered_ = kNoRing;
}

void BackgroundEffect::handle(Command& command) {
    retract();
    reader_->close();
    producing_ = kNoRing;
    exhausted_ = false;
    if (command.kind != Command::Kind::kOpen || command.fd < 0) {
        return; // silence: the ring the processing thread holds is of an older generation
    }
    reader_->start(command);
    const int ring = audioRing_ == 0 ? 1 : 0;
    rings_[ring]->clear();
    ringGeneration_[ring].store(command.generation, std::memory_order_relaxed);
    producing_ = ring;
    handedOver_ = false;
}

bool BackgroundEffect::pump() {
    if (producing_ == kNoRing || exhausted_) {
        return false;
    }
    StereoRing& ring = *rings_[producing_];
    bool progress = false;
    if (reader_->pending() == 0 && !reader_->produce()) {
        exhausted_ = true;
    } else {
        const uint32_t pushed = ring.push(reader_->cursor(), reader_->pending());
        reader_->consumed(pushed);
        progress = pushed > 0 || reader_->pending() == 0;
    }
    if (!handedOver_ && (!progress || ring.capacity() - ring.freeFrames() >= kPrefillFrames)) {
        offer_.store(producing_, std::memory_order_release);
        offered_ = producing_;
        handedOver_ = true;
    }
    return progress;
}

} // namespace timbrelo
