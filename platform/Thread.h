// Thread identity.
#pragma once

#include <cstdint>

namespace kelda::platform {

// The system's id of the calling thread (GetCurrentThreadId on Windows, the kernel thread id
// on POSIX). Never 0 for a live thread.
uint32_t CurrentThreadId();

// The calling thread's locale id (an LCID: 0x0409 is US English). On POSIX it is a value kept
// per thread, 0x0409 until set, that only this module reads.
uint32_t ThreadLocale();
void SetThreadLocale(uint32_t locale);

}  // namespace kelda::platform
