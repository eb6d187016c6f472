#pragma once
// The virtual device on the sound server (PulseAudio, or PipeWire through its pulse protocol
// server). Three server modules, all at the pipeline format (22050 Hz, 2 channels, s16le):
//
//   timbrelo_vmic_feed  a null sink, marked internal: the changed voice is played into it
//   timbrelo_vmic       a source remapped from the feed's monitor: the virtual microphone,
//                       which other programs list and record like any microphone
//   timbrelo_vspk       a null sink: the virtual speaker; its monitor is recorded
//
// The modules outlive a program that is killed, so bring-up adopts a pair left behind
// instead of making a second one, and a clean exit unloads it.
//
// The device is in use while another program records from the virtual microphone, not
// corked and not a level meter; the start and stop events are signalled when that flips,
// the render event when render audio arrives (pure silence is not passed on).
//
// Threads: ioControl may be called from any thread at once (capture callback, watcher,
// render reader); every answer comes in bounded time. The in-use state is kept up to date
// from the server's events, so IOCTL_GET_STATE never waits for the server.

#include "platform/vdev/virtual_device.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct pa_context;
struct pa_source_output_info;
struct pa_stream;

namespace timbrelo {

class PulseConnection;

class PulseVirtualDevice : public VirtualDevice {
  public:
    static constexpr const char* kFeedSinkName = "timbrelo_vmic_feed";
    static constexpr const char* kMicrophoneName = "timbrelo_vmic";
    static constexpr const char* kSpeakerName = "timbrelo_vspk";
    static constexpr const char* kMicrophoneDescription = "Timbrelo Virtual Microphone";
    static constexpr const char* kSpeakerDescription = "Timbrelo Virtual Speaker";

    struct Options {
        std::chrono::milliseconds connectTimeout{2000};
        // Each request to the server; also bounds every step of the tear-down.
        std::chrono::milliseconds operationTimeout{1500};
        // How long the server may take to show a loaded module's device.
        std::chrono::milliseconds deviceTimeout{5000};
        // The voice's buffer in the server, and the most that may wait there: a block that
        // would queue more is dropped (about 46 and 93 ms).
        uint32_t feedTargetBytes = 4096;
        uint32_t feedLimitBytes = 8192;
        // Render audio waiting for IOCTL_READ_RENDER; the oldest goes when it is full.
        uint32_t renderBufferBytes = 88200;
    };

    // Brings the virtual microphone and speaker up (or adopts the pair an earlier run left
    // behind), leaving the user's default devices as they were. Null, with a one-line reason
    // in `error`, when no server answers or the devices can't be made.
    static std::unique_ptr<PulseVirtualDevice> bringUp(std::string& error);
    static std::unique_ptr<PulseVirtualDevice> bringUp(const Options& options, std::string& error);

    // Takes the pair down (also one it adopted); bounded even when the server hangs.
    ~PulseVirtualDevice() override;
    PulseVirtualDevice(const PulseVirtualDevice&) = delete;
    PulseVirtualDevice& operator=(const PulseVirtualDevice&) = delete;

    // Capture blocks must hold whole frames. Once the server is gone (or the devices were
    // removed under the program): writes and reads fail, and the state answers 0, since
    // nobody can record from a device that is gone (a short answer would make the watcher
    // ask again at once, without pause).
    bool ioControl(uint32_t code, const void* in, uint32_t inBytes, void* out, uint32_t outBytes,
                   uint32_t* returned) override;

    // The server went away or the devices were removed: nothing works any more.
    bool lost() const override { return lost_.load(); }
    // The pair was left behind by an earlier run and adopted.
    bool adopted() const { return adopted_; }
    // Voice blocks dropped because the server took them slower than they came.
    uint64_t droppedCaptureBlocks() const { return droppedBlocks_.load(); }

  private:
    explicit PulseVirtualDevice(const Options& options);

    struct Defaults {
        std::string sink;
        std::string source;
        std::string server; // the server's name
    };
    // One of the three modules: what to load, and the argument that finds it again.
    struct ModuleSpec {
        const char* module;
        std::string arguments;
        std::string key; // e.g. "sink_name=timbrelo_vspk"
        const char* role;
    };
    // In load order: the remapped source needs the feed's monitor.
    static std::vector<ModuleSpec> moduleSpecs();

    // Bring-up steps, with the connection locked; each returns false with `error` set.
    bool start(std::string& error);
    bool readDefaults(Defaults& defaults, std::string& error);
    bool adoptOrLoadModules(std::string& error);
    bool waitForDevices(std::string& error);
    void restoreDefaults(const Defaults& wanted);
    bool openStreams(std::string& error);
    bool watchState(std::string& error);
    void takeDown();

    // A stream at the device's format on `device` by name; `bytes` is its target buffer
    // (playback) or fragment (record). Null with `error` set when it does not get ready.
    pa_stream* openStream(const char* name, const char* device, bool record, uint32_t bytes,
                          std::string& error);
    void closeStream(pa_stream*& stream);

    // On the event loop.
    static void onStreamState(pa_stream* stream, void* self);
    static void onKeepAliveRequest(pa_stream* stream, size_t bytes, void* self);
    static void onRenderData(pa_stream* stream, size_t bytes, void* self);
    void refreshState();
    static void onSourceOutput(pa_context* context, const pa_source_output_info* info, int eol,
                               void* self);
    void publishState(uint32_t state);
    void markLost();

    bool writeCapture(const void* in, uint32_t bytes);
    // Bytes of voice waiting in the server now (an estimate; connection locked).
    int64_t feedQueued();
    uint32_t readRender(void* out, uint32_t outBytes);
    void pushRender(const uint8_t* data, size_t bytes);
    static void signalEvent(uint32_t id);

    Options options_;
    std::unique_ptr<PulseConnection> connection_;

    // Guarded by the connection's lock.
    pa_context* context_ = nullptr;
    std::vector<uint32_t> modules_; // in load order; unloaded in reverse
    uint32_t microphoneIndex_ = UINT32_MAX;
    uint32_t ownClient_ = UINT32_MAX;
    pa_stream* feed_ = nullptr;
    pa_stream* keepAlive_ = nullptr;
    pa_stream* render_ = nullptr;
    uint32_t recorders_ = 0; // counted while a source-output list arrives
    std::chrono::steady_clock::time_point lastTimingUpdate_{};
    bool adopted_ = false;
    bool onPipeWire_ = false;
    bool feedStarved_ = true; // the feed ran dry (or never ran): the next write leads in

    std::atomic<bool> lost_{false};
    std::atomic<uint32_t> state_{0};
    std::atomic<uint32_t> startEvent_{0};
    std::atomic<uint32_t> stopEvent_{0};
    std::atomic<uint32_t> renderEvent_{0};
    std::atomic<uint64_t> droppedBlocks_{0};

    // Render audio between the event loop and the reader: a ring of whole frames.
    std::mutex renderMutex_;
    std::vector<uint8_t> renderRing_;
    size_t renderHead_ = 0;
    size_t renderFill_ = 0;
};

} // namespace timbrelo
