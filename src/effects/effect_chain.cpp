#include "effects/effect_chain.h"

#include "effects/background_control.h"
#include "platform/debug.h"
#include "platform/settings.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <vector>

namespace timbrelo {
namespace {

std::unique_ptr<Effect> make(const std::function<std::unique_ptr<Effect>()>& factory) {
    return factory ? factory() : nullptr;
}

// Splits at blanks; runs of blanks count as one separator, a tab is ordinary text.
std::vector<std::string> splitAtBlanks(const std::string& line) {
    std::vector<std::string> tokens;
    size_t pos = 0;
    while (pos < line.size()) {
        size_t start = line.find_first_not_of(' ', pos);
        if (start == std::string::npos) {
            break;
        }
        size_t end = line.find(' ', start);
        if (end == std::string::npos) {
            end = line.size();
        }
        tokens.push_back(line.substr(start, end - start));
        pos = end;
    }
    return tokens;
}

} // namespace

EffectChain::EffectChain(EffectFactory factory) : factory_(std::move(factory)) {}

EffectChain::~EffectChain() {
    for (auto& slot : slots_) {
        slot.reset();
    }
}

void EffectChain::setFormat(uint32_t channels, uint32_t rate, uint32_t /*bits*/) {
    rate_ = rate;
    channels_ = channels & 0xFFFFu;
    bits_ = 16;
}

int32_t EffectChain::load() {
    if (loaded_) {
        return 0;
    }
    loaded_ = true;

    slots_[kEchoSlot] = make(factory_.echo);
    slots_[kCartoonSlot] = make(factory_.cartoon);
    slots_[kPsolaSlot] = make(factory_.psola);
    psola_ = slots_[kPsolaSlot].get();
    slots_[kBackgroundSlot] = make(factory_.background);
    if (Effect* bg = slots_[kBackgroundSlot].get()) {
        bg->setInputFormat(rate_, bits_, channels_);
        background_ = bg;
        backgroundControl_ = dynamic_cast<BackgroundControl*>(bg);
    }

    debugWrite("Config params.\n");

    std::string text;
    std::string file = source_.name;
    switch (source_.kind) {
    case EffectConfigSource::Kind::Text:
        text = source_.value;
        break;
    case EffectConfigSource::Kind::File:
    case EffectConfigSource::Kind::UserSettingsFile: {
        file = source_.value;
        if (source_.kind == EffectConfigSource::Kind::UserSettingsFile &&
            settingsFilePath(file) != 0) {
            return -1;
        }
        struct stat st {};
        if (source_.kind == EffectConfigSource::Kind::UserSettingsFile &&
            ::lstat(file.c_str(), &st) != 0 && errno == ENOENT) {
            return 0; // no settings file yet: every effect stays unconfigured
        }
        std::string why;
        if (!readTextFile(file, text, why)) {
            problems_.push_back({file, 0, why});
            return 0;
        }
        break;
    }
    }

    uint32_t number = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        configureLine(line, file, ++number);
    }
    return 0;
}

std::string ConfigProblem::text() const {
    std::string out = file;
    if (line > 0) {
        out += ':';
        out += std::to_string(line);
    }
    out += ": ";
    out += what;
    return out;
}

void EffectChain::configureLine(const std::string& line, const std::string& file, uint32_t number) {
    debugWrite("1 line.\n");
    if (!line.empty() && line[0] == '#') {
        return;
    }
    Effect* taker = nullptr;
    for (size_t i = kEchoSlot; i <= kPsolaSlot; ++i) {
        Effect* effect = slots_[i].get();
        if (effect == nullptr) {
            debugWrite("Each effect only can be used once\n");
            return;
        }
        const char* name = effect->name();
        if (line.compare(0, std::strlen(name), name) == 0) {
            taker = effect;
            break;
        }
    }
    if (taker == nullptr) {
        return;
    }

    std::vector<std::string> tokens = splitAtBlanks(line);
    std::vector<const char*> argv;
    for (size_t i = 1; i < tokens.size() && argv.size() < kMaxArgs; ++i) {
        argv.push_back(tokens[i].c_str());
    }
    argv.push_back(nullptr); // like a C argument vector; not counted
    taker->setInputFormat(rate_, bits_, channels_);
    if (taker->parseArgs(static_cast<int32_t>(argv.size() - 1), argv.data()) != 0) {
        problems_.push_back({file, number, taker->argsProblem()});
    }

    debugWrite(taker->name());
    if (std::strcmp(taker->name(), "cartoon") == 0) {
        cartoon_ = taker;
        debugWrite("Cartoon init.\n");
    }
}

const int16_t* EffectChain::run(const int16_t* samples, uint32_t frames, uint32_t* outFrames) {
    const int16_t* current = samples;
    uint32_t currentFrames = frames;
    const int16_t* result = nullptr;
    for (auto& slot : slots_) {
        Effect* effect = slot.get();
        if (effect == nullptr) {
            continue;
        }
        if (effect->process(current, currentFrames) == 0) {
            currentFrames = effect->outFrames();
            current = effect->outBuffer();
            result = current;
        }
    }
    *outFrames = currentFrames;
    return result;
}

void EffectChain::prepare(const ProcessSpec& spec) {
    for (auto& slot : slots_) {
        if (slot) {
            slot->prepare(spec);
        }
    }
}

void EffectChain::reset() {
    for (auto& slot : slots_) {
        if (slot) {
            slot->reset();
        }
    }
}

uint32_t EffectChain::latencyFrames() const {
    uint32_t total = 0;
    for (const auto& slot : slots_) {
        total += slot ? slot->latencyFrames() : 0;
    }
    return total;
}

uint32_t EffectChain::tailFrames() const {
    uint32_t longest = 0;
    for (const auto& slot : slots_) {
        longest = std::max(longest, slot ? slot->tailFrames() : 0);
    }
    return longest;
}

uint32_t EffectChain::blockFrames() const {
    uint32_t longest = 0;
    for (const auto& slot : slots_) {
        longest = std::max(longest, slot ? slot->blockFrames() : 0);
    }
    return longest;
}

void EffectChain::setCartoonParameter(float value, int32_t kind) {
    if (cartoon_ != nullptr) {
        debugWrite("Set pitch shift.\n");
        cartoon_->setParameter(value, kind);
    }
}

void EffectChain::setPsolaParameter(float value, int32_t kind) {
    if (psola_ != nullptr) {
        psola_->setParameter(value, kind);
    }
}

int32_t EffectChain::openBackground(const char* path) {
    return backgroundControl_ != nullptr ? backgroundControl_->openFile(path) : 0;
}

void EffectChain::stopBackground() {
    if (backgroundControl_ != nullptr) {
        backgroundControl_->stop();
    }
}

void EffectChain::setBackgroundLevel(float value) {
    if (background_ != nullptr) {
        background_->setParameter(value, 0);
    }
}

} // namespace timbrelo
