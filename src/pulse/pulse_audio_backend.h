#pragma once
// The sound-server back end: PulseAudio's client library, which serves PulseAudio and
// PipeWire desktops alike. It only moves frames and answers the device queries; everything
// the program decides stays above it.
//
// Input devices are the server's sources that are not monitors of a sink, output devices its
// sinks, both in the server's index order; a device whose properties carry
// kInternalDeviceProperty=1 (the virtual device's own helpers) is never listed. Product names
// are the devices' descriptions. The default devices are the server's default source and
// sink. Streams record or play one device by name and never follow a default change.

#include "platform/audio_io/audio_backend.h"
#include "pulse/pulse_capture_stream.h"
#include "pulse/internal_device.h"
#include "pulse/pulse_connection.h"
#include "pulse/pulse_playback_stream.h"

#include <memory>
#include <string>
#include <vector>

namespace timbrelo {

// Property that marks a device as the program's own internal helper.
// (kInternalDeviceProperty: see internal_device.h.)

class PulseAudioBackend : public AudioBackend {
  public:
    using Options = PulseConnection::Options;

    // One device as the server knows it.
    struct DeviceInfo {
        uint32_t serverIndex = 0;
        std::string name;        // the server's name for it
        std::string description; // what people see
    };

    PulseAudioBackend();
    explicit PulseAudioBackend(Options options);
    // A back end on a connection shared with others (the virtual device).
    explicit PulseAudioBackend(std::shared_ptr<PulseConnection> connection);
    ~PulseAudioBackend() override;

    // The connection its streams use; streams of other users may share it.
    const std::shared_ptr<PulseConnection>& connection() const { return connection_; }

    // Connects when not connected; Ok when a server answers, else why not. Control threads.
    AudioResult connect();
    // The devices in the order of the lists above; an error when the server can't be asked.
    // Control threads; waits for the server (bounded).
    AudioResult listInputs(std::vector<DeviceInfo>& devices);
    AudioResult listOutputs(std::vector<DeviceInfo>& devices);

    uint32_t inputDeviceCount() override;
    std::string inputDeviceName(uint32_t index) override;
    uint32_t outputDeviceCount() override;
    std::string outputDeviceName(uint32_t index) override;

    // A PulseCaptureStream with the back end's capture settings (see below) on the device.
    AudioResult openCapture(uint32_t index, const StreamFormat& format, uint32_t blockFrames,
                            CaptureSink& sink, std::unique_ptr<CaptureStream>& stream) override;
    // A PulsePlaybackStream asking for `periodFrames` at a time and keeping two queued.
    AudioResult openPlayback(uint32_t index, const StreamFormat& format, uint32_t periodFrames,
                             PlaybackSource& source,
                             std::unique_ptr<PlaybackStream>& stream) override;

    // NoDefaultDevice when the default is none of the listed devices (a monitor, a helper).
    AudioResult defaultInput(uint32_t& index) override;
    AudioResult setDefaultInput(uint32_t index) override;
    AudioResult defaultOutput(uint32_t& index) override;
    AudioResult setDefaultOutput(uint32_t index) override;

    const char* kind() const override { return "pulse"; }

    // Ring size and real-time priority of the capture streams opened from now on (the spec
    // and block size come from openCapture). Control thread, before opening.
    void setCaptureSettings(const PulseCaptureStream::Options& settings) {
        captureSettings_ = settings;
    }

  private:
    enum class Kind { Sources, Sinks };
    AudioResult list(Kind kind, std::vector<DeviceInfo>& devices);
    std::string productName(Kind kind, uint32_t index);
    AudioResult defaultDevice(Kind kind, uint32_t& index);
    AudioResult setDefaultDevice(Kind kind, uint32_t index);
    // The server's name of device `index` ("" for kDefaultDevice).
    AudioResult deviceName(Kind kind, uint32_t index, std::string& name);

    std::shared_ptr<PulseConnection> connection_;
    PulseCaptureStream::Options captureSettings_;
};

// A description cut to the product-name limit without splitting a character.
std::string productNameOf(const std::string& description);

} // namespace timbrelo
