#include "platform/NamedLock.h"

#include <windows.h>
#include <sddl.h>

#include <atomic>

#include "platform/CodePage.h"
#include "platform/Exceptions.h"
#include "platform/File.h"
#include "platform/SystemError.h"

namespace kelda::platform {

namespace {

std::atomic<bool> gGlobalRefused{false};

// What waiting and releasing need; a mutex another user's process created may grant no more.
constexpr DWORD kUseAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

// A global mutex made by a service would by default admit only the system and administrators:
// the desktop program of an ordinary user could not wait for it. Every signed-in user may
// wait for and release it, only the system and administrators do more.
class TSharedSecurity {
public:
  TSharedSecurity() {
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorA(
            "D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00100001;;;AU)", SDDL_REVISION_1, &FDescriptor, nullptr))
      FAttributes = {sizeof(SECURITY_ATTRIBUTES), FDescriptor, FALSE};
  }
  ~TSharedSecurity() {
    if (FDescriptor) ::LocalFree(FDescriptor);
  }
  TSharedSecurity(const TSharedSecurity&) = delete;
  TSharedSecurity& operator=(const TSharedSecurity&) = delete;
  SECURITY_ATTRIBUTES* Attributes() { return FDescriptor ? &FAttributes : nullptr; }

private:
  PSECURITY_DESCRIPTOR FDescriptor = nullptr;
  SECURITY_ATTRIBUTES FAttributes{};
};

HANDLE OpenGlobalMutex(const std::string& name) {
  if (gGlobalRefused) return nullptr;
  const std::string global = "Global\\" + name;
  TSharedSecurity security;
  HANDLE mutex = ::CreateMutexA(security.Attributes(), FALSE, global.c_str());
  if (!mutex && ::GetLastError() == ERROR_ACCESS_DENIED)
    mutex = ::OpenMutexA(kUseAccess, FALSE, global.c_str());
  return mutex;
}

}  // namespace

void SetGlobalLockNamespaceRefused(bool refused) {
  gGlobalRefused = refused;
}

std::string FileLockName(const std::string& path) {
  return LockNameOfText(WideToAnsi(WideLowerCase(AnsiToWide(FinalPath(path)))));
}

TNamedLock::TNamedLock(const std::string& name, uint32_t waitMs) {
  if (name.empty()) throw ELockError("A named lock needs a name");
  const std::string systemName = SystemLockName(name);
  HANDLE mutex = OpenGlobalMutex(systemName);
  FGlobal = mutex != nullptr;
  if (!mutex) mutex = ::CreateMutexA(nullptr, FALSE, systemName.c_str());
  if (!mutex && ::GetLastError() == ERROR_ACCESS_DENIED)
    mutex = ::OpenMutexA(kUseAccess, FALSE, systemName.c_str());
  if (!mutex) throw ELockError("Cannot create lock \"" + name + "\": " + SystemErrorText(::GetLastError()));
  // An abandoned mutex is ours now: its former owner ended without releasing it.
  const DWORD rc = ::WaitForSingleObject(mutex, waitMs == kNamedLockWaitForever ? INFINITE : waitMs);
  if (rc == WAIT_TIMEOUT) {
    ::CloseHandle(mutex);
    throw ELockTimeout("Lock \"" + name + "\" stayed taken for " + std::to_string(waitMs) + " ms");
  }
  if (rc != WAIT_OBJECT_0 && rc != WAIT_ABANDONED) {
    const DWORD error = ::GetLastError();
    ::CloseHandle(mutex);
    throw ELockError("Cannot take lock \"" + name + "\": " + SystemErrorText(error));
  }
  FHandle = mutex;
}

TNamedLock::~TNamedLock() {
  ::ReleaseMutex(FHandle);
  ::CloseHandle(FHandle);
}

}  // namespace kelda::platform
