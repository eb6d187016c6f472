// The choice of sound system, and the sound-server back end with no server to talk to.
#include "cli/backend_choice.h"
#include "pulse/pulse_audio_backend.h"
#include "pulse/pulse_connection.h"
#include "sim/sim_audio_backend.h"
#include "sim/sim_virtual_device.h"
#include "support/temp_dir.h"

#include <chrono>
#include <gtest/gtest.h>

using namespace timbrelo;
using namespace timbrelo::test;
using Clock = std::chrono::steady_clock;

namespace {

// Every test here runs with no sound server: the address points nowhere.
class NoServerTest : public ::testing::Test {
  protected:
    TempDir dir;
    ScopedEnv server{"PULSE_SERVER", "unix:" + dir.file("no-server")};
    ScopedEnv cookie{"PULSE_COOKIE", dir.file("cookie")};
    ScopedEnv choice{"TIMBRELO_AUDIO", std::nullopt};
};

TEST_F(NoServerTest, ChoosesTheBackEndByNameOrByWhatAnswers) {
    const auto start = Clock::now();
    auto automatic = createAudioBackend("");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    auto* sim = dynamic_cast<SimAudioBackend*>(automatic.get());
    ASSERT_NE(sim, nullptr);
    // A microphone and speakers, and the simulated virtual pair.
    EXPECT_EQ(sim->inputDeviceCount(), 2u);
    EXPECT_EQ(sim->outputDeviceCount(), 2u);

    EXPECT_NE(dynamic_cast<PulseAudioBackend*>(createAudioBackend("pulse").get()), nullptr);
    EXPECT_NE(dynamic_cast<SimAudioBackend*>(createAudioBackend("sim").get()), nullptr);
    EXPECT_EQ(createAudioBackend("alsa"), nullptr);

    {
        ScopedEnv env("TIMBRELO_AUDIO", "pulse");
        EXPECT_NE(dynamic_cast<PulseAudioBackend*>(createAudioBackend("").get()), nullptr);
    }
    ScopedEnv env("TIMBRELO_AUDIO", "nonsense");
    EXPECT_EQ(createAudioBackend(""), nullptr);
}

TEST_F(NoServerTest, EveryOperationSaysTheServerIsNotRunningAndTheVirtualDeviceSaysWhyNot) {
    PulseAudioBackend backend;
    EXPECT_EQ(backend.connect(), AudioResult::NotRunning);
    EXPECT_EQ(backend.inputDeviceCount(), 0u);
    EXPECT_EQ(backend.outputDeviceCount(), 0u);
    EXPECT_EQ(backend.inputDeviceName(0), "");
    uint32_t index = 7;
    EXPECT_EQ(backend.defaultInput(index), AudioResult::NotRunning);
    EXPECT_EQ(backend.setDefaultOutput(0), AudioResult::NotRunning);
    EXPECT_EQ(index, 7u);

    struct Ignore : CaptureSink {
        void onCaptured(std::span<const int16_t>) override {}
        void onCaptureEnded(AudioResult) override {}
    } ignore;
    std::unique_ptr<CaptureStream> stream;
    EXPECT_EQ(backend.openCapture(kDefaultDevice, kPipelineFormat, 512, ignore, stream),
              AudioResult::NotRunning);
    EXPECT_EQ(stream, nullptr);

    // The virtual device opens by sound system, or says why not.
    std::string error;
    EXPECT_NE(dynamic_cast<SimVirtualDevice*>(openVirtualDevice("sim", error).get()), nullptr);
    const auto start = Clock::now();
    EXPECT_EQ(openVirtualDevice("pulse", error), nullptr);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(error, "No sound server answers: The sound server is not running.");
    EXPECT_EQ(openVirtualDevice("alsa", error), nullptr);
    EXPECT_EQ(error, "Unknown virtual device \"alsa\" (choose one of pulse, sim).");
}

TEST(AudioResultTextTest, SaysWhatHappenedInAtMostAHundredCharacters) {
    EXPECT_EQ(audioResultText(AudioResult::NotRunning), "The sound server is not running.");
    EXPECT_EQ(audioResultText(AudioResult::DeviceGone), "The device is gone.");
    EXPECT_EQ(audioResultText(AudioResult::ServerTimeout),
              "The sound server did not answer in time.");
    EXPECT_EQ(audioResultText(serverError(1)), "Sound server error: Access denied.");
    EXPECT_EQ(audioResultText(serverError(99)), "Unknown error.");
    EXPECT_EQ(pulseResult(5 /* no such entity */), AudioResult::DeviceGone);
    for (AudioResult r : {serverError(1), serverError(26), AudioResult::NoDefaultDevice}) {
        EXPECT_LE(audioResultText(r).size(), 100u);
    }
}

TEST(ProductNameTest, CutsDescriptionsToThirtyOneBytesWithoutSplittingACharacter) {
    EXPECT_EQ(productNameOf("Built-in Audio Analog Stereo"), "Built-in Audio Analog Stereo");
    EXPECT_EQ(productNameOf("Built-in Audio Analog Stereo Output"),
              "Built-in Audio Analog Stereo Ou");
    // "é" takes two bytes; the cut may not leave half of it.
    const std::string name = "Haut-parleurs intégrés de l’écran";
    const std::string cut = productNameOf(name);
    EXPECT_LE(cut.size(), 31u);
    EXPECT_EQ(name.rfind(cut, 0), 0u);
    EXPECT_NE(static_cast<unsigned char>(name[cut.size()]) & 0xC0, 0x80);
}

} // namespace
