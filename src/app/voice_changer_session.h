#pragma once
// The start-up and shut-down of the voice changer, shared by the window and the headless
// runner so that they can never drift apart: bring up the virtual microphone and speaker,
// make them the defaults, check that exactly one virtual microphone exists, select the
// user's microphone and speakers for capture and both players, and set up the link; and at
// the end stop capture, put the user's default devices back and take the virtual pair down.
//
// Threads: everything here runs on the owner's control thread. The link's owner callbacks
// are forwarded to `owner` on the watcher thread or the control thread.

#include "audio/capture_engine.h"
#include "audio/dc_audio_player.h"
#include "audio/virtual_device_link.h"
#include "platform/audio_io/audio_backend.h"
#include "platform/vdev/virtual_device.h"

#include <functional>
#include <memory>
#include <string>

namespace timbrelo {

class VoiceChangerSession : private LinkOwner {
  public:
    // Brings up the virtual device; null with a one-line reason when it can't.
    using VirtualDeviceMaker = std::function<std::unique_ptr<VirtualDevice>(std::string& error)>;

    enum class Failure {
        None,
        VirtualDeviceDown,   // the virtual pair could not be brought up
        DefaultsNotSwitched, // the default devices could not be read or set
        VirtualDeviceCount,  // not exactly one virtual microphone
        NoRecordDevice,      // the user's microphone is not there
        NoPlaybackDevice,    // the user's speakers are not there
    };

    // `owner` receives the link's callbacks except restoring the devices, which the session
    // does itself.
    VoiceChangerSession(AudioBackend& backend, LinkOwner& owner);
    // Shuts down when still running.
    ~VoiceChangerSession();
    VoiceChangerSession(const VoiceChangerSession&) = delete;
    VoiceChangerSession& operator=(const VoiceChangerSession&) = delete;

    // Runs the start-up; `prepare` (when set) configures the engine just before the link
    // starts, so a program already listening hears the right voice from the first block.
    // Failure::None once the link runs; otherwise `error` says why (the string-table text
    // where there is one) and the user's defaults are as they were. An exception from
    // `prepare` leaves the same way once the session is destroyed.
    Failure start(const VirtualDeviceMaker& makeVirtualDevice, std::string& error,
                  const std::function<void(CaptureEngine&)>& prepare = {});
    // Stops capture, restores the defaults, ends the link and takes the pair down.
    void shutDown();

    bool running() const { return link_.running(); }
    CaptureEngine& engine() { return engine_; }
    DCAudioPlayer& previewPlayer() { return previewPlayer_; }
    DCAudioPlayer& renderPlayer() { return renderPlayer_; }
    VirtualDeviceLink& link() { return link_; }
    VirtualDevice* virtualDevice() { return device_.get(); }
    // The devices start-up chose (product names).
    const std::string& microphoneName() const { return microphone_; }
    const std::string& speakersName() const { return speakers_; }
    // False when the last restore could not set the defaults (the settings keep the mark,
    // so the next run tries again).
    bool defaultsRestored() const { return defaultsRestored_; }

  private:
    bool previewTicked() const override { return owner_.previewTicked(); }
    void reissueCurrentPreset() override { owner_.reissueCurrentPreset(); }
    void setRecordAndPlayEnabled(bool enabled) override {
        owner_.setRecordAndPlayEnabled(enabled);
    }
    void restorePreferredDevices() override;
    Failure fail(Failure failure, std::string text, std::string& error);

    AudioBackend& backend_;
    LinkOwner& owner_;
    std::unique_ptr<VirtualDevice> device_;
    CaptureEngine engine_;
    DCAudioPlayer previewPlayer_;
    DCAudioPlayer renderPlayer_;
    VirtualDeviceLink link_;
    std::string microphone_;
    std::string speakers_;
    bool switched_ = false;
    bool defaultsRestored_ = true;
};

// Creates the settings folder and, when missing, the settings file with the default effect
// lines ("cartoon 1.5" and "psola 1.0"). Shows "Open config file fail." when the folder
// can't be made. Control thread.
void ensureSettingsFile();

} // namespace timbrelo
