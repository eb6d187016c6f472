#include "platform/wave/audio_backend_factory.h"

#include "platform/wave/pulse_audio_backend.h"
#include "platform/wave/sim_audio_backend.h"

#include <cstdlib>

namespace timbrelo {
namespace {

std::unique_ptr<AudioBackend> createSimulated() {
    auto backend = std::make_unique<SimAudioBackend>();
    backend->addInputDevice("Simulated Microphone", std::make_shared<ToneSource>(220, 0.3, 0),
                            Pacing::RealTime);
    backend->addOutputDevice("Simulated Speakers", Pacing::RealTime, 0);
    return backend;
}

} // namespace

std::unique_ptr<AudioBackend> createAudioBackend(std::string_view choice) {
    if (choice.empty()) {
        if (const char* env = std::getenv(kAudioBackendEnv); env != nullptr && *env != '\0') {
            return createAudioBackend(env);
        }
        auto pulse = std::make_unique<PulseAudioBackend>();
        if (pulse->connect() == MMSYSERR_NOERROR) {
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

} // namespace timbrelo
