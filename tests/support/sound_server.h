#pragma once
// The private sound servers of the integration tests and the ordinary clients (pactl,
// paplay, parec) that play the roles of the user's devices and of other programs.
//
// scripts/test.sh starts a server with scripts/sound-server.sh and names its environment
// file in TIMBRELO_SOUND_ENV. Without it the integration tests skip: they never touch the
// sound server of the desktop they run on.

#include "support/process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace timbrelo::test {

// The shared server of this test run: exports its environment into the process. False,
// with the reason, when there is none (the caller skips).
bool useSharedSoundServer(std::string& reason);

// Skips the running test when there is no shared server; else exports its environment.
#define SKIP_WITHOUT_SOUND_SERVER()                                                                \
    if (std::string why_; !::timbrelo::test::useSharedSoundServer(why_))                           \
    GTEST_SKIP() << why_

// The kind of the shared server ("pulse" or "pipewire"); "" when there is none.
std::string sharedSoundServerKind();

// A server of the test's own (for tests that kill it), of the given kind. Its environment
// replaces the process's while it lives; the shared server's comes back afterwards.
class OwnSoundServer {
  public:
    explicit OwnSoundServer(const std::string& kind);
    ~OwnSoundServer();
    OwnSoundServer(const OwnSoundServer&) = delete;
    OwnSoundServer& operator=(const OwnSoundServer&) = delete;

    bool running() const { return running_; }
    const std::string& error() const { return error_; }
    // Kills every process of the server at once (SIGKILL).
    bool kill();
    // Starts it again on the same socket.
    bool restart();

  private:
    std::string kind_;
    std::string dir_;
    std::string error_;
    bool running_ = false;
    std::vector<std::unique_ptr<ScopedEnv>> saved_;
};

// pactl with the arguments; its output with the trailing line end removed. An empty
// optional when it failed.
std::optional<std::string> pactl(const std::vector<std::string>& args);

// Sets the default "sink" or "source" and waits until the server reports it (PipeWire's
// session manager applies it a moment later); false when it never does.
bool setDefaultDevice(const std::string& kind, const std::string& name);
// The server's default "sink" or "source" once it is `expected`, or whatever it is after
// waiting two seconds for that.
std::string settledDefault(const std::string& kind, const std::string& expected);

// Server modules loaded for a test, unloaded in reverse order at its end.
class ModuleSet {
  public:
    ModuleSet() = default;
    ~ModuleSet();
    ModuleSet(const ModuleSet&) = delete;
    ModuleSet& operator=(const ModuleSet&) = delete;

    // Loads a module; false when the server refused it.
    bool load(const std::string& module, const std::vector<std::string>& args);
    // A null sink at the pipeline format (so nothing is resampled on PulseAudio).
    bool nullSink(const std::string& name, const std::string& description,
                  const std::string& extraProperties = "");
    // A microphone that programs list as one: a null sink `name`_feed that clients play to,
    // and a remapped source `name` on its monitor. The feed is plumbing: it carries the
    // internal-helper property, so the device lists leave it out.
    bool microphone(const std::string& name, const std::string& description,
                    const std::string& extraProperties = "");
    // Forgets the modules without unloading them (their server is gone).
    void forget() { modules_.clear(); }

  private:
    std::vector<std::string> modules_;
};

} // namespace timbrelo::test
