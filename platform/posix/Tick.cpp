#include "platform/Tick.h"

#include <time.h>

namespace kelda::platform {

uint64_t SystemTick64() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

bool HasTick64() {
  return true;
}

}  // namespace kelda::platform
