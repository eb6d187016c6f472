#include "cli/devices_command.h"

#include "audio/device_enumeration.h"
#include "cli/voice_options.h"
#include "platform/wave/audio_backend_factory.h"
#include "platform/wave/pulse_audio_backend.h"

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
    return dynamic_cast<PulseAudioBackend*>(&backend) != nullptr ? "pulse" : "sim";
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

    uint32_t preferredIn = kWaveMapper;
    uint32_t preferredOut = kWaveMapper;
    const bool knowIn = backend->getPreferredInput(preferredIn) == MMSYSERR_NOERROR;
    const bool knowOut = backend->getPreferredOutput(preferredOut) == MMSYSERR_NOERROR;
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
