#include "cli/output_file.h"

#include "effects/audio_format.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace timbrelo::cli {
namespace {

bool endsWithMp3(const std::string& path) {
    if (path.size() < 4) {
        return false;
    }
    std::string tail = path.substr(path.size() - 4);
    std::transform(tail.begin(), tail.end(), tail.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return tail == ".mp3";
}

} // namespace

OutputFile::OutputFile() = default;

OutputFile::~OutputFile() {
    if (open_) {
        discard();
    }
}

bool OutputFile::open(const std::string& path, std::string& error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        error = "is a folder";
        return false;
    }
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    // The recording writer chooses the format by the name's ending: keep it on the temporary.
    tempPath_ = folder + "." + name + ".partial-" + std::to_string(::getpid()) +
                (endsWithMp3(path) ? ".mp3" : ".wav");
    const int fd = ::open(tempPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = std::string("can't write there: ") + std::strerror(errno);
        return false;
    }
    ::close(fd);

    messages_ = std::make_unique<MessageCapture>();
    writer_.setCaptureFormat(kPipelineFormat, blockCountFor(kPipelineFormat) * 2048);
    if (writer_.startRecording(kEffectSlot, tempPath_) != 1) {
        error = firstMessage();
        if (error.empty()) {
            error = "can't write this file";
        }
        messages_.reset();
        ::unlink(tempPath_.c_str());
        return false;
    }
    path_ = path;
    open_ = true;
    return true;
}

void OutputFile::write(std::span<const int16_t> samples) {
    const size_t maxSamples = RecordingWriter::kMaxBlockBytes / sizeof(int16_t);
    while (!samples.empty()) {
        const std::span<const int16_t> block = samples.first(std::min(samples.size(), maxSamples));
        writer_.write(block, RecordSource::Voice);
        samples = samples.subspan(block.size());
        // Faster than real time the writer's thread must keep up: every second of audio
        // queued is waited for, far below what its queue holds, so nothing is ever dropped.
        queuedSamples_ += block.size();
        if (queuedSamples_ >= kPipelineFormat.rate * 2) {
            writer_.waitForWriter();
            queuedSamples_ = 0;
        }
    }
}

bool OutputFile::commit(std::string& error) {
    writer_.stopRecording(kEffectSlot, RecordKind::Wav);
    writer_.stopRecording(kEffectSlot, RecordKind::Mp3);
    writer_.unloadEncoder();
    if (std::string message = firstMessage(); !message.empty()) {
        error = message;
        discard();
        return false;
    }
    if (::rename(tempPath_.c_str(), path_.c_str()) != 0) {
        error = std::string("can't give the file its name: ") + std::strerror(errno);
        discard();
        return false;
    }
    open_ = false;
    messages_.reset();
    return true;
}

void OutputFile::discard() {
    writer_.stopRecording(kEffectSlot, RecordKind::Wav);
    writer_.stopRecording(kEffectSlot, RecordKind::Mp3);
    ::unlink(tempPath_.c_str());
    open_ = false;
    messages_.reset();
}

std::string OutputFile::firstMessage() const {
    if (!messages_) {
        return {};
    }
    const std::vector<std::string> shown = messages_->messages();
    return shown.empty() ? std::string() : shown.front();
}

} // namespace timbrelo::cli
