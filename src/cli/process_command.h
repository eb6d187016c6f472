#pragma once

#include <string_view>
#include <vector>

namespace timbrelo::cli {

// timbrelo-cli process [options] INPUT OUTPUT: runs the input through the real-time pipeline
// (a simulated microphone feeding the capture engine) and writes what the virtual microphone
// would receive. Returns the exit code.
int runProcessCommand(const std::vector<std::string_view>& args);

extern const char* const kProcessUsage;

} // namespace timbrelo::cli
