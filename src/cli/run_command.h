#pragma once

#include <string_view>
#include <vector>

namespace timbrelo::cli {

// timbrelo-cli run [options]: the voice changer without a window. Brings up the virtual
// microphone and speaker, makes them the default devices, changes the voice whenever a
// program listens to the virtual microphone, and puts everything back on SIGINT or SIGTERM.
// Returns the exit code.
int runRunCommand(const std::vector<std::string_view>& args);

extern const char* const kRunUsage;

} // namespace timbrelo::cli
