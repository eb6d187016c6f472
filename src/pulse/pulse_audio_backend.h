#pragma once
// The sound-server back end: PulseAudio's client library, which serves PulseAudio and
// PipeWire desktops alike. It only moves frames and answers the device queries; everything
// the program decides stays above it.
//
// Input devices are the server's sources that are not monitors of a sink, output devices its
// sinks, both in the server's index order; a device whose properties carry
// kInternalDeviceProperty=1 (the virtual device's own helpers) is never listed. Product names
// are the devices' descriptions. The preferred devices are the server's default source and
// sink.

#include "platform/wave/audio_backend.h"
#include "platform/wave/pulse_connection.h"

#include <memory>
#include <string>
#include <vector>

namespace timbrelo {

class PulseStreamCore;

// Property that marks a device as the program's own internal helper.
inline constexpr const char* kInternalDeviceProperty = "timbrelo.internal";

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
    ~PulseAudioBackend() override;

    // Connects when not connected; 0 when a server answers, else why not.
    MmResult connect();
    // The devices in the order of the lists above; an error when the server can't be asked.
    MmResult listInputs(std::vector<DeviceInfo>& devices);
    MmResult listOutputs(std::vector<DeviceInfo>& devices);

    uint32_t inputDeviceCount() override;
    std::string inputDeviceName(uint32_t index) override;
    MmResult openInput(uint32_t index, const WaveFormat& format, WaveInCallback& callback,
                       std::unique_ptr<WaveInDevice>& device) override;
    uint32_t outputDeviceCount() override;
    std::string outputDeviceName(uint32_t index) override;
    MmResult openOutput(uint32_t index, const WaveFormat& format, WaveOutCallback& callback,
                        std::unique_ptr<WaveOutDevice>& device) override;
    MmResult getPreferredInput(uint32_t& index) override;
    MmResult setPreferredInput(uint32_t index) override;
    MmResult getPreferredOutput(uint32_t& index) override;
    MmResult setPreferredOutput(uint32_t index) override;
    std::string inputErrorText(MmResult code) override;
    std::string outputErrorText(MmResult code) override;

  private:
    enum class Kind { Sources, Sinks };
    MmResult list(Kind kind, std::vector<DeviceInfo>& devices);
    std::string productName(Kind kind, uint32_t index);
    MmResult getPreferred(Kind kind, uint32_t& index);
    MmResult setPreferred(Kind kind, uint32_t index);
    // Connects the core's stream to device `index` of the list (or the default device).
    MmResult openStream(Kind kind, uint32_t index, const WaveFormat& format,
                        const std::shared_ptr<PulseStreamCore>& core);

    std::shared_ptr<PulseConnection> connection_;
};

// A description cut to the product-name limit without splitting a character.
std::string productNameOf(const std::string& description);

} // namespace timbrelo
