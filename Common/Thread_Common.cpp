#include "Common/Thread_Common.h"

namespace kelda {

TThreadObject::TThreadObject(void* guarded) : FGuardedObject(guarded ? guarded : this) {}

TThreadObject::~TThreadObject() {
  delete FSynchronizer.load();
}

platform::TMultiReadExclusiveWriteSynchronizer& TThreadObject::Synchronizer() {
  auto* sync = FSynchronizer.load(std::memory_order_acquire);
  if (sync) return *sync;
  platform::CriticalSectionGuard guard(FCreationLock);
  sync = FSynchronizer.load(std::memory_order_relaxed);
  if (!sync) {
    sync = new platform::TMultiReadExclusiveWriteSynchronizer();
    FSynchronizer.store(sync, std::memory_order_release);
  }
  return *sync;
}

bool TThreadObject::HeldByCallingThread() const {
  auto* sync = FSynchronizer.load(std::memory_order_acquire);
  return sync && (sync->HoldsWrite() || sync->ReadDepth() > 0);
}

void* TThreadObject::LockWrite() {
  Synchronizer().BeginWrite();
  return FGuardedObject;
}

bool TThreadObject::UnlockWrite() {
  auto* sync = FSynchronizer.load(std::memory_order_acquire);
  return sync && sync->EndWrite();
}

void* TThreadObject::LockRead() {
  Synchronizer().BeginRead();
  return FGuardedObject;
}

bool TThreadObject::UnlockRead() {
  auto* sync = FSynchronizer.load(std::memory_order_acquire);
  return sync && sync->EndRead();
}

}  // namespace kelda
