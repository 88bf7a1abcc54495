// Thread identity.
#pragma once

#include <cstdint>

namespace kelda::platform {

// The system's id of the calling thread (GetCurrentThreadId on Windows, the kernel thread id
// on POSIX). Never 0 for a live thread.
uint32_t CurrentThreadId();

}  // namespace kelda::platform
