#include "cli/ctl_command.h"

#include "cli/voice_options.h"
#include "control/bus_client.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace timbrelo::cli {
namespace {

using control::BusClient;
using control::ControlError;

// The voice changer opens files in its own folder: a relative name is made whole here.
std::string wholePath(std::string_view path) {
    if (!path.empty() && path[0] == '/') {
        return std::string(path);
    }
    std::string folder(4096, '\0');
    if (::getcwd(folder.data(), folder.size()) == nullptr) {
        throw CliError{CliError::Kind::Value, "can't read the current folder"};
    }
    folder.resize(folder.find('\0'));
    return folder + "/" + std::string(path);
}

// The arguments of one command: its operands, and the options it takes with their values.
struct CtlArgs {
    std::vector<std::string_view> operands;
    std::string_view slot = "effect";
    std::optional<std::string_view> level;
};

CtlArgs parseArgs(std::string_view command, const std::vector<std::string_view>& args,
                  size_t operands, bool slot, bool level) {
    CtlArgs out;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string_view a = args[i];
        auto value = [&]() {
            if (i + 1 >= args.size()) {
                throw CliError{CliError::Kind::Usage, std::string(a) + " needs a value"};
            }
            return args[++i];
        };
        if (slot && a == "--slot") {
            out.slot = value();
            if (out.slot != "origin" && out.slot != "effect") {
                throw CliError{CliError::Kind::BadValue, "--slot takes \"origin\" or \"effect\""};
            }
        } else if (level && a == "--level") {
            out.level = value();
        } else if (a.size() > 1 && a[0] == '-' && !(a[1] >= '0' && a[1] <= '9')) {
            throw CliError{CliError::Kind::Usage,
                           "ctl " + std::string(command) + ": unknown option " + std::string(a)};
        } else {
            out.operands.push_back(a);
        }
    }
    if (out.operands.size() != operands) {
        throw CliError{CliError::Kind::Usage,
                       "ctl " + std::string(command) +
                           (operands == 0                    ? " takes no argument"
                            : out.operands.size() < operands ? " needs a value"
                                                             : ": too many arguments")};
    }
    return out;
}

int wholeNumber(std::string_view option, std::string_view text, double low, double high) {
    const double d = parseNumber(option, text, low, high);
    if (d != std::floor(d)) {
        throw CliError{CliError::Kind::BadValue,
                       std::string(option) + ": " + std::string(text) + " is not a whole number"};
    }
    return static_cast<int>(d);
}

int printStatus(BusClient& client) {
    const control::ControlStatus s = client.status();
    const VoicePreset* preset = findPreset(s.preset);
    std::printf("preset: %s\n", preset != nullptr ? preset->menuText : "(set by hand)");
    std::printf("capture: %s\n", s.capturing ? "running" : "stopped");
    std::printf("delay: %u ms\n", s.delayMs);
    std::printf("effects: %s\n", s.effectsOn ? "on" : "off");
    // The value shows while a part is off too: it is what switching the part on brings back.
    std::printf("noise suppression: %s, %d dB\n", s.denoise ? "on" : "off", s.denoiseDb);
    std::printf("noise gate: %s, %d dBFS\n", s.gate ? "on" : "off", s.gateDb);
    std::printf("recording: %s\n", s.recording ? s.recordingFile.c_str() : "off");
    return 0;
}

// Runs one command; a refusal of the voice changer comes back as ControlError.
int run(std::string_view command, const std::vector<std::string_view>& args) {
    auto parsed = [&](size_t operands, bool slot = false, bool level = false) {
        return parseArgs(command, args, operands, slot, level);
    };
    if (command == "status") {
        parsed(0);
        BusClient client;
        return printStatus(client);
    }
    if (command == "preset") {
        const std::string preset(parsed(1).operands[0]);
        // Checked here too, so that a wrong name is a wrong command line.
        std::vector<std::string_view> option = {"--preset", preset};
        size_t i = 0;
        VoiceOptions checked;
        try {
            parseVoiceOption(option, i, checked);
        } catch (CliError& e) {
            e.message.replace(0, 2, ""); // "preset: unknown preset ..." without the dashes
            throw;
        }
        BusClient().choosePreset(preset);
        return 0;
    }
    // Each command checks its values before it connects: a wrong command line is status 2
    // whether or not a voice changer runs.
    if (command == "pitch" || command == "timbre") {
        const int position = wholeNumber(command, parsed(1).operands[0], kSliderMin, kSliderMax);
        BusClient client;
        command == "pitch" ? client.setPitch(position) : client.setTimbre(position);
        return 0;
    }
    if (command == "semitones") {
        const int semitones = wholeNumber(command, parsed(1).operands[0], -24, 24);
        BusClient().setSemitones(semitones);
        return 0;
    }
    if (command == "effects") {
        const std::string_view v = parsed(1).operands[0];
        if (v != "on" && v != "off") {
            throw CliError{CliError::Kind::BadValue, "ctl effects takes \"on\" or \"off\""};
        }
        BusClient().setEffects(v == "on");
        return 0;
    }
    if (command == "denoise" || command == "gate") {
        // As --denoise and --gate take them; `denoise` alone switches it on at the strength it
        // had. The bus takes whole dB, as the window's sliders do.
        const bool denoise = command == "denoise";
        const CtlArgs a = parsed(denoise ? std::min<size_t>(args.size() - 1, 1) : 1);
        CleaningChoice choice;
        if (!a.operands.empty()) {
            choice = parseCleaningValue(denoise ? CleaningPart::Denoise : CleaningPart::Gate,
                                        command, a.operands[0]);
        }
        if (choice.db && *choice.db != std::floor(*choice.db)) {
            throw CliError{CliError::Kind::BadValue, std::string(command) + ": " +
                                                         std::string(a.operands[0]) +
                                                         " is not a whole number of dB"};
        }
        BusClient client;
        // Without a figure the part keeps its value: the bus call carries the one it holds.
        const control::ControlStatus held = choice.db ? control::ControlStatus{} : client.status();
        const int db =
            choice.db ? static_cast<int>(*choice.db) : (denoise ? held.denoiseDb : held.gateDb);
        denoise ? client.setDenoise(choice.on, db) : client.setGate(choice.on, db);
        return 0;
    }
    if (command == "record") {
        const CtlArgs a = parsed(1, true);
        BusClient().startRecording(wholePath(a.operands[0]),
                                   a.slot == "origin" ? kOriginSlot : kEffectSlot);
        return 0;
    }
    if (command == "music") {
        const CtlArgs a = parsed(1, false, true);
        const double level = a.level ? parseNumber("--level", *a.level, 0.0, 1.0) : 0.4;
        BusClient().playMusic(wholePath(a.operands[0]), level);
        return 0;
    }
    if (command == "stop-record" || command == "stop-music" || command == "show" ||
        command == "hide" || command == "quit") {
        parsed(0);
        BusClient client;
        if (command == "stop-record") {
            client.stopRecording();
        } else if (command == "stop-music") {
            client.stopMusic();
        } else if (command == "quit") {
            client.quit();
        } else {
            client.showWindow(command == "show");
        }
        return 0;
    }
    throw CliError{CliError::Kind::Usage, "ctl: unknown command \"" + std::string(command) + "\""};
}

} // namespace

const char* const kCtlUsage =
    "usage: timbrelo-cli ctl COMMAND [ARGS]\n"
    "\n"
    "Controls the voice changer that runs (the window or timbrelo-cli run) over the session\n"
    "bus. Exit status 1 when none runs or it refuses the call (the reason is printed).\n"
    "\n"
    "commands:\n"
    "  status                       the preset, whether capture runs, the delay, the effects,\n"
    "                               the input cleaning and the recording\n"
    "  preset NAME|ID               choose a voice preset (see: timbrelo-cli presets)\n"
    "  pitch POS                    the pitch slider, 50..300 (pitch factor x 100)\n"
    "  timbre POS                   the timbre slider, 50..300 (formant factor x 100)\n"
    "  semitones N                  the semitone pitch shifter alone, -24..24\n"
    "  effects on|off               turn the voice changers on or off\n"
    "  denoise [DB|off]             noise suppression of the microphone by up to DB (6..50);\n"
    "                               alone: on at the strength it had\n"
    "  gate DB|off                  noise gate: silence the microphone while its peak level\n"
    "                               stays below DB dBFS (-90..0)\n"
    "  record FILE [--slot origin|effect]\n"
    "                               record the unchanged or changed (default) voice to WAV, or\n"
    "                               MP3 when FILE ends in .mp3; while capture runs\n"
    "  stop-record                  end the recording\n"
    "  music FILE [--level L]       background music under the voice, level 0..1 (default\n"
    "                               0.4); while capture runs\n"
    "  stop-music                   stop the music\n"
    "  show, hide                   show or hide the window\n"
    "  quit                         stop capture, put your default devices back and end the\n"
    "                               voice changer; returns once that is done\n";

int runCtlCommand(const std::vector<std::string_view>& args) {
    if (args.empty()) {
        throw CliError{CliError::Kind::Usage, "ctl: no command given"};
    }
    try {
        return run(args[0], args);
    } catch (const ControlError& e) {
        const bool badValue =
            e.name == control::kErrorInvalidArgs || e.name == control::kErrorUnknownPreset;
        throw CliError{badValue ? CliError::Kind::BadValue : CliError::Kind::Value, e.message};
    }
}

} // namespace timbrelo::cli
