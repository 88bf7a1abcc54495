#include "platform/Sync.h"

namespace kelda::platform {

void TMultiReadExclusiveWriteSynchronizer::BeginRead() {
  std::unique_lock lock(FMutex);
  const auto self = std::this_thread::get_id();
  auto it = FReads.find(self);
  if (it != FReads.end()) {  // nested read
    ++it->second;
    return;
  }
  if (FWriteDepth > 0 && FWriter == self) {  // a writer may read what it guards
    FReads[self] = 1;
    return;
  }
  FChanged.wait(lock, [this] { return FWriteDepth == 0 && FWaitingWriters == 0; });
  FReads[self] = 1;
}

bool TMultiReadExclusiveWriteSynchronizer::EndRead() {
  std::lock_guard lock(FMutex);
  auto it = FReads.find(std::this_thread::get_id());
  if (it == FReads.end()) return false;
  if (--it->second == 0) {
    FReads.erase(it);
    FChanged.notify_all();
  }
  return true;
}

void TMultiReadExclusiveWriteSynchronizer::BeginWrite() {
  std::unique_lock lock(FMutex);
  const auto self = std::this_thread::get_id();
  if (FWriteDepth > 0 && FWriter == self) {
    ++FWriteDepth;
    return;
  }
  ++FWaitingWriters;
  auto own = FReads.find(self);
  int savedReads = 0;
  if (own != FReads.end() && FUpgrading > 0) {
    // Another reader already waits to write and waits for our read locks to go: step aside.
    savedReads = own->second;
    FReads.erase(own);
    FChanged.notify_all();
  }
  if (FReads.count(self)) {
    ++FUpgrading;
    FChanged.wait(lock, [this] { return FWriteDepth == 0 && FReads.size() == 1; });
    --FUpgrading;
  } else {
    FChanged.wait(lock, [this] { return FWriteDepth == 0 && FReads.empty() && FUpgrading == 0; });
    if (savedReads > 0) FReads[self] = savedReads;
  }
  --FWaitingWriters;
  FWriter = self;
  FWriteDepth = 1;
}

bool TMultiReadExclusiveWriteSynchronizer::EndWrite() {
  std::lock_guard lock(FMutex);
  if (FWriteDepth == 0 || FWriter != std::this_thread::get_id()) return false;
  if (--FWriteDepth == 0) {
    FWriter = std::thread::id();
    FChanged.notify_all();
  }
  return true;
}

bool TMultiReadExclusiveWriteSynchronizer::HoldsWrite() const {
  std::lock_guard lock(FMutex);
  return FWriteDepth > 0 && FWriter == std::this_thread::get_id();
}

int TMultiReadExclusiveWriteSynchronizer::ReadDepth() const {
  std::lock_guard lock(FMutex);
  auto it = FReads.find(std::this_thread::get_id());
  return it == FReads.end() ? 0 : it->second;
}

}  // namespace kelda::platform
