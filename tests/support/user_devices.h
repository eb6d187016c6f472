#pragma once
// The user's side of the end-to-end tests: a test microphone and test speakers made the
// default devices, a voice spoken into the microphone, programs that record, and what the
// device lists and a program's log say meanwhile.

#include "support/process.h"
#include "support/sound_server.h"
#include "support/temp_dir.h"

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace timbrelo {
class AudioBackend;
}

namespace timbrelo::test {

// A test microphone `<prefix>_mic` (played into through `<prefix>_mic_feed`) and test speakers
// `<prefix>_speakers` on the current sound server, unloaded when this goes away.
class UserDevices {
  public:
    explicit UserDevices(std::string prefix) : prefix_(std::move(prefix)) {}
    UserDevices(const UserDevices&) = delete;
    UserDevices& operator=(const UserDevices&) = delete;

    // Loads both and, with `asDefaults`, makes them the defaults; false when the server
    // refused. A real microphone never idles; the test one is kept running from the start,
    // since an idle null sink holds a new stream up for about two seconds on PulseAudio.
    bool make(bool asDefaults = true);
    // Loops a sound file into the microphone until quiet(), forget() or the end.
    void speak(const std::string& wav);
    void quiet() { speaker_.reset(); }
    // The server is gone, and the devices and their clients with it.
    void forget();

    std::string mic() const { return prefix_ + "_mic"; }
    std::string feed() const { return prefix_ + "_mic_feed"; }
    std::string speakers() const { return prefix_ + "_speakers"; }

  private:
    std::string prefix_;
    std::unique_ptr<ModuleSet> modules_;
    std::unique_ptr<ChildProcess> keepAlive_;
    std::unique_ptr<ChildProcess> speaker_;
};

// parec recording `device` ("": the default source) at the pipeline format, raw.
std::vector<std::string> recorderCommand(const std::string& device = "");

// A voiced sound at 120 Hz for three seconds, as a stereo WAV file at the pipeline rate.
std::string writeTestVoice(const TempDir& dir, const std::string& name = "voice.wav");

// Whether `program` is found in PATH.
bool installed(const std::string& program);

// How often `text` stands in the file at `path` (a program's log).
size_t occurrences(const std::string& path, const std::string& text);

// The name of the default input or output device as the device lists give it; "" when none.
std::string defaultDeviceName(AudioBackend& backend, bool input);

// Devices with "Timbrelo" in their name: {inputs, outputs}.
std::pair<int, int> virtualDeviceCount(AudioBackend& backend);

// The frames recorded so far into a raw stereo 16-bit file.
size_t recordedFrames(const std::string& raw);

// The median pitch a listener heard in a raw stereo recording over the second before
// `switchedAt` (a frame; the last 0.2 s left out) and over the second after the next one:
// {before, after}. A recording too short for both fails the test.
std::pair<double, double> pitchAroundSwitch(const std::string& raw, size_t switchedAt);

// A call of the remote control's object on the session bus through busctl:
// busctl --user `verb` <service> [<path> <interface>] `args`... with its errors.
CommandResult busctl(const std::string& verb, const std::vector<std::string>& args);

// A value of the user's settings file; "<none>" when it holds none.
std::string storedSetting(std::string_view key);

// Whether the test microphone and speakers are the defaults again within five seconds.
bool userDefaultsBack(AudioBackend& backend);

} // namespace timbrelo::test
