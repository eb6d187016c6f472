#include "cli/voice_options.h"

#include "app/voice_presets.h"
#include "effects/music_file.h"
#include "platform/settings.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace timbrelo::cli {
namespace {

const char* const kDefaultEffectLines = "cartoon 1.5\npsola 1.0";

std::string_view valueOf(const std::vector<std::string_view>& args, size_t& i) {
    if (i + 1 >= args.size()) {
        throw CliError{CliError::Kind::Usage, std::string(args[i]) + " needs a value"};
    }
    return args[++i];
}

uint32_t parsePreset(std::string_view text) {
    if (const VoicePreset* p = findPresetByName(text)) {
        return p->id;
    }
    uint32_t id = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (ec == std::errc() && end == text.data() + text.size() && findPreset(id) != nullptr) {
        return id;
    }
    throw CliError{CliError::Kind::BadValue, "--preset: unknown preset \"" + std::string(text) +
                                                 "\" (see: timbrelo-cli presets)"};
}

// Runs one configuration line through an effect, turning its complaint into the error the
// user sees.
void configureEffect(Effect& effect, const EffectChain& chain, std::string_view option,
                     const std::string& line) {
    std::vector<std::string> tokens;
    size_t pos = 0;
    while ((pos = line.find_first_not_of(' ', pos)) != std::string::npos) {
        size_t end = line.find(' ', pos);
        tokens.push_back(line.substr(pos, end - pos));
        pos = end;
    }
    std::vector<const char*> argv;
    for (const std::string& t : tokens) {
        argv.push_back(t.c_str());
    }
    effect.setInputFormat(chain.rate(), 16, chain.channels());
    if (effect.parseArgs(static_cast<int32_t>(argv.size()), argv.data()) != 0) {
        const std::string& why = effect.argsProblem();
        throw CliError{CliError::Kind::BadValue, std::string(option) + " \"" + line +
                                                     "\": " + (why.empty() ? "rejected" : why)};
    }
}

// Music is checked before any work: a file that can't play is an error, never silence.
void checkBackgroundFile(const std::string& path) {
    MusicFile file;
    std::string why;
    if (!openMusicFile(path, file, why)) {
        throw CliError{CliError::Kind::Value, "--background: " + path + ": " + why};
    }
}

// The loader's problems: with --config every one is an error; in the user's own settings
// file a bad line is left out and the voice changer goes on.
void reportConfigProblems(const EffectChain& chain, bool fromOption) {
    const std::vector<ConfigProblem>& problems = chain.configProblems();
    if (problems.empty()) {
        return;
    }
    if (fromOption) {
        std::string message = "--config: " + problems.front().text();
        if (problems.size() > 1) {
            message += " (and " + std::to_string(problems.size() - 1) + " more)";
        }
        throw CliError{CliError::Kind::Value, message};
    }
    for (const ConfigProblem& problem : problems) {
        std::fprintf(stderr, "timbrelo-cli: %s; %s\n", problem.text().c_str(),
                     problem.line > 0 ? "line left out" : "its effect lines are not used");
    }
}

// A figure for --denoise or --gate: the whole text a finite number within [low, high]; a
// bad one is a usage error that says what is expected.
float parseLevel(std::string_view option, std::string_view text, double low, double high,
                 const char* expected) {
    double value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value) ||
        value < low || value > high) {
        throw CliError{CliError::Kind::Usage,
                       std::string(option) + ": \"" + std::string(text) + "\" is not " + expected};
    }
    return static_cast<float>(value);
}

// Whether the argument after an option with an optional value is that value: "off" or
// anything that starts like a number (a file name rarely does, an option never).
bool looksLikeLevel(std::string_view text) {
    if (text == "off") {
        return true;
    }
    size_t at = text.size() > 1 && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    return at < text.size() &&
           (std::isdigit(static_cast<unsigned char>(text[at])) != 0 || text[at] == '.');
}

} // namespace

const char* const kVoiceOptionsUsage =
    "  --preset NAME|ID     a voice preset by its name or ID (see: timbrelo-cli presets)\n"
    "  --pitch POS          pitch slider position 50..300 (pitch factor x 100)\n"
    "  --timbre POS         timbre slider position 50..300 (formant factor x 100)\n"
    "  --semitones N        the semitone pitch shifter alone, -24..24\n"
    "  --cartoon FACTOR     the cartoon voice with this factor, 0.25..4\n"
    "  --echo \"GAININ GAINOUT DELAY DECAY [DELAY DECAY...]\"\n"
    "                       an echo (delays in milliseconds, up to seven taps)\n"
    "  --background FILE    background music (WAV or MP3) under the voice\n"
    "  --level L            music level 0..1 (default 0.4)\n"
    "  --effects off        pass the voice through unchanged\n"
    "  --config FILE        effect configuration lines to load instead of your settings file\n"
    "                       (a bad line there is an error; a bad line in your settings file\n"
    "                       is reported and left out, and the voice changer goes on)\n"
    "  --denoise [DB]       clean the microphone first: noise suppression by up to DB\n"
    "                       (6..50; default 30, or the strength last chosen);\n"
    "                       \"--denoise off\" turns it off\n"
    "  --gate DB            noise gate: silence the microphone while its peak level stays\n"
    "                       below DB dBFS (-90..0, e.g. -45); \"--gate off\" turns it off\n";

double parseNumber(std::string_view option, std::string_view text, double low, double high) {
    double value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
        throw CliError{CliError::Kind::BadValue,
                       std::string(option) + ": \"" + std::string(text) + "\" is not a number"};
    }
    if (value < low || value > high) {
        char range[96];
        std::snprintf(range, sizeof range, " is out of range (%g..%g)", low, high);
        throw CliError{CliError::Kind::BadValue,
                       std::string(option) + ": " + std::string(text) + range};
    }
    return value;
}

bool parseVoiceOption(const std::vector<std::string_view>& args, size_t& i, VoiceOptions& o) {
    const std::string_view a = args[i];
    auto integer = [&](double low, double high) {
        const std::string_view v = valueOf(args, i);
        const double d = parseNumber(a, v, low, high);
        if (d != std::floor(d)) {
            throw CliError{CliError::Kind::BadValue,
                           std::string(a) + ": " + std::string(v) + " is not a whole number"};
        }
        return static_cast<int>(d);
    };
    if (a == "--preset") {
        o.preset = parsePreset(valueOf(args, i));
    } else if (a == "--pitch") {
        o.pitch = integer(kSliderMin, kSliderMax);
    } else if (a == "--timbre") {
        o.timbre = integer(kSliderMin, kSliderMax);
    } else if (a == "--semitones") {
        o.semitones = integer(-24, 24);
    } else if (a == "--cartoon") {
        o.cartoon = static_cast<float>(parseNumber(a, valueOf(args, i), 0.25, 4.0));
    } else if (a == "--echo") {
        o.echo = std::string(valueOf(args, i));
    } else if (a == "--background") {
        o.background = std::string(valueOf(args, i));
    } else if (a == "--level") {
        o.level = static_cast<float>(parseNumber(a, valueOf(args, i), 0.0, 1.0));
    } else if (a == "--effects") {
        const std::string_view v = valueOf(args, i);
        if (v != "off" && v != "on") {
            throw CliError{CliError::Kind::BadValue, "--effects takes \"off\" or \"on\""};
        }
        o.effectsOff = v == "off";
    } else if (a == "--config") {
        o.config = std::string(valueOf(args, i));
    } else if (a == "--denoise") {
        o.denoise = CleaningChoice{};
        if (i + 1 < args.size() && looksLikeLevel(args[i + 1])) {
            o.denoise = parseCleaningValue(CleaningPart::Denoise, a, args[++i]);
        }
    } else if (a == "--gate") {
        o.gate = parseCleaningValue(CleaningPart::Gate, a, valueOf(args, i));
    } else {
        return false;
    }
    ++i;
    return true;
}

CleaningChoice parseCleaningValue(CleaningPart part, std::string_view option,
                                  std::string_view text) {
    if (text == "off") {
        return CleaningChoice{false, std::nullopt};
    }
    const bool denoise = part == CleaningPart::Denoise;
    const double low = denoise ? InputCleaner::kMinStrengthDb : InputCleaner::kMinGateDb;
    const double high = denoise ? InputCleaner::kMaxStrengthDb : InputCleaner::kMaxGateDb;
    char expected[96];
    std::snprintf(expected, sizeof expected, "%s (%g..%g) or \"off\"",
                  denoise ? "a strength in dB" : "a threshold in dBFS", low, high);
    return CleaningChoice{true, parseLevel(option, text, low, high, expected)};
}

InputCleanerSettings cleaningSettings(const VoiceOptions& options, InputCleanerSettings base) {
    if (options.denoise) {
        base.denoise = options.denoise->on;
        base.strengthDb = options.denoise->db.value_or(base.strengthDb);
    }
    if (options.gate) {
        base.gate = options.gate->on;
        base.gateDb = options.gate->db.value_or(base.gateDb);
    }
    return base;
}

void prepareChain(CaptureEngine& engine, const VoiceOptions& options) {
    EffectChain& chain = engine.chain();
    if (options.background) {
        checkBackgroundFile(*options.background);
    }
    if (options.config) {
        chain.setConfigSource(EffectConfigSource::file(*options.config));
    } else {
        std::string userFile;
        struct stat st {};
        const bool haveUserFile =
            settingsFilePath(userFile) == 0 && ::lstat(userFile.c_str(), &st) == 0;
        chain.setConfigSource(haveUserFile ? EffectConfigSource::userSettingsFile()
                                           : EffectConfigSource::text(kDefaultEffectLines));
    }
    chain.setFormat(kPipelineChannels, kPipelineRate, kPipelineBits);
    chain.load();
    reportConfigProblems(chain, options.config.has_value());

    if (options.echo) {
        Effect* echo = chain.slot(EffectChain::kEchoSlot);
        if (echo == nullptr) {
            throw CliError{CliError::Kind::Value, "--echo: this build has no echo effect"};
        }
        configureEffect(*echo, chain, "--echo", *options.echo);
        echo->setParameter(0, Effect::kOn);
    }
    if (options.cartoon) {
        Effect* cartoon = chain.slot(EffectChain::kCartoonSlot);
        if (cartoon == nullptr) {
            throw CliError{CliError::Kind::Value, "--cartoon: this build has no cartoon effect"};
        }
        cartoon->setInputFormat(chain.rate(), 16, chain.channels());
    }
    if (options.background) {
        engine.setBackgroundLevel(options.level);
        if (engine.openBackground(options.background->c_str()) == 0) {
            throw CliError{CliError::Kind::Value,
                           "--background: " + *options.background + ": can't be played"};
        }
    }
}

void applyVoice(CaptureEngine& engine, const VoiceOptions& options) {
    engine.setEffectsOn(options.effectsOff ? 0 : 1);
    PresetState presets;
    presets.choose(options.preset.value_or(ID_NO_EFFECT), engine);
    if (options.pitch || options.timbre) {
        applySliders({options.pitch.value_or(100), options.timbre.value_or(100)}, engine);
    }
    if (options.semitones) {
        engine.setPitchShift(0, -2);
        engine.setPitchShift(*options.semitones, 0);
    }
    if (options.cartoon) {
        // Straight to the effect: the option must work without a "cartoon" line too.
        Effect* cartoon = engine.chain().slot(EffectChain::kCartoonSlot);
        cartoon->setParameter(0, Effect::kOn);
        cartoon->setParameter(*options.cartoon, 0);
    }
}

} // namespace timbrelo::cli
