#pragma once
// The four effect slots every processed buffer passes through, in this fixed order:
// echo, cartoon, psola, background. The chain reads the effect configuration lines once
// and offers the entry points the presets and controls use.

#include "effects/effect.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace timbrelo {

class BackgroundControl;

// Creates the effect for each slot; a factory that is empty or returns null leaves its slot
// empty, and the chain works with any subset of effects.
struct EffectFactory {
    std::function<std::unique_ptr<Effect>()> echo;
    std::function<std::unique_ptr<Effect>()> cartoon;
    std::function<std::unique_ptr<Effect>()> psola;
    std::function<std::unique_ptr<Effect>()> background;
};

// The program's effects.
EffectFactory defaultEffectFactory();

// Where `load` reads its configuration lines from.
struct EffectConfigSource {
    enum class Kind { UserSettingsFile, File, Text };
    Kind kind = Kind::UserSettingsFile;
    std::string value; // the file's path or the text itself
    std::string name;  // what problems with configuration text name as its file

    static EffectConfigSource userSettingsFile() { return {}; }
    static EffectConfigSource file(std::string path) { return {Kind::File, std::move(path), {}}; }
    static EffectConfigSource text(std::string lines, std::string name = "configuration") {
        return {Kind::Text, std::move(lines), std::move(name)};
    }
};

// A configuration the loader could not use: a file it refused or could not read (line 0), or
// a line that names an effect with arguments the effect rejected (the line is then left out:
// the effect stays as the lines before it set it).
struct ConfigProblem {
    std::string file;
    uint32_t line = 0; // from 1; 0 for the file as a whole
    std::string what;

    // "FILE:LINE: what", or "FILE: what" for the file as a whole.
    std::string text() const;
};

class EffectChain {
  public:
    static constexpr size_t kSlotCount = 4;
    static constexpr size_t kMaxArgs = 50;
    enum Slot : size_t { kEchoSlot = 0, kCartoonSlot = 1, kPsolaSlot = 2, kBackgroundSlot = 3 };

    explicit EffectChain(EffectFactory factory = defaultEffectFactory());
    ~EffectChain();
    EffectChain(const EffectChain&) = delete;
    EffectChain& operator=(const EffectChain&) = delete;

    // Chooses where the next `load` reads from (default: the user's settings file).
    void setConfigSource(EffectConfigSource source) { source_ = std::move(source); }

    // Stores the rate and the low 16 bits of the channel count; the chain always carries
    // 16-bit samples, so `bits` is not used.
    void setFormat(uint32_t channels, uint32_t rate, uint32_t bits);

    // Creates the effects and reads the configuration, once per chain. 0 on success or when
    // loading happened before; -1 when the settings file's path can't be formed. A file that
    // is not a regular file or is larger than 1 MiB is not read; it and every rejected line
    // are listed in configProblems(). Control thread.
    int32_t load();
    // What the last load could not use, in file order. Control thread.
    const std::vector<ConfigProblem>& configProblems() const { return problems_; }

    // Passes one buffer through the slots and stores the resulting frame count in *outFrames.
    // Returns the buffer holding the processed audio, or null when no effect produced output
    // (the caller's buffer, with its frame count, is then the result). The returned buffer
    // stays valid until that effect's next process call.
    const int16_t* run(const int16_t* samples, uint32_t frames, uint32_t* outFrames);

    // Prepares every effect for the stream (after load; control thread, nothing processing).
    void prepare(const ProcessSpec& spec);
    // Forgets the audio every effect holds (processing thread between blocks, or a control
    // thread while nothing processes).
    void reset();
    // The chain as configured now: the sum of the delays of the effects that are on, the
    // longest tail, and the longest stretch any of them answers with nothing. Any thread.
    uint32_t latencyFrames() const;
    uint32_t tailFrames() const;
    uint32_t blockFrames() const;

    void setCartoonParameter(float value, int32_t kind);
    void setPsolaParameter(float value, int32_t kind);
    int32_t openBackground(const char* path);
    void stopBackground();
    void setBackgroundLevel(float value);

    Effect* slot(size_t index) const { return slots_[index].get(); }
    bool loaded() const { return loaded_; }
    uint32_t rate() const { return rate_; }
    uint32_t channels() const { return channels_; }

  private:
    void configureLine(const std::string& line, const std::string& file, uint32_t number);

    EffectFactory factory_;
    EffectConfigSource source_;
    std::array<std::unique_ptr<Effect>, kSlotCount> slots_;
    uint32_t rate_ = 0;
    uint32_t bits_ = 0;
    uint32_t channels_ = 0;
    Effect* cartoon_ = nullptr;
    Effect* background_ = nullptr;
    BackgroundControl* backgroundControl_ = nullptr;
    Effect* psola_ = nullptr;
    bool loaded_ = false;
    std::vector<ConfigProblem> problems_;
};

} // namespace timbrelo
