// A lock shared by every process of the machine that uses the same name, held for the lifetime
// of the guard object. Windows: a named mutex in the global namespace, so that a service in
// session 0 and a program on a user's desktop exclude each other; where the process may not
// use that namespace, the session's own (IsGlobal() tells which). POSIX: flock on the file
// "<name>.lock" in the folder named by KELDA_LOCK_DIR (fallback /tmp/kelda-locks), which every
// user of the machine may open.
//
// Contract kept by both backends:
//  - the constructor waits until the lock is free, at most waitMs milliseconds (by default
//    without a limit), and raises ELockTimeout when it stayed taken that long: nothing is held
//    then. The destructor releases the lock. A process that ends while holding it releases it.
//  - threads of one process exclude each other as other processes do, each with its own guard;
//    one thread must not take the same lock twice (on POSIX that waits out the limit).
//  - names should consist of "0".."9", "a".."z" and "_"; a name the system cannot use (empty)
//    raises ELockError and nothing is held. A name of any length works: the system sees a long
//    one as SystemLockName gives it.
#pragma once

#include <cstdint>
#include <string>

namespace kelda::platform {

// The name the system sees: a name of up to 200 characters as it is; a longer one (the lock file
// or mutex name would pass the system's limit) keeps its head, so it still says what it
// guards, and ends in a hash of the whole name, so different long names stay apart.
std::string SystemLockName(const std::string& name);

// The name of the lock that guards a file, the same for every spelling of the file: its final
// path (File.h: absolute, "." and ".." and links resolved), on Windows case-folded, since letter
// case does not tell files apart there; then "0".."9" and "a".."z" kept, ASCII capitals lowered
// and every other byte "_". (On POSIX, files whose names differ only in such bytes share a lock:
// they merely wait for each other.)
std::string FileLockName(const std::string& path);

// The lock name of a text: "0".."9" and "a".."z" kept, ASCII capitals lowered, every other byte
// "_".
std::string LockNameOfText(const std::string& text);

inline constexpr uint32_t kNamedLockWaitForever = 0xFFFFFFFF;

class TNamedLock {
public:
  explicit TNamedLock(const std::string& name, uint32_t waitMs = kNamedLockWaitForever);
  ~TNamedLock();
  TNamedLock(const TNamedLock&) = delete;
  TNamedLock& operator=(const TNamedLock&) = delete;

  // Whether processes of every session see this lock (always so on POSIX).
  bool IsGlobal() const { return FGlobal; }

private:
  void* FHandle = nullptr;  // mutex HANDLE, or the lock file's descriptor + 1
  bool FGlobal = true;
};

// Test seam (Windows; POSIX has one namespace): the global namespace refuses every name, as it
// does for a process without the right to use it, so that locks take the session's own.
void SetGlobalLockNamespaceRefused(bool refused);

}  // namespace kelda::platform
