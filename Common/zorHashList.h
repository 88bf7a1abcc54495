// String hash list: a map from 8-bit string keys to wide-string values, kept in a 256-way hash
// trie. The translator's dictionaries are built on it.
//
// Trie layout. Every node (`TTreeItem`) has 256 slots. At a node of level L the slot of a key is
// the low byte of its 32-bit hash rotated right by 8 * L bits, so level 0 uses the lowest byte,
// level 1 the next one and so on. A slot is empty, holds a chain of up to eight items
// (`TLinkedItem`), or holds a child node of level L + 1: the ninth item that lands in a full chain
// turns the slot into a child node and all nine items move into it. A node at level 3 has used all
// 32 bits of the hash; its chains are never split (a split could not separate keys with one full
// hash and would recurse without end), they simply grow. Removing the last item below a child node
// releases that node.
//
// Neither list locks; one thread at a time uses it (the translator under its own lock).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "Common/Classes.h"
#include "Common/Exceptions.h"

namespace kelda {

KELDA_EXCEPTION_CLASS(EzorHashListError, Exception);
KELDA_EXCEPTION_CLASS(EzorNoSuchElementError, EzorHashListError);  // "Value not found"
KELDA_EXCEPTION_CLASS(EzorBadKeyError, EzorHashListError);         // "Bad key value"

// xxHash32 of a byte block (little-endian lanes, as the published algorithm defines).
std::uint32_t xxHash32(const void* data, std::size_t length, std::uint32_t seed = 0);

class TzorCustomHashListBase;
class TTreeItem;

// One entry of a chain. Creating and destroying an item moves its list's item count.
class TLinkedItem {
public:
  TLinkedItem(TTreeItem* owner, TObject* key, TObject* value);
  ~TLinkedItem();
  TLinkedItem(const TLinkedItem&) = delete;
  TLinkedItem& operator=(const TLinkedItem&) = delete;

  TTreeItem* Owner;
  TObject* Key;  // released through the list, never by the item itself
  TObject* Value;
  std::unique_ptr<TLinkedItem> Next;
};

// One trie node. A slot holds either a chain or a child node, never both.
class TTreeItem {
public:
  static constexpr int SlotCount = 256;
  static constexpr int MaxChainLength = 8;
  static constexpr int DeepestLevel = 3;  // all four hash bytes used

  struct TSlot {
    std::unique_ptr<TLinkedItem> Chain;
    std::unique_ptr<TTreeItem> Node;
    bool Empty() const { return !Chain && !Node; }
  };

  TTreeItem(TzorCustomHashListBase* ownerList, int level) : OwnerList(ownerList), Level(level) {}

  int SlotIndex(std::uint32_t hash) const;

  TzorCustomHashListBase* OwnerList;
  int Level;
  int Filled = 0;  // number of non-empty slots
  TSlot Slots[SlotCount];
};

// The trie and the item count. Keys and values are objects; what an object is, how it hashes
// and compares, and how it is released, is the business of the derived lists.
class TzorCustomHashListBase : public TObject {
public:
  TzorCustomHashListBase();
  ~TzorCustomHashListBase() override;  // derived lists clear while their release still applies
  TzorCustomHashListBase(const TzorCustomHashListBase&) = delete;
  TzorCustomHashListBase& operator=(const TzorCustomHashListBase&) = delete;

  int Count() const { return FCount.load(); }
  void Clear();  // releases every key and value and drops the trie

  const TTreeItem& Root() const { return *FRoot; }  // for inspection

protected:
  // Virtual operations in slot order.
  virtual std::uint32_t HashOf(const TObject* key) const = 0;
  virtual void ReleaseKeyValue(TObject* key, TObject* value) = 0;
  virtual bool KeysEqual(const TObject* a, const TObject* b) const = 0;

  // Inserts key and value; an equal key already present gets the new value (the old value and the
  // new key are released). Takes ownership of both in every case.
  void InsertItem(TObject* key, TObject* value);
  TLinkedItem* FindItem(const TObject* key) const;
  // Unlinks the key's item; hands its value to the caller and releases the stored key.
  bool RemoveItem(const TObject* key, TObject*& value);

private:
  friend class TLinkedItem;
  void InsertAt(TTreeItem& node, std::uint32_t hash, std::unique_ptr<TLinkedItem> item);
  void SplitSlot(TTreeItem& node, int index, std::unique_ptr<TLinkedItem> ninth);
  void ReleaseNode(TTreeItem& node);
  bool RemoveFrom(TTreeItem& node, std::uint32_t hash, const TObject* key, TObject*& value);

  std::unique_ptr<TTreeItem> FRoot;
  std::atomic<int> FCount{0};
};

// Keys and values are objects that the list destroys when it releases them; values only while
// OwnsValues is set.
class TzorCustomHashListBaseObjects : public TzorCustomHashListBase {
public:
  ~TzorCustomHashListBaseObjects() override;
  bool OwnsValues = true;

protected:
  void ReleaseKeyValue(TObject* key, TObject* value) override;
};

// The key of a string list: the text as stored (lower-cased in a case-insensitive list) and its hash.
class TzorStringKeyItem : public TObject {
public:
  TzorStringKeyItem(std::string text, std::uint32_t hash) : Text(std::move(text)), Hash(hash) {}
  std::string Text;
  std::uint32_t Hash;
};

// 8-bit string keys.
class TzorStringHashListBase : public TzorCustomHashListBaseObjects {
public:
  bool CaseSensitive() const { return FCaseSensitive; }
  // Keys are stored in the form of the current setting, so it may change only while the list is
  // empty; EzorHashListError otherwise.
  void SetCaseSensitive(bool value);

  bool DefaultOnMissing = true;  // a missing key reads as empty instead of failing

  // The key in the form it is stored and hashed in.
  std::string StoredKey(std::string_view key) const;
  static std::uint32_t HashText(std::string_view storedKey);  // the empty key hashes to 0

protected:
  std::uint32_t HashOf(const TObject* key) const override;
  bool KeysEqual(const TObject* a, const TObject* b) const override;

  TzorStringKeyItem MakeKey(std::string_view key) const;

private:
  bool FCaseSensitive = true;
};

class TzorWideStringValueItem : public TObject {
public:
  explicit TzorWideStringValueItem(std::u16string value) : Value(std::move(value)) {}
  std::u16string Value;
};

// 8-bit string keys, wide-string values.
class TzorStringWideStringHashList : public TzorStringHashListBase {
public:
  void Put(std::string_view key, std::u16string value);
  bool TryGet(std::string_view key, std::u16string& value) const;
  // A missing key gives an empty string, or EzorNoSuchElementError ("Value not found") when
  // DefaultOnMissing is off.
  std::u16string Get(std::string_view key) const;
  // Takes the entry out and hands its value over; a missing key behaves as in Get.
  std::u16string Remove(std::string_view key);
  bool Contains(std::string_view key) const;
};

}  // namespace kelda
