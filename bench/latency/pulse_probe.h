#pragma once
// The probe's side of the sound server: plays test voices into sinks and records sources
// with timing, all in one process through the PulseAudio client library (which serves
// PipeWire's pulse server too). Each recording keeps timing points (frames read, and the
// read time minus the stream's latency) from which its own clock is rebuilt later.
//
// Every method is called from the probe's main thread; the stream callbacks run on the
// library's mainloop thread and only append to buffers the main thread reads after the
// stream has been stopped.

#include "path_analysis.h"
#include "test_voice.h"

#include <memory>
#include <pulse/pulseaudio.h>
#include <string>
#include <vector>

namespace timbrelo::bench {

// Seconds on the monotonic clock (the clock of every timing point).
double monotonicSeconds();

class PulseProbe {
  public:
    PulseProbe();
    ~PulseProbe();
    PulseProbe(const PulseProbe&) = delete;
    PulseProbe& operator=(const PulseProbe&) = delete;

    // Connects to the server named by the environment; false with `error` set when it fails.
    bool connect(std::string& error);
    // False once the server has gone away.
    bool alive();

    // The sample format of a source or sink; a sink's monitor source name in `monitor`.
    bool sourceSpec(const std::string& source, pa_sample_spec& spec, std::string& error);
    bool sinkSpec(const std::string& sink, pa_sample_spec& spec, std::string& monitor,
                  std::string& error);

    // Starts recording `source` (in its own format, mixed to one channel, 10 ms fragments).
    // Returns the recorder's index, or -1 with `error` set.
    int record(const std::string& source, double reserveSeconds, std::string& error);
    // Starts playing a test voice into `sink` (in the sink's format): `seconds` of it, or
    // without end when 0. `latency` is the stream's target length in seconds. Returns the
    // player's index, or -1 with `error` set.
    int play(const std::string& sink, uint32_t seed, double seconds, double latency,
             std::string& error);
    // True once a player has written all it was asked to.
    bool playerDone(int player);
    // Frames a player has written.
    uint64_t playerFrames(int player);
    // Times a player's sink ran dry before the player was done.
    int playerUnderflows(int player);
    // Stops a stream (callbacks cleared first, then disconnected).
    void stopPlayer(int player);
    void stopRecorder(int recorder);
    // Stops all streams.
    void stopAll();

    // A recorder's data so far. Take it after stopping the recorder.
    const Recording& recording(int recorder);
    // The mean |sample| (fraction of full scale) of a recorder's last `seconds`.
    double recentLevel(int recorder, double seconds);
    // Frames a recorder has received.
    uint64_t recordedFrames(int recorder);

    struct Recorder;
    struct Player;

  private:
    bool waitFor(pa_operation* operation, std::string& error);
    bool waitReady(pa_stream* stream, std::string& error);

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    std::vector<std::unique_ptr<Recorder>> recorders_;
    std::vector<std::unique_ptr<Player>> players_;
};

} // namespace timbrelo::bench
