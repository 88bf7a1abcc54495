#include "Common/Thread_ObjectList.h"

namespace kelda {

TThreadObjectList::TThreadObjectList(bool ownsObjects) : FList(new TObjectList(ownsObjects)) {
  SetGuardedObject(FList);
}

TThreadObjectList::~TThreadObjectList() {
  platform::WriteGuard guard(*this);
  delete FList;
  FList = nullptr;
}

void TThreadObjectList::Add(TObject* item) {
  platform::WriteGuard guard(*this);
  FList->Add(item);
}

void TThreadObjectList::Clear() {
  platform::WriteGuard guard(*this);
  FList->Clear();
}

int TThreadObjectList::Count() {
  platform::ReadGuard guard(*this);
  return FList->Count();
}

}  // namespace kelda
