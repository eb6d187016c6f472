#pragma once

#include <string_view>
#include <vector>

namespace timbrelo::cli {

// timbrelo-cli ctl COMMAND [ARGS]: a client of the running voice changer's object on the
// session bus (control/bus_client.h). Exit code 0 done, 1 when no voice changer runs or it
// refused the call, 2 for a wrong command line (thrown as CliError).
int runCtlCommand(const std::vector<std::string_view>& args);

extern const char* const kCtlUsage;

} // namespace timbrelo::cli
