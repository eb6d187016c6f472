#pragma once
// What the fuzz targets share: the input as a file without touching the disk, and as the
// blank-separated arguments of a configuration line.

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace timbrelo::fuzz {

// The bytes as an open, regular, seekable file (in memory). Closed with the object.
class MemoryFile {
  public:
    MemoryFile(const uint8_t* data, size_t size) : fd_(::memfd_create("fuzz", MFD_CLOEXEC)) {
        size_t done = 0;
        while (fd_ >= 0 && done < size) {
            const ssize_t n = ::write(fd_, data + done, size - done);
            if (n <= 0) {
                break;
            }
            done += static_cast<size_t>(n);
        }
        if (fd_ >= 0) {
            ::lseek(fd_, 0, SEEK_SET);
        }
    }
    ~MemoryFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    int fd() const { return fd_; }
    // A path that opens the same file afresh (with its own position).
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

  private:
    int fd_;
};

// Splits at blanks, as a configuration line's arguments are split.
inline std::vector<std::string> words(const uint8_t* data, size_t size) {
    std::vector<std::string> out;
    std::string word;
    for (size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == ' ' || c == '\0') {
            if (!word.empty()) {
                out.push_back(word);
                word.clear();
            }
        } else {
            word.push_back(c);
        }
    }
    if (!word.empty()) {
        out.push_back(word);
    }
    return out;
}

} // namespace timbrelo::fuzz
