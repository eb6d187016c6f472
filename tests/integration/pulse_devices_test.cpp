// The sound-server back end's device lists and default devices, and the preferred-device
// switch, against a private server.
#include "audio/device_enumeration.h"
#include "platform/debug.h"
#include "platform/settings.h"
#include "platform/wave/pulse_audio_backend.h"
#include "support/sound_server.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <gtest/gtest.h>

using namespace timbrelo;
using namespace timbrelo::test;

namespace {

class PulseDevicesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_SOUND_SERVER();
        ASSERT_EQ(backend.connect(), MMSYSERR_NOERROR);
    }

    static std::vector<std::string>
    descriptions(const std::vector<PulseAudioBackend::DeviceInfo>& d) {
        std::vector<std::string> out;
        for (const auto& device : d) {
            out.push_back(device.description);
        }
        return out;
    }

    // Each test sets the defaults it relies on: loading modules moves them on some servers.
    PulseAudioBackend backend;
    ModuleSet modules;
};

TEST_F(PulseDevicesTest, ListsRealDevicesByDescriptionButNoMonitorsOrInternalHelpers) {
    ASSERT_TRUE(modules.microphone("timbrelo_test_mic", "Test Microphone"));
    ASSERT_TRUE(modules.nullSink("timbrelo_test_speakers",
                                 "Test Speakers with a description longer than the limit"));
    ASSERT_TRUE(modules.nullSink("timbrelo_test_helper", "Hidden Helper", "timbrelo.internal=1"));
    ASSERT_TRUE(
        modules.microphone("timbrelo_test_helper_mic", "Hidden Helper Mic", "timbrelo.internal=1"));

    std::vector<PulseAudioBackend::DeviceInfo> inputs;
    std::vector<PulseAudioBackend::DeviceInfo> outputs;
    ASSERT_EQ(backend.listInputs(inputs), MMSYSERR_NOERROR);
    ASSERT_EQ(backend.listOutputs(outputs), MMSYSERR_NOERROR);

    const auto in = descriptions(inputs);
    const auto out = descriptions(outputs);
    EXPECT_NE(std::find(in.begin(), in.end(), "Test Microphone"), in.end());
    EXPECT_EQ(std::find(in.begin(), in.end(), "Hidden Helper Mic"), in.end());
    EXPECT_EQ(std::find(out.begin(), out.end(), "Hidden Helper"), out.end());
    for (const auto& device : inputs) {
        EXPECT_EQ(device.name.find(".monitor"), std::string::npos) << device.name;
    }
    for (size_t i = 1; i < inputs.size(); ++i) {
        EXPECT_LT(inputs[i - 1].serverIndex, inputs[i].serverIndex);
    }

    // The numbered view the pipeline uses: product names cut to 31 characters.
    ASSERT_EQ(backend.inputDeviceCount(), inputs.size());
    ASSERT_EQ(backend.outputDeviceCount(), outputs.size());
    const int32_t speakers = findOutputDevice(backend, "Test Speakers");
    ASSERT_GE(speakers, 0);
    EXPECT_EQ(backend.outputDeviceName(speakers), "Test Speakers with a descriptio");
    const int32_t mic = findInputDevice(backend, "Test Microphone");
    ASSERT_GE(mic, 0);
    EXPECT_EQ(inputs[mic].name, "timbrelo_test_mic");
    EXPECT_EQ(backend.inputDeviceName(static_cast<uint32_t>(inputs.size())), "");
}

TEST_F(PulseDevicesTest, ReadsSetsAndRestoresTheDefaultDevices) {
    ASSERT_TRUE(modules.microphone("timbrelo_test_mic", "Test Microphone"));
    ASSERT_TRUE(modules.nullSink("timbrelo_test_speakers", "Test Speakers"));
    ASSERT_TRUE(modules.nullSink("timbrelo_test_other", "Other Speakers"));
    ASSERT_TRUE(setDefaultDevice("sink", "timbrelo_test_other"));
    const auto mic = static_cast<uint32_t>(findInputDevice(backend, "Test Microphone"));
    const auto speakers = static_cast<uint32_t>(findOutputDevice(backend, "Test Speakers"));

    uint32_t before = kWaveMapper;
    ASSERT_EQ(backend.getPreferredOutput(before), MMSYSERR_NOERROR);
    EXPECT_EQ(before, static_cast<uint32_t>(findOutputDevice(backend, "Other Speakers")));
    ASSERT_EQ(backend.setPreferredOutput(speakers), MMSYSERR_NOERROR);
    EXPECT_EQ(settledDefault("sink", "timbrelo_test_speakers"), "timbrelo_test_speakers");
    uint32_t now = kWaveMapper;
    ASSERT_EQ(backend.getPreferredOutput(now), MMSYSERR_NOERROR);
    EXPECT_EQ(now, speakers);
    ASSERT_EQ(backend.setPreferredOutput(before), MMSYSERR_NOERROR);
    settledDefault("sink", "timbrelo_test_other");
    ASSERT_EQ(backend.getPreferredOutput(now), MMSYSERR_NOERROR);
    EXPECT_EQ(now, before);

    ASSERT_EQ(backend.setPreferredInput(mic), MMSYSERR_NOERROR);
    EXPECT_EQ(settledDefault("source", "timbrelo_test_mic"), "timbrelo_test_mic");
    ASSERT_EQ(backend.getPreferredInput(now), MMSYSERR_NOERROR);
    EXPECT_EQ(now, mic);

    EXPECT_EQ(backend.setPreferredInput(backend.inputDeviceCount()), MMSYSERR_BADDEVICEID);
    // A monitor as the default source is none of the listed devices.
    ASSERT_TRUE(setDefaultDevice("source", "timbrelo_test_speakers.monitor"));
    EXPECT_EQ(backend.getPreferredInput(now), kPulseNoDefaultDevice);
}

TEST_F(PulseDevicesTest, SwitchingMovesTheDefaultsToTheTimbreloPairAndBack) {
    TempDir config;
    ScopedEnv home("XDG_CONFIG_HOME", config.path());
    std::string folder;
    ASSERT_GE(ensureDataFolder(folder), 0);
    writeFile(folder + "cfg", "cartoon 1.5\n");

    ASSERT_TRUE(modules.microphone("timbrelo_test_mic", "Test Microphone"));
    ASSERT_TRUE(modules.microphone("timbrelo_test_vmic", "Timbrelo Virtual Microphone"));
    ASSERT_TRUE(modules.nullSink("timbrelo_test_speakers", "Test Speakers"));
    ASSERT_TRUE(modules.nullSink("timbrelo_test_vspk", "Timbrelo Virtual Speaker"));
    ASSERT_TRUE(modules.nullSink("timbrelo_test_other", "Other Speakers"));
    ASSERT_TRUE(setDefaultDevice("sink", "timbrelo_test_speakers"));
    ASSERT_TRUE(setDefaultDevice("source", "timbrelo_test_mic"));

    DebugCapture debug;
    ASSERT_EQ(switchPreferredDevices(backend, 1), 0);
    EXPECT_EQ(settledDefault("sink", "timbrelo_test_vspk"), "timbrelo_test_vspk");
    EXPECT_EQ(settledDefault("source", "timbrelo_test_vmic"), "timbrelo_test_vmic");
    std::string value;
    getSetting(kOldPlayDefaultKey, value);
    EXPECT_EQ(value, "Test Speakers");
    getSetting(kOldRecDefaultKey, value);
    EXPECT_EQ(value, "Test Microphone");
    getSetting(kNeedRestoreDevKey, value);
    EXPECT_EQ(value, "1");
    EXPECT_TRUE(debug.contains("Set default waveoutSet default waveout OK"));
    EXPECT_TRUE(debug.contains("Set default waveinSet default wavein OK"));

    // A second start before any restore keeps the user's devices, not the virtual ones.
    ASSERT_TRUE(setDefaultDevice("sink", "timbrelo_test_other"));
    ASSERT_EQ(switchPreferredDevices(backend, 1), 0);
    getSetting(kOldPlayDefaultKey, value);
    EXPECT_EQ(value, "Test Speakers");

    ASSERT_EQ(switchPreferredDevices(backend, 0), 0);
    EXPECT_EQ(settledDefault("sink", "timbrelo_test_speakers"), "timbrelo_test_speakers");
    EXPECT_EQ(settledDefault("source", "timbrelo_test_mic"), "timbrelo_test_mic");
    getSetting(kNeedRestoreDevKey, value);
    EXPECT_EQ(value, "0");
}

} // namespace
