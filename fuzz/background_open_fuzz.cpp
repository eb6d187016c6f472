// Opening background music from any bytes under either kind of name, then playing what was
// accepted for a while: the check must refuse what cannot play, and the reader must never
// loop without end on what it let through.
#include "effects/music_file.h"
#include "effects/music_reader.h"
#include "fuzz_support.h"

#include <cstdlib>

using namespace timbrelo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    fuzz::MemoryFile file(data + 1, size - 1);
    const bool wav = (data[0] & 1) != 0;
    const uint32_t chainRate = (data[0] & 2) != 0 ? 22050 : 44100;
    const std::string link =
        "/dev/shm/timbrelo-fuzz-music-" + std::to_string(::getpid()) + (wav ? ".wav" : ".mp3");
    ::unlink(link.c_str());
    if (::symlink(file.path().c_str(), link.c_str()) != 0) {
        return 0;
    }
    MusicFile music;
    std::string why;
    if (openMusicFile(link, music, why)) {
        MusicReader reader(DecoderList::create());
        reader.start(std::move(music), chainRate, "");
        uint64_t frames = 0;
        for (int i = 0; i < 16 && frames < 8192; ++i) {
            if (reader.produce() == MusicReader::Produced::kDone) {
                break;
            }
            frames += reader.pending();
            reader.consumed(reader.pending());
        }
    } else if (why.empty()) {
        std::abort(); // a refusal always says why
    }
    ::unlink(link.c_str());
    return 0;
}
