// TThreadObject: guards one object with the re-entrant multiple-reader, single-writer lock.
#pragma once

#include <atomic>
#include <memory>

#include "platform/Sync.h"

namespace kelda {

class TThreadObject {
public:
  // guarded: the object LockRead and LockWrite hand out; none means the TThreadObject itself.
  explicit TThreadObject(void* guarded = nullptr);
  virtual ~TThreadObject();
  TThreadObject(const TThreadObject&) = delete;
  TThreadObject& operator=(const TThreadObject&) = delete;

  void* LockWrite();
  bool UnlockWrite();  // false (and no change) when the calling thread holds no write lock
  bool Unlock() { return UnlockWrite(); }
  void* LockRead();
  bool UnlockRead();  // false (and no change) when the calling thread holds no read lock

  // Names the scoped guards of platform/Sync.h use.
  void BeginRead() { LockRead(); }
  bool EndRead() { return UnlockRead(); }
  void BeginWrite() { LockWrite(); }
  bool EndWrite() { return UnlockWrite(); }

  void* GuardedObject() const { return FGuardedObject; }

  // Whether the calling thread holds the read or the write lock (for assertions and tests).
  bool HeldByCallingThread() const;

protected:
  void SetGuardedObject(void* guarded) { FGuardedObject = guarded ? guarded : this; }

private:
  platform::TMultiReadExclusiveWriteSynchronizer& Synchronizer();

  platform::TCriticalSection FCreationLock;  // serialises only the first creation
  std::atomic<platform::TMultiReadExclusiveWriteSynchronizer*> FSynchronizer{nullptr};
  void* FGuardedObject;
};

}  // namespace kelda
