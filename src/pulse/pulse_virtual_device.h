#pragma once
// The virtual device on the sound server (PulseAudio, or PipeWire through its pulse protocol
// server): the virtual microphone and speaker of VirtualPairModules and two streams.
//
// - The voice: a playback stream into the microphone's feed that runs for as long as the
//   device lives and takes its audio from a jitter buffer on the server's own request, on
//   the event loop thread; silence between voices. So the capture thread never takes the
//   event loop's lock, the server never runs dry while a voice plays, and the feed sink never
//   falls idle (a new recorder of an idle null sink's monitor would wait about two seconds).
// - The render side: a record stream of the speaker's monitor; what programs play there
//   (pure silence is not passed on) waits in a ring for the render reader.
// - "In use": another program records from the virtual microphone, not corked and not a
//   level meter; kept up to date from the server's events, so asking never waits.
//
// Buffer sizes (measured on PulseAudio 16 and PipeWire 0.3.65, see docs/design.md): the
// voice stream asks for kFeedPeriodFrames at a time and keeps two periods in the server, one
// more each time the server runs short while a voice plays (up to kMaxFeedPeriods, given back
// one by one after kCalmFeedFrames without running short); the render stream delivers
// fragments of kRenderFragmentFrames.
//
// Threads: as VirtualDevice states. The listener is called on the event loop thread.

#include "platform/audio_io/jitter_buffer.h"
#include "platform/vdev/virtual_device.h"
#include "pulse/virtual_pair_modules.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
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
    static constexpr uint32_t kFeedPeriodFrames = 128;     // about 6 ms
    static constexpr uint32_t kRenderFragmentFrames = 256; // about 12 ms
    static constexpr uint32_t kMaxFeedPeriods = 6;
    // Fed without the server running short for this long (30 s), a period taken on is given
    // back; while it stays calm, the next ones every kFeedGiveBackFrames (about 1 ms of delay
    // a second, as the voice buffer gives back its margin).
    static constexpr uint32_t kCalmFeedFrames = 30 * kPipelineFormat.rate;
    static constexpr uint32_t kFeedGiveBackFrames = 6 * kPipelineFormat.rate;

    struct Options {
        std::chrono::milliseconds connectTimeout{2000};
        // Each request to the server; also bounds every step of the tear-down.
        std::chrono::milliseconds operationTimeout{1500};
        // How long the server may take to show a loaded module's device.
        std::chrono::milliseconds deviceTimeout{5000};
        // The voice stream's request size, how many requests' worth the server holds at
        // first (more after it runs short), and the voice's jitter margin, in frames.
        uint32_t feedPeriodFrames = kFeedPeriodFrames;
        uint32_t feedPeriods = 2;
        uint32_t voiceMarginFrames = 110;
        // Render audio waiting for the reader; the oldest goes when it is full.
        uint32_t renderBufferFrames = 22050;
    };

    // Brings the virtual microphone and speaker up (or adopts the pair an earlier run left
    // behind). Loading modules may move the server's defaults: whoever owns the user's
    // defaults remembers them first. Null, with a one-line reason
    // in `error`, when no server answers or the devices can't be made. Control thread.
    static std::unique_ptr<PulseVirtualDevice> bringUp(std::string& error);
    static std::unique_ptr<PulseVirtualDevice> bringUp(const Options& options, std::string& error);

    // Takes the pair down (also one it adopted); bounded even when the server hangs.
    ~PulseVirtualDevice() override;
    PulseVirtualDevice(const PulseVirtualDevice&) = delete;
    PulseVirtualDevice& operator=(const PulseVirtualDevice&) = delete;

    void beginVoice(uint32_t burstFrames) override;
    void setVoiceBurst(uint32_t burstFrames) override;
    void writeVoice(std::span<const int16_t> samples) override;
    void endVoice() override;
    uint32_t readRender(std::span<int16_t> samples, std::chrono::milliseconds wait) override;
    void interruptRender() override;
    uint32_t renderBurstFrames() const override {
        return renderBurst_.load(std::memory_order_relaxed);
    }
    bool clientRecording() const override;
    void setListener(VirtualDeviceListener* listener) override;
    bool lost() const override { return lost_.load(); }
    JitterBuffer::Stats voiceStats() const override { return voice_.stats(); }
    uint32_t voiceDelayFrames() const override;
    uint64_t serverUnderruns() const override { return serverUnderruns_.load(); }

    // The pair was left behind by an earlier run and adopted.
    bool adopted() const { return adopted_; }

  private:
    explicit PulseVirtualDevice(const Options& options);

    bool start(std::string& error);
    pa_stream* openStream(const char* name, const char* device, bool record, uint32_t frames,
                          std::string& error);
    void closeStream(pa_stream*& stream);
    bool openStreams(std::string& error);
    bool watchState(std::string& error);
    void takeDown();

    // On the event loop.
    static void onStreamState(pa_stream* stream, void* self);
    static void onVoiceRequest(pa_stream* stream, size_t bytes, void* self);
    static void onVoiceUnderflow(pa_stream* stream, void* self);
    // The event loop's: counts frames fed in calm, and sets how many periods the server holds.
    void afterCalmFeed(pa_stream* stream, uint32_t frames);
    void setFeedPeriods(pa_stream* stream, uint32_t periods);
    static void onRenderData(pa_stream* stream, size_t bytes, void* self);
    void refreshState();
    static void onSourceOutput(pa_context* context, const pa_source_output_info* info, int eol,
                               void* self);
    void publishState(bool recording);
    void markLost();
    void notifyListener();
    void pushRender(const uint8_t* data, size_t bytes);

    Options options_;
    std::unique_ptr<PulseConnection> connection_;
    JitterBuffer voice_;

    // Guarded by the connection's lock.
    pa_context* context_ = nullptr;
    std::unique_ptr<VirtualPairModules> modules_;
    uint32_t ownClient_ = UINT32_MAX;
    pa_stream* feed_ = nullptr;
    pa_stream* render_ = nullptr;
    uint32_t recorders_ = 0; // counted while a source-output list arrives
    bool adopted_ = false;
    bool onPipeWire_ = false;

    std::atomic<bool> lost_{false};
    std::atomic<bool> recording_{false};
    std::atomic<uint32_t> serverQueuedFrames_{0};
    // The largest render delivery so far: the fragment agreed, or more when the server sends
    // several at once (PipeWire delivers in steps of its own period).
    std::atomic<uint32_t> renderBurst_{kRenderFragmentFrames};
    std::atomic<uint64_t> serverUnderruns_{0};
    uint32_t feedPeriods_ = 2; // the event loop's
    uint32_t calmFrames_ = 0;  // fed since the server last ran short; the event loop's
    std::mutex listenerMutex_;
    VirtualDeviceListener* listener_ = nullptr;

    // Render audio between the event loop and the reader: a ring of whole frames.
    std::mutex renderMutex_;
    std::condition_variable renderArrived_;
    std::vector<int16_t> renderRing_;
    size_t renderHead_ = 0; // in samples
    size_t renderFill_ = 0;
    bool renderInterrupted_ = false;
};

} // namespace timbrelo
