#include "platform/NamedLock.h"

#include <windows.h>

#include "Common/Exceptions.h"
#include "platform/SystemError.h"

namespace kelda::platform {

TNamedLock::TNamedLock(const std::string& name) {
  if (name.empty()) throw ELockError("A named lock needs a name");
  HANDLE mutex = ::CreateMutexA(nullptr, FALSE, SystemLockName(name).c_str());
  if (!mutex) throw ELockError("Cannot create lock \"" + name + "\": " + SystemErrorText(::GetLastError()));
  // An abandoned mutex is ours now: its former owner ended without releasing it.
  const DWORD rc = ::WaitForSingleObject(mutex, INFINITE);
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
