#include "platform/Tick.h"

#include <atomic>

namespace kelda::platform {

static std::atomic<TickSource> gTickSource{nullptr};

uint64_t Now() {
  TickSource source = gTickSource.load(std::memory_order_acquire);
  return source ? source() : SystemTick64();
}

TickSource SetTickSource(TickSource source) {
  return gTickSource.exchange(source, std::memory_order_acq_rel);
}

}  // namespace kelda::platform
