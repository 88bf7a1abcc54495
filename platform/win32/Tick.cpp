#include "platform/Tick.h"

#include <windows.h>

namespace kelda::platform {

using GetTickCount64Fn = ULONGLONG(WINAPI*)();

// Looked up once when the module starts; older systems lack the 64-bit function.
static GetTickCount64Fn LookUpTick64() {
  HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  if (!kernel) return nullptr;
  return reinterpret_cast<GetTickCount64Fn>(
      reinterpret_cast<void*>(::GetProcAddress(kernel, "GetTickCount64")));
}

static const GetTickCount64Fn gTick64 = LookUpTick64();

uint64_t SystemTick64() {
  return gTick64 ? gTick64() : ::GetTickCount();
}

bool HasTick64() {
  return gTick64 != nullptr;
}

}  // namespace kelda::platform
