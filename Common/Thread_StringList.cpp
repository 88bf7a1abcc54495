#include "Common/Thread_StringList.h"

namespace kelda {

TThreadStringList::TThreadStringList() : FList(new TStringList()) {}

TThreadStringList::~TThreadStringList() {
  FSynchronizer.BeginWrite();
  delete FList;
  FList = nullptr;
  FSynchronizer.EndWrite();
}

TStringList* TThreadStringList::LockList() {
  FSynchronizer.BeginWrite();
  return FList;
}

bool TThreadStringList::UnlockList() {
  return FSynchronizer.EndWrite();
}

TStringList* TThreadStringList::LockListRead() {
  FSynchronizer.BeginRead();
  return FList;
}

bool TThreadStringList::UnlockListRead() {
  return FSynchronizer.EndRead();
}

int TThreadStringList::Count() {
  platform::ReadGuard guard(FSynchronizer);
  return FList->Count();
}

}  // namespace kelda
