// The headless runner's remote-control calls on its main thread while the link's watcher
// re-applies the voice at capture starts and stops: the voice, the preset memory and the
// recording name they share stay whole (ThreadSanitizer watches the rest).

#include "cli/headless_runner.h"
#include "sim/sim_audio_backend.h"

#include <gtest/gtest.h>
#include <thread>

using namespace timbrelo;
using namespace timbrelo::cli;

namespace {

TEST(HeadlessRunnerThreads, ControlCallsAndCaptureStartsShareTheVoice) {
    SimAudioBackend backend;
    RunOptions options;
    options.voice.preset = ID_MALE_TO_FEMALE_SWEET;
    HeadlessRunner runner(options);
    VoiceChangerSession session(backend, runner);
    runner.attach(session);
    EXPECT_EQ(runner.status().preset, ID_MALE_TO_FEMALE_SWEET);
    EXPECT_FALSE(runner.status().capturing);

    std::thread watcher([&] {
        for (int i = 0; i < 400; ++i) {
            if (i % 40 == 0) { // each says so on standard output
                runner.setRecordAndPlayEnabled(i % 80 == 0);
            }
            runner.reissueCurrentPreset();
        }
    });
    for (int i = 0; i < 300; ++i) {
        switch (i % 4) {
        case 0:
            runner.choosePreset(ID_MICKEY);
            break;
        case 1:
            runner.setPitch(150 + i % 50);
            break;
        case 2:
            runner.setSemitones(i % 24 - 12);
            break;
        default:
            runner.setEffects(i % 8 == 3);
            break;
        }
        (void)runner.status();
    }
    watcher.join();

    // The last calls hold: effects back on, then a slider, then the timbre beside it.
    runner.setEffects(true);
    runner.choosePreset(ID_MALE_TO_FEMALE_SWEET);
    runner.setTimbre(200);
    const control::ControlStatus s = runner.status();
    EXPECT_EQ(s.preset, kNoPreset);
    EXPECT_TRUE(s.effectsOn);
    // Nobody listens: recording and music are refused with the reason, the window calls too.
    runner.setRecordAndPlayEnabled(false);
    for (auto call : {+[](HeadlessRunner& r) { r.startRecording("/tmp/x.wav", kEffectSlot); },
                      +[](HeadlessRunner& r) { r.playMusic("/tmp/x.wav", 0.5f); },
                      +[](HeadlessRunner& r) { r.showWindow(true); }}) {
        try {
            call(runner);
            ADD_FAILURE() << "taken";
        } catch (const control::ControlError& e) {
            EXPECT_TRUE(e.name == control::kErrorNotCapturing || e.name == control::kErrorNoWindow)
                << e.name;
        }
    }
    runner.quit();
    EXPECT_TRUE(runner.quitAsked());
}

} // namespace
