// The WAV/RIFF chunk reader on any bytes, and what the music check and the music reader make
// of a file it accepts.
#include "effects/music_file.h"
#include "effects/music_reader.h"
#include "fuzz_support.h"
#include "platform/wav_file.h"

#include <cstdlib>

using namespace timbrelo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::MemoryFile file(data, size);
    WavInfo info;
    std::string error;
    if (readWavInfo(file.fd(), info, error)) {
        if (info.dataOffset > size || info.dataBytes > size - info.dataOffset) {
            std::abort(); // the samples must lie within the file
        }
    } else if (error.empty()) {
        std::abort(); // a refusal always says why
    }
    // The same bytes as music (a ".wav" name chooses the WAV reader), named in memory.
    const std::string link = "/dev/shm/timbrelo-fuzz-" + std::to_string(::getpid()) + ".wav";
    ::unlink(link.c_str());
    if (::symlink(file.path().c_str(), link.c_str()) != 0) {
        return 0;
    }
    MusicFile music;
    if (openMusicFile(link, music, error)) {
        MusicReader reader(DecoderList::create());
        reader.start(std::move(music), 22050, "");
        for (int i = 0; i < 2; ++i) {
            const MusicReader::Produced produced = reader.produce();
            if (produced == MusicReader::Produced::kDone) {
                break;
            }
            reader.consumed(reader.pending());
        }
    }
    ::unlink(link.c_str());
    return 0;
}
