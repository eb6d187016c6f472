// Files are opened and stopped on one thread while others process buffers, as the user
// interface and the capture thread do; two effects decode at once, sharing the process-wide
// decoder list and dither state.

#include "effects/background_effect.h"
#include "support/audio_files.h"
#include "support/signals.h"
#include "support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

using namespace timbrelo;
using namespace timbrelo::test;
using namespace std::chrono_literals;

namespace {

// Processes buffers until told to stop; remembers the last output sample.
class ProcessingThread {
  public:
    explicit ProcessingThread(BackgroundEffect& effect)
        : thread_([this, &effect] {
              const std::vector<int16_t> voice(1024, 0);
              while (!done_.load()) {
                  if (effect.process(voice.data(), 512) == 0) {
                      last_.store(effect.outBuffer()[1023]);
                      ++buffers_;
                  }
                  std::this_thread::sleep_for(200us);
              }
          }) {}
    ~ProcessingThread() {
        done_.store(true);
        thread_.join();
    }
    int last() const { return last_.load(); }
    int buffers() const { return buffers_.load(); }

  private:
    std::atomic<bool> done_{false};
    std::atomic<int> last_{0};
    std::atomic<int> buffers_{0};
    std::thread thread_;
};

TEST(BackgroundEffectThreads, FilesOpenAndStopWhileTheEffectProcesses) {
    TempDir dir;
    ScopedEnv tmp("TMPDIR", dir.path());
    ScopedEnv xdg("XDG_CONFIG_HOME", dir.path());
    writeWav(dir.file("steady.wav"), std::vector<int16_t>(4000, 3000), 22050, 2);
    writeWav(dir.file("mono.wav"), makeTone(300, 0.3, 44100, 1), 44100, 1);
    writeMp3(dir.file("tone.mp3"), makeTone(440, 0.3, 44100, 2), 44100, 2);
    writeMp3(dir.file("low.mp3"), makeTone(220, 0.2, 22050, 1), 22050, 1);
    const std::vector<std::string> files = {dir.file("tone.mp3"),    dir.file("steady.wav"),
                                            dir.file("missing.wav"), dir.file("low.mp3"),
                                            dir.file("mono.wav"),    dir.path()};

    BackgroundEffect other;
    other.setInputFormat(22050, 16, 2);
    ASSERT_EQ(other.openFile(dir.file("low.mp3").c_str()), 1);
    ProcessingThread otherThread(other);

    BackgroundEffect effect;
    effect.setInputFormat(22050, 16, 2);
    {
        ProcessingThread processing(effect);
        for (int round = 0; round < 60; ++round) {
            effect.setParameter(0.1f * (round % 10), 0);
            effect.openFile(files[round % files.size()].c_str());
            std::this_thread::sleep_for(std::chrono::microseconds(round % 7 * 700));
            if (round % 4 == 0) {
                effect.stop();
            }
            if (round % 9 == 0) {
                other.openFile(files[round % 2 == 0 ? 0 : 3].c_str());
            }
        }
        // The last file wins: its music alone comes out.
        effect.setParameter(1.0f, 0);
        ASSERT_EQ(effect.openFile(dir.file("steady.wav").c_str()), 1);
        for (int i = 0; i < 5000 && processing.last() != 3000; ++i) {
            std::this_thread::sleep_for(1ms);
        }
        EXPECT_EQ(processing.last(), 3000);
        EXPECT_GT(processing.buffers(), 0);
    }
    // Destroyed while its reader may still be busy.
    other.openFile(dir.file("tone.mp3").c_str());
}

} // namespace
