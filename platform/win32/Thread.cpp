#include "platform/Thread.h"

#include <windows.h>

namespace kelda::platform {

uint32_t CurrentThreadId() {
  return ::GetCurrentThreadId();
}

}  // namespace kelda::platform
