#pragma once
// A private D-Bus session bus for a test: its own dbus-daemon in a temporary folder, ended by
// its process id; DBUS_SESSION_BUS_ADDRESS points at it while the object lives.

#include "support/process.h"
#include "support/temp_dir.h"

#include <memory>
#include <string>

namespace timbrelo::test {

class PrivateSessionBus {
  public:
    PrivateSessionBus();
    ~PrivateSessionBus();
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    // False when dbus-daemon is not installed or did not answer (error() says which).
    bool running() const { return env_ != nullptr; }
    const std::string& error() const { return error_; }
    const std::string& address() const { return address_; }

  private:
    TempDir dir_;
    std::unique_ptr<ChildProcess> daemon_;
    std::unique_ptr<ScopedEnv> env_;
    std::string address_;
    std::string error_;
};

} // namespace timbrelo::test
