#pragma once
// The voice changer as the window drives it. The program's own (SessionVoiceEngine) runs the
// start-up and shut-down that the headless runner shares; tests put a stand-in in its place.
//
// Threads: every method runs on the window's thread unless it says otherwise. The voice
// controls may also run on a link watcher thread (re-issuing the preset at a capture start);
// the window serialises them.

#include "app/voice_changer_session.h"
#include "audio/delivery_targets.h"
#include "audio/virtual_device_link.h"
#include "audio/voice_controls.h"
#include "effects/input_cleaner.h"

#include <string>
#include <vector>

namespace timbrelo {

// How long the voice takes from the microphone to a listener, by the pipeline's own figures.
struct VoiceDelay {
    double pipelineMs = 0;     // pitch shifter and effects of the current voice
    double captureBlockMs = 0; // one capture block
    double deliveryMs = 0;     // jitter buffer and sound server (0 while nobody listens)
    double totalMs() const { return pipelineMs + captureBlockMs + deliveryMs; }
};

class VoiceEngine : public VoiceControls {
  public:
    enum class StartResult {
        Running,    // the virtual pair is the default and the link runs
        Quit,       // the virtual device is missing or not unique: the program must end
        NotRunning, // the window stays, without devices and without the link
    };

    virtual ~VoiceEngine() = default;

    // Brings the voice changer up; `owner` receives the link's callbacks (on a watcher
    // thread or this one) until shutDown. `error` is what the user is told, "" for nothing.
    virtual StartResult start(LinkOwner& owner, std::string& error) = 0;
    // Stops capture, restores the user's default devices and takes the virtual pair down.
    // Returns once that is done; harmless when not running.
    virtual void shutDown() = 0;
    // Started and not shut down; also while waiting for the sound server to come back.
    virtual bool running() const = 0;

    virtual void setEffectsOn(bool on) = 0;
    // True when the music plays.
    virtual bool openBackground(const std::string& path) = 0;
    virtual void stopBackground() = 0;
    virtual void setBackgroundLevel(float level) = 0;
    // True when the slot's file is open and recording.
    virtual bool startRecording(RecordSlot slot, const std::string& path) = 0;
    // Ends every recording, both slots, both file kinds.
    virtual void stopRecording() = 0;
    // The Preview box changed (capture follows it while nobody uses the virtual microphone).
    virtual void previewChanged(bool ticked) = 0;

    // Product names of the input devices, in index order.
    virtual std::vector<std::string> inputDevices() = 0;
    // Captures from the input device of that product name from now on (restarting a
    // running capture on it). False when there is no such device.
    virtual bool useMicrophone(const std::string& name) = 0;

    // The microphone's cleaning (noise suppression and gate) as it is, and a new choice: it
    // takes hold at the next capture block and is remembered in the settings.
    virtual InputCleanerSettings inputCleaning() = 0;
    virtual void setInputCleaning(const InputCleanerSettings& settings) = 0;

    virtual VoiceDelay delay() = 0;
    // Looks after the sound server (the window's timer, twice a second): whether it went
    // away, is still awaited for a new reason, came back, or came back where the voice
    // changer can't run (see VoiceChangerSession::poll); `detail` says why.
    virtual ServerEvent pollServer(std::string& detail) = 0;
};

} // namespace timbrelo
