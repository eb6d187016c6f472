#include "cli/backend_choice.h"

#include "pulse/pulse_audio_backend.h"
#include "pulse/pulse_virtual_device.h"
#include "sim/sim_audio_backend.h"
#include "sim/sim_virtual_device.h"

#include <cstdlib>

namespace timbrelo {
namespace {

std::unique_ptr<AudioBackend> createSimulated() {
    auto backend = std::make_unique<SimAudioBackend>();
    backend->addInputDevice("Simulated Microphone", std::make_shared<ToneSource>(220, 0.3, 0),
                            Pacing::RealTime);
    backend->addOutputDevice("Simulated Speakers", Pacing::RealTime, 0);
    // The simulated virtual pair is listed like any other device.
    backend->addInputDevice("Timbrelo Virtual Microphone", std::make_shared<ToneSource>(0, 0, 0),
                            Pacing::RealTime);
    backend->addOutputDevice("Timbrelo Virtual Speaker", Pacing::RealTime, 0);
    return backend;
}

} // namespace

std::unique_ptr<AudioBackend> createAudioBackend(std::string_view choice) {
    if (choice.empty()) {
        if (const char* env = std::getenv(kAudioBackendEnv); env != nullptr && *env != '\0') {
            return createAudioBackend(env);
        }
        auto pulse = std::make_unique<PulseAudioBackend>();
        if (pulse->connect() == AudioResult::Ok) {
            return pulse;
        }
        return createSimulated();
    }
    if (choice == "pulse") {
        return std::make_unique<PulseAudioBackend>();
    }
    if (choice == "sim") {
        return createSimulated();
    }
    return nullptr;
}

std::unique_ptr<VirtualDevice> openVirtualDevice(std::string_view kind, std::string& error) {
    if (kind == "pulse") {
        return PulseVirtualDevice::bringUp(error);
    }
    if (kind == "sim") {
        return std::make_unique<SimVirtualDevice>(0); // a long run keeps nothing
    }
    error = "Unknown virtual device \"" + std::string(kind) + "\" (choose one of " +
            std::string(kAudioBackendChoices) + ").";
    return nullptr;
}

} // namespace timbrelo
