// TThreadStringList: a string list guarded by its own re-entrant read/write lock.
#pragma once

#include "Common/Classes.h"
#include "platform/Sync.h"

namespace kelda {

class TThreadStringList {
public:
  TThreadStringList();
  virtual ~TThreadStringList();
  TThreadStringList(const TThreadStringList&) = delete;
  TThreadStringList& operator=(const TThreadStringList&) = delete;

  TStringList* LockList();  // the write lock
  bool UnlockList();
  TStringList* BeginWrite() { return LockList(); }
  bool EndWrite() { return UnlockList(); }
  TStringList* LockListRead();  // the read lock
  bool UnlockListRead();
  void BeginRead() { LockListRead(); }
  bool EndRead() { return UnlockListRead(); }

  int Count();

protected:
  TStringList* FList;
  platform::TMultiReadExclusiveWriteSynchronizer FSynchronizer;
};

}  // namespace kelda
