#pragma once

#include <memory>
#include <string_view>
#include <vector>

namespace timbrelo {
class AudioBackend;
}

namespace timbrelo::cli {

// The back end chosen by --backend (or automatically); throws CliError for an unknown name.
std::unique_ptr<AudioBackend> chooseBackend(std::string_view choice);
// "pulse" or "sim": which kind a back end is.
std::string_view backendKind(AudioBackend& backend);

// timbrelo-cli devices [--backend pulse|sim]: the input and output devices, with the default
// of each direction marked. Returns the exit code.
int runDevicesCommand(const std::vector<std::string_view>& args);

} // namespace timbrelo::cli
