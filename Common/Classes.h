// Basic object model of the module: the root object class, an object list that may own its
// objects, and a string list whose strings may carry an object reference.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kelda {

// Root of every class held in the generic lists, so that an owning list can destroy what it
// holds.
class TObject {
public:
  virtual ~TObject() = default;
};

// An ordered list of object references. When it owns its objects it destroys each one that it
// deletes or clears, and all of them when it is destroyed.
class TObjectList {
public:
  explicit TObjectList(bool ownsObjects = true) : OwnsObjects(ownsObjects) {}
  ~TObjectList() { Clear(); }
  TObjectList(const TObjectList&) = delete;
  TObjectList& operator=(const TObjectList&) = delete;

  int Count() const { return static_cast<int>(FItems.size()); }
  TObject* Items(int index) const;  // EListError outside 0..Count-1
  int Add(TObject* item);
  void Insert(int index, TObject* item);
  void Delete(int index);           // destroys the object when owning
  TObject* Extract(TObject* item);  // takes the object out without destroying it
  int Remove(TObject* item);        // Delete of the first occurrence; its former index or -1
  int IndexOf(const TObject* item) const;
  void Clear();

  auto begin() const { return FItems.begin(); }
  auto end() const { return FItems.end(); }

  bool OwnsObjects;

private:
  std::vector<TObject*> FItems;
};

// An ordered list of 8-bit strings, each with an optional object reference (never owned).
class TStringList {
public:
  struct Entry {
    std::string Text;
    TObject* Object = nullptr;
  };

  virtual ~TStringList() = default;

  int Count() const { return static_cast<int>(FItems.size()); }
  const std::string& Strings(int index) const;  // EListError outside 0..Count-1
  void SetString(int index, std::string text);
  TObject* Objects(int index) const;
  int Add(std::string text, TObject* object = nullptr);
  void Insert(int index, std::string text, TObject* object = nullptr);
  void Delete(int index);
  void Clear() { FItems.clear(); }
  int IndexOf(const std::string& text) const;  // exact comparison; -1 when absent
  std::string Text() const;                    // every string followed by CR LF

  auto begin() const { return FItems.begin(); }
  auto end() const { return FItems.end(); }

protected:
  std::vector<Entry> FItems;
};

}  // namespace kelda
