#include "cli/output_file.h"

#include "effects/audio_format.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace timbrelo::cli {
namespace {

constexpr const char* kTempPrefix = ".timbrelo-";
constexpr const char* kTempMiddle = ".partial";
// A WAV file's sizes are 32-bit: the header's 46 bytes and the samples must fit.
constexpr uint64_t kWavHeaderBytes = 46;
constexpr uint64_t kMaxWavBytes = UINT32_MAX;
// What the recording writer's MP3 encoder writes per second (128 kbit/s).
constexpr uint64_t kMp3BytesPerSecond = 16000;

// The temporary file a signal must remove: set only while one exists.
char g_signalTemp[PATH_MAX + 1];
volatile sig_atomic_t g_haveSignalTemp = 0;

extern "C" void removeTempAndExit(int signal) {
    if (g_haveSignalTemp) {
        ::unlink(g_signalTemp);
    }
    _exit(128 + signal);
}

void catchEndingSignals() {
    static bool installed = false;
    if (installed) {
        return;
    }
    installed = true;
    struct sigaction action {};
    action.sa_handler = removeTempAndExit;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&action.sa_mask, signal);
    }
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        ::sigaction(signal, &action, nullptr);
    }
}

bool endsWithMp3(const std::string& path) {
    if (path.size() < 4) {
        return false;
    }
    std::string tail = path.substr(path.size() - 4);
    std::transform(tail.begin(), tail.end(), tail.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return tail == ".mp3";
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string megabytes(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

// Where the output goes: the path itself, or the regular file a link leads to. False with a
// reason for anything else that is already there.
bool resolveTarget(const std::string& path, std::string& target, std::string& error) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            target = path;
            return true;
        }
        error = std::strerror(errno);
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        char real[PATH_MAX];
        if (::stat(path.c_str(), &st) != 0 || ::realpath(path.c_str(), real) == nullptr) {
            error = "is a link to nothing that can be written (" +
                    std::string(std::strerror(errno)) + ")";
            return false;
        }
        target = real;
    } else {
        target = path;
    }
    if (S_ISDIR(st.st_mode)) {
        error = "is a folder";
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = "exists and is not a regular file (a device or a pipe is never replaced)";
        return false;
    }
    return true;
}

} // namespace

OutputFile::OutputFile() = default;

OutputFile::~OutputFile() {
    if (open_) {
        discard();
    }
}

bool OutputFile::check(const std::string& path, uint64_t frames, std::string& error) {
    std::string target;
    if (!resolveTarget(path, target, error)) {
        return false;
    }
    const size_t slash = target.rfind('/');
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    if (name.size() > NAME_MAX) {
        error = "the file name is longer than " + std::to_string(NAME_MAX) + " bytes";
        return false;
    }
    const bool mp3 = endsWithMp3(target);
    const uint64_t bytes = mp3 ? frames * kMp3BytesPerSecond / kPipelineFormat.rate + 4096
                               : kWavHeaderBytes + frames * kPipelineFormat.channels * 2;
    if (!mp3 && bytes > kMaxWavBytes) {
        char size[32];
        std::snprintf(size, sizeof size, "%.2f GiB", static_cast<double>(bytes) / (1u << 30));
        error = std::string("the result would be ") + size +
                ", more than a WAV file can hold (4 GiB); write an .mp3 file instead";
        return false;
    }
    struct statvfs fs {};
    if (::statvfs(folderOf(target).c_str(), &fs) == 0) {
        const uint64_t free = uint64_t{fs.f_bavail} * fs.f_frsize;
        if (free < bytes) {
            error = "the result needs about " + megabytes(bytes) + " but its disk has " +
                    megabytes(free) + " free";
            return false;
        }
    }
    return true;
}

int OutputFile::removeStaleTemporaries(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return 0;
    }
    int removed = 0;
    const size_t prefix = std::strlen(kTempPrefix);
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strncmp(name, kTempPrefix, prefix) != 0 ||
            std::strstr(name, kTempMiddle) == nullptr) {
            continue;
        }
        char* end = nullptr;
        const long pid = std::strtol(name + prefix, &end, 10);
        if (pid <= 0 || end == nullptr || *end != '-' || pid == ::getpid()) {
            continue;
        }
        // Only a process that is gone: a live one (even another program that took its number)
        // keeps its file.
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) {
            continue;
        }
        if (::unlinkat(::dirfd(dir), name, 0) == 0) {
            ++removed;
        }
    }
    ::closedir(dir);
    return removed;
}

bool OutputFile::open(const std::string& path, std::string& error) {
    std::string target;
    if (!resolveTarget(path, target, error)) {
        return false;
    }
    const std::string folder = folderOf(target);
    removeStaleTemporaries(folder);
    catchEndingSignals();

    // A short name of its own, whatever the length of the real one. The recording writer
    // chooses the format by the name's ending: keep it on the temporary.
    const std::string suffix = std::string(kTempMiddle) + (endsWithMp3(target) ? ".mp3" : ".wav");
    const std::string stem = folder + "/" + kTempPrefix + std::to_string(::getpid()) + "-";
    if (stem.size() + 8 + suffix.size() > PATH_MAX) {
        error = "the folder's path is too long";
        return false;
    }
    std::string temp;
    int fd = -1;
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        char unique[16];
        std::snprintf(unique, sizeof unique, "%08x",
                      static_cast<unsigned>(::time(nullptr)) * 2654435761u + ++counter);
        temp = stem + unique + suffix;
        // Created here, with the user's permissions (umask) for a new file.
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        error = std::string("can't write into its folder: ") + std::strerror(errno);
        return false;
    }
    ::close(fd);
    tempPath_ = temp;
    std::memcpy(g_signalTemp, tempPath_.c_str(), tempPath_.size() + 1);
    g_haveSignalTemp = 1;

    messages_ = std::make_unique<MessageCapture>();
    writer_.setCaptureFormat(kPipelineFormat, blockCountFor(kPipelineFormat) * 2048);
    if (writer_.startRecording(kEffectSlot, tempPath_) != 1) {
        error = explainWriteFailure(firstMessage());
        messages_.reset();
        g_haveSignalTemp = 0;
        ::unlink(tempPath_.c_str());
        return false;
    }
    path_ = target;
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
        error = explainWriteFailure(message);
        discard();
        return false;
    }
    if (::rename(tempPath_.c_str(), path_.c_str()) != 0) {
        error = std::string("can't give the file its name: ") + std::strerror(errno);
        discard();
        return false;
    }
    g_haveSignalTemp = 0;
    open_ = false;
    messages_.reset();
    return true;
}

void OutputFile::discard() {
    writer_.stopRecording(kEffectSlot, RecordKind::Wav);
    writer_.stopRecording(kEffectSlot, RecordKind::Mp3);
    ::unlink(tempPath_.c_str());
    g_haveSignalTemp = 0;
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

std::string OutputFile::explainWriteFailure(const std::string& message) const {
    // The writer only says that a write failed; a disk without room is the usual reason.
    struct statvfs fs {};
    const std::string folder = folderOf(tempPath_.empty() ? path_ : tempPath_);
    if (::statvfs(folder.c_str(), &fs) == 0 && uint64_t{fs.f_bavail} * fs.f_frsize < (1u << 20)) {
        return "can't be written: its disk is full";
    }
    if (message.empty()) {
        return "can't be written";
    }
    std::string text = message;
    while (!text.empty() && (text.back() == '.' || text.back() == '\n')) {
        text.pop_back();
    }
    if (!text.empty()) {
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    }
    return "can't be written (" + text + ")";
}

} // namespace timbrelo::cli
