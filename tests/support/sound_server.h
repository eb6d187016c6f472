#pragma once
// The private sound servers of the integration tests and the ordinary clients (pactl,
// paplay, parec) that play the roles of the user's devices and of other programs.
//
// scripts/test.sh starts a server with scripts/sound-server.sh and names its environment
// file in TIMBRELO_SOUND_ENV. Without it the integration tests skip: they never touch the
// sound server of the desktop they run on.

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace timbrelo::test {

struct CommandResult {
    int status = -1; // exit status; -1 when it did not end in time (it is then killed)
    std::string output;
};

// Runs a program (searched in PATH) and collects its standard output.
CommandResult runCommand(const std::vector<std::string>& argv,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A program running in the background, ended by its process id when this goes away.
class ChildProcess {
  public:
    // Standard output goes to `outputFile` when given, else nowhere; standard error too when
    // `withErrors` is set.
    explicit ChildProcess(const std::vector<std::string>& argv, const std::string& outputFile = "",
                          bool withErrors = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    // Waits for it to end; its exit status, or -1 when it did not end in time.
    int wait(std::chrono::milliseconds timeout);
    // Asks it to end (SIGTERM), then kills it when it does not within `grace`.
    void stop(std::chrono::milliseconds grace = std::chrono::seconds(1));
    // Sends a signal and nothing else.
    void signal(int sig);

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Reads a KEY=VALUE file as sound-server.sh writes it.
std::vector<std::pair<std::string, std::string>> readEnvFile(const std::string& path);

// The shared server of this test run: exports its environment into the process. False,
// with the reason, when there is none (the caller skips).
bool useSharedSoundServer(std::string& reason);

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
    bool start(bool again);
    std::string kind_;
    std::string dir_;
    std::string error_;
    bool running_ = false;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
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

// Writes a 16-bit WAV file.
void writeWav16(const std::string& path, const std::vector<int16_t>& samples, int channels,
                int rate);

// Reads a raw recording of 16-bit samples.
std::vector<int16_t> readRaw16(const std::string& path);

} // namespace timbrelo::test
