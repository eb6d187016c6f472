#include "platform/vdev/sim_virtual_device.h"
#include "platform/vdev/virtual_device_factory.h"
#include "support/temp_dir.h"

#include <chrono>
#include <gtest/gtest.h>

using namespace timbrelo;
using namespace timbrelo::test;
using Clock = std::chrono::steady_clock;

namespace {

TEST(VirtualDeviceFactoryTest, OpensBySoundSystemAndSaysWhyNot) {
    // No sound server: the address points nowhere.
    TempDir dir;
    ScopedEnv server("PULSE_SERVER", "unix:" + dir.file("no-server"));
    ScopedEnv cookie("PULSE_COOKIE", dir.file("cookie"));

    std::string error;
    EXPECT_NE(dynamic_cast<SimVirtualDevice*>(openVirtualDevice("sim", error).get()), nullptr);

    const auto start = Clock::now();
    EXPECT_EQ(openVirtualDevice("pulse", error), nullptr);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(error, "No sound server answers: The sound server is not running.");

    EXPECT_EQ(openVirtualDevice("alsa", error), nullptr);
    EXPECT_EQ(error, "Unknown virtual device \"alsa\" (choose one of pulse, sim).");
}

} // namespace
