// A lock shared by every process of the machine that uses the same name, held for the lifetime
// of the guard object. Windows: a named mutex. POSIX: flock on the file "<name>.lock" in the
// folder named by KELDA_LOCK_DIR (fallback /tmp/kelda-locks).
//
// Contract kept by both backends:
//  - the constructor waits until the lock is free, without a time limit; the destructor
//    releases it. A process that ends while holding the lock releases it.
//  - threads of one process exclude each other as other processes do, each with its own guard;
//    one thread must not take the same lock twice (on POSIX that waits forever).
//  - names should consist of "0".."9", "a".."z" and "_"; a name the system cannot use (empty,
//    too long) raises ELockError and nothing is held.
#pragma once

#include <string>

namespace kelda::platform {

class TNamedLock {
public:
  explicit TNamedLock(const std::string& name);
  ~TNamedLock();
  TNamedLock(const TNamedLock&) = delete;
  TNamedLock& operator=(const TNamedLock&) = delete;

private:
  void* FHandle = nullptr;  // mutex HANDLE, or the lock file's descriptor + 1
};

}  // namespace kelda::platform
