#pragma once
// The voice options that `process` and `run` share, their parsing, and how they are applied
// to a capture engine.

#include "audio/capture_engine.h"
#include "effects/input_cleaner.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace timbrelo::cli {

// A problem with the command line. Usage errors exit 2 with the usage; value errors (an
// unknown preset, a number out of range, a rejected echo line) exit 1 with the message.
struct CliError {
    enum class Kind { Usage, Value };
    Kind kind;
    std::string message;
};

// A part of the input cleaner as the command line asks for it: on with a value, on with the
// value it had (`db` empty), or off.
struct CleaningChoice {
    bool on = true;
    std::optional<float> db;
};

struct VoiceOptions {
    std::optional<uint32_t> preset;
    std::optional<int> pitch; // slider positions 50..300
    std::optional<int> timbre;
    std::optional<int> semitones;
    std::optional<float> cartoon;
    std::optional<std::string> echo;
    std::optional<std::string> background;
    float level = 0.4f;
    bool effectsOff = false;
    std::optional<std::string> config;
    // --denoise [DB] | off: noise suppression of the input, strength in dB
    // (InputCleaner::kMinStrengthDb..kMaxStrengthDb); empty when not given.
    std::optional<CleaningChoice> denoise;
    // --gate DB | off: the noise gate's threshold in dBFS (InputCleaner::kMinGateDb..
    // kMaxGateDb); empty when not given.
    std::optional<CleaningChoice> gate;
};

// Takes the option at args[i] (and its value) when it is a voice option; advances i past it.
// Returns false when args[i] is not a voice option. Throws CliError on a bad value.
bool parseVoiceOption(const std::vector<std::string_view>& args, size_t& i, VoiceOptions& options);

// Parses a number that must fill the whole text and lie within [low, high].
double parseNumber(std::string_view option, std::string_view text, double low, double high);

// Before the capture starts: loads the chain with the chosen configuration and configures
// what lives in the chain (echo, cartoon, background). Throws CliError on a rejected value.
void prepareChain(CaptureEngine& engine, const VoiceOptions& options);

// After the capture has started, before the first buffer: the preset, the sliders, the
// semitones and the effects switch, as the window would set them.
void applyVoice(CaptureEngine& engine, const VoiceOptions& options);

// The input cleaner's settings: the choices of the command line laid over `base` (the
// remembered settings, or the defaults, with both parts off).
InputCleanerSettings cleaningSettings(const VoiceOptions& options, InputCleanerSettings base = {});

// The usage lines of the voice options.
extern const char* const kVoiceOptionsUsage;

} // namespace timbrelo::cli
