#pragma once
// The voice changer's object on the session bus: kBusName at kObjectPath offers kInterface,
// whose methods reach a ControlTarget and whose properties (the current preset, whether
// capture runs, the voice's delay, the recording, the input cleaning) announce their changes with
// PropertiesChanged.
//
// Threads: one thread only, the one that owns the target's state: it opens the service,
// waits for fd() to become readable, and calls process() then and now and again (refresh()
// on a timer picks up changes made without a call, such as capture starting).

#include "control/control_target.h"

#include <string>

struct sd_bus;
struct sd_bus_slot;
struct sd_bus_message;

namespace timbrelo::control {

class BusService {
  public:
    explicit BusService(ControlTarget& target);
    // Answers a Quit still waiting, then leaves the bus (the name goes with the connection).
    ~BusService();
    BusService(const BusService&) = delete;
    BusService& operator=(const BusService&) = delete;

    // Connects to the session bus and takes the name. False, with a one-line reason, when
    // there is no session bus or another program holds the name.
    bool open(std::string& error);
    bool isOpen() const { return bus_ != nullptr; }
    // The descriptor to watch for reading; -1 when not open.
    int fd() const;
    // Runs every call that has arrived, then refresh(). A connection that broke is closed
    // (the voice changer goes on without remote control).
    void process();
    // Emits PropertiesChanged for whatever changed since the last time.
    void refresh();
    // Answers the Quit call that asked for the exit, once the exit is done.
    void quitDone();

  private:
    void close();

    ControlTarget& target_;
    sd_bus* bus_ = nullptr;
    sd_bus_slot* slot_ = nullptr;
    sd_bus_message* pendingQuit_ = nullptr;
    ControlStatus shown_;

    friend struct BusHandlers;
};

} // namespace timbrelo::control
