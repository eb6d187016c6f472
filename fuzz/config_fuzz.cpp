// The effect configuration loader and the settings lines on any text: the chain's loader
// with the real effects, then the settings reader and writer on a file holding the text.
#include "effects/effect_chain.h"
#include "fuzz_support.h"
#include "platform/settings.h"

#include <cstdlib>
#include <fstream>
#include <sys/stat.h>

using namespace timbrelo;

namespace {

EffectFactory voiceEffects() {
    // Background music needs a file: its lines are never configuration lines anyway.
    EffectFactory factory = defaultEffectFactory();
    factory.background = nullptr;
    return factory;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    {
        EffectChain chain(voiceEffects());
        chain.setConfigSource(EffectConfigSource::text(text));
        chain.setFormat(2, 22050, 16);
        chain.load();
        for (const ConfigProblem& problem : chain.configProblems()) {
            if (problem.line == 0 || problem.what.empty()) {
                std::abort(); // every refused line is named, with its reason
            }
        }
    }
    const std::string dir = "/dev/shm/timbrelo-fuzz-cfg-" + std::to_string(::getpid());
    ::mkdir(dir.c_str(), 0700);
    const std::string file = dir + "/cfg";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    std::string value;
    getSettingIn(file, "OldPlayDefault ", value);
    getSettingIn(file, "NeedRestoreDev ", value);
    setSettingIn(file, "tempDir ", "/tmp");
    std::string after;
    getSettingIn(file, "tempDir ", after);
    if (text.size() <= kMaxSettingsFileBytes - 64 && after != "/tmp") {
        std::abort(); // a value stored is a value read back
    }
    return 0;
}
