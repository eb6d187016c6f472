#include "app/voice_presets.h"
#include "cli/ctl_command.h"
#include "cli/devices_command.h"
#include "cli/pitch_command.h"
#include "cli/process_command.h"
#include "cli/run_command.h"
#include "cli/voice_options.h"
#include "platform/messages.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace timbrelo;
using namespace timbrelo::cli;

const char* const kUsage =
    "usage: timbrelo-cli COMMAND [options]\n"
    "\n"
    "Timbrelo changes your voice in real time.\n"
    "\n"
    "commands:\n"
    "  run [options]                    the voice changer: the virtual microphone hears your\n"
    "                                   changed voice until you stop it (Ctrl+C)\n"
    "  process [options] INPUT OUTPUT   change the voice in an audio file\n"
    "  presets                          list the voice presets\n"
    "  devices [--backend pulse|sim]    list the audio devices\n"
    "  pitch FILE                       measure the pitch of the voice in an audio file\n"
    "  ctl COMMAND [ARGS]               control the running voice changer (preset, status,\n"
    "                                   record, quit, ...) over the session bus\n"
    "  help                             show this text\n"
    "\n"
    "Run \"timbrelo-cli help COMMAND\" for the options of a command.\n"
    "\n"
    "exit status: 0 done; 1 the command line was right but the work failed (a file that can't\n"
    "be read, written or played, a configuration file with a bad line, the sound system; for\n"
    "ctl, no voice changer running or a call it refused);\n"
    "2 the command line is wrong (an unknown command or option, a missing value, or a value\n"
    "an option does not take); 128+N when ended by signal N (a file being written is removed).\n"
    "Every error is one line on standard error naming the file, option or line at fault.\n";

int listPresets() {
    for (const VoicePreset& preset : voicePresets()) {
        char what[96];
        std::printf("%u  %-24s %s\n", preset.id, preset.menuText,
                    describePreset(preset, what, sizeof what));
    }
    return 0;
}

int help(const std::vector<std::string_view>& args) {
    if (!args.empty() && args[0] == "process") {
        std::printf("%s%s  --quiet              print nothing but errors\n", kProcessUsage,
                    kVoiceOptionsUsage);
    } else if (!args.empty() && args[0] == "run") {
        std::printf("%s%s", kRunUsage, kVoiceOptionsUsage);
    } else if (!args.empty() && args[0] == "ctl") {
        std::fputs(kCtlUsage, stdout);
    } else {
        std::fputs(kUsage, stdout);
    }
    return 0;
}

int usageError(const std::string& message, std::string_view command) {
    std::fprintf(stderr, "timbrelo-cli: %s\n\n", message.c_str());
    if (command == "process") {
        std::fprintf(stderr, "%s%s", kProcessUsage, kVoiceOptionsUsage);
    } else if (command == "run") {
        std::fprintf(stderr, "%s%s", kRunUsage, kVoiceOptionsUsage);
    } else if (command == "ctl") {
        std::fputs(kCtlUsage, stderr);
    } else {
        std::fputs(kUsage, stderr);
    }
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    // Messages of the audio pipeline become lines on standard error.
    setMessageSink([](std::string_view text) {
        std::fprintf(stderr, "timbrelo-cli: %.*s\n", static_cast<int>(text.size()), text.data());
    });
    if (argc < 2) {
        return usageError("no command given", "");
    }
    const std::string_view command = argv[1];
    const std::vector<std::string_view> args(argv + 2, argv + argc);
    try {
        if (command == "process") {
            return runProcessCommand(args);
        }
        if (command == "run") {
            return runRunCommand(args);
        }
        if (command == "ctl") {
            return runCtlCommand(args);
        }
        if (command == "devices") {
            return runDevicesCommand(args);
        }
        if (command == "pitch") {
            return runPitchCommand(args);
        }
        if (command == "presets") {
            return listPresets();
        }
        if (command == "help" || command == "--help" || command == "-h") {
            return help(args);
        }
        return usageError("unknown command \"" + std::string(command) + "\"", "");
    } catch (const CliError& e) {
        if (e.kind == CliError::Kind::Usage) {
            return usageError(e.message, command);
        }
        if (e.kind == CliError::Kind::BadValue) {
            std::fprintf(stderr, "timbrelo-cli: %s\n", e.message.c_str());
            return 2;
        }
        std::fprintf(stderr, "timbrelo-cli: %s\n", e.message.c_str());
        return 1;
    }
}
