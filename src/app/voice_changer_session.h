#pragma once
// The start-up and shut-down of the voice changer, shared by the window and the headless
// runner so that they can never drift apart: bring up the virtual microphone and speaker,
// make them the defaults, check that exactly one virtual microphone exists, select the
// user's microphone and speakers for capture and both players, and set up the link; and at
// the end stop capture, put the user's default devices back and take the virtual pair down.
//
// The sound server may go away while the voice changer runs (an update, a crashed session
// manager, a restarted audio service). The session then waits for one to answer again and
// brings the server's side back as at start-up, on the same engine: the voice, the cleaning,
// the players' settings and a running recording carry on. What lives for the whole run is
// the engine, the two players and the owner; what lives for one connection to the server is
// the virtual device and the link (the back end makes its own connection anew when asked
// after its server went away, and capture and playback streams are opened per capture).
//
// Threads: everything here runs on the owner's control thread. The link's owner callbacks
// are forwarded to `owner` on the watcher thread or the control thread.

#include "audio/capture_engine.h"
#include "audio/dc_audio_player.h"
#include "audio/virtual_device_link.h"
#include "platform/audio_io/audio_backend.h"
#include "platform/vdev/virtual_device.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace timbrelo {

// What VoiceChangerSession::poll found out about the sound server.
enum class ServerEvent {
    None,    // nothing new
    Lost,    // the server went away (or took the virtual pair down): the session waits for
             // one to answer, keeping the engine, the voice and any recording
    Waiting, // still waiting, for a reason not told before (the detail says it)
    Back,    // a server answers and the pair is up and the default again
    Failed,  // a server answers but the voice changer can't run there (the detail says
             // why): the owner ends
};

class VoiceChangerSession : private LinkOwner {
  public:
    // Brings up the virtual device; null with a one-line reason when it can't.
    using VirtualDeviceMaker = std::function<std::unique_ptr<VirtualDevice>(std::string& error)>;
    using Clock = std::chrono::steady_clock;

    enum class Failure {
        None,
        VirtualDeviceDown,   // the virtual pair could not be brought up
        DefaultsNotSwitched, // the default devices could not be read or set
        VirtualDeviceCount,  // not exactly one virtual microphone
        NoRecordDevice,      // the user's microphone is not there
        NoPlaybackDevice,    // the user's speakers are not there
    };

    struct Timing {
        // While the server is away, how often `poll` asks whether one answers.
        std::chrono::milliseconds retryPeriod{500};
        // A capture suspended with the server that no program takes up again within this
        // time after the server is back ends (with its recording).
        std::chrono::milliseconds resumeGrace{10000};
    };

    // `owner` receives the link's callbacks except restoring the devices, which the session
    // does itself.
    VoiceChangerSession(AudioBackend& backend, LinkOwner& owner);
    VoiceChangerSession(AudioBackend& backend, LinkOwner& owner, Timing timing);
    // Shuts down when still running.
    ~VoiceChangerSession();
    VoiceChangerSession(const VoiceChangerSession&) = delete;
    VoiceChangerSession& operator=(const VoiceChangerSession&) = delete;

    // Runs the start-up; `prepare` (when set) configures the engine just before the link
    // starts, so a program already listening hears the right voice from the first block.
    // Failure::None once the link runs; otherwise `error` says why (the string-table text
    // where there is one) and the user's defaults are as they were. An exception from
    // `prepare` leaves the same way once the session is destroyed. The maker is kept for
    // bringing the pair back after the server went away.
    Failure start(const VirtualDeviceMaker& makeVirtualDevice, std::string& error,
                  const std::function<void(CaptureEngine&)>& prepare = {});
    // Looks after the sound server; the owner calls it every few hundred milliseconds. When
    // the virtual device is lost: suspends capture (keeping the recording), tries to put the
    // defaults back (a server that is gone can't: the settings keep the mark), ends the link
    // and drops the device (Lost). While waiting, at most every retry period: when a server
    // answers and the user's microphone and speakers are there, runs the start-up's steps
    // again, the user's defaults remembered anew unless a restore is still pending, and
    // Preview is applied again (Back); a capture that was running carries on, in the same
    // recording, once a program records again. `detail` says why for Waiting and Failed.
    // Quick unless it brings the pair up; never waits for a server that is not there.
    ServerEvent poll(std::string& detail);
    // Stops capture, restores the defaults, ends the link and takes the pair down; also
    // while waiting for the server (then the defaults can't be put back: see
    // defaultsRestored).
    void shutDown();

    // The link runs (not while waiting for the server).
    bool running() const { return link_ != nullptr && link_->running(); }
    // Started, and the server went away: waiting for one to answer.
    bool waitingForServer() const { return waiting_; }
    CaptureEngine& engine() { return engine_; }
    DCAudioPlayer& previewPlayer() { return previewPlayer_; }
    DCAudioPlayer& renderPlayer() { return renderPlayer_; }
    // The link and the device of the current connection; null while there is none.
    VirtualDeviceLink* link() { return link_.get(); }
    VirtualDevice* virtualDevice() { return device_.get(); }
    // The devices start-up (or the last return of the server) chose (product names).
    const std::string& microphoneName() const { return microphone_; }
    const std::string& speakersName() const { return speakers_; }
    // False when the last restore could not set the defaults (the settings keep the mark,
    // so the next run tries again).
    bool defaultsRestored() const { return defaultsRestored_; }
    // The voice's delivery over every connection of the run, and the times a server ran
    // short of it.
    JitterBuffer::Stats voiceStats() const;
    uint64_t serverUnderruns() const;

  private:
    bool previewTicked() const override { return owner_.previewTicked(); }
    void reissueCurrentPreset() override { owner_.reissueCurrentPreset(); }
    void setRecordAndPlayEnabled(bool enabled) override { owner_.setRecordAndPlayEnabled(enabled); }
    void restorePreferredDevices() override;
    // The start-up's steps on the server that answers now.
    Failure bringUp(std::string& error, const std::function<void(CaptureEngine&)>& prepare);
    Failure fail(Failure failure, std::string text, std::string& error);
    void dropConnection();
    ServerEvent handleLoss();
    ServerEvent tryToComeBack(std::string& detail);
    bool serverAnswers();
    // "" when the user's microphone and speakers are there, else what is missing.
    std::string missingDevice();

    AudioBackend& backend_;
    LinkOwner& owner_;
    const Timing timing_;
    VirtualDeviceMaker makeDevice_;

    // For the whole run.
    CaptureEngine engine_;
    DCAudioPlayer previewPlayer_;
    DCAudioPlayer renderPlayer_;
    JitterBuffer::Stats pastVoice_; // of the devices lost so far
    uint64_t pastServerUnderruns_ = 0;
    bool defaultsRestored_ = true;
    // Set once the link started: a loss from then on is waited out.
    bool started_ = false;

    // For one connection to the server (the link ends before its device goes).
    std::unique_ptr<VirtualDevice> device_;
    std::unique_ptr<VirtualDeviceLink> link_;
    std::string microphone_;
    std::string speakers_;
    bool switched_ = false;

    // While the server is away.
    bool waiting_ = false;
    Clock::time_point nextTry_{};
    std::string lastDetail_;
    // A capture suspended with the server that a program has yet to take up again.
    std::optional<Clock::time_point> resumeBy_;
};

// Creates the settings folder and, when missing, the settings file with the default effect
// lines ("cartoon 1.5" and "psola 1.0"). Shows "Open config file fail." when the folder
// can't be made. Control thread.
void ensureSettingsFile();

} // namespace timbrelo
