#include "platform/vdev/virtual_device_factory.h"

#include "platform/vdev/pulse_virtual_device.h"
#include "platform/vdev/sim_virtual_device.h"

namespace timbrelo {

std::unique_ptr<VirtualDevice> openVirtualDevice(std::string_view backend, std::string& error) {
    if (backend == "pulse") {
        return PulseVirtualDevice::bringUp(error);
    }
    if (backend == "sim") {
        return std::make_unique<SimVirtualDevice>();
    }
    error = "Unknown virtual device \"" + std::string(backend) + "\" (choose one of " +
            std::string(kVirtualDeviceChoices) + ").";
    return nullptr;
}

} // namespace timbrelo
