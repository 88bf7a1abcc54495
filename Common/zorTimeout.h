// The timeout record: a plain 32-byte stopwatch and deadline on the module's millisecond clock.
// Only its layout and the clear state are defined here; the operations that start and test it
// belong with the request scheduler that drives it.
#pragma once

#include <cstdint>

namespace kelda {

struct TzorTimeout {
  uint64_t Start = 0;     // tick when started; 0 means clear (never started)
  uint64_t Deadline = 0;  // Start + Interval
  uint32_t LastTick = 0;  // last 32-bit reading, for wrap detection
  uint32_t Wraps = 0;     // 32-bit wrap-arounds seen
  uint32_t Interval = 0;  // stored interval, ms
  bool Armed = false;     // started with an interval

  void Clear() { *this = TzorTimeout{}; }
  bool IsClear() const { return Start == 0; }
};

static_assert(sizeof(TzorTimeout) == 32, "the timeout record is a 32-byte value");

}  // namespace kelda
