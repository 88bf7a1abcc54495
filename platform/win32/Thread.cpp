#include "platform/Thread.h"

#include <windows.h>

namespace kelda::platform {

uint32_t CurrentThreadId() {
  return ::GetCurrentThreadId();
}

}  // namespace kelda::platform

namespace kelda::platform {

uint32_t ThreadLocale() {
  return ::GetThreadLocale();
}

void SetThreadLocale(uint32_t locale) {
  ::SetThreadLocale(locale);
}

}  // namespace kelda::platform
