#pragma once
// Property that marks a server device as the program's own internal helper (the virtual
// microphone's feed): the device lists never show it.

namespace timbrelo {

inline constexpr const char* kInternalDeviceProperty = "timbrelo.internal";

} // namespace timbrelo
