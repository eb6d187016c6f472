#include "effects/mp3_decoder.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace timbrelo {
namespace {

// The dithering quantiser keeps its error terms and random value per output channel for the
// whole run, shared by every decoder; the lock makes that sharing safe.
struct DitherState {
    int32_t error[3] = {0, 0, 0};
    uint32_t random = 0;
};

std::mutex g_ditherMutex;
DitherState g_dither[2];

// Rounds a 28-fraction-bit sample to `bits` (at most 24) with noise shaping and a triangular
// random dither.
int32_t quantise(mad_fixed_t sample, int bits, DitherState& d) {
    const int b = std::min(bits, 24);
    const int scale = MAD_F_FRACBITS + 1 - b;
    const int64_t mask = (int64_t{1} << scale) - 1;
    constexpr int64_t lowest = -(int64_t{1} << MAD_F_FRACBITS);
    constexpr int64_t highest = (int64_t{1} << MAD_F_FRACBITS) - 1;

    int64_t s = int64_t{sample} + d.error[0] - d.error[1] + d.error[2];
    d.error[2] = d.error[1];
    d.error[1] = d.error[0] / 2;

    int64_t out = s + (int64_t{1} << (MAD_F_FRACBITS - b));
    const uint32_t next = d.random * 1664525u + 1013904223u;
    out += static_cast<int64_t>(next & mask) - static_cast<int64_t>(d.random & mask);
    d.random = next;

    if (out > highest) {
        out = highest;
        s = std::min(s, highest);
    } else if (out < lowest) {
        out = lowest;
        s = std::max(s, lowest);
    }
    out &= ~mask;
    d.error[0] = static_cast<int32_t>(s - out);
    return static_cast<int32_t>(out >> scale);
}

void putSample(uint8_t*& p, int32_t q, int bits) {
    const uint32_t u = static_cast<uint32_t>(q);
    switch (bits) {
    case 8:
        *p++ = static_cast<uint8_t>(u ^ 0x80u);
        break;
    case 16:
        *p++ = static_cast<uint8_t>(u);
        *p++ = static_cast<uint8_t>(u >> 8);
        break;
    case 24:
        *p++ = static_cast<uint8_t>(u);
        *p++ = static_cast<uint8_t>(u >> 8);
        *p++ = static_cast<uint8_t>(u >> 16);
        break;
    default: { // 32: the 24-bit value in the high bytes
        const uint32_t w = u << 8;
        *p++ = static_cast<uint8_t>(w);
        *p++ = static_cast<uint8_t>(w >> 8);
        *p++ = static_cast<uint8_t>(w >> 16);
        *p++ = static_cast<uint8_t>(w >> 24);
    }
    }
}

// The band of the ten-band equaliser that each of the 32 subbands follows.
constexpr int kBandOfSubband[Mp3Decoder::kSubbands] = {
    0, 1, 2, 3, 4, 5, 6, 6, 7, 7, 7, 7, 8, 8, 8, 8, 8, 8, 8, 8, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};

double sliderDb(int32_t v) {
    return v == 31 ? 0.0 : 20.0 - v * 40.0 / 63.0;
}

uint32_t be32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

std::mutex g_listMutex;
std::vector<std::shared_ptr<Mp3Decoder>> g_list;

} // namespace

Mp3Decoder::Mp3Decoder() {
    bandGain_.fill(int32_t{1} << MAD_F_FRACBITS);
}

Mp3Decoder::~Mp3Decoder() {
    close();
}

int32_t Mp3Decoder::open(const AudioSource* source, uint32_t* outSize) {
    close();
    if (!input_) {
        input_ = std::make_unique<uint8_t[]>(kInputBytes + MAD_BUFFER_GUARD);
    }
    mad_stream_init(&stream_);
    mad_frame_init(&frame_);
    mad_synth_init(&synth_);
    source_ = source != nullptr ? *source : AudioSource{-1, -1};
    inputCount_ = 0;
    bytesRead_ = 0;
    endOfInput_ = false;
    framesSeen_ = samplesSeen_ = skipSamples_ = validSamples_ = 0;
    opened_ = true;
    if (outSize != nullptr) {
        *outSize = kBlockBytes;
    }
    return 0;
}

int32_t Mp3Decoder::close() {
    if (opened_) {
        mad_synth_finish(&synth_);
        mad_frame_finish(&frame_);
        mad_stream_finish(&stream_);
        opened_ = false;
    }
    return 0;
}

bool Mp3Decoder::setChannelMode(int32_t mode) {
    if (mode < kKeep || mode > kSwap) {
        return false;
    }
    channelMode_ = mode;
    return true;
}

bool Mp3Decoder::setBits(int32_t bits) {
    if (bits != 8 && bits != 16 && bits != 24 && bits != 32) {
        return false;
    }
    bits_ = bits;
    return true;
}

int32_t Mp3Decoder::setEqualizer(uint32_t on, int32_t preamp, const int8_t* bands) {
    const double pre = sliderDb(preamp);
    for (int sb = 0; sb < kSubbands; ++sb) {
        const double db = std::min(pre + sliderDb(bands[kBandOfSubband[sb]]), 18.0);
        bandGain_[sb] =
            static_cast<int32_t>(std::pow(10.0, db / 20.0) * (1 << MAD_F_FRACBITS) + 0.5);
    }
    equalizerOn_ = on != 0;
    return 0;
}

size_t Mp3Decoder::undecodedBytes() const {
    return stream_.next_frame != nullptr ? static_cast<size_t>(stream_.bufend - stream_.next_frame)
                                         : inputCount_;
}

int32_t Mp3Decoder::readSource(uint8_t* dst, size_t bytes) {
    if (source_.kind != AudioSource::kFile) {
        return -1;
    }
    for (;;) {
        const ssize_t n = ::read(source_.handle, dst, bytes);
        if (n >= 0 || errno != EINTR) {
            return static_cast<int32_t>(n);
        }
    }
}

Mp3Decoder::Refill Mp3Decoder::refill(bool force) {
    if (endOfInput_) {
        return Refill::kDone;
    }
    const size_t remaining = undecodedBytes();
    if (remaining >= kRefillBelow && !force) {
        return Refill::kDone;
    }
    if (remaining > 0 && stream_.next_frame != nullptr) {
        std::memmove(input_.get(), stream_.next_frame, remaining);
    }
    inputCount_ = remaining;
    const size_t room = kInputBytes - remaining;
    const int32_t n = room > 0 ? readSource(input_.get() + remaining, room) : 0;
    if (n > 0) {
        inputCount_ += static_cast<size_t>(n);
        bytesRead_ += static_cast<uint64_t>(n);
    } else if (n == 0) {
        // libmad needs zero bytes behind the last frame to finish decoding it.
        endOfInput_ = true;
        std::memset(input_.get() + inputCount_, 0, MAD_BUFFER_GUARD);
        inputCount_ += MAD_BUFFER_GUARD;
    }
    // The move above invalidated libmad's pointers, so the buffer is handed over again even
    // after a failed read.
    mad_stream_buffer(&stream_, input_.get(), inputCount_);
    return n < 0 ? Refill::kReadError : Refill::kDone;
}

bool Mp3Decoder::readInfoFrame() {
    const mad_header& h = frame_.header;
    if (h.layer != MAD_LAYER_III || stream_.this_frame == nullptr) {
        return false;
    }
    const bool lsf = (h.flags & MAD_FLAG_LSF_EXT) != 0;
    const bool mono = h.mode == MAD_MODE_SINGLE_CHANNEL;
    const size_t sideInfo = lsf ? (mono ? 9 : 17) : (mono ? 17 : 32);
    const size_t offset = 4 + ((h.flags & MAD_FLAG_PROTECTION) ? 2 : 0) + sideInfo;
    const uint8_t* p = stream_.this_frame;
    const uint8_t* end = stream_.next_frame;
    if (end == nullptr || static_cast<size_t>(end - p) < offset + 8) {
        return false;
    }
    p += offset;
    if (std::memcmp(p, "Xing", 4) != 0 && std::memcmp(p, "Info", 4) != 0) {
        return false;
    }
    const uint32_t flags = be32(p + 4);
    const uint8_t* q = p + 8;
    uint64_t frames = 0;
    if ((flags & 1) != 0 && q + 4 <= end) {
        frames = be32(q);
        q += 4;
    }
    q += (flags & 2) ? 4 : 0;   // byte count
    q += (flags & 4) ? 100 : 0; // seek table
    q += (flags & 8) ? 4 : 0;   // quality
    // The encoder's extension: a 9-byte version, then delay and padding 21 bytes in.
    if (q + 24 <= end) {
        const uint32_t delay = uint32_t{q[21]} << 4 | q[22] >> 4;
        const uint32_t padding = (uint32_t{q[22]} & 0x0F) << 8 | q[23];
        if (delay != 0 || padding != 0) {
            const uint64_t perFrame = lsf ? 576 : 1152;
            skipSamples_ = delay + kSynthesisDelay;
            if (frames * perFrame > uint64_t{delay} + padding) {
                validSamples_ = frames * perFrame - delay - padding;
            }
        }
    }
    return true;
}

void Mp3Decoder::mixToMono() {
    const int rows = MAD_NSBSAMPLES(&frame_.header);
    for (int s = 0; s < rows; ++s) {
        for (int sb = 0; sb < kSubbands; ++sb) {
            const int64_t sum = int64_t{frame_.sbsample[0][s][sb]} + frame_.sbsample[1][s][sb];
            frame_.sbsample[0][s][sb] = static_cast<mad_fixed_t>(sum / 2);
        }
    }
    frame_.header.mode = MAD_MODE_SINGLE_CHANNEL;
}

void Mp3Decoder::applyEqualizer() {
    const int rows = MAD_NSBSAMPLES(&frame_.header);
    const int channels = MAD_NCHANNELS(&frame_.header);
    for (int ch = 0; ch < channels; ++ch) {
        for (int s = 0; s < rows; ++s) {
            for (int sb = 0; sb < kSubbands; ++sb) {
                const int64_t v = int64_t{frame_.sbsample[ch][s][sb]} * bandGain_[sb];
                frame_.sbsample[ch][s][sb] =
                    static_cast<mad_fixed_t>((v + (int64_t{1} << 27)) >> MAD_F_FRACBITS);
            }
        }
    }
}

int32_t Mp3Decoder::decode(DecodedBlock* block) {
    if (!opened_ || block == nullptr) {
        return kEndOfStream;
    }
    bool force = false;
    const uint64_t readBefore = bytesRead_;
    for (;;) {
        if (bytesRead_ - readBefore >= kScanBytes) {
            return kNoFrame; // junk (or a long tag): let the caller decide whether to go on
        }
        if (refill(force) == Refill::kReadError) {
            return kReadError;
        }
        force = false;
        if (mad_header_decode(&frame_.header, &stream_) == -1) {
            if (stream_.error == MAD_ERROR_BUFLEN) {
                if (endOfInput_) {
                    return kEndOfStream;
                }
                force = true; // the rest of a frame is still to be read
                continue;
            }
            if (!MAD_RECOVERABLE(stream_.error)) {
                return kEndOfStream;
            }
            continue; // not a frame: look for the next one
        }
        if (framesSeen_++ == 0 && gapless_ && readInfoFrame()) {
            continue;
        }
        if (mad_frame_decode(&frame_, &stream_) == -1) {
            if (!MAD_RECOVERABLE(stream_.error)) {
                return kEndOfStream;
            }
            continue;
        }
        if (channelMode_ == kMonoMix && MAD_NCHANNELS(&frame_.header) == 2) {
            mixToMono();
        }
        if (equalizerOn_) {
            applyEqualizer();
        }
        mad_synth_frame(&synth_, &frame_);

        const uint64_t length = synth_.pcm.length;
        if (block->capacity < length * synth_.pcm.channels * (bits_ / 8)) {
            samplesSeen_ += length;
            return kBlockTooSmall; // the frame is lost
        }
        // Cut what lies outside the encoded samples (gapless playing only).
        const uint64_t start = samplesSeen_;
        samplesSeen_ += length;
        const uint64_t from = std::max(start, skipSamples_);
        uint64_t to = start + length;
        if (validSamples_ != 0) {
            to = std::min(to, skipSamples_ + validSamples_);
        }
        if (from >= to) {
            continue;
        }
        return writePcm(block, static_cast<uint32_t>(from - start),
                        static_cast<uint32_t>(to - from));
    }
}

int32_t Mp3Decoder::writePcm(DecodedBlock* block, uint32_t first, uint32_t count) {
    const mad_pcm& pcm = synth_.pcm;
    const mad_fixed_t* channels[2] = {pcm.samples[0], pcm.samples[1]};
    int outChannels = 2;
    if (pcm.channels == 1) {
        outChannels = 1;
    } else if (channelMode_ == kLeftOnly) {
        outChannels = 1;
    } else if (channelMode_ == kRightOnly) {
        outChannels = 1;
        channels[0] = pcm.samples[1];
    } else if (channelMode_ == kSwap) {
        channels[0] = pcm.samples[1];
        channels[1] = pcm.samples[0];
    }

    uint8_t* p = block->data;
    {
        std::lock_guard lock(g_ditherMutex);
        for (uint32_t i = first; i < first + count; ++i) {
            for (int ch = 0; ch < outChannels; ++ch) {
                putSample(p, quantise(channels[ch][i], bits_, g_dither[ch]), bits_);
            }
        }
    }
    block->length = static_cast<uint32_t>(p - block->data);
    block->rate = pcm.samplerate;
    block->channels = static_cast<uint16_t>(outChannels);
    block->bits = static_cast<uint16_t>(bits_);
    return kOk;
}

std::shared_ptr<Mp3Decoder> DecoderList::create() {
    auto decoder = std::make_shared<Mp3Decoder>();
    std::lock_guard lock(g_listMutex);
    g_list.push_back(decoder);
    return decoder;
}

std::shared_ptr<Mp3Decoder> DecoderList::first() {
    std::lock_guard lock(g_listMutex);
    return g_list.empty() ? nullptr : g_list.front();
}

void DecoderList::release(const std::shared_ptr<Mp3Decoder>& decoder) {
    std::lock_guard lock(g_listMutex);
    std::erase(g_list, decoder);
}

void DecoderList::reset() {
    std::vector<std::shared_ptr<Mp3Decoder>> dropped;
    {
        std::lock_guard lock(g_listMutex);
        dropped.swap(g_list);
    }
}

size_t DecoderList::size() {
    std::lock_guard lock(g_listMutex);
    return g_list.size();
}

} // namespace timbrelo
