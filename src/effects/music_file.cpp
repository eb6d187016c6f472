#include "effects/music_file.h"

#include "effects/mp3_decoder.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace timbrelo {
namespace {

std::string rateProblem(uint32_t rate) {
    return "has a sample rate of " + std::to_string(rate) + " Hz (music must be 1000..384000 Hz)";
}

bool checkWav(MusicFile& file, std::string& why) {
    if (!readWavInfo(file.fd, file.wav, why)) {
        return false;
    }
    const WavFormat& f = file.wav.format;
    if ((f.tag != 1 && f.tag != 0xFFFE) || f.bits != 16) {
        why = "is not a 16-bit PCM WAV file (convert it, or use an MP3 file)";
        return false;
    }
    if (f.channels == 0) {
        why = "has no channels";
        return false;
    }
    if (f.rate < kMinMusicRate || f.rate > kMaxMusicRate) {
        why = rateProblem(f.rate);
        return false;
    }
    if (file.wav.dataBytes < 2u * f.channels) {
        why = "holds no samples";
        return false;
    }
    return true;
}

bool checkMp3(MusicFile& file, std::string& why) {
    Mp3Decoder decoder;
    decoder.setGapless(true); // as it plays: the encoder's information frame is no music
    const AudioSource source{AudioSource::kFile, file.fd};
    uint32_t size = 0;
    decoder.open(&source, &size);
    std::vector<uint8_t> buffer(size);
    DecodedBlock block;
    block.data = buffer.data();
    block.capacity = size;
    for (uint64_t searched = 0;;) {
        const int32_t rc = decoder.decode(&block);
        if (rc == Mp3Decoder::kOk && block.length > 0) {
            if (block.rate < kMinMusicRate || block.rate > kMaxMusicRate) {
                why = rateProblem(block.rate);
                return false;
            }
            break;
        }
        if (rc == Mp3Decoder::kReadError) {
            why = std::string("can't be read: ") + std::strerror(errno);
            return false;
        }
        if (rc == Mp3Decoder::kEndOfStream) {
            why = "holds no MP3 audio";
            return false;
        }
        if (rc == Mp3Decoder::kNoFrame) {
            searched += Mp3Decoder::kScanBytes;
            if (searched >= kMusicSearchBytes) {
                why = "holds no MP3 audio in its first 16 MiB";
                return false;
            }
        }
    }
    decoder.close();
    if (::lseek(file.fd, 0, SEEK_SET) != 0) {
        why = std::string("can't be read again: ") + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace

MusicFile& MusicFile::operator=(MusicFile&& other) noexcept {
    if (this != &other) {
        close();
        path = std::move(other.path);
        mp3 = other.mp3;
        fd = std::exchange(other.fd, -1);
        wav = other.wav;
    }
    return *this;
}

void MusicFile::close() {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

bool isMp3Name(const std::string& path) {
    return path.size() < 4 || ::strcasecmp(path.c_str() + path.size() - 4, ".wav") != 0;
}

bool openMusicFile(const std::string& path, MusicFile& file, std::string& why) {
    MusicFile opened;
    opened.path = path;
    opened.mp3 = isMp3Name(path);
    // Not blocking: a pipe would otherwise hold the open until a writer comes.
    opened.fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (opened.fd < 0) {
        why = std::string("can't be opened: ") + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(opened.fd, &st) != 0) {
        why = std::string("can't be read: ") + std::strerror(errno);
        return false;
    }
    // Music is read ahead and played in a loop, so it must be a file that can be read again.
    if (S_ISDIR(st.st_mode)) {
        why = "is a folder";
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        why = "is not a regular file";
        return false;
    }
    ::fcntl(opened.fd, F_SETFL, 0);
    if (!(opened.mp3 ? checkMp3(opened, why) : checkWav(opened, why))) {
        return false;
    }
    file = std::move(opened);
    return true;
}

} // namespace timbrelo
