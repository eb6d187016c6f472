#pragma once

#include <string_view>
#include <vector>

namespace timbrelo::cli {

// timbrelo-cli pitch FILE: the median pitch of the voiced parts of an audio file, measured
// with the voice engine's own pitch analysis. Returns the exit code.
int runPitchCommand(const std::vector<std::string_view>& args);

} // namespace timbrelo::cli
