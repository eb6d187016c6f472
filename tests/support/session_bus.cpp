#include "support/session_bus.h"

#include <chrono>

namespace timbrelo::test {

PrivateSessionBus::PrivateSessionBus() {
    if (runCommand({"sh", "-c", "command -v dbus-daemon"}).status != 0) {
        error_ = "dbus-daemon is not installed";
        return;
    }
    const std::string printed = dir_.file("address");
    // Its complaint that it may not raise the descriptor limit is noise here.
    daemon_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"sh", "-c",
                                 "exec dbus-daemon --session --nofork --print-address=1 "
                                 "--address=unix:path='" +
                                     dir_.file("bus") + "' 2>/dev/null"},
        printed);
    if (!eventually([&] { return readFile(printed).find('\n') != std::string::npos; },
                    std::chrono::seconds(10))) {
        error_ = "dbus-daemon did not start";
        return;
    }
    address_ = readFile(printed);
    address_.erase(address_.find('\n'));
    env_ = std::make_unique<ScopedEnv>("DBUS_SESSION_BUS_ADDRESS", address_);
}

PrivateSessionBus::~PrivateSessionBus() {
    env_.reset();
    daemon_.reset(); // SIGTERM by its process id
}

} // namespace timbrelo::test
