#include "support/sound_server.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace timbrelo::test {
namespace {

std::string scriptPath() {
    const char* source = std::getenv("TIMBRELO_SOURCE_DIR");
    return std::string(source != nullptr ? source : ".") + "/scripts/sound-server.sh";
}

const char* const kServerVariables[] = {"PULSE_SERVER",       "PULSE_COOKIE",
                                        "PULSE_CLIENTCONFIG", "TIMBRELO_SOUND_KIND",
                                        "TIMBRELO_SOUND_DIR", "TIMBRELO_SOUND_PIDS"};

using EnvVars = std::vector<std::pair<std::string, std::string>>;

// Reads a KEY=VALUE file as sound-server.sh writes it.
EnvVars readEnvFile(const std::string& path) {
    EnvVars vars;
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

void exportEnv(const EnvVars& vars) {
    for (const auto& [key, value] : vars) {
        ::setenv(key.c_str(), value.c_str(), 1);
    }
}

} // namespace

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
        saved_.push_back(std::make_unique<ScopedEnv>(
            name, value != nullptr ? std::optional<std::string>(value) : std::nullopt));
    }
    dir_ = (std::filesystem::temp_directory_path() / "timbrelo-sound.XXXXXX").string();
    if (::mkdtemp(dir_.data()) == nullptr) {
        dir_.clear();
        error_ = "can't make a folder for the server";
        return;
    }
    restart();
}

OwnSoundServer::~OwnSoundServer() {
    if (!dir_.empty()) {
        runCommand({"bash", scriptPath(), "stop", dir_});
    }
}

bool OwnSoundServer::restart() {
    const int status =
        runCommand({"bash", scriptPath(), "start", kind_, "--dir", dir_}, std::chrono::seconds(20))
            .status;
    const EnvVars vars = status == 0 ? readEnvFile(dir_ + "/env") : EnvVars{};
    running_ = !vars.empty();
    error_ = running_ ? ""
                      : "scripts/sound-server.sh start " + kind_ + " failed (" +
                            std::to_string(status) + ")";
    exportEnv(vars);
    return running_;
}

bool OwnSoundServer::kill() {
    running_ = false;
    return runCommand({"bash", scriptPath(), "kill", dir_}).status == 0;
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
    std::string now;
    eventually([&] { return (now = pactl({"get-default-" + kind}).value_or("")) == expected; },
               std::chrono::seconds(2));
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
    return eventually(
        [&] {
            const std::string list = pactl({"list", "short", kind}).value_or("");
            return list.find("\t" + name + "\t") != std::string::npos;
        },
        std::chrono::seconds(5));
}

std::string properties(const std::string& description, const std::string& extra) {
    return "device.description=\"" + description + "\"" + (extra.empty() ? "" : " " + extra);
}

} // namespace

bool ModuleSet::nullSink(const std::string& name, const std::string& description,
                         const std::string& extraProperties) {
    return load("module-null-sink",
                {"sink_name=" + name, "rate=22050", "channels=2", "format=s16le",
                 "sink_properties='" + properties(description, extraProperties) + "'"}) &&
           waitForDevice("sinks", name);
}

bool ModuleSet::microphone(const std::string& name, const std::string& description,
                           const std::string& extraProperties) {
    return nullSink(name + "_feed", description + " feed", "timbrelo.internal=1") &&
           load("module-remap-source",
                {"master=" + name + "_feed.monitor", "source_name=" + name,
                 "source_properties='" + properties(description, extraProperties) + "'"}) &&
           waitForDevice("sources", name);
}

} // namespace timbrelo::test
