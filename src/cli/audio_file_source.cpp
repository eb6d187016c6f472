#include "cli/audio_file_source.h"

#include "effects/audio_format.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sndfile.h>
#include <soxr.h>

namespace timbrelo::cli {
namespace {

constexpr size_t kBlockFrames = 4096;

int16_t toSample(float v) {
    return static_cast<int16_t>(std::clamp(std::lrint(v * 32768.0f), -32768L, 32767L));
}

} // namespace

std::unique_ptr<AudioFileSource> AudioFileSource::open(const std::string& path,
                                                       std::string& error) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        error = sf_strerror(nullptr);
        return nullptr;
    }
    std::unique_ptr<AudioFileSource> source(new AudioFileSource());
    source->file_ = file;
    if (info.channels <= 0 || info.samplerate <= 0) {
        error = "the file holds no audio";
        return nullptr;
    }
    if (info.frames <= 0) {
        error = "the file holds no audio (it is empty)";
        return nullptr;
    }
    source->fileChannels_ = info.channels;
    source->fileRate_ = info.samplerate;
    source->fileFrames_ = static_cast<uint64_t>(info.frames);
    const int subtype = info.format & SF_FORMAT_SUBMASK;
    source->direct16_ = info.samplerate == static_cast<int>(kPipelineRate) && info.channels == 2 &&
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
    if (sf_error(file_) != SF_ERR_NO_ERROR) {
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

    const sf_count_t got = sf_readf_float(file_, fileBlock_.data(), kBlockFrames);
    if (got <= 0) {
        return finishFile();
    }
    const auto frames = static_cast<size_t>(got);
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
