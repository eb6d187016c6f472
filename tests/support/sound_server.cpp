#include "support/sound_server.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace timbrelo::test {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> argvOf(const std::vector<std::string>& argv) {
    std::vector<char*> out;
    for (const std::string& a : argv) {
        out.push_back(const_cast<char*>(a.c_str()));
    }
    out.push_back(nullptr);
    return out;
}

// Waits for `pid` until the deadline; its exit status, or nothing.
std::optional<int> waitUntil(pid_t pid, Clock::time_point deadline) {
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (r < 0 && errno != EINTR) {
            return -1;
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string scriptPath() {
    const char* source = std::getenv("TIMBRELO_SOURCE_DIR");
    return std::string(source != nullptr ? source : ".") + "/scripts/sound-server.sh";
}

const char* const kServerVariables[] = {"PULSE_SERVER",       "PULSE_COOKIE",
                                        "PULSE_CLIENTCONFIG", "TIMBRELO_SOUND_KIND",
                                        "TIMBRELO_SOUND_DIR", "TIMBRELO_SOUND_PIDS"};

void exportEnv(const std::vector<std::pair<std::string, std::string>>& vars) {
    for (const auto& [key, value] : vars) {
        ::setenv(key.c_str(), value.c_str(), 1);
    }
}

} // namespace

CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
    CommandResult result;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    pid_t pid = -1;
    std::vector<char*> args = argvOf(argv);
    const int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        return result;
    }
    const auto deadline = Clock::now() + timeout;
    char buffer[4096];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            break;
        }
        pollfd p{pipeFds[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        result.output.append(buffer, static_cast<size_t>(n));
    }
    ::close(pipeFds[0]);
    if (auto status = waitUntil(pid, deadline + std::chrono::milliseconds(100))) {
        result.status = *status;
    } else {
        ::kill(pid, SIGKILL);
        waitUntil(pid, Clock::now() + std::chrono::seconds(2));
        result.status = -1;
    }
    return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& outputFile,
                           bool withErrors) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1,
                                     outputFile.empty() ? "/dev/null" : outputFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (withErrors) {
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    std::vector<char*> args = argvOf(argv);
    if (::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) {
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess() {
    stop();
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (status_) {
        return *status_;
    }
    if (pid_ <= 0) {
        return -1;
    }
    status_ = waitUntil(pid_, Clock::now() + timeout);
    return status_.value_or(-1);
}

void ChildProcess::signal(int sig) {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, sig);
    }
}

void ChildProcess::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0 || status_) {
        return;
    }
    ::kill(pid_, SIGTERM);
    status_ = waitUntil(pid_, Clock::now() + grace);
    if (!status_) {
        ::kill(pid_, SIGKILL);
        status_ = waitUntil(pid_, Clock::now() + std::chrono::seconds(2)).value_or(-1);
    }
}

std::vector<std::pair<std::string, std::string>> readEnvFile(const std::string& path) {
    std::vector<std::pair<std::string, std::string>> vars;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos && eq > 0) {
            vars.emplace_back(line.substr(0, eq), line.substr(eq + 1));
        }
    }
    return vars;
}

bool useSharedSoundServer(std::string& reason) {
    const char* file = std::getenv("TIMBRELO_SOUND_ENV");
    if (file == nullptr || *file == '\0') {
        reason = "no private sound server: TIMBRELO_SOUND_ENV is not set (scripts/test.sh "
                 "starts one with scripts/sound-server.sh)";
        return false;
    }
    const auto vars = readEnvFile(file);
    if (vars.empty()) {
        reason = std::string("no private sound server: can't read ") + file;
        return false;
    }
    exportEnv(vars);
    return true;
}

std::string sharedSoundServerKind() {
    const char* file = std::getenv("TIMBRELO_SOUND_ENV");
    if (file == nullptr) {
        return {};
    }
    for (const auto& [key, value] : readEnvFile(file)) {
        if (key == "TIMBRELO_SOUND_KIND") {
            return value;
        }
    }
    return {};
}

OwnSoundServer::OwnSoundServer(const std::string& kind) : kind_(kind) {
    for (const char* name : kServerVariables) {
        const char* value = std::getenv(name);
        saved_.emplace_back(name,
                            value != nullptr ? std::optional<std::string>(value) : std::nullopt);
    }
    start(false);
}

OwnSoundServer::~OwnSoundServer() {
    if (!dir_.empty()) {
        runCommand({"bash", scriptPath(), "stop", dir_}, std::chrono::seconds(10));
    }
    for (const auto& [name, value] : saved_) {
        if (value) {
            ::setenv(name.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(name.c_str());
        }
    }
}

bool OwnSoundServer::start(bool again) {
    std::vector<std::string> args = {"bash", scriptPath(), "start", kind_};
    if (again) {
        args.insert(args.end(), {"--dir", dir_});
    }
    const CommandResult r = runCommand(args, std::chrono::seconds(20));
    if (r.status != 0) {
        error_ =
            "scripts/sound-server.sh start " + kind_ + " failed (" + std::to_string(r.status) + ")";
        running_ = false;
        return false;
    }
    std::vector<std::pair<std::string, std::string>> vars;
    std::istringstream lines(r.output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("export ", 0) == 0) {
            line.erase(0, 7);
        }
        const size_t eq = line.find('=');
        if (eq != std::string::npos) {
            vars.emplace_back(line.substr(0, eq), line.substr(eq + 1));
        }
    }
    exportEnv(vars);
    for (const auto& [key, value] : vars) {
        if (key == "TIMBRELO_SOUND_DIR") {
            dir_ = value;
        }
    }
    running_ = !dir_.empty();
    return running_;
}

bool OwnSoundServer::kill() {
    running_ = false;
    return runCommand({"bash", scriptPath(), "kill", dir_}, std::chrono::seconds(10)).status == 0;
}

bool OwnSoundServer::restart() {
    return start(true);
}

std::optional<std::string> pactl(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"pactl"};
    argv.insert(argv.end(), args.begin(), args.end());
    CommandResult r = runCommand(argv, std::chrono::seconds(10));
    if (r.status != 0) {
        return std::nullopt;
    }
    while (!r.output.empty() && (r.output.back() == '\n' || r.output.back() == ' ')) {
        r.output.pop_back();
    }
    return r.output;
}

std::string settledDefault(const std::string& kind, const std::string& expected) {
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    std::string now;
    do {
        now = pactl({"get-default-" + kind}).value_or("");
        if (now == expected) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (Clock::now() < deadline);
    return now;
}

bool setDefaultDevice(const std::string& kind, const std::string& name) {
    return pactl({"set-default-" + kind, name}) && settledDefault(kind, name) == name;
}

ModuleSet::~ModuleSet() {
    for (auto it = modules_.rbegin(); it != modules_.rend(); ++it) {
        pactl({"unload-module", *it});
    }
}

bool ModuleSet::load(const std::string& module, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"load-module", module};
    argv.insert(argv.end(), args.begin(), args.end());
    auto index = pactl(argv);
    if (!index || index->empty()) {
        return false;
    }
    modules_.push_back(*index);
    return true;
}

namespace {

// PipeWire makes a loaded module's device a moment after the load returns.
bool waitForDevice(const std::string& kind, const std::string& name) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    do {
        if (auto list = pactl({"list", "short", kind})) {
            std::istringstream lines(*list);
            std::string line;
            while (std::getline(lines, line)) {
                std::istringstream fields(line);
                std::string index, device;
                fields >> index >> device;
                if (device == name) {
                    return true;
                }
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (Clock::now() < deadline);
    return false;
}

} // namespace

bool ModuleSet::nullSink(const std::string& name, const std::string& description,
                         const std::string& extraProperties) {
    std::string props = "device.description=\"" + description + "\"";
    if (!extraProperties.empty()) {
        props += " " + extraProperties;
    }
    return load("module-null-sink", {"sink_name=" + name, "rate=22050", "channels=2",
                                     "format=s16le", "sink_properties='" + props + "'"}) &&
           waitForDevice("sinks", name);
}

bool ModuleSet::microphone(const std::string& name, const std::string& description,
                           const std::string& extraProperties) {
    std::string props = "device.description=\"" + description + "\"";
    if (!extraProperties.empty()) {
        props += " " + extraProperties;
    }
    return nullSink(name + "_feed", description + " feed", "timbrelo.internal=1") &&
           load("module-remap-source", {"master=" + name + "_feed.monitor", "source_name=" + name,
                                        "source_properties='" + props + "'"}) &&
           waitForDevice("sources", name);
}

void writeWav16(const std::string& path, const std::vector<int16_t>& samples, int channels,
                int rate) {
    std::ofstream out(path, std::ios::binary);
    auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    const auto bytes = static_cast<uint32_t>(samples.size() * 2);
    out.write("RIFF", 4);
    u32(36 + bytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(static_cast<uint16_t>(channels));
    u32(static_cast<uint32_t>(rate));
    u32(static_cast<uint32_t>(rate * channels * 2));
    u16(static_cast<uint16_t>(channels * 2));
    u16(16);
    out.write("data", 4);
    u32(bytes);
    out.write(reinterpret_cast<const char*>(samples.data()), bytes);
}

std::vector<int16_t> readRaw16(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<int16_t> samples(data.size() / 2);
    std::memcpy(samples.data(), data.data(), samples.size() * 2);
    return samples;
}

} // namespace timbrelo::test
