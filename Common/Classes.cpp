#include "Common/Classes.h"

#include <algorithm>

#include "Common/Exceptions.h"

namespace kelda {

static void CheckIndex(int index, std::size_t count) {
  if (index < 0 || static_cast<std::size_t>(index) >= count)
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
}

TObject* TObjectList::Items(int index) const {
  CheckIndex(index, FItems.size());
  return FItems[static_cast<std::size_t>(index)];
}

int TObjectList::Add(TObject* item) {
  FItems.push_back(item);
  return Count() - 1;
}

void TObjectList::Insert(int index, TObject* item) {
  if (index < 0 || index > Count())
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  FItems.insert(FItems.begin() + index, item);
}

void TObjectList::Delete(int index) {
  CheckIndex(index, FItems.size());
  TObject* item = FItems[static_cast<std::size_t>(index)];
  FItems.erase(FItems.begin() + index);
  if (OwnsObjects) delete item;
}

TObject* TObjectList::Extract(TObject* item) {
  auto it = std::find(FItems.begin(), FItems.end(), item);
  if (it == FItems.end()) return nullptr;
  FItems.erase(it);
  return item;
}

int TObjectList::Remove(TObject* item) {
  int index = IndexOf(item);
  if (index >= 0) Delete(index);
  return index;
}

int TObjectList::IndexOf(const TObject* item) const {
  auto it = std::find(FItems.begin(), FItems.end(), item);
  return it == FItems.end() ? -1 : static_cast<int>(it - FItems.begin());
}

void TObjectList::Clear() {
  std::vector<TObject*> items;
  items.swap(FItems);  // the list is empty before any destructor runs
  if (OwnsObjects)
    for (TObject* item : items) delete item;
}

const std::string& TStringList::Strings(int index) const {
  CheckIndex(index, FItems.size());
  return FItems[static_cast<std::size_t>(index)].Text;
}

void TStringList::SetString(int index, std::string text) {
  CheckIndex(index, FItems.size());
  FItems[static_cast<std::size_t>(index)].Text = std::move(text);
}

TObject* TStringList::Objects(int index) const {
  CheckIndex(index, FItems.size());
  return FItems[static_cast<std::size_t>(index)].Object;
}

int TStringList::Add(std::string text, TObject* object) {
  FItems.push_back({std::move(text), object});
  return Count() - 1;
}

void TStringList::Insert(int index, std::string text, TObject* object) {
  if (index < 0 || index > Count())
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  FItems.insert(FItems.begin() + index, Entry{std::move(text), object});
}

void TStringList::Delete(int index) {
  CheckIndex(index, FItems.size());
  FItems.erase(FItems.begin() + index);
}

int TStringList::IndexOf(const std::string& text) const {
  for (std::size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i].Text == text) return static_cast<int>(i);
  return -1;
}

std::string TStringList::Text() const {
  std::string out;
  for (const auto& e : FItems) out += e.Text + "\r\n";
  return out;
}

}  // namespace kelda
