#pragma once
// Background music under the voice: a WAV or MP3 file played in an endless loop, brought to
// the chain's rate and crossfaded with every buffer at one level.
//
// Threads. `openFile`, `stop` and `setParameter` run on the user-interface thread, `process`
// on the processing thread, and the file is read, decoded and converted ahead on a reader
// thread of the effect's own. The reader fills one of two lock-free rings; a new file is read
// into the ring the processing thread is not using and handed over through an atomic mailbox,
// which the processing thread empties at the start of a buffer. So the processing thread never
// waits for a file, a lock or the reader, and a ring is only ever written by the reader while
// the processing thread cannot reach it (or, once handed over, as its single producer).

#include "effects/background_control.h"
#include "effects/effect.h"
#include "effects/music_reader.h"
#include "effects/stereo_ring.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace timbrelo {

class BackgroundEffect final : public Effect, public BackgroundControl {
  public:
    static constexpr size_t kOutSamples = 2048; // 4096 bytes
    static constexpr float kDefaultLevel = 0.4f;
    // Music read ahead per ring: about 1.5 s at 22050 Hz.
    static constexpr uint32_t kRingFrames = 32768;
    // A new file is handed over once this much of it is ready (or all there is).
    static constexpr uint32_t kPrefillFrames = 8192;

    BackgroundEffect();
    ~BackgroundEffect() override;

    // Every kind but -2 sets the level (the music's share of the mix); a value that is not a
    // finite number is ignored. The level never switches the effect on or off.
    void setParameter(float value, int32_t kind) override;
    // The chain's format. Called before processing starts.
    void setInputFormat(uint32_t rate, uint32_t bits, uint32_t channels) override;
    // Mixes the music under `frames` frames of voice (one or two channels).
    int32_t process(const int16_t* samples, uint32_t frames) override;

    // 1 when the file is taken; 0 for a null path or a file that can't play (see
    // openMusicFile, which says why): nothing changes then. Checks the file here, so it reads
    // (up to 16 MiB of a damaged MP3 file). User-interface thread.
    int32_t openFile(const char* path) override;
    void stop() override;

    float level() const { return level_.load(std::memory_order_relaxed); }
    // Any name that does not end in ".wav" (in any case) is read as MP3.
    static bool isMp3Name(const std::string& path);
    // On the processing thread: music frames ready for the next process call.
    uint32_t bufferedFrames() const;

    // For a file processed faster than real time: process waits (briefly, and only until the
    // reader once fails to catch up with a file) for the music instead of playing silence
    // where the reader has not caught up. Never on a real-time path.
    void setWaitForMusic(bool wait) { waitForMusic_.store(wait, std::memory_order_relaxed); }

  private:
    struct Command;
    static constexpr int kNoRing = -1;

    void post(Command command);
    void run();
    void handle(Command& command);
    // Takes back a ring offered but not yet taken; afterwards the worker knows which ring
    // the processing thread reads.
    void retract();
    // Produces music into the current ring; false when nothing could be done now.
    bool pump();

    std::atomic<float> level_{kDefaultLevel};
    // What the user last asked for; a ring plays only while it holds that generation.
    std::atomic<uint32_t> wanted_{0};
    std::array<std::unique_ptr<StereoRing>, 2> rings_;
    std::array<std::atomic<uint32_t>, 2> ringGeneration_{};
    std::atomic<int> offer_{kNoRing};

    void waitForMusic(uint32_t frames);

    std::atomic<bool> waitForMusic_{false};
    std::atomic<bool> hungry_{false}; // the processing thread waits for music

    // Processing thread only.
    int playing_ = kNoRing;
    uint32_t gaveUpWaiting_ = UINT32_MAX; // the generation the reader could not keep up with
    std::unique_ptr<int16_t[]> music_;

    // User-interface thread only.
    std::string fileName_;
    bool started_ = false;

    // Shared by the user-interface thread and the reader thread.
    std::mutex mutex_;
    std::condition_variable wake_;
    std::unique_ptr<Command> command_; // the latest request the reader has not taken yet
    bool quit_ = false;
    AudioFormat chain_{22050, 16, 2};

    // Reader thread only.
    std::unique_ptr<MusicReader> reader_;
    int producing_ = kNoRing;
    int audioRing_ = kNoRing;
    int offered_ = kNoRing;
    bool handedOver_ = false;
    bool exhausted_ = false;

    std::thread thread_;
};

} // namespace timbrelo
