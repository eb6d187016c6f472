#pragma once
// The voice changer asks for a little more processor priority than ordinary programs, as far
// as the user may raise it without privileges (RLIMIT_NICE); it never fails for it.

namespace timbrelo {

// How far the nice value is lowered at most.
inline constexpr int kWantedNice = -10;

// Lowers the process's nice value towards kWantedNice, no further than the user's limit
// allows. Returns the nice value in force afterwards.
int raisePriorityWithoutPrivileges();

} // namespace timbrelo
