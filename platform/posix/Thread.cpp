#include "platform/Thread.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace kelda::platform {

uint32_t CurrentThreadId() {
  thread_local const uint32_t id = static_cast<uint32_t>(::syscall(SYS_gettid));
  return id;
}

}  // namespace kelda::platform

namespace kelda::platform {

namespace {
thread_local uint32_t gThreadLocale = 0x0409;
}

uint32_t ThreadLocale() {
  return gThreadLocale;
}

void SetThreadLocale(uint32_t locale) {
  gThreadLocale = locale;
}

}  // namespace kelda::platform
