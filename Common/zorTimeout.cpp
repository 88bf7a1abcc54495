#include "Common/zorTimeout.h"

#include <atomic>

#include "platform/Tick.h"

namespace kelda {

// Looked up once when the module starts, as the platform's tick function is.
static std::atomic<bool> gUseTick64{platform::HasTick64()};

bool TimeoutUsesTick64() {
  return gUseTick64.load(std::memory_order_relaxed);
}

void SetTimeoutUsesTick64(bool value) {
  gUseTick64.store(value, std::memory_order_relaxed);
}

static uint64_t RawReading() {
  uint64_t raw = platform::Now();
  return TimeoutUsesTick64() ? raw : static_cast<uint32_t>(raw);
}

uint64_t TzorTimeout::Now() {
  uint64_t raw = platform::Now();
  if (TimeoutUsesTick64()) return raw;
  uint32_t reading = static_cast<uint32_t>(raw);
  if (reading < LastTick) ++Wraps;
  LastTick = reading;
  return (static_cast<uint64_t>(Wraps) << 32) | reading;
}

void TzorTimeout::StartPlain() {
  uint64_t reading = RawReading();
  Start = reading;
  LastTick = static_cast<uint32_t>(reading);
  Wraps = static_cast<uint32_t>(reading >> 32);
  Deadline = 0;
  Armed = false;
}

void TzorTimeout::StartFor(uint32_t ms) {
  StartPlain();
  Interval = ms;
  Deadline = Start + ms;
  Armed = true;
}

void TzorTimeout::Restart() {
  if (Armed)
    StartFor(Interval);
  else
    StartPlain();
}

bool TzorTimeout::Expired(uint32_t ms) {
  if (IsClear()) return true;
  if (!Armed) {
    Interval = ms;
    Deadline = Start + ms;
  }
  return Now() >= Deadline;
}

bool TzorTimeout::Expired() {
  return Now() >= Deadline;
}

}  // namespace kelda
