#include "cli/devices_command.h"

#include "audio/device_enumeration.h"
#include "cli/voice_options.h"
#include "cli/backend_choice.h"

#include <cstdio>
#include <string>

namespace timbrelo::cli {

std::unique_ptr<AudioBackend> chooseBackend(std::string_view choice) {
    std::unique_ptr<AudioBackend> backend = createAudioBackend(choice);
    if (!backend) {
        throw CliError{CliError::Kind::Value, "unknown audio back end \"" + std::string(choice) +
                                                  "\" (choose " +
                                                  std::string(kAudioBackendChoices) + ")"};
    }
    return backend;
}

std::string_view backendKind(AudioBackend& backend) {
    return backend.kind();
}

int runDevicesCommand(const std::vector<std::string_view>& args) {
    std::string_view choice;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--backend" && i + 1 < args.size()) {
            choice = args[++i];
        } else {
            throw CliError{CliError::Kind::Usage, "devices takes only --backend pulse|sim"};
        }
    }
    std::unique_ptr<AudioBackend> backend = chooseBackend(choice);
    std::printf("audio back end: %s\n", std::string(backendKind(*backend)).c_str());

    uint32_t preferredIn = kDefaultDevice;
    uint32_t preferredOut = kDefaultDevice;
    const bool knowIn = backend->defaultInput(preferredIn) == AudioResult::Ok;
    const bool knowOut = backend->defaultOutput(preferredOut) == AudioResult::Ok;
    auto list = [](const char* title, uint32_t count, auto name, bool known, uint32_t preferred) {
        std::printf("%s:\n", title);
        if (count == 0) {
            std::printf("  (none)\n");
        }
        for (uint32_t i = 0; i < count; ++i) {
            std::printf("  %u  %-31s%s\n", i, name(i).c_str(),
                        known && i == preferred ? "  (default)" : "");
        }
    };
    list(
        "input devices", inputDeviceCount(*backend),
        [&](uint32_t i) { return inputDeviceName(*backend, i); }, knowIn, preferredIn);
    list(
        "output devices", outputDeviceCount(*backend),
        [&](uint32_t i) { return outputDeviceName(*backend, i); }, knowOut, preferredOut);
    return 0;
}

} // namespace timbrelo::cli
