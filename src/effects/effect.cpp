#include "effects/effect.h"

#include "platform/debug.h"

#include <cstring>

namespace timbrelo {

Effect::Effect(const char* name, size_t outSamples) : outBuffer_(outSamples, 0) {
    std::strncpy(name_, name, sizeof name_ - 1);
}

void Effect::setParameter(float value, int32_t /*kind*/) {
    parameter_.store(value, std::memory_order_relaxed);
}

void Effect::setInputFormat(uint32_t rate, uint32_t bits, uint32_t channels) {
    inFormat_ = {rate, bits, channels};
}

void Effect::setOutputFormat(uint32_t rate, uint32_t bits, uint32_t channels) {
    outFormat_ = {rate, bits, channels};
}

int32_t Effect::parseArgs(int32_t /*argc*/, const char* const* /*argv*/) {
    return acceptArgs();
}

int32_t Effect::refuseArgs(const char* debugLine, std::string why) {
    debugWrite(debugLine);
    argsProblem_ = std::move(why);
    return -1;
}

void Effect::prepare(const ProcessSpec& spec) {
    setInputFormat(spec.format.rate, 16, spec.format.channels);
    setOutputFormat(spec.format.rate, 16, spec.format.channels);
}

int32_t Effect::process(const int16_t* /*samples*/, uint32_t /*frames*/) {
    return 1;
}

} // namespace timbrelo
