#include "audio/capture_engine.h"
#include "platform/messages.h"
#include "platform/wave/sim_audio_backend.h"
#include "support/capture_fixtures.h"

#include <gtest/gtest.h>
#include <thread>

using namespace timbrelo;
using namespace timbrelo::test;
using namespace std::chrono_literals;

namespace {

TEST(CaptureDeviceLossTest, AVanishedDeviceIsReportedOnceAndCaptureCanStartAgain) {
    SimAudioBackend backend;
    const uint32_t mic =
        backend.addInputDevice("Mic", std::make_shared<ToneSource>(440, 0.5, 0), Pacing::RealTime);
    MessageCapture messages;
    CollectingDevice link;
    CaptureEngine::Options options;
    options.stopGrace = 20ms;
    CaptureEngine engine(backend, options);
    engine.setLinkHandle(&link);
    ASSERT_EQ(engine.selectDevice(mic, 2048), 1);
    ASSERT_EQ(engine.start(1, 22050, 16), 1);
    ASSERT_TRUE(link.waitFor(8192));

    backend.loseDevices(MMSYSERR_NODRIVER);
    for (int i = 0; i < 500 && engine.state() != CaptureState::Stopping; ++i) {
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(engine.state(), CaptureState::Stopping);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(messages.messages(),
              std::vector<std::string>{"WAVEIN:6:The device is gone. Capture stopped."});
    const size_t delivered = link.size();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(link.size(), delivered);

    const auto start = std::chrono::steady_clock::now();
    engine.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_EQ(engine.state(), CaptureState::Ready);
    EXPECT_EQ(backend.openInputCount(), 0);

    link.clear();
    ASSERT_EQ(engine.start(1, 22050, 16), 1);
    EXPECT_TRUE(link.waitFor(8192));
    engine.stop();
    EXPECT_EQ(messages.messages().size(), 1u);
}

} // namespace
