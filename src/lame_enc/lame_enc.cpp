// The MP3 encoder library over libmp3lame.
//
// Stream handles are small numbers looked up in a table, never pointers, so a handle that
// was closed or never existed is refused with BE_ERR_INVALID_HANDLE instead of reaching
// freed memory. One lock serialises all calls; recordings encode a few chunks per flush, so
// streams never wait on each other for long.

#include "lame_enc/lame_enc.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <lame/lame.h>
#include <map>
#include <memory>
#include <mutex>
#include <unistd.h>
#include <vector>

#define LAME_ENC_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr uint8_t kLibraryMajor = 1;
constexpr uint8_t kLibraryMinor = 0;
constexpr uint8_t kReleaseDay = 6;
constexpr uint8_t kReleaseMonth = 12;
constexpr uint16_t kReleaseYear = 2026;

// Streams alive at once, counting closed streams whose tag is still pending. Beyond it the
// oldest pending tag is given up before a new stream is refused.
constexpr size_t kMaxStreams = 64;
// A Layer III frame is at most 1441 bytes (320 kbit/s at 32 kHz).
constexpr size_t kMaxFrameBytes = 2048;

struct Stream {
    lame_global_flags* flags = nullptr; // null once closed
    int channels = 2;
    uint32_t bufferSize = 0;
    bool flushed = false;
    bool writesTag = false;
    std::vector<uint8_t> tag; // the final tag frame, taken when the stream closes
    uint64_t closedOrder = 0; // 0 while open
};

struct Registry {
    std::mutex mutex;
    std::map<HBE_STREAM, std::unique_ptr<Stream>> streams;
    HBE_STREAM next = 1;
    uint64_t closings = 0;

    ~Registry() {
        for (auto& [handle, stream] : streams) {
            if (stream->flags != nullptr) {
                lame_close(stream->flags);
            }
        }
    }

    Stream* find(HBE_STREAM handle) {
        auto it = streams.find(handle);
        return it == streams.end() ? nullptr : it->second.get();
    }

    // Makes room by forgetting the oldest closed stream; false when every stream is open.
    bool evictOldestClosed() {
        auto oldest = streams.end();
        for (auto it = streams.begin(); it != streams.end(); ++it) {
            if (it->second->closedOrder != 0 &&
                (oldest == streams.end() ||
                 it->second->closedOrder < oldest->second->closedOrder)) {
                oldest = it;
            }
        }
        if (oldest == streams.end()) {
            return false;
        }
        streams.erase(oldest);
        return true;
    }

    HBE_STREAM add(std::unique_ptr<Stream> stream) {
        while (streams.count(next) != 0 || next == 0) {
            ++next;
        }
        const HBE_STREAM handle = next++;
        streams.emplace(handle, std::move(stream));
        return handle;
    }
};

Registry& registry() {
    static Registry r;
    return r;
}

bool isBool(int32_t v) {
    return v == 0 || v == 1;
}

int qualityForPreset(int32_t preset) {
    switch (preset) {
    case LQP_LOW_QUALITY:
        return 7;
    case LQP_NORMAL_QUALITY:
    case LQP_VOICE_QUALITY:
        return 5;
    case LQP_STANDARD:
        return 3;
    case LQP_HIGH_QUALITY:
        return 2;
    default:
        return -1; // the engine's default
    }
}

MPEG_mode lameMode(int32_t mode) {
    switch (mode) {
    case BE_MP3_MODE_MONO:
        return MONO;
    case BE_MP3_MODE_JSTEREO:
        return JOINT_STEREO;
    default:
        // Dual channel is coded as plain stereo: the engine no longer offers it.
        return STEREO;
    }
}

BE_ERR configureBasic(lame_global_flags* f, const BE_CONFIG_BASIC& c, int& channels) {
    if (c.dwSampleRate != 32000 && c.dwSampleRate != 44100 && c.dwSampleRate != 48000) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    if (c.byMode > BE_MP3_MODE_MONO || c.wBitrate == 0) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    channels = c.byMode == BE_MP3_MODE_MONO ? 1 : 2;
    lame_set_num_channels(f, channels);
    lame_set_in_samplerate(f, static_cast<int>(c.dwSampleRate));
    lame_set_out_samplerate(f, static_cast<int>(c.dwSampleRate));
    lame_set_mode(f, lameMode(c.byMode));
    lame_set_brate(f, c.wBitrate);
    lame_set_extension(f, c.bPrivate != 0);
    lame_set_error_protection(f, c.bCRC != 0);
    lame_set_copyright(f, c.bCopyright != 0);
    lame_set_original(f, c.bOriginal != 0);
    lame_set_bWriteVbrTag(f, 0);
    return BE_ERR_SUCCESSFUL;
}

BE_ERR configureFull(lame_global_flags* f, const BE_CONFIG_LHV1& c, int& channels) {
    if (c.dwStructVersion < 1 || c.dwStructSize < sizeof(BE_CONFIG)) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    if (c.dwSampleRate == 0 || c.dwSampleRate > 48000 || c.dwReSampleRate > 48000 ||
        c.nMode < BE_MP3_MODE_STEREO || c.nMode > BE_MP3_MODE_MONO || c.dwEmphasis > 3 ||
        c.dwEmphasis == 2) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    for (int32_t flag : {c.bPrivate, c.bCRC, c.bCopyright, c.bOriginal, c.bWriteVBRHeader,
                         c.bEnableVBR, c.bNoRes, c.bStrictIso}) {
        if (!isBool(flag)) {
            return BE_ERR_INVALID_FORMAT_PARAMETERS;
        }
    }
    channels = c.nMode == BE_MP3_MODE_MONO ? 1 : 2;
    lame_set_num_channels(f, channels);
    lame_set_in_samplerate(f, static_cast<int>(c.dwSampleRate));
    if (c.dwReSampleRate != 0) {
        lame_set_out_samplerate(f, static_cast<int>(c.dwReSampleRate));
    }
    lame_set_mode(f, lameMode(c.nMode));
    lame_set_emphasis(f, static_cast<int>(c.dwEmphasis));
    lame_set_extension(f, c.bPrivate);
    lame_set_error_protection(f, c.bCRC);
    lame_set_copyright(f, c.bCopyright);
    lame_set_original(f, c.bOriginal);
    lame_set_bWriteVbrTag(f, c.bWriteVBRHeader);
    lame_set_disable_reservoir(f, c.bNoRes);
    lame_set_strict_ISO(f, c.bStrictIso);

    if (c.bEnableVBR != 0) {
        if (c.dwVbrAbr_bps != 0) {
            lame_set_VBR(f, vbr_abr);
            lame_set_VBR_mean_bitrate_kbps(f, static_cast<int>(c.dwVbrAbr_bps / 1000));
        } else {
            lame_set_VBR(f, c.nVbrMethod == VBR_METHOD_OLD ? vbr_rh : vbr_mtrh);
            lame_set_VBR_q(f, std::clamp<int32_t>(c.nVBRQuality, 0, 9));
        }
        if (c.dwBitrate != 0) {
            lame_set_VBR_min_bitrate_kbps(f, static_cast<int>(c.dwBitrate));
        }
        if (c.dwMaxBitrate != 0) {
            lame_set_VBR_max_bitrate_kbps(f, static_cast<int>(c.dwMaxBitrate));
        }
    } else {
        if (c.dwBitrate == 0) {
            return BE_ERR_INVALID_FORMAT_PARAMETERS;
        }
        lame_set_VBR(f, vbr_off);
        lame_set_brate(f, static_cast<int>(c.dwBitrate));
    }

    const int low = c.nQuality & 0xFF;
    const int high = c.nQuality >> 8;
    int quality = high == (~low & 0xFF) ? std::min(low, 9) : qualityForPreset(c.nPreset);
    if (quality >= 0) {
        lame_set_quality(f, quality);
    }
    return BE_ERR_SUCCESSFUL;
}

// Takes the tag frame from a stream that has encoded everything it will.
void captureTag(Stream& s) {
    if (!s.writesTag || s.flags == nullptr) {
        return;
    }
    s.tag.resize(kMaxFrameBytes);
    size_t n = lame_get_lametag_frame(s.flags, s.tag.data(), s.tag.size());
    s.tag.resize(n <= kMaxFrameBytes ? n : 0);
}

// Skips an ID3v2 tag at the start of the file; returns where the audio begins.
off_t audioStart(int fd) {
    uint8_t h[10];
    if (::pread(fd, h, sizeof h, 0) != static_cast<ssize_t>(sizeof h) ||
        std::memcmp(h, "ID3", 3) != 0) {
        return 0;
    }
    const off_t size =
        (h[6] & 0x7F) << 21 | (h[7] & 0x7F) << 14 | (h[8] & 0x7F) << 7 | (h[9] & 0x7F);
    const bool footer = (h[5] & 0x10) != 0;
    return 10 + size + (footer ? 10 : 0);
}

// Puts the tag frame over the placeholder frame the stream wrote first.
BE_ERR writeTag(const std::vector<uint8_t>& tag, const char* fileName) {
    if (tag.empty()) {
        return BE_ERR_SUCCESSFUL;
    }
    if (fileName == nullptr) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    const int fd = ::open(fileName, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    BE_ERR result = BE_ERR_SUCCESSFUL;
    const off_t at = audioStart(fd);
    uint8_t header[3];
    // The placeholder is a frame of the tag's size: the same version, layer, bit rate, rate
    // and padding (its channel-mode details may differ). Anything else is not our file.
    if (::pread(fd, header, sizeof header, at) != static_cast<ssize_t>(sizeof header) ||
        header[0] != tag[0] || header[1] != tag[1] || (header[2] & 0xFE) != (tag[2] & 0xFE)) {
        result = BE_ERR_INVALID_FORMAT;
    } else if (::pwrite(fd, tag.data(), tag.size(), at) != static_cast<ssize_t>(tag.size())) {
        result = BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    if (::close(fd) != 0 && result == BE_ERR_SUCCESSFUL) {
        result = BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    return result;
}

} // namespace

LAME_ENC_EXPORT BE_ERR beInitStream(const BE_CONFIG* config, uint32_t* samples,
                                    uint32_t* bufferSize, HBE_STREAM* stream) {
    if (config == nullptr || samples == nullptr || bufferSize == nullptr || stream == nullptr) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    if (config->dwConfig != BE_CONFIG_MP3 && config->dwConfig != BE_CONFIG_LAME) {
        return BE_ERR_INVALID_FORMAT;
    }
    lame_global_flags* flags = lame_init();
    if (flags == nullptr) {
        return BE_ERR_NO_MORE_HANDLES;
    }
    lame_set_write_id3tag_automatic(flags, 0);
    auto s = std::make_unique<Stream>();
    BE_ERR rc = config->dwConfig == BE_CONFIG_MP3
                    ? configureBasic(flags, config->format.mp3, s->channels)
                    : configureFull(flags, config->format.LHV1, s->channels);
    if (rc == BE_ERR_SUCCESSFUL && lame_init_params(flags) < 0) {
        rc = BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    if (rc != BE_ERR_SUCCESSFUL) {
        lame_close(flags);
        return rc;
    }
    s->flags = flags;
    s->writesTag = lame_get_bWriteVbrTag(flags) != 0;
    const uint32_t frame = static_cast<uint32_t>(lame_get_framesize(flags));
    // The engine's worst case for one chunk, and enough for the final flush.
    s->bufferSize = frame * 5 / 4 + 7200;

    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (r.streams.size() >= kMaxStreams && !r.evictOldestClosed()) {
        lame_close(flags);
        return BE_ERR_NO_MORE_HANDLES;
    }
    *samples = frame * static_cast<uint32_t>(s->channels);
    *bufferSize = s->bufferSize;
    *stream = r.add(std::move(s));
    return BE_ERR_SUCCESSFUL;
}

LAME_ENC_EXPORT BE_ERR beEncodeChunk(HBE_STREAM stream, uint32_t samples, const int16_t* pcm,
                                     uint8_t* out, uint32_t* outBytes) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    Stream* s = r.find(stream);
    if (s == nullptr || s->flags == nullptr || s->flushed) {
        return BE_ERR_INVALID_HANDLE;
    }
    if (out == nullptr || outBytes == nullptr || (pcm == nullptr && samples != 0)) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    *outBytes = 0;
    const int frames = static_cast<int>(samples / static_cast<uint32_t>(s->channels));
    if (frames == 0) {
        return BE_ERR_SUCCESSFUL;
    }
    // The engine reads the samples only; its interface predates const.
    short* in = const_cast<short*>(reinterpret_cast<const short*>(pcm));
    const int size = static_cast<int>(s->bufferSize);
    const int n = s->channels == 2 ? lame_encode_buffer_interleaved(s->flags, in, frames, out, size)
                                   : lame_encode_buffer(s->flags, in, in, frames, out, size);
    if (n < 0) {
        return n == -1 ? BE_ERR_BUFFER_TOO_SMALL : BE_ERR_INVALID_FORMAT;
    }
    *outBytes = static_cast<uint32_t>(n);
    return BE_ERR_SUCCESSFUL;
}

LAME_ENC_EXPORT BE_ERR beDeinitStream(HBE_STREAM stream, uint8_t* out, uint32_t* outBytes) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    Stream* s = r.find(stream);
    if (s == nullptr || s->flags == nullptr || s->flushed) {
        return BE_ERR_INVALID_HANDLE;
    }
    if (out == nullptr || outBytes == nullptr) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    *outBytes = 0;
    const int n = lame_encode_flush(s->flags, out, static_cast<int>(s->bufferSize));
    s->flushed = true;
    if (n < 0) {
        return n == -1 ? BE_ERR_BUFFER_TOO_SMALL : BE_ERR_INVALID_FORMAT;
    }
    *outBytes = static_cast<uint32_t>(n);
    return BE_ERR_SUCCESSFUL;
}

LAME_ENC_EXPORT BE_ERR beCloseStream(HBE_STREAM stream) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    Stream* s = r.find(stream);
    if (s == nullptr || s->flags == nullptr) {
        return BE_ERR_INVALID_HANDLE;
    }
    captureTag(*s);
    lame_close(s->flags);
    s->flags = nullptr;
    if (s->tag.empty()) {
        r.streams.erase(stream);
    } else {
        s->closedOrder = ++r.closings;
    }
    return BE_ERR_SUCCESSFUL;
}

LAME_ENC_EXPORT void beVersion(BE_VERSION* version) {
    if (version == nullptr) {
        return;
    }
    std::memset(version, 0, sizeof *version);
    lame_version_t engine{};
    get_lame_version_numerical(&engine);
    version->byDLLMajorVersion = kLibraryMajor;
    version->byDLLMinorVersion = kLibraryMinor;
    version->byMajorVersion = static_cast<uint8_t>(engine.major);
    version->byMinorVersion = static_cast<uint8_t>(engine.minor);
    version->byDay = kReleaseDay;
    version->byMonth = kReleaseMonth;
    version->wYear = kReleaseYear;
    version->byAlphaLevel = static_cast<uint8_t>(engine.alpha);
    version->byBetaLevel = static_cast<uint8_t>(engine.beta);
}

LAME_ENC_EXPORT BE_ERR beWriteInfoTag(HBE_STREAM stream, const char* fileName) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    Stream* s = r.find(stream);
    if (s == nullptr) {
        return BE_ERR_INVALID_HANDLE;
    }
    if (s->flags != nullptr) {
        // Still open: the tag as it stands now, and the stream stays.
        captureTag(*s);
        return writeTag(s->tag, fileName);
    }
    const BE_ERR rc = writeTag(s->tag, fileName);
    r.streams.erase(stream);
    return rc;
}

LAME_ENC_EXPORT BE_ERR beWriteVBRHeader(const char* fileName) {
    // The tag of the stream closed last, if it is still waiting. An older stream whose tag was
    // never written is not considered: its file may be long gone, and its tag would land in a
    // file it does not belong to.
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    for (auto it = r.streams.begin(); it != r.streams.end(); ++it) {
        if (it->second->closedOrder != 0 && it->second->closedOrder == r.closings) {
            const BE_ERR rc = writeTag(it->second->tag, fileName);
            r.streams.erase(it);
            return rc;
        }
    }
    return BE_ERR_INVALID_HANDLE;
}
