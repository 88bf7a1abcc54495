// TThreadObjectList: an object list guarded by the TThreadObject lock.
#pragma once

#include "Common/Classes.h"
#include "Common/Thread_Common.h"

namespace kelda {

class TThreadObjectList : public TThreadObject {
public:
  explicit TThreadObjectList(bool ownsObjects);
  ~TThreadObjectList() override;

  TObjectList* LockList() { return static_cast<TObjectList*>(LockWrite()); }     // UnlockWrite
  TObjectList* LockListRead() { return static_cast<TObjectList*>(LockRead()); }  // UnlockRead

  void Add(TObject* item);
  void Clear();
  int Count();

private:
  TObjectList* FList;
};

}  // namespace kelda
