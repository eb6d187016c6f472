#include "platform/settings.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace timbrelo {
namespace {

// Builds "<config home>/Tonvari/" if it fits the limit (terminator included).
int buildFolderPath(std::string& out, int bufferSize) {
    std::string home = configHome();
    if (home.empty()) {
        return kNoConfigHome;
    }
    const int limit = std::min(bufferSize, kMaxPath);
    const size_t folderLength = std::char_traits<char>::length(kDataFolderName) + 1;
    if (static_cast<long>(home.size() + folderLength + 2) > limit) {
        return kPathTooLong;
    }
    if (home.back() != '/') {
        home.push_back('/');
    }
    out = home + kDataFolderName + "/";
    return 0;
}

bool readLines(const std::string& file, std::vector<std::string>& lines) {
    std::string content;
    std::string why;
    if (!readTextFile(file, content, why)) {
        return false;
    }
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        if (end == std::string::npos) {
            end = content.size();
        }
        std::string line = content.substr(pos, end - pos);
        // A file edited on another system may end its lines with CR LF.
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(std::move(line));
        pos = end + 1;
    }
    return true;
}

bool startsWith(std::string_view line, std::string_view key) {
    return line.substr(0, key.size()) == key;
}

} // namespace

bool readTextFile(const std::string& path, std::string& content, std::string& why,
                  size_t maxBytes) {
    // Not blocking: a pipe would otherwise hold the open until a writer comes.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    const std::string tooLarge = maxBytes == kMaxSettingsFileBytes
                                     ? "is larger than 1 MiB"
                                     : "is larger than " + std::to_string(maxBytes) + " bytes";
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (!ok) {
        why = std::strerror(errno);
    } else if (S_ISDIR(st.st_mode)) {
        why = "is a folder";
        ok = false;
    } else if (!S_ISREG(st.st_mode)) {
        why = "is not a regular file";
        ok = false;
    } else if (static_cast<uint64_t>(st.st_size) > maxBytes) {
        why = tooLarge;
        ok = false;
    }
    std::string data;
    if (ok) {
        // The file may grow while it is read: never take more than the limit allows.
        data.resize(maxBytes + 1);
        size_t got = 0;
        while (got < data.size()) {
            const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                why = std::strerror(errno);
                ok = false;
            }
            if (n <= 0) {
                break;
            }
            got += static_cast<size_t>(n);
        }
        if (ok && got > maxBytes) {
            why = tooLarge;
            ok = false;
        }
        data.resize(got);
    }
    ::close(fd);
    if (ok) {
        content = std::move(data);
    }
    return ok;
}

std::string configHome() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        return xdg;
    }
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') {
        std::string path(home);
        if (path.back() != '/') {
            path.push_back('/');
        }
        return path + ".config";
    }
    return {};
}

int ensureDataFolder(std::string& path, int bufferSize) {
    std::string folder;
    if (int rc = buildFolderPath(folder, bufferSize); rc != 0) {
        return rc;
    }
    path = folder;
    const std::string bare = folder.substr(0, folder.size() - 1);
    struct stat st {};
    if (::lstat(bare.c_str(), &st) == 0) {
        return kFolderExisted; // anything at that path counts as existing
    }
    if (errno != ENOENT && errno != ENOTDIR) {
        return kFolderCheckFailed;
    }
    return ::mkdir(bare.c_str(), 0700) == 0 ? kFolderCreated : kFolderNotCreated;
}

int settingsFilePath(std::string& path, int bufferSize) {
    std::string folder;
    if (int rc = buildFolderPath(folder, bufferSize); rc != 0) {
        return rc;
    }
    std::string file = folder + kSettingsFileName;
    if (static_cast<long>(file.size()) + 1 > std::min(bufferSize, kMaxPath)) {
        return kPathTooLong;
    }
    path = std::move(file);
    return 0;
}

void getSettingIn(const std::string& file, std::string_view key, std::string& value) {
    std::vector<std::string> lines;
    if (!readLines(file, lines)) {
        return;
    }
    for (const std::string& line : lines) {
        if (startsWith(line, key)) {
            value = line.substr(key.size());
            return;
        }
    }
}

bool setSettingIn(const std::string& file, std::string_view key, std::string_view value) {
    // A line end inside the value would smuggle extra lines into the file.
    if (value.find_first_of("\r\n") != std::string_view::npos ||
        key.find_first_of("\r\n") != std::string_view::npos) {
        return false;
    }
    std::vector<std::string> lines;
    if (!readLines(file, lines)) {
        return false; // never creates the file
    }
    bool found = false;
    for (std::string& line : lines) {
        if (startsWith(line, key)) {
            line.assign(key).append(value);
            found = true;
        }
    }
    if (!found) {
        lines.push_back(std::string(key).append(value));
    }
    std::string content;
    for (const std::string& line : lines) {
        content.append(line).push_back('\n');
    }
    return replaceFileAtomically(file, content);
}

void getSetting(std::string_view key, std::string& value) {
    std::string file;
    if (settingsFilePath(file) == 0) {
        getSettingIn(file, key, value);
    }
}

bool setSetting(std::string_view key, std::string_view value) {
    std::string file;
    return settingsFilePath(file) == 0 && setSettingIn(file, key, value);
}

bool replaceFileAtomically(const std::string& file, std::string_view content) {
    std::string temp = file + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        return false;
    }
    // Keep the permissions of the file being replaced.
    struct stat st {};
    if (::stat(file.c_str(), &st) == 0) {
        ::fchmod(fd, st.st_mode & 07777);
    }
    bool ok = true;
    std::string_view rest = content;
    while (ok && !rest.empty()) {
        ssize_t n = ::write(fd, rest.data(), rest.size());
        if (n <= 0) {
            ok = false;
        } else {
            rest.remove_prefix(static_cast<size_t>(n));
        }
    }
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temp.c_str(), file.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
    }
    return ok;
}

} // namespace timbrelo
