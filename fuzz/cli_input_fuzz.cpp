// The command line's input reading on any bytes: what libsndfile opens is converted to the
// pipeline format and read to its end (the length is bounded so that a header's promise of
// hours of audio costs no more than a moment).
#include "cli/audio_file_source.h"
#include "fuzz_support.h"

#include <cstdlib>

using namespace timbrelo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::MemoryFile file(data, size);
    std::string error;
    std::unique_ptr<cli::AudioFileSource> source = cli::AudioFileSource::open(file.path(), error);
    if (!source) {
        if (error.empty()) {
            std::abort(); // a refusal always says why
        }
        return 0;
    }
    source->setPadding(100);
    int16_t block[2 * 1024];
    uint64_t total = 0;
    for (size_t got; total < 2'000'000 && (got = source->readFrames(block, 1024)) > 0;) {
        total += got;
    }
    return 0;
}
