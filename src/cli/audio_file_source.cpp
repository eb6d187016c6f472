#include "cli/audio_file_source.h"

#include "effects/audio_format.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sndfile.h>
#include <soxr.h>
#include <sys/stat.h>
#include <unistd.h>

namespace timbrelo::cli {
namespace {

constexpr size_t kBlockFrames = 4096;

int16_t toSample(float v) {
    return static_cast<int16_t>(std::clamp(std::lrint(v * 32768.0f), -32768L, 32767L));
}

// The decoding libraries print their complaints about a damaged file straight to standard
// error; while a file is opened (before any other thread of the program runs) they are kept
// quiet, and the file's problem is said once, in a line of our own.
class QuietStderr {
  public:
    QuietStderr() {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0) {
            ::dup2(null, STDERR_FILENO);
        }
        if (null >= 0) {
            ::close(null);
        }
    }
    ~QuietStderr() {
        if (saved_ >= 0) {
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
        }
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

  private:
    int saved_ = -1;
};

std::string unreadable(int code) {
    switch (code) {
    case SF_ERR_MALFORMED_FILE:
        return "is a damaged audio file";
    case SF_ERR_UNSUPPORTED_ENCODING:
        return "uses an audio encoding this program does not read";
    default:
        return "is not audio this program can read (WAV, FLAC, Ogg, MP3 and the like)";
    }
}

} // namespace

std::unique_ptr<AudioFileSource> AudioFileSource::open(const std::string& path, std::string& error,
                                                       std::chrono::milliseconds stall) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    if (S_ISDIR(st.st_mode)) {
        error = "is a folder";
        return nullptr;
    }
    std::unique_ptr<AudioFileSource> source(new AudioFileSource());
    source->stall_ = stall;
    SF_INFO info{};
    if (S_ISREG(st.st_mode)) {
        if (::access(path.c_str(), R_OK) != 0) {
            error = std::strerror(errno);
            return nullptr;
        }
        {
            QuietStderr quiet;
            source->file_ = sf_open(path.c_str(), SFM_READ, &info);
        }
        if (source->file_ == nullptr) {
            error = unreadable(sf_error(nullptr));
            return nullptr;
        }
    } else {
        source->feed_ = std::make_unique<PipeFeed>(path);
        PipeFeed::Header header;
        switch (source->feed_->waitForHeader(stall, header, error)) {
        case PipeFeed::Result::kTimedOut:
            error = "gave no audio for " + std::to_string(stall.count() / 1000) +
                    " s (is anything writing to it?)";
            return nullptr;
        case PipeFeed::Result::kFailed:
            return nullptr;
        default:
            break;
        }
        info.channels = header.channels;
        info.samplerate = header.rate;
        // A pipe's header rarely knows the length: the run ends where the input does.
        info.frames = header.frames > 0 ? header.frames : 1;
    }
    if (info.channels <= 0 || info.samplerate <= 0) {
        error = "holds no audio";
        return nullptr;
    }
    if (info.samplerate < kMinRate || info.samplerate > kMaxRate) {
        error = "has a sample rate of " + std::to_string(info.samplerate) +
                " Hz (inputs must be 1000..384000 Hz)";
        return nullptr;
    }
    if (info.frames <= 0) {
        error = "holds no audio (it is empty)";
        return nullptr;
    }
    source->fileChannels_ = info.channels;
    source->fileRate_ = info.samplerate;
    source->fileFrames_ = source->feed_ ? 0 : static_cast<uint64_t>(info.frames);
    const int subtype = info.format & SF_FORMAT_SUBMASK;
    source->direct16_ = source->file_ != nullptr &&
                        info.samplerate == static_cast<int>(kPipelineRate) && info.channels == 2 &&
                        subtype == SF_FORMAT_PCM_16;
    if (!source->direct16_ && info.samplerate != static_cast<int>(kPipelineRate)) {
        soxr_error_t err = nullptr;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        source->resampler_ =
            soxr_create(info.samplerate, kPipelineRate, 2, &err, &io, &quality, nullptr);
        if (source->resampler_ == nullptr) {
            error = std::string("can't convert its sample rate: ") + (err ? err : "unknown error");
            return nullptr;
        }
    }
    source->fileBlock_.resize(kBlockFrames * info.channels);
    source->stereoBlock_.resize(kBlockFrames * 2);
    const double ratio = static_cast<double>(kPipelineRate) / info.samplerate;
    source->resampled_.resize((static_cast<size_t>(kBlockFrames * ratio) + 64) * 2);
    return source;
}

size_t AudioFileSource::readFileBlock() {
    if (!feed_) {
        const sf_count_t got = sf_readf_float(file_, fileBlock_.data(), kBlockFrames);
        return got > 0 ? static_cast<size_t>(got) : 0;
    }
    std::string error;
    switch (feed_->next(fileBlock_, stall_, error)) {
    case PipeFeed::Result::kOk: {
        const size_t frames = fileBlock_.size() / fileChannels_;
        fileFrames_ += frames;
        return frames;
    }
    case PipeFeed::Result::kTimedOut:
        readError_ = "no audio came for " + std::to_string(stall_.count() / 1000) +
                     " s (the writer stalled)";
        return 0;
    default:
        if (!error.empty()) {
            readError_ = error;
        }
        return 0;
    }
}

AudioFileSource::~AudioFileSource() {
    if (resampler_ != nullptr) {
        soxr_delete(resampler_);
    }
    if (file_ != nullptr) {
        sf_close(file_);
    }
}

uint64_t AudioFileSource::expectedFrames() const {
    return static_cast<uint64_t>(static_cast<double>(fileFrames_) * kPipelineRate / fileRate_);
}

std::string AudioFileSource::readError() const {
    return readError_;
}

bool AudioFileSource::finishFile() {
    fileDone_ = true;
    if (file_ != nullptr && sf_error(file_) != SF_ERR_NO_ERROR) {
        readError_ = sf_strerror(file_);
    }
    return refill();
}

bool AudioFileSource::refill() {
    pending_.clear();
    pendingPos_ = 0;
    if (fileDone_) {
        if (resampler_ != nullptr && !flushed_) {
            size_t produced = 0;
            soxr_process(resampler_, nullptr, 0, nullptr, resampled_.data(), resampled_.size() / 2,
                         &produced);
            for (size_t i = 0; i < produced * 2; ++i) {
                pending_.push_back(toSample(resampled_[i]));
            }
            if (produced == 0) {
                flushed_ = true;
            }
            if (!pending_.empty()) {
                return true;
            }
        }
        if (paddingLeft_ > 0) {
            const uint64_t n = std::min<uint64_t>(paddingLeft_, kBlockFrames);
            pending_.assign(n * 2, 0);
            paddingLeft_ -= n;
            return true;
        }
        return false;
    }

    if (direct16_) {
        pending_.resize(kBlockFrames * 2);
        const sf_count_t got = sf_readf_short(file_, pending_.data(), kBlockFrames);
        pending_.resize(got > 0 ? static_cast<size_t>(got) * 2 : 0);
        if (got <= 0) {
            return finishFile();
        }
        return true;
    }

    const size_t frames = readFileBlock();
    if (frames == 0) {
        return finishFile();
    }
    for (size_t i = 0; i < frames; ++i) {
        const float* in = &fileBlock_[i * fileChannels_];
        // Mono goes to both sides; more than two channels keep the first two.
        stereoBlock_[2 * i] = in[0];
        stereoBlock_[2 * i + 1] = fileChannels_ > 1 ? in[1] : in[0];
    }
    if (resampler_ == nullptr) {
        for (size_t i = 0; i < frames * 2; ++i) {
            pending_.push_back(toSample(stereoBlock_[i]));
        }
        return true;
    }
    size_t produced = 0;
    soxr_process(resampler_, stereoBlock_.data(), frames, nullptr, resampled_.data(),
                 resampled_.size() / 2, &produced);
    for (size_t i = 0; i < produced * 2; ++i) {
        pending_.push_back(toSample(resampled_[i]));
    }
    return true; // possibly empty while the resampler fills its delay; the caller loops
}

size_t AudioFileSource::readFrames(int16_t* dst, size_t frames) {
    size_t written = 0;
    while (written < frames) {
        if (pendingPos_ == pending_.size()) {
            if (!refill()) {
                break; // the input and its padding are over
            }
            continue; // the resampler may still be filling its delay
        }
        const size_t n = std::min((pending_.size() - pendingPos_) / 2, frames - written);
        std::memcpy(dst + written * 2, pending_.data() + pendingPos_, n * 2 * sizeof(int16_t));
        pendingPos_ += n * 2;
        written += n;
    }
    if (observer_ && written > 0) {
        observer_(dst, static_cast<uint32_t>(written));
    }
    delivered_ += written;
    return written;
}

} // namespace timbrelo::cli
