#include "audio/wav_recording.h"

#include <unistd.h>

namespace timbrelo {
namespace {

void putLe16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void putLe32(uint8_t* p, uint32_t v) {
    putLe16(p, v & 0xFFFF);
    putLe16(p + 2, v >> 16);
}

} // namespace

void WavRecording::formatRecord(const StreamFormat& format, uint8_t (&record)[kFormatBytes]) {
    putLe16(record, 1); // PCM
    putLe16(record + 2, format.channels);
    putLe32(record + 4, format.rate);
    putLe32(record + 8, format.bytesPerSecond());
    putLe16(record + 12, format.frameBytes());
    putLe16(record + 14, 16);
    putLe16(record + 16, 0);
}

bool WavRecording::create(const std::string& path, const StreamFormat& format,
                          RecordingNotices& notices) {
    uint8_t fmt[kFormatBytes];
    formatRecord(format, fmt);
    const bool ok = file_.create(path) && file_.createChunk("RIFF", "WAVE") &&
                    file_.createChunk("fmt ") && file_.write(fmt, sizeof fmt) && file_.ascend() &&
                    file_.createChunk("data") && file_.updateSizes();
    if (!ok) {
        if (file_.isOpen()) {
            file_.close();
            ::unlink(path.c_str());
        }
        notices.add(IDS_OPEN_WAVE_FAILED);
        return false;
    }
    failed_ = false;
    return true;
}

void WavRecording::append(std::span<const int16_t> samples, RecordingNotices& notices) {
    if (failed_ || !file_.isOpen()) {
        return;
    }
    if (!file_.write(samples.data(), samples.size_bytes()) || !file_.updateSizes()) {
        failed_ = true;
        notices.add(IDS_WRITE_FILE_FAILED);
    }
}

void WavRecording::close(RecordingNotices& notices) {
    if (!file_.isOpen()) {
        return;
    }
    // Ascending out of "data" and "RIFF" writes both sizes.
    const bool ok = file_.ascend() && file_.ascend();
    if ((!file_.close() || !ok) && !failed_) {
        notices.add(IDS_WRITE_FILE_FAILED);
    }
}

} // namespace timbrelo
