// Millisecond time. Every time limit of the module reads Now(), whose source tests replace, so
// time-outs, the 2^32 wrap and minimal intervals are tested without sleeping.
#pragma once

#include <cstdint>

namespace kelda::platform {

// The system's 64-bit millisecond tick since start. On Windows the 64-bit tick function is
// looked up by name once; without it the 32-bit tick count is used (it wraps after 49.7 days).
uint64_t SystemTick64();

// True when the system offers the 64-bit tick (always true on POSIX).
bool HasTick64();

using TickSource = uint64_t (*)();

// The module's clock: SystemTick64 unless a test has installed another source.
uint64_t Now();

// Installs a tick source and returns the previous one; nullptr restores the system tick.
TickSource SetTickSource(TickSource source);

}  // namespace kelda::platform
