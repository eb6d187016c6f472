#include "support/user_devices.h"

#include "platform/audio_io/audio_backend.h"
#include "platform/settings.h"
#include "support/audio_files.h"
#include "support/signals.h"
#include "support/sound_server.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace timbrelo::test {

bool UserDevices::make(bool asDefaults) {
    modules_ = std::make_unique<ModuleSet>();
    if (!modules_->microphone(mic(), "Test Microphone") ||
        !modules_->nullSink(speakers(), "Test Speakers")) {
        return false;
    }
    if (asDefaults &&
        (!setDefaultDevice("source", mic()) || !setDefaultDevice("sink", speakers()))) {
        return false;
    }
    keepAlive_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"pacat", "--playback", "--device=" + feed(), "--format=s16le",
                                 "--rate=22050", "--channels=2", "--latency-msec=20", "/dev/zero"});
    if (sharedSoundServerKind() == "pulse") {
        pactl({"suspend-sink", feed(), "1"});
        pactl({"suspend-sink", feed(), "0"});
    }
    return true;
}

void UserDevices::speak(const std::string& wav) {
    speaker_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        "sh", "-c", "while paplay --device=" + feed() + " '" + wav + "'; do :; done"});
}

void UserDevices::forget() {
    speaker_.reset();
    keepAlive_.reset();
    if (modules_) {
        modules_->forget();
    }
}

std::vector<std::string> recorderCommand(const std::string& device) {
    std::vector<std::string> argv = {"parec",        "--latency-msec=20", "--format=s16le",
                                     "--rate=22050", "--channels=2",      "--raw"};
    if (!device.empty()) {
        argv.push_back("--device=" + device);
    }
    return argv;
}

std::string writeTestVoice(const TempDir& dir, const std::string& name) {
    writeWav(dir.file(name), toInterleaved16(makeVoice(120, 3.0, 22050, 0.4), 2), 22050, 2);
    return dir.file(name);
}

bool installed(const std::string& program) {
    return runCommand({"sh", "-c", "command -v " + program}).status == 0;
}

size_t occurrences(const std::string& path, const std::string& text) {
    const std::string all = readFile(path);
    size_t n = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) {
        ++n;
    }
    return n;
}

std::string defaultDeviceName(AudioBackend& backend, bool input) {
    uint32_t index = kDefaultDevice;
    if (input) {
        return backend.defaultInput(index) == AudioResult::Ok ? backend.inputDeviceName(index) : "";
    }
    return backend.defaultOutput(index) == AudioResult::Ok ? backend.outputDeviceName(index) : "";
}

std::pair<int, int> virtualDeviceCount(AudioBackend& backend) {
    std::pair<int, int> count{0, 0};
    for (uint32_t i = 0; i < backend.inputDeviceCount(); ++i) {
        count.first += backend.inputDeviceName(i).find("Timbrelo") != std::string::npos;
    }
    for (uint32_t i = 0; i < backend.outputDeviceCount(); ++i) {
        count.second += backend.outputDeviceName(i).find("Timbrelo") != std::string::npos;
    }
    return count;
}

size_t recordedFrames(const std::string& raw) {
    struct stat st {};
    return ::stat(raw.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) / 4 : 0;
}

std::pair<double, double> pitchAroundSwitch(const std::string& raw, size_t switchedAt) {
    const std::vector<float> left = channelOf(asSamples(fileBytes(raw)), 2, 0);
    const size_t rate = 22050;
    if (switchedAt < rate || left.size() <= switchedAt + 2 * rate) {
        ADD_FAILURE() << "a recording of " << left.size() << " frames, switched at " << switchedAt;
        return {-1, -1};
    }
    const std::span<const float> all(left);
    return {measurePitchMedian(all.subspan(switchedAt - rate, rate * 4 / 5), 22050, 2048, 80, 400),
            measurePitchMedian(all.subspan(switchedAt + rate, rate), 22050, 2048, 80, 400)};
}

CommandResult busctl(const std::string& verb, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"busctl",
                                     "--user",
                                     verb,
                                     "io.github.timbrelo.Timbrelo",
                                     "/io/github/timbrelo/Timbrelo",
                                     "io.github.timbrelo.Timbrelo1"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runCommand(argv, std::chrono::seconds(20), true);
}

std::string storedSetting(std::string_view key) {
    std::string value = "<none>";
    getSetting(key, value);
    return value;
}

bool userDefaultsBack(AudioBackend& backend) {
    return eventually(
        [&] {
            return defaultDeviceName(backend, true) == "Test Microphone" &&
                   defaultDeviceName(backend, false) == "Test Speakers";
        },
        std::chrono::seconds(5));
}

} // namespace timbrelo::test
