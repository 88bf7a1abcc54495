// The timeout record: a plain 32-byte stopwatch and deadline on the module's millisecond clock
// (platform::Now(), which tests replace). Every time limit of the protocol engine is one.
//
// Where the system offers only the 32-bit tick count, each record extends it to 64 bits by
// itself: a reading lower than the last one it saw counts one more wrap-around.
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

  // Starts the stopwatch without a deadline.
  void StartPlain();
  // Starts the stopwatch with a deadline ms milliseconds from now.
  void StartFor(uint32_t ms);
  // StartFor(Interval) when armed, else StartPlain.
  void Restart();
  // True when clear. Otherwise an unarmed record takes ms as its interval (so: at least ms since
  // the last start); then true once the deadline has come.
  bool Expired(uint32_t ms);
  // True once the deadline has come.
  bool Expired();

  // The current time as this record counts it (64-bit; extended by the record's own wrap count
  // where only the 32-bit tick exists).
  uint64_t Now();
};

static_assert(sizeof(TzorTimeout) == 32, "the timeout record is a 32-byte value");

// Whether the records read the 64-bit tick count (the default where the system has it) or extend
// the 32-bit count themselves. Tests switch to the 32-bit reading to exercise the wrap counting;
// the tick source then delivers the 32-bit count in its low 32 bits.
bool TimeoutUsesTick64();
void SetTimeoutUsesTick64(bool value);

}  // namespace kelda
