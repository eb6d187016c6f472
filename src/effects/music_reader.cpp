#include "effects/music_reader.h"

#include "platform/debug.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <unistd.h>
#include <utility>

namespace timbrelo {

static_assert(std::endian::native == std::endian::little, "WAV samples are read in place");

namespace {

// Bytes read from a WAV file at a time.
constexpr uint32_t kWavReadBytes = 16384;

} // namespace

MusicReader::MusicReader(std::shared_ptr<Mp3Decoder> decoder) : decoder_(std::move(decoder)) {}

MusicReader::~MusicReader() {
    close();
    DecoderList::release(decoder_);
}

void MusicReader::start(MusicFile file, uint32_t chainRate, const std::string& copyPath) {
    close();
    file_ = std::move(file);
    converter_.setOutputFormat(chainRate, 16, 2);
    searched_ = 0;
    if (file_.mp3) {
        kind_ = Kind::kMp3;
        copyPath_ = copyPath;
        formatPending_ = true;
        openDecoder();
        return;
    }
    kind_ = Kind::kWav;
    wavPosition_ = 0;
    const WavFormat& f = file_.wav.format;
    converter_.setInputFormat(f.rate, f.bits, f.channels);
    if (!converter_.prepare()) {
        giveUp("has a sample rate that can't be converted");
    } else if (file_.wav.dataBytes < 2u * f.channels) {
        giveUp("holds no samples");
    }
}

void MusicReader::close() {
    kind_ = Kind::kNone;
    file_.close();
    pending_ = 0;
    copy_.close();
    if (decoder_) {
        decoder_->close();
    }
}

MusicReader::Produced MusicReader::produce() {
    if (kind_ == Kind::kNone) {
        return Produced::kDone;
    }
    if (converter_.carriedSamples() > 0) {
        convert(nullptr, 0);
        if (pending_ > 0) {
            return Produced::kMusic;
        }
    }
    return kind_ == Kind::kWav ? produceWav() : produceMp3();
}

MusicReader::Produced MusicReader::giveUp(const char* why) {
    debugPrintf("Background music %s %s; playing silence.\n", file_.path.c_str(), why);
    close();
    return Produced::kDone;
}

void MusicReader::convert(const int16_t* samples, uint32_t frames) {
    uint32_t out = 0;
    converter_.convert(samples, &frames, &out);
    cursor_ = converter_.outBuffer();
    pending_ = out;
    if (kind_ == Kind::kMp3) {
        copy_.append(cursor_, pending_, 2);
    }
}

MusicReader::Produced MusicReader::produceWav() {
    const uint32_t frameBytes = 2u * file_.wav.format.channels;
    if (readBuffer_.empty()) {
        readBuffer_.resize(kWavReadBytes / 2);
    }
    for (int failures = 0; failures < kMaxFailures;) {
        const uint64_t left = file_.wav.dataBytes - wavPosition_;
        const auto want =
            static_cast<size_t>(std::min<uint64_t>(kWavReadBytes / frameBytes * frameBytes, left));
        const ssize_t n = ::pread(file_.fd, readBuffer_.data(), want,
                                  static_cast<off_t>(file_.wav.dataOffset + wavPosition_));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        const uint32_t frames = n > 0 ? static_cast<uint32_t>(n) / frameBytes : 0;
        if (frames == 0) {
            ++failures;
            wavPosition_ = 0; // the file holds less than its header says: start over
            continue;
        }
        // Only what was read is converted; at the end of the samples the loop goes back to
        // the first sample, never to the file's header.
        wavPosition_ += uint64_t{frames} * frameBytes;
        if (file_.wav.dataBytes - wavPosition_ < frameBytes) {
            wavPosition_ = 0;
        }
        convert(readBuffer_.data(), frames);
        return Produced::kMusic;
    }
    return giveUp("can't be read");
}

MusicReader::Produced MusicReader::produceMp3() {
    for (int failures = 0;;) {
        const int32_t rc = decoder_->decode(&block_);
        if (rc == Mp3Decoder::kOk) {
            searched_ = 0;
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
            return Produced::kMusic;
        }
        if (rc == Mp3Decoder::kNoFrame) {
            searched_ += Mp3Decoder::kScanBytes;
            if (searched_ >= kMusicSearchBytes) {
                return giveUp("holds no MP3 audio in 16 MiB");
            }
            return Produced::kNothingYet;
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

bool MusicReader::takeFrameFormat() {
    const AudioFormat& in = converter_.inFormat();
    if (!formatPending_ && in.rate == block_.rate && in.channels == block_.channels) {
        return true;
    }
    if (block_.rate < kMinMusicRate || block_.rate > kMaxMusicRate) {
        return false;
    }
    converter_.setInputFormat(block_.rate, block_.bits, block_.channels);
    if (!converter_.prepare()) {
        return false;
    }
    if (formatPending_ && !copyPath_.empty()) {
        copy_.create(copyPath_, converter_.outFormat().rate, 2);
    }
    formatPending_ = false;
    return true;
}

void MusicReader::openDecoder() {
    decoder_->setGapless(true); // loops join without the encoder's silence
    const AudioSource source{AudioSource::kFile, file_.fd};
    uint32_t size = 0;
    decoder_->open(&source, &size);
    blockBuffer_.resize(size);
    block_ = DecodedBlock{};
    block_.data = blockBuffer_.data();
    block_.capacity = size;
    heardSinceStart_ = false;
}

bool MusicReader::restart() {
    decoder_->close();
    DecoderList::reset();
    decoder_ = DecoderList::create();
    if (::lseek(file_.fd, 0, SEEK_SET) != 0) {
        return false;
    }
    openDecoder();
    return true;
}

} // namespace timbrelo
