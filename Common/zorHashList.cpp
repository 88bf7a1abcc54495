#include "Common/zorHashList.h"

#include <cstring>
#include <vector>

#include "platform/CodePage.h"

namespace kelda {

// ---------------------------------------------------------------------------------------------
// xxHash32

namespace {

constexpr std::uint32_t Prime1 = 0x9E3779B1u;
constexpr std::uint32_t Prime2 = 0x85EBCA77u;
constexpr std::uint32_t Prime3 = 0xC2B2AE3Du;
constexpr std::uint32_t Prime4 = 0x27D4EB2Fu;
constexpr std::uint32_t Prime5 = 0x165667B1u;

constexpr std::uint32_t RotateLeft(std::uint32_t value, int bits) {
  return (value << bits) | (value >> (32 - bits));
}

constexpr std::uint32_t RotateRight(std::uint32_t value, int bits) {
  return bits == 0 ? value : (value >> bits) | (value << (32 - bits));
}

std::uint32_t ReadLittleEndian32(const unsigned char* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}

std::uint32_t Round(std::uint32_t accumulator, std::uint32_t lane) {
  accumulator += lane * Prime2;
  return RotateLeft(accumulator, 13) * Prime1;
}

}  // namespace

std::uint32_t xxHash32(const void* data, std::size_t length, std::uint32_t seed) {
  const auto* p = static_cast<const unsigned char*>(data);
  const unsigned char* const end = p + length;
  std::uint32_t hash;

  if (length >= 16) {
    std::uint32_t v1 = seed + Prime1 + Prime2;
    std::uint32_t v2 = seed + Prime2;
    std::uint32_t v3 = seed;
    std::uint32_t v4 = seed - Prime1;
    for (; end - p >= 16; p += 16) {
      v1 = Round(v1, ReadLittleEndian32(p));
      v2 = Round(v2, ReadLittleEndian32(p + 4));
      v3 = Round(v3, ReadLittleEndian32(p + 8));
      v4 = Round(v4, ReadLittleEndian32(p + 12));
    }
    hash = RotateLeft(v1, 1) + RotateLeft(v2, 7) + RotateLeft(v3, 12) + RotateLeft(v4, 18);
  } else {
    hash = seed + Prime5;
  }
  hash += static_cast<std::uint32_t>(length);

  for (; end - p >= 4; p += 4) {
    hash += ReadLittleEndian32(p) * Prime3;
    hash = RotateLeft(hash, 17) * Prime4;
  }
  for (; p < end; ++p) {
    hash += *p * Prime5;
    hash = RotateLeft(hash, 11) * Prime1;
  }

  hash ^= hash >> 15;
  hash *= Prime2;
  hash ^= hash >> 13;
  hash *= Prime3;
  hash ^= hash >> 16;
  return hash;
}

// ---------------------------------------------------------------------------------------------
// Trie nodes

TLinkedItem::TLinkedItem(TTreeItem* owner, TObject* key, TObject* value)
    : Owner(owner), Key(key), Value(value) {
  ++Owner->OwnerList->FCount;
}

TLinkedItem::~TLinkedItem() {
  --Owner->OwnerList->FCount;
  // Unlink the rest of the chain iteratively; a long chain at the deepest level must not recurse.
  std::unique_ptr<TLinkedItem> next = std::move(Next);
  while (next) next = std::move(next->Next);
}

int TTreeItem::SlotIndex(std::uint32_t hash) const {
  return static_cast<int>(RotateRight(hash, 8 * (Level % 4)) & 0xFF);
}

// ---------------------------------------------------------------------------------------------
// TzorCustomHashListBase

TzorCustomHashListBase::TzorCustomHashListBase() : FRoot(std::make_unique<TTreeItem>(this, 0)) {}

TzorCustomHashListBase::~TzorCustomHashListBase() = default;

void TzorCustomHashListBase::ReleaseNode(TTreeItem& node) {
  for (auto& slot : node.Slots) {
    if (slot.Node) ReleaseNode(*slot.Node);
    for (TLinkedItem* item = slot.Chain.get(); item; item = item->Next.get()) {
      TObject* key = item->Key;
      TObject* value = item->Value;
      item->Key = nullptr;
      item->Value = nullptr;
      ReleaseKeyValue(key, value);
    }
  }
}

void TzorCustomHashListBase::Clear() {
  ReleaseNode(*FRoot);
  FRoot = std::make_unique<TTreeItem>(this, 0);  // destroys the old trie and its items
  FCount = 0;
}

void TzorCustomHashListBase::InsertItem(TObject* key, TObject* value) {
  if (!key) {
    ReleaseKeyValue(nullptr, value);
    throw EzorBadKeyError("Bad key value");
  }
  if (TLinkedItem* existing = FindItem(key)) {
    TObject* oldValue = existing->Value;
    existing->Value = value;
    ReleaseKeyValue(key, oldValue);
    return;
  }
  std::unique_ptr<TLinkedItem> item;
  try {
    item = std::make_unique<TLinkedItem>(FRoot.get(), key, value);
  } catch (...) {
    ReleaseKeyValue(key, value);
    throw;
  }
  InsertAt(*FRoot, HashOf(key), std::move(item));
}

// Puts an item that is known not to be present into the subtree of node.
void TzorCustomHashListBase::InsertAt(TTreeItem& node, std::uint32_t hash,
                                      std::unique_ptr<TLinkedItem> item) {
  const int index = node.SlotIndex(hash);
  TTreeItem::TSlot& slot = node.Slots[index];
  if (slot.Node) {
    InsertAt(*slot.Node, hash, std::move(item));
    return;
  }
  item->Owner = &node;
  if (!slot.Chain) {
    slot.Chain = std::move(item);
    ++node.Filled;
    return;
  }
  int length = 0;
  for (TLinkedItem* p = slot.Chain.get(); p; p = p->Next.get()) ++length;
  if (length < TTreeItem::MaxChainLength || node.Level >= TTreeItem::DeepestLevel) {
    item->Next = std::move(slot.Chain);
    slot.Chain = std::move(item);
    return;
  }
  SplitSlot(node, index, std::move(item));
}

// Replaces a full chain by a child node one level down and moves its items there.
void TzorCustomHashListBase::SplitSlot(TTreeItem& node, int index, std::unique_ptr<TLinkedItem> ninth) {
  TTreeItem::TSlot& slot = node.Slots[index];
  slot.Node = std::make_unique<TTreeItem>(this, node.Level + 1);
  std::unique_ptr<TLinkedItem> chain = std::move(slot.Chain);
  while (chain) {
    std::unique_ptr<TLinkedItem> rest = std::move(chain->Next);
    const std::uint32_t hash = HashOf(chain->Key);
    InsertAt(*slot.Node, hash, std::move(chain));
    chain = std::move(rest);
  }
  const std::uint32_t hash = HashOf(ninth->Key);  // before the item is handed over
  InsertAt(*slot.Node, hash, std::move(ninth));
}

TLinkedItem* TzorCustomHashListBase::FindItem(const TObject* key) const {
  if (!key) throw EzorBadKeyError("Bad key value");
  const std::uint32_t hash = HashOf(key);
  const TTreeItem* node = FRoot.get();
  for (;;) {
    const TTreeItem::TSlot& slot = node->Slots[node->SlotIndex(hash)];
    if (slot.Node) {
      node = slot.Node.get();
      continue;
    }
    for (TLinkedItem* item = slot.Chain.get(); item; item = item->Next.get())
      if (KeysEqual(item->Key, key)) return item;
    return nullptr;
  }
}

bool TzorCustomHashListBase::RemoveItem(const TObject* key, TObject*& value) {
  if (!key) throw EzorBadKeyError("Bad key value");
  return RemoveFrom(*FRoot, HashOf(key), key, value);
}

bool TzorCustomHashListBase::RemoveFrom(TTreeItem& node, std::uint32_t hash, const TObject* key,
                                        TObject*& value) {
  TTreeItem::TSlot& slot = node.Slots[node.SlotIndex(hash)];
  if (slot.Node) {
    if (!RemoveFrom(*slot.Node, hash, key, value)) return false;
    if (slot.Node->Filled == 0) {
      slot.Node.reset();
      --node.Filled;
    }
    return true;
  }
  std::unique_ptr<TLinkedItem>* link = &slot.Chain;
  while (*link && !KeysEqual((*link)->Key, key)) link = &(*link)->Next;
  if (!*link) return false;

  std::unique_ptr<TLinkedItem> item = std::move(*link);
  *link = std::move(item->Next);
  if (!slot.Chain) --node.Filled;
  value = item->Value;
  TObject* storedKey = item->Key;
  item.reset();
  ReleaseKeyValue(storedKey, nullptr);
  return true;
}

// ---------------------------------------------------------------------------------------------
// TzorCustomHashListBaseObjects

TzorCustomHashListBaseObjects::~TzorCustomHashListBaseObjects() {
  Clear();
}

void TzorCustomHashListBaseObjects::ReleaseKeyValue(TObject* key, TObject* value) {
  delete key;
  if (OwnsValues) delete value;
}

// ---------------------------------------------------------------------------------------------
// TzorStringHashListBase

void TzorStringHashListBase::SetCaseSensitive(bool value) {
  if (value == FCaseSensitive) return;
  if (Count() > 0) throw EzorHashListError("Case sensitivity cannot change while the list holds items");
  FCaseSensitive = value;
}

std::string TzorStringHashListBase::StoredKey(std::string_view key) const {
  return FCaseSensitive ? std::string(key) : platform::AnsiLowerCase(key);
}

std::uint32_t TzorStringHashListBase::HashText(std::string_view storedKey) {
  return storedKey.empty() ? 0 : xxHash32(storedKey.data(), storedKey.size());
}

std::uint32_t TzorStringHashListBase::HashOf(const TObject* key) const {
  return static_cast<const TzorStringKeyItem*>(key)->Hash;
}

// Both keys are in stored form, so a case-insensitive list compares them exactly as well.
bool TzorStringHashListBase::KeysEqual(const TObject* a, const TObject* b) const {
  const auto* x = static_cast<const TzorStringKeyItem*>(a);
  const auto* y = static_cast<const TzorStringKeyItem*>(b);
  return x->Hash == y->Hash && x->Text == y->Text;
}

TzorStringKeyItem TzorStringHashListBase::MakeKey(std::string_view key) const {
  std::string stored = StoredKey(key);
  const std::uint32_t hash = HashText(stored);
  return TzorStringKeyItem(std::move(stored), hash);
}

// ---------------------------------------------------------------------------------------------
// TzorStringWideStringHashList

void TzorStringWideStringHashList::Put(std::string_view key, std::u16string value) {
  auto storedKey = std::make_unique<TzorStringKeyItem>(MakeKey(key));
  auto storedValue = std::make_unique<TzorWideStringValueItem>(std::move(value));
  InsertItem(storedKey.release(), storedValue.release());  // takes ownership of both
}

bool TzorStringWideStringHashList::TryGet(std::string_view key, std::u16string& value) const {
  const TzorStringKeyItem probe = MakeKey(key);
  const TLinkedItem* item = FindItem(&probe);
  if (!item) return false;
  value = static_cast<const TzorWideStringValueItem*>(item->Value)->Value;
  return true;
}

std::u16string TzorStringWideStringHashList::Get(std::string_view key) const {
  std::u16string value;
  if (TryGet(key, value)) return value;
  if (!DefaultOnMissing) throw EzorNoSuchElementError("Value not found");
  return {};
}

std::u16string TzorStringWideStringHashList::Remove(std::string_view key) {
  const TzorStringKeyItem probe = MakeKey(key);
  TObject* value = nullptr;
  if (!RemoveItem(&probe, value)) {
    if (!DefaultOnMissing) throw EzorNoSuchElementError("Value not found");
    return {};
  }
  std::unique_ptr<TObject> owned(value);  // ours now, whatever OwnsValues says
  return std::move(static_cast<TzorWideStringValueItem*>(owned.get())->Value);
}

bool TzorStringWideStringHashList::Contains(std::string_view key) const {
  const TzorStringKeyItem probe = MakeKey(key);
  return FindItem(&probe) != nullptr;
}

}  // namespace kelda
