#include "audio/recording_writer.h"

#include "platform/debug.h"
#include "platform/messages.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <new>
#include <unistd.h>

namespace timbrelo {

// Messages gathered while locks are held and shown once they are released. Fixed storage:
// `write` gathers them on the audio threads, where nothing is allocated.
class RecordingWriter::Notices {
  public:
    Notices() = default;
    Notices(const Notices&) = delete;
    Notices& operator=(const Notices&) = delete;
    ~Notices() {
        for (int i = 0; i < count_; ++i) {
            showMessage(texts_[i].data());
        }
    }

    void add(int stringId) { addf("%s", loadString(stringId)); }
    void addf(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        if (count_ == kMax) {
            return;
        }
        va_list args;
        va_start(args, format);
        std::vsnprintf(texts_[count_].data(), texts_[count_].size(), format, args);
        va_end(args);
        ++count_;
    }

  private:
    static constexpr int kMax = 4;
    std::array<std::array<char, 512>, kMax> texts_;
    int count_ = 0;
};

namespace {

std::string lowerCase(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

bool endsWith(const std::string& s, const char* suffix) {
    const size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

std::string executableFolder() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return {};
    }
    std::string s(path, static_cast<size_t>(n));
    const size_t slash = s.rfind('/');
    return slash == std::string::npos ? std::string() : s.substr(0, slash + 1);
}

bool writeFully(int fd, const uint8_t* data, size_t bytes) {
    while (bytes > 0) {
        const ssize_t n = ::write(fd, data, bytes);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        bytes -= static_cast<size_t>(n);
    }
    return true;
}

void putLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void putLe32(uint8_t* p, uint32_t v) {
    putLe16(p, static_cast<uint16_t>(v));
    putLe16(p + 2, static_cast<uint16_t>(v >> 16));
}

} // namespace

RecordingWriter::RecordingWriter()
    : format_(WaveFormat::pcm(2, 22050, 16)), stagingCapacity_(6 * 2048) {}

RecordingWriter::~RecordingWriter() {
    for (uint32_t slot = 0; slot < kSlots; ++slot) {
        stopRecording(slot, "mp3");
        stopRecording(slot, "wav");
    }
    unloadEncoder();
}

int16_t RecordingWriter::mix(int16_t ring, int16_t block) {
    const int32_t a = ring;
    const int32_t b = block;
    const int32_t mixed = a < 0 && b < 0 ? a + b - (a * b) / -32767 : a + b - (a * b) / 32768;
    // Two loud positive samples reach 32768: keep them at full scale instead of wrapping.
    return static_cast<int16_t>(std::clamp(mixed, -32768, 32767));
}

void RecordingWriter::setEncoderLibrary(std::string name) {
    std::lock_guard control(controlMutex_);
    libraryName_ = std::move(name);
}

void RecordingWriter::setCaptureFormat(const WaveFormat& format, uint32_t bufferCount,
                                       uint32_t bufferBytes) {
    std::lock_guard control(controlMutex_);
    format_ = format;
    stagingCapacity_ = bufferCount * bufferBytes;
}

bool RecordingWriter::recordsSlot(RecordSlot slot) const {
    if (slot >= kSlots) {
        return false;
    }
    const Slot& s = slots_[slot];
    if (slot == kOriginSlot) {
        return (recording_.load() && s.wavOpen.load()) ||
               (encoderLoaded_.load() && s.mp3Open.load());
    }
    return recording_.load() && (s.wavOpen.load() || s.mp3Open.load());
}

bool RecordingWriter::anyFileOpen() const {
    for (const Slot& s : slots_) {
        if (s.wavOpen.load() || s.mp3Open.load()) {
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------------------
// Starting and stopping

int32_t RecordingWriter::startRecording(uint32_t slot, const std::string& path) {
    Notices notices;
    std::lock_guard control(controlMutex_);
    if (slot >= kSlots || path.empty()) {
        return 0;
    }
    if (endsWith(lowerCase(path), ".mp3")) {
        if (format_.bitsPerSample == 8) {
            notices.add(IDS_MP3_8BITS);
            return 0;
        }
        if (!loadEncoder(notices) || !openMp3(slot, path, notices)) {
            return 0;
        }
    } else if (!openWav(slot, path, notices)) {
        return 0;
    }
    recording_.store(true);
    return 1;
}

bool RecordingWriter::loadEncoder(Notices& notices) {
    if (module_ != nullptr) {
        if (!encoderLoaded_.load()) {
            notices.add(IDS_ENCODER_INTERFACES); // loaded, but without what recording needs
        }
        return encoderLoaded_.load();
    }
    void* module = nullptr;
    if (libraryName_.find('/') == std::string::npos) {
        const std::string besideExecutable = executableFolder() + libraryName_;
        module = ::dlopen(besideExecutable.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    if (module == nullptr) {
        module = ::dlopen(libraryName_.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    if (module == nullptr) {
        const char* why = ::dlerror();
        debugPrintf("MP3 encoder: %s\n", why != nullptr ? why : libraryName_.c_str());
        notices.add(IDS_LOAD_ENCODER_FAILED);
        return false;
    }
    module_ = module;

    Encoder e;
    e.initStream = reinterpret_cast<BEINITSTREAM>(::dlsym(module, "beInitStream"));
    e.encodeChunk = reinterpret_cast<BEENCODECHUNK>(::dlsym(module, "beEncodeChunk"));
    e.deinitStream = reinterpret_cast<BEDEINITSTREAM>(::dlsym(module, "beDeinitStream"));
    e.closeStream = reinterpret_cast<BECLOSESTREAM>(::dlsym(module, "beCloseStream"));
    e.version = reinterpret_cast<BEVERSION>(::dlsym(module, "beVersion"));
    e.writeVbrHeader = reinterpret_cast<BEWRITEVBRHEADER>(::dlsym(module, "beWriteVBRHeader"));
    e.writeInfoTag = reinterpret_cast<BEWRITEINFOTAG>(::dlsym(module, "beWriteInfoTag"));
    if (!e.initStream || !e.encodeChunk || !e.deinitStream || !e.closeStream || !e.version ||
        !e.writeVbrHeader) {
        // The library stays loaded (and unusable) until capture stops.
        notices.add(IDS_ENCODER_INTERFACES);
        return false;
    }
    BE_VERSION version{};
    e.version(&version);
    debugPrintf("MP3 encoder %u.%02u, engine %u.%02u\n", version.byDLLMajorVersion,
                version.byDLLMinorVersion, version.byMajorVersion, version.byMinorVersion);
    std::lock_guard ring(ringMutex_);
    encoder_ = e;
    encoderLoaded_.store(true);
    return true;
}

bool RecordingWriter::openMp3(uint32_t index, const std::string& path, Notices& notices) {
    Slot& slot = slots_[index];
    if (!encoderLoaded_.load()) {
        return false;
    }
    if (slot.mp3Open.load()) {
        return true;
    }
    BE_CONFIG config;
    std::memset(&config, 0, sizeof config);
    config.dwConfig = BE_CONFIG_LAME;
    BE_CONFIG_LHV1& c = config.format.LHV1;
    c.dwStructVersion = 1;
    c.dwStructSize = sizeof config;
    c.dwSampleRate = format_.samplesPerSec;
    c.dwReSampleRate = 0;
    c.nMode = format_.channels == 1 ? BE_MP3_MODE_MONO : BE_MP3_MODE_JSTEREO;
    c.dwBitrate = 128;
    c.dwMaxBitrate = 0;
    c.nPreset = LQP_STANDARD;
    c.dwMpegVersion = MPEG1;
    c.bOriginal = 1;
    c.bWriteVBRHeader = 1;
    c.bNoRes = 1;

    const Encoder& e = encoder_; // written only by this thread, under the control lock
    uint32_t samples = 0;
    uint32_t bufferSize = 0;
    HBE_STREAM stream = 0;
    if (BE_ERR rc = e.initStream(&config, &samples, &bufferSize, &stream); rc != 0) {
        notices.addf("%s (%lu)", loadString(IDS_ENCODER_STREAM), static_cast<unsigned long>(rc));
        return false;
    }
    const uint32_t chunkBytes = samples * (format_.bitsPerSample / 8);
    // Room for more than one chunk, or the staging buffer could never encode.
    const uint32_t capacity = std::max(stagingCapacity_, 2 * chunkBytes);

    ::unlink(path.c_str()); // when it can't go, the exclusive create below fails and says so
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        e.closeStream(stream);
        notices.addf("Error creating file %s", path.c_str());
        return false;
    }
    std::vector<uint8_t> mp3Buffer;
    std::vector<uint8_t> staging;
    try {
        mp3Buffer.resize(bufferSize);
        staging.resize(capacity);
    } catch (const std::bad_alloc&) {
        e.closeStream(stream);
        ::close(fd);
        ::unlink(path.c_str());
        notices.add(IDS_OUT_OF_MEMORY);
        return false;
    }

    std::lock_guard ring(ringMutex_);
    slot.mp3Fd = fd;
    slot.stream = stream;
    slot.streamLive = true;
    slot.mp3Buffer.swap(mp3Buffer);
    slot.staging.swap(staging);
    slot.stagingFill = 0;
    slot.chunkBytes = chunkBytes;
    slot.fileName = path;
    slot.mp3Failed = false;
    slot.mp3Open.store(true);
    return true;
}

bool RecordingWriter::openWav(uint32_t index, const std::string& path, Notices& notices) {
    Slot& slot = slots_[index];
    if (slot.wavOpen.load()) {
        return true;
    }
    uint8_t fmt[kWaveFormatBytes];
    putLe16(fmt, format_.formatTag);
    putLe16(fmt + 2, format_.channels);
    putLe32(fmt + 4, format_.samplesPerSec);
    putLe32(fmt + 8, format_.avgBytesPerSec);
    putLe16(fmt + 12, format_.blockAlign);
    putLe16(fmt + 14, format_.bitsPerSample);
    putLe16(fmt + 16, 0);

    RiffWriter file;
    const bool ok = file.create(path) && file.createChunk("RIFF", "WAVE") &&
                    file.createChunk("fmt ") && file.write(fmt, sizeof fmt) && file.ascend() &&
                    file.createChunk("data") && file.updateSizes();
    if (!ok) {
        if (file.isOpen()) {
            file.close();
            ::unlink(path.c_str());
        }
        notices.add(IDS_OPEN_WAVE_FAILED);
        return false;
    }
    std::lock_guard ring(ringMutex_);
    slot.wav = std::move(file);
    slot.wavFailed = false;
    slot.wavOpen.store(true);
    return true;
}

void RecordingWriter::stopRecording(uint32_t index, const char* kind) {
    Notices notices;
    std::lock_guard control(controlMutex_);
    std::lock_guard ring(ringMutex_);
    // What is still in the ring belongs to the recording: write it out while the files and
    // the recording flag are as they were.
    drainLocked(notices);
    recording_.store(false);
    if (index >= kSlots || kind == nullptr) {
        return;
    }
    Slot& slot = slots_[index];
    if (std::strcmp(kind, "wav") == 0) {
        closeWavLocked(slot, notices);
    } else if (std::strcmp(kind, "mp3") == 0 && encoderLoaded_.load()) {
        closeMp3Locked(slot, notices);
    }
}

void RecordingWriter::closeWavLocked(Slot& slot, Notices& notices) {
    if (!slot.wavOpen.load()) {
        return;
    }
    slot.wavOpen.store(false);
    // Ascending out of "data" and "RIFF" writes both sizes.
    const bool ok = slot.wav.ascend() && slot.wav.ascend();
    if ((!slot.wav.close() || !ok) && !slot.wavFailed) {
        notices.add(IDS_WRITE_FILE_FAILED);
    }
}

void RecordingWriter::closeMp3Locked(Slot& slot, Notices& notices) {
    if (!slot.mp3Open.load() || encoder_.deinitStream == nullptr) {
        return;
    }
    slot.mp3Open.store(false);
    const Encoder& e = encoder_;
    // The staging buffer's last partial chunk is part of the recording too.
    for (uint32_t at = 0; at < slot.stagingFill; at += slot.chunkBytes) {
        encodeLocked(slot, slot.staging.data() + at,
                     std::min(slot.chunkBytes, slot.stagingFill - at), notices);
    }
    slot.stagingFill = 0;
    if (slot.streamLive) {
        uint32_t bytes = 0;
        if (BE_ERR rc = e.deinitStream(slot.stream, slot.mp3Buffer.data(), &bytes); rc != 0) {
            e.closeStream(slot.stream);
            slot.streamLive = false;
            notices.addf("beExitStream failed (%lu)", static_cast<unsigned long>(rc));
        }
        if (bytes > 0) {
            writeMp3Locked(slot, slot.mp3Buffer.data(), bytes, notices);
        }
    }
    if (slot.streamLive) {
        e.closeStream(slot.stream);
        slot.streamLive = false;
    }
    std::vector<uint8_t>().swap(slot.mp3Buffer);
    std::vector<uint8_t>().swap(slot.staging);
    if (::close(slot.mp3Fd) != 0 && !slot.mp3Failed) {
        notices.add(IDS_WRITE_FILE_FAILED);
    }
    slot.mp3Fd = -1;
    const BE_ERR rc = e.writeInfoTag != nullptr ? e.writeInfoTag(slot.stream, slot.fileName.c_str())
                                                : e.writeVbrHeader(slot.fileName.c_str());
    if (rc != 0) {
        debugPrintf("MP3 length tag not written to %s (%lu)\n", slot.fileName.c_str(),
                    static_cast<unsigned long>(rc));
    }
    slot.stream = 0;
}

void RecordingWriter::clearSlotEncoderLocked(Slot& slot) {
    slot.stream = 0;
    slot.streamLive = false;
    slot.stagingFill = 0;
    slot.fileName.clear();
}

void RecordingWriter::finishMp3sLocked(Notices& notices) {
    for (Slot& slot : slots_) {
        if (slot.mp3Open.load()) {
            drainLocked(notices);
            closeMp3Locked(slot, notices);
        }
        clearSlotEncoderLocked(slot);
    }
}

void RecordingWriter::resetEncoderState() {
    Notices notices;
    std::lock_guard control(controlMutex_);
    std::lock_guard ring(ringMutex_);
    finishMp3sLocked(notices);
}

void RecordingWriter::unloadEncoder() {
    Notices notices;
    std::lock_guard control(controlMutex_);
    {
        std::lock_guard ring(ringMutex_);
        finishMp3sLocked(notices);
        // The entry points live exactly as long as the library is loaded.
        encoder_ = Encoder{};
        encoderLoaded_.store(false);
    }
    if (module_ != nullptr) {
        ::dlclose(module_);
        module_ = nullptr;
    }
}

// ---------------------------------------------------------------------------------------
// The mix ring

void RecordingWriter::write(const uint8_t* data, uint32_t length, uint32_t tag) {
    if (!anyFileOpen() || data == nullptr || length == 0 || length > kMaxBlockBytes) {
        return;
    }
    Notices notices;
    std::lock_guard ring(ringMutex_);
    if (!anyFileOpen()) {
        return; // stopped meanwhile: nothing stale may wait for the next recording
    }
    uint8_t* r = ring_.data();
    if (tag == lastTag_) {
        if (kMixRingBytes - fill_ < length) {
            flushLocked(fill_, notices);
            fill_ = 0;
        }
        std::memcpy(r + fill_, data, length);
        fill_ += length;
        return;
    }
    // The other source: mix its block into the samples waiting at the ring's start.
    const uint32_t overlap = std::min(fill_, length);
    for (uint32_t i = 0; i + 1 < overlap; i += 2) {
        int16_t a;
        int16_t b;
        std::memcpy(&a, r + i, 2);
        std::memcpy(&b, data + i, 2);
        const int16_t m = mix(a, b);
        std::memcpy(r + i, &m, 2);
    }
    flushLocked(overlap, notices);
    if (fill_ < length) {
        std::memcpy(r, data + overlap, length - overlap);
        fill_ = length - overlap;
        lastTag_ = tag;
    } else {
        std::memmove(r, r + length, fill_ - length);
        fill_ -= length;
    }
}

void RecordingWriter::drainLocked(Notices& notices) {
    if (fill_ > 0) {
        flushLocked(fill_, notices);
        fill_ = 0;
    }
}

void RecordingWriter::flushLocked(uint32_t bytes, Notices& notices) {
    if (bytes == 0) {
        return;
    }
    if (recording_.load()) {
        Slot* target = slots_[kEffectSlot].wavOpen.load()   ? &slots_[kEffectSlot]
                       : slots_[kOriginSlot].wavOpen.load() ? &slots_[kOriginSlot]
                                                            : nullptr;
        if (target != nullptr && !target->wavFailed) {
            // Sizes after every flush: a killed program leaves a playable file.
            if (!target->wav.write(ring_.data(), bytes) || !target->wav.updateSizes()) {
                target->wavFailed = true;
                notices.add(IDS_WRITE_FILE_FAILED);
            }
        }
    }
    if (encoderLoaded_.load()) {
        Slot& target =
            slots_[kOriginSlot].mp3Open.load() ? slots_[kOriginSlot] : slots_[kEffectSlot];
        if (target.mp3Open.load()) {
            stageLocked(target, ring_.data(), bytes, notices);
        }
    }
}

void RecordingWriter::stageLocked(Slot& slot, const uint8_t* data, uint32_t bytes,
                                  Notices& notices) {
    const uint32_t capacity = static_cast<uint32_t>(slot.staging.size());
    uint8_t* staging = slot.staging.data();
    while (bytes > 0) {
        const uint32_t p = std::min(capacity - slot.stagingFill, bytes);
        std::memcpy(staging + slot.stagingFill, data, p);
        slot.stagingFill += p;
        data += p;
        bytes -= p;
        // Only whole chunks with more behind them: an exact chunk waits for the next flush.
        uint32_t done = 0;
        while (slot.stagingFill - done > slot.chunkBytes) {
            encodeLocked(slot, staging + done, slot.chunkBytes, notices);
            done += slot.chunkBytes;
        }
        if (done > 0) {
            std::memmove(staging, staging + done, slot.stagingFill - done);
            slot.stagingFill -= done;
        }
    }
}

void RecordingWriter::encodeLocked(Slot& slot, const uint8_t* pcm, uint32_t bytes,
                                   Notices& notices) {
    // After a failure the stream is closed: nothing may call into it again.
    if (!slot.streamLive) {
        return;
    }
    uint32_t out = 0;
    const BE_ERR rc = encoder_.encodeChunk(
        slot.stream, bytes / 2, reinterpret_cast<const int16_t*>(pcm), slot.mp3Buffer.data(), &out);
    if (rc != 0) {
        encoder_.closeStream(slot.stream);
        slot.streamLive = false;
        notices.addf("m_ForMp3_Proc_hEncodeChunk() failed (%lu)", static_cast<unsigned long>(rc));
        return;
    }
    if (out > 0) {
        writeMp3Locked(slot, slot.mp3Buffer.data(), out, notices);
    }
}

void RecordingWriter::writeMp3Locked(Slot& slot, const uint8_t* data, uint32_t bytes,
                                     Notices& notices) {
    if (slot.mp3Failed) {
        return;
    }
    if (!writeFully(slot.mp3Fd, data, bytes)) {
        slot.mp3Failed = true;
        notices.add(IDS_WRITE_FILE_FAILED);
    }
}

} // namespace timbrelo
