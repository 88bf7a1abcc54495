// A lock shared by every process of the machine that uses the same name, held for the lifetime
// of the guard object. Windows: a named mutex. POSIX: flock on the file "<name>.lock" in the
// folder named by KELDA_LOCK_DIR (fallback /tmp/kelda-locks).
//
// Contract kept by both backends:
//  - the constructor waits until the lock is free, without a time limit; the destructor
//    releases it. A process that ends while holding the lock releases it.
//  - threads of one process exclude each other as other processes do, each with its own guard;
//    one thread must not take the same lock twice (on POSIX that waits forever).
//  - names should consist of "0".."9", "a".."z" and "_"; a name the system cannot use (empty)
//    raises ELockError and nothing is held. A name of any length works: the system sees a long
//    one as SystemLockName gives it.
#pragma once

#include <string>

namespace kelda::platform {

// The name the system sees: a name of up to 200 characters as it is; a longer one (the lock file
// or mutex name would pass the system's limit) keeps its head, so it still says what it
// guards, and ends in a hash of the whole name, so different long names stay apart.
std::string SystemLockName(const std::string& name);

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
