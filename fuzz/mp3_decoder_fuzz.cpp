// The MP3 reader on any bytes: every channel mode, bit depth, the gapless cut and the
// equaliser, decoding to the end of the stream.
#include "effects/mp3_decoder.h"
#include "fuzz_support.h"

#include <cstdlib>
#include <vector>

using namespace timbrelo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const uint8_t mode = data[0];
    const uint8_t bands = data[1];
    fuzz::MemoryFile file(data + 2, size - 2);
    Mp3Decoder decoder;
    decoder.setChannelMode(mode % 5);
    decoder.setBits(8 * (1 + (mode >> 3) % 4));
    decoder.setGapless((mode & 0x40) != 0);
    if ((mode & 0x80) != 0) {
        int8_t gains[Mp3Decoder::kBands];
        for (int i = 0; i < Mp3Decoder::kBands; ++i) {
            gains[i] = static_cast<int8_t>((bands * (i + 7)) % 64);
        }
        decoder.setEqualizer(1, bands % 64, gains);
    }
    const AudioSource source{AudioSource::kFile, file.fd()};
    uint32_t blockBytes = 0;
    decoder.open(&source, &blockBytes);
    // Now and then a block too small for a frame.
    const uint32_t capacity = (bands & 1) != 0 ? blockBytes : 1 + bands * 17;
    std::vector<uint8_t> buffer(capacity);
    DecodedBlock block;
    block.data = buffer.data();
    block.capacity = capacity;
    for (int i = 0; i < 100000; ++i) {
        const int32_t rc = decoder.decode(&block);
        if (rc == Mp3Decoder::kOk) {
            if (block.length > block.capacity || block.channels < 1 || block.channels > 2 ||
                block.bits != decoder.bits()) {
                std::abort();
            }
        } else if (rc != Mp3Decoder::kNoFrame && rc != Mp3Decoder::kBlockTooSmall) {
            break;
        }
    }
    decoder.close();
    return 0;
}
