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

// Why a command ends early. Exit status 2 for a wrong command line: Usage (an unknown command
// or option, a missing value: the usage follows the message) and BadValue (a value an option
// does not take: a number out of range, an unknown preset, a rejected echo line). Exit status
// 1 (Value) when the command line is right but the work fails: a file that can't be read,
// written or played, a configuration file with bad lines, the sound system.
struct CliError {
    enum class Kind { Usage, BadValue, Value };
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
// Returns false when args[i] is not a voice option. Throws CliError (BadValue) on a bad value.
bool parseVoiceOption(const std::vector<std::string_view>& args, size_t& i, VoiceOptions& options);

// Parses a number that must fill the whole text and lie within [low, high]; throws CliError
// (BadValue) naming the option otherwise.
double parseNumber(std::string_view option, std::string_view text, double low, double high);

// Before the capture starts: loads the chain with the chosen configuration and configures
// what lives in the chain (echo, cartoon, background). Throws CliError on a rejected value,
// on music that can't play, and on a --config file that can't be read or has a bad line.
// Bad lines of the user's own settings file are only reported (one line each on standard
// error, "...: line left out") and the voice changer goes on without them.
void prepareChain(CaptureEngine& engine, const VoiceOptions& options);

// After the capture has started, before the first buffer: the preset, the sliders, the
// semitones and the effects switch, as the window would set them.
void applyVoice(CaptureEngine& engine, const VoiceOptions& options);

// The value of --denoise or --gate (and of `ctl denoise`, `ctl gate`): "off", or a figure
// within the part's range (InputCleaner's strength or gate limits). Throws CliError (Usage)
// that names `option` and says what it takes.
enum class CleaningPart { Denoise, Gate };
CleaningChoice parseCleaningValue(CleaningPart part, std::string_view option,
                                  std::string_view text);

// The input cleaner's settings: the choices of the command line laid over `base` (the
// remembered settings, or the defaults, with both parts off).
InputCleanerSettings cleaningSettings(const VoiceOptions& options, InputCleanerSettings base = {});

// The usage lines of the voice options.
extern const char* const kVoiceOptionsUsage;

} // namespace timbrelo::cli
