// The effects' argument parsers on any words, at any format; an accepted line must leave an
// effect that processes audio.
#include "effects/cartoon_effect.h"
#include "effects/echo_effect.h"
#include "effects/psola_effect.h"
#include "fuzz_support.h"

#include <cstdlib>
#include <vector>

using namespace timbrelo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    static PsolaEffect* psola = new PsolaEffect(); // heavy to build: one for the run
    const uint32_t rates[] = {8000, 11025, 22050, 44100, 48000, 96000, 384000, 1};
    const uint32_t rate = rates[data[0] % 8];
    const uint32_t channels = 1 + (data[0] >> 3) % 2;
    const std::vector<std::string> args = fuzz::words(data + 1, size - 1);
    std::vector<const char*> argv;
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    argv.push_back(nullptr);
    const auto argc = static_cast<int32_t>(argv.size() - 1);

    EchoEffect echo;
    CartoonEffect cartoon;
    Effect* effects[] = {&echo, &cartoon, psola};
    std::vector<int16_t> block(2 * 512);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<int16_t>(i * 37);
    }
    for (Effect* effect : effects) {
        effect->setInputFormat(rate, 16, channels);
        const int32_t rc = effect->parseArgs(argc, argv.data());
        if ((rc == 0) != effect->argsProblem().empty()) {
            std::abort(); // a refusal says why, an acceptance has nothing to say
        }
        effect->setParameter(0, Effect::kOn);
        effect->process(block.data(), 512);
        if (effect->outFrames() > 512) {
            std::abort();
        }
        effect->setParameter(0, Effect::kOff);
    }
    return 0;
}
