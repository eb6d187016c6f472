#include "audio/device_enumeration.h"
#include "platform/debug.h"
#include "platform/settings.h"
#include "sim/sim_audio_backend.h"
#include "support/temp_dir.h"
#include "support/user_devices.h"

#include <gtest/gtest.h>

using namespace timbrelo;
using namespace timbrelo::test;

namespace {

class DeviceEnumerationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string folder;
        ASSERT_GE(ensureDataFolder(folder), 0);
        writeFile(folder + "cfg", "cartoon 1.5\npsola 1.0\n");
    }

    // Two real devices and the virtual device's side in each direction.
    void addDevices() {
        for (const char* name :
             {"Built-in Microphone", "Timbrelo Virtual Microphone", "USB Headset"}) {
            backend.addInputDevice(name, nullptr);
        }
        for (const char* name : {"Built-in Speakers", "USB Headset", "Timbrelo Virtual Speaker"}) {
            backend.addOutputDevice(name);
        }
        backend.setDefaultInput(2);
        backend.setDefaultOutput(1);
    }

    TempDir config;
    ScopedEnv home{"XDG_CONFIG_HOME", config.path()};
    SimAudioBackend backend;
    DebugCapture debug;
};

TEST_F(DeviceEnumerationTest, FindsTheFirstDeviceWhoseNameContainsTheText) {
    EXPECT_EQ(findInputDevice(backend, ""), -1); // no devices at all
    addDevices();
    backend.addOutputDevice("A name much longer than thirty-one characters");
    EXPECT_EQ(findInputDevice(backend, "Timbrelo"), 1);
    EXPECT_EQ(findOutputDevice(backend, "Timbrelo"), 2);
    EXPECT_EQ(findOutputDevice(backend, "USB"), 1);
    EXPECT_EQ(findOutputDevice(backend, "usb"), -1); // case-sensitive
    EXPECT_EQ(findInputDevice(backend, ""), 0);
    EXPECT_EQ(findInputDevice(backend, "Nothing like it"), -1);
    EXPECT_EQ(outputDeviceName(backend, 3), "A name much longer than thirty-");
    EXPECT_EQ(findOutputDevice(backend, outputDeviceName(backend, 3)), 3);
    EXPECT_EQ(inputDeviceName(backend, 3), "");
    EXPECT_EQ(inputDeviceCount(backend), 3u);
    EXPECT_EQ(outputDeviceCount(backend), 4u);
}

TEST_F(DeviceEnumerationTest, SwitchingRemembersTheUsersDevicesAndBringsBackThoseStillThere) {
    addDevices();
    ASSERT_EQ(switchPreferredDevices(backend, 1), 0);
    EXPECT_EQ(backend.currentDefaultOutput(), 2u);
    EXPECT_EQ(backend.currentDefaultInput(), 1u);
    EXPECT_EQ(storedSetting(kOldPlayDefaultKey), "USB Headset");
    EXPECT_EQ(storedSetting(kOldRecDefaultKey), "USB Headset");
    EXPECT_EQ(storedSetting(kNeedRestoreDevKey), "1");

    // A run that ended without restoring: the next start keeps the saved names.
    ASSERT_EQ(switchPreferredDevices(backend, 1), 0);
    EXPECT_EQ(storedSetting(kOldPlayDefaultKey), "USB Headset");
    EXPECT_EQ(storedSetting(kOldRecDefaultKey), "USB Headset");

    ASSERT_EQ(switchPreferredDevices(backend, 0), 0);
    EXPECT_EQ(backend.currentDefaultOutput(), 1u);
    EXPECT_EQ(backend.currentDefaultInput(), 2u);
    EXPECT_EQ(storedSetting(kNeedRestoreDevKey), "0");
    // The effect lines pass through untouched.
    std::string folder;
    ensureDataFolder(folder);
    EXPECT_EQ(readFile(folder + "cfg").rfind("cartoon 1.5\npsola 1.0\n", 0), 0u);

    // A remembered device that is gone is skipped; an empty name picks device 0.
    setSetting(kOldPlayDefaultKey, "Unplugged Speakers");
    setSetting(kOldRecDefaultKey, "");
    setSetting(kNeedRestoreDevKey, "1");
    ASSERT_EQ(switchPreferredDevices(backend, 0), 0);
    EXPECT_EQ(backend.currentDefaultOutput(), 1u); // unchanged
    EXPECT_EQ(backend.currentDefaultInput(), 0u);
    EXPECT_EQ(storedSetting(kNeedRestoreDevKey), "0");
}

TEST_F(DeviceEnumerationTest, WithoutAVirtualDeviceOnlyTheNamesAreRemembered) {
    backend.addInputDevice("Built-in Microphone", nullptr);
    backend.addOutputDevice("Built-in Speakers");
    backend.addOutputDevice("USB Headset");
    backend.setDefaultOutput(1);
    ASSERT_EQ(switchPreferredDevices(backend, 1), 0);
    EXPECT_EQ(backend.currentDefaultOutput(), 1u);
    EXPECT_EQ(storedSetting(kOldPlayDefaultKey), "USB Headset");
    EXPECT_EQ(storedSetting(kOldRecDefaultKey), "Built-in Microphone");
    EXPECT_EQ(storedSetting(kNeedRestoreDevKey), "1");
    EXPECT_EQ(debug.text(), "");
}

TEST_F(DeviceEnumerationTest, FailingQueriesAndSetsEndTheSwitch) {
    addDevices();
    // The playback query fails: -1, nothing saved.
    backend.injectFailure(SimOp::GetDefaultOutput, AudioResult::Error);
    EXPECT_EQ(switchPreferredDevices(backend, 1), -1);
    EXPECT_EQ(storedSetting(kOldPlayDefaultKey), "<none>");

    // The capture query fails: the playback name is saved, the microphone's stays as it was
    // (none here), and the switch goes on: a voice changer that reports success must have
    // switched.
    backend.injectFailure(SimOp::GetDefaultInput, AudioResult::Error);
    EXPECT_EQ(switchPreferredDevices(backend, 1), 0);
    EXPECT_EQ(storedSetting(kOldPlayDefaultKey), "USB Headset");
    EXPECT_EQ(storedSetting(kOldRecDefaultKey), "<none>");
    EXPECT_EQ(storedSetting(kNeedRestoreDevKey), "1");
    EXPECT_EQ(switchPreferredDevices(backend, 0), 0);
    setSetting(kNeedRestoreDevKey, "0");

    // Setting a device preferred fails: -1, and nothing is marked switched.
    backend.injectFailure(SimOp::SetDefaultOutput, AudioResult::Error);
    EXPECT_EQ(switchPreferredDevices(backend, 1), -1);
    EXPECT_EQ(backend.currentDefaultOutput(), 1u);
    EXPECT_EQ(storedSetting(kNeedRestoreDevKey), "0");
    backend.injectFailure(SimOp::SetDefaultInput, AudioResult::Error);
    EXPECT_EQ(switchPreferredDevices(backend, 0), -1);
    EXPECT_EQ(storedSetting(kNeedRestoreDevKey), "0");

    // The sound server went away: it lists nothing, and that is no restore of devices that
    // are missing. The mark stays for the next try.
    ASSERT_EQ(switchPreferredDevices(backend, 1), 0);
    backend.injectFailure(SimOp::GetDefaultOutput, AudioResult::NotRunning);
    EXPECT_EQ(switchPreferredDevices(backend, 0), -1);
    EXPECT_EQ(storedSetting(kNeedRestoreDevKey), "1");
    EXPECT_EQ(backend.currentDefaultOutput(), 2u);
    EXPECT_EQ(switchPreferredDevices(backend, 0), 0);
    EXPECT_EQ(backend.currentDefaultOutput(), 1u);
}

} // namespace
