#include "Common/zorParamLst.h"

#include <cstddef>
#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

#include "Common/Exceptions.h"
#include "platform/CodePage.h"
#include "platform/Debug.h"
#include "platform/Guid.h"

namespace kelda {

// Code that is handed a bare pointer reads the 32-bit word 16 bytes into the object; the
// pointer-list part (vtable pointer, item array, count, capacity) comes before it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(offsetof(TzorParamsList, Signature) == 16, "Signature is the fifth 32-bit word");
static_assert(sizeof(void*) == 4, "the list layout is the 32-bit one");
#pragma GCC diagnostic pop

namespace {

[[noreturn]] void AssertionFailure(int line, const std::string& text = std::string()) {
  throw EAssertionFailed(text, kParamsListSourcePath, line);
}

// Names that are empty or only blanks and control characters name nothing.
bool IsBlankName(std::string_view name) {
  for (unsigned char c : name)
    if (c > ' ') return false;
  return true;
}

std::string_view AnsiName(const char* name) {
  return name ? std::string_view(name) : std::string_view();
}

std::u16string_view WideZ(const WideChar* name) {
  if (!name) return {};
  const auto* s = reinterpret_cast<const char16_t*>(name);
  std::size_t n = 0;
  while (s[n]) ++n;
  return {s, n};
}

std::string NameFromW(const WideChar* name) {
  return platform::WideToAnsi(WideZ(name));
}

// The interface methods of the HRESULT kind: every failure becomes 0x8000FFFF.
template <class F>
HRESULT Guarded(F&& body) {
  try {
    body();
    return S_OK;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

// Other interface methods answer their result directly; a failure answers the fallback.
template <class R, class F>
R Swallowed(R fallback, F&& body) {
  try {
    return body();
  } catch (...) {
    return fallback;
  }
}

template <class T>
void ClearOut(T** out) {
  if (out) *out = nullptr;
}

void ClearOut(VARIANT* out) {
  if (out) std::memset(out, 0, sizeof *out);
}

template <class T>
T& Required(T* out) {
  if (!out) throw Exception("Missing output argument");
  return *out;
}

// The table pointer at the start of an interface object.
const void* TableOf(const void* intf) {
  const void* table;
  std::memcpy(&table, intf, sizeof table);
  return table;
}

// The list of a wrap handed in as an object. Every wrap shares the tables of self, so the
// pointer is checked against them before it is used as a wrap: the wrap itself (its W
// reference) and its A reference are accepted, anything else is refused rather than read as a
// wrap.
const TzorParamsList* ListOfWrap(TzorParamsListWrap* self, TzorParamsListWrap* other) {
  if (!other) return nullptr;
  const void* table = TableOf(other);
  if (table == TableOf(static_cast<IzorParamsListW*>(self))) return other->List;
  if (table == TableOf(static_cast<IzorParamsListA*>(self)))
    return static_cast<TzorParamsListWrap*>(reinterpret_cast<IzorParamsListA*>(other))->List;
  throw Exception("Not a parameter list object");
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TzorParamsListItem

TzorParamsListItem::TzorParamsListItem(std::string_view name, const VARIANT& value)
    : Name(name), Key(MakeKey(name)), Value(value) {
  State = Value.IsEmptyOrNull() ? 0 : 2;
}

// Item interfaces may be released on another thread than the one that frees the item; their
// registration with the item is kept consistent under one lock.
static std::mutex& ItemWrapLock() {
  static std::mutex lock;
  return lock;
}

TzorParamsListItem::~TzorParamsListItem() {
  std::lock_guard<std::mutex> guard(ItemWrapLock());
  for (TzorParamsListItemWrap* wrap : FWraps) wrap->Item = nullptr;
}

std::string TzorParamsListItem::MakeKey(std::string_view name) {
  return platform::AnsiLowerCase(name);
}

void TzorParamsListItem::Rename(std::string_view name) {
  Name = std::string(name);
  Key = MakeKey(name);
}

// ---------------------------------------------------------------------------------------------
// TzorParamsList

TzorParamsList::TzorParamsList() : Signature(kParamsListSignature), ListId(platform::NewGuidText()) {}

TzorParamsList::~TzorParamsList() {
  Signature = 0;
  TzorParamsList::Clear();
  delete[] FList;
}

TzorParamsListItem* TzorParamsList::Items(int32_t index) const {
  if (index < 0 || index >= FCount) return nullptr;
  return FList[index];
}

void TzorParamsList::SetItems(int32_t index, TzorParamsListItem* item) {
  if (index < 0 || index >= FCount) AssertionFailure(kLineItemSlot);
  FList[index] = item;
}

TzorParamsListItem* TzorParamsList::NewItem(std::string_view name, const VARIANT& value) {
  return new TzorParamsListItem(name, value);
}

void TzorParamsList::Grow() {
  int32_t capacity = FCapacity < 4 ? 8 : FCapacity < 64 ? FCapacity * 2 : FCapacity + FCapacity / 2;
  auto** grown = new TzorParamsListItem*[capacity];
  if (FCount) std::memcpy(grown, FList, sizeof(*FList) * FCount);
  delete[] FList;
  FList = grown;
  FCapacity = capacity;
}

void TzorParamsList::InsertSlot(int32_t index, TzorParamsListItem* item) {
  if (FCount == FCapacity) Grow();
  if (index < FCount) std::memmove(FList + index + 1, FList + index, sizeof(*FList) * (FCount - index));
  FList[index] = item;
  ++FCount;
}

int32_t TzorParamsList::IndexOf(std::string_view name, int32_t start, int32_t last) const {
  if (!HasValidSignature()) AssertionFailure(kLineIndexOfSignature);
  if (FCount == 0) return -1;
  const std::string key = TzorParamsListItem::MakeKey(name);
  if (start < 0) start = 0;
  const int32_t end = (last < 0 || last >= FCount) ? FCount - 1 : last;
  for (int32_t i = start; i <= end; ++i) {
    const TzorParamsListItem* item = FList[i];
    if (item->Key == key) return i;
    if (last == -2 && item->IsNewRow()) return -1;
  }
  return -1;
}

TzorParamsListItem* TzorParamsList::FindItem(std::string_view name, int32_t start, int32_t last) const {
  if (FCount == 0) return nullptr;
  return Items(IndexOf(name, start, last));
}

TVariant TzorParamsList::GetValue(std::string_view name, int32_t start, int32_t last) const {
  const TzorParamsListItem* item = FindItem(name, start, last);
  return item ? item->Value : TVariant();
}

TVariant TzorParamsList::GetValueDef(std::string_view name, const VARIANT& def, int32_t start,
                                     int32_t last) const {
  const TzorParamsListItem* item = FindItem(name, start, last);
  return item ? item->Value : TVariant(def);
}

TVariant TzorParamsList::GetValueStrict(std::string_view name) const {
  const TzorParamsListItem* item = FindItem(name);
  if (!item) AssertionFailure(kLineGetValueStrict, kParameterNotDefined);
  return item->Value;
}

TzorParamsListItem* TzorParamsList::Add(std::string_view name, const VARIANT& value) {
  return Insert(FCount, name, value);
}

TzorParamsListItem* TzorParamsList::Insert(int32_t index, std::string_view name, const VARIANT& value) {
  if (IsBlankName(name)) return nullptr;
  if (index < 0 || index > FCount)
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  std::unique_ptr<TzorParamsListItem> item(NewItem(name, value));
  item->State = 2;
  InsertSlot(index, item.get());
  return item.release();
}

TzorParamsListItem* TzorParamsList::SetValue(std::string_view name, const VARIANT& value, bool addIfMissing) {
  TzorParamsListItem* item = FindItem(name);
  if (!item && addIfMissing) item = Add(name, VariantNull());
  if (item) item->SetValue(value);
  return item;
}

TzorParamsListItem* TzorParamsList::SetValueStrict(std::string_view name, const VARIANT& value) {
  TzorParamsListItem* item = FindItem(name);
  if (!item) AssertionFailure(kLineSetValueStrict, kParameterNotDefined);
  item->SetValue(value);
  return item;
}

void TzorParamsList::Delete(int32_t index) {
  if (index < 0) SetItems(index, nullptr);  // raises the item slot assertion
  if (index >= FCount) return;
  TzorParamsListItem* item = FList[index];
  --FCount;
  std::memmove(FList + index, FList + index + 1, sizeof(*FList) * (FCount - index));
  delete item;
}

void TzorParamsList::Clear() {
  // Items are freed in index order and unlinked first, so a list seen while an item is being
  // destroyed never shows a freed item.
  for (int32_t i = 0; i < FCount; ++i) {
    TzorParamsListItem* item = FList[i];
    FList[i] = nullptr;
    delete item;
  }
  FCount = 0;
}

TzorParamsListItem* TzorParamsList::AddItemCopy(const TzorParamsListItem& item) {
  // A copy keeps every item, also one whose name was later made blank through the interface, so
  // it is created directly instead of through Add.
  std::unique_ptr<TzorParamsListItem> copy(NewItem(item.Name, item.Value));
  copy->Name = item.Name;
  copy->Key = item.Key;
  copy->DataType = item.DataType;
  copy->State = item.State;
  InsertSlot(FCount, copy.get());
  return copy.release();
}

bool TzorParamsList::AddList(const TzorParamsList* other) {
  if (!other) return false;
  if (!other->HasValidSignature()) AssertionFailure(kLineAddListSignature);
  if (other->FCount == 0) return false;
  // Counted before copying, so that a list appended to itself is copied once.
  const int32_t count = other->FCount;
  for (int32_t i = 0; i < count; ++i) AddItemCopy(*other->FList[i]);
  return true;
}

bool TzorParamsList::AddRange(const TzorParamsList* other, int32_t first, int32_t last) {
  if (!other) return false;
  if (!other->HasValidSignature()) AssertionFailure(kLineAddRangeSignature);
  if (other->FCount == 0) return false;
  if (first < 0) first = 0;
  if (last < 0 || last >= other->FCount) last = other->FCount - 1;
  for (int32_t i = first; i <= last; ++i) AddItemCopy(*other->FList[i]);
  return true;
}

bool TzorParamsList::FindRowEnd(int32_t start, int32_t& index, bool& isMarker) const {
  index = -1;
  isMarker = false;
  if (start < 0) start = 0;
  if (start >= FCount) return false;
  int32_t i = start;
  while (i < FCount - 1 && !FList[i]->IsNewRow()) ++i;
  index = i;
  isMarker = FList[i]->IsNewRow();
  return true;
}

void TzorParamsList::AddNewRow() {
  if (FCount > 0 && FList[FCount - 1]->IsNewRow()) return;
  TzorParamsListItem* marker = Add(kRowMarkerName, VariantNull());
  marker->DataType = kRowMarkerDataType;
}

void TzorParamsList::AppendRows(const TzorParamsList* other) {
  if (!other) return;
  const bool endsWithMarker = other->FCount > 0 && other->FList[other->FCount - 1]->IsNewRow();
  AddList(other);
  if (!endsWithMarker) AddNewRow();
}

void TParsedDataList::Clear() {
  TzorParamsList::Clear();
  PacketText.clear();
}

// ---------------------------------------------------------------------------------------------
// TzorThreadParamsList

TzorThreadParamsList::TzorThreadParamsList() : FList(std::make_unique<TzorParamsList>()) {
  SetGuardedObject(FList.get());
}

TzorThreadParamsList::~TzorThreadParamsList() = default;

// ---------------------------------------------------------------------------------------------
// TzorParamsListItemWrap

TzorParamsListItemWrap::TzorParamsListItemWrap(TzorParamsListItem* item) : Item(item) {
  RefreshNames();
  std::lock_guard<std::mutex> guard(ItemWrapLock());
  Item->FWraps.push_back(this);
}

TzorParamsListItemWrap::~TzorParamsListItemWrap() {
  std::lock_guard<std::mutex> guard(ItemWrapLock());
  if (!Item) return;
  auto& wraps = Item->FWraps;
  wraps.erase(std::remove(wraps.begin(), wraps.end(), this), wraps.end());
}

IzorParamsListItemW* TzorParamsListItemWrap::New(TzorParamsListItem* item) {
  if (!item) return nullptr;
  auto* wrap = new TzorParamsListItemWrap(item);
  wrap->AddRef();
  return wrap;
}

TzorParamsListItem& TzorParamsListItemWrap::LiveItem() {
  if (!Item) throw Exception("The item of this interface was freed");
  return *Item;
}

void TzorParamsListItemWrap::RefreshNames() {
  NameA = Item->Name;
  NameW = platform::AnsiToWide(NameA);
  KeyText = platform::WideToUtf8(platform::AnsiToWide(TzorParamsListItem::MakeKey(NameA)));
}

HRESULT TzorParamsListItemWrap::QueryInterface(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (!SameGuid(riid, IID_IzorParamsListItemA) && !SameGuid(riid, IID_IzorParamsListItemW))
    return E_NOINTERFACE;
  *object = static_cast<IzorParamsListItemW*>(this);
  AddRef();
  return S_OK;
}

ULONG TzorParamsListItemWrap::AddRef() {
  return static_cast<ULONG>(++RefCount);
}

ULONG TzorParamsListItemWrap::Release() {
  const int32_t count = --RefCount;
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

void TzorParamsListItemWrap::SetKeyText(const char* text) {
  Swallowed(0, [&] {
    KeyText = text ? text : "";
    return 0;
  });
}

void TzorParamsListItemWrap::SetDataType(int32_t dataType) {
  if (Item) Item->DataType = dataType;
}

void TzorParamsListItemWrap::SetState(uint8_t state) {
  if (Item) Item->State = state;
}

const char* TzorParamsListItemWrap::GetKeyText() {
  return KeyText.empty() ? nullptr : KeyText.c_str();
}

int32_t TzorParamsListItemWrap::GetDataType() {
  return Item ? Item->DataType : 0;
}

uint8_t TzorParamsListItemWrap::GetState() {
  return Item ? Item->State : 0;
}

HRESULT TzorParamsListItemWrap::StoreValue(const VARIANT& value, bool eightBitStrings) {
  return Guarded([&] { CopyVariantFromHost(LiveItem().Value.Raw(), value, eightBitStrings); });
}

HRESULT TzorParamsListItemWrap::SetValue(VARIANT value) {
  return StoreValue(value, true);
}

HRESULT TzorParamsListItemWrap::GetValue(VARIANT* value) {
  ClearOut(value);
  return Guarded([&] { CopyVariant(Required(value), LiveItem().Value.Raw()); });
}

void TzorParamsListItemWrap::SetName(const char* name) {
  Swallowed(0, [&] {
    LiveItem().Rename(AnsiName(name));
    RefreshNames();
    return 0;
  });
}

const char* TzorParamsListItemWrap::GetName() {
  return NameA.empty() ? nullptr : NameA.c_str();
}

uint8_t TzorParamsListItemWrap::IsNewRow() {
  return Item && Item->IsNewRow() ? 1 : 0;
}

void TzorParamsListItemWrap::SetNameW(const WideChar* name) {
  Swallowed(0, [&] {
    LiveItem().Rename(NameFromW(name));
    RefreshNames();
    return 0;
  });
}

const WideChar* TzorParamsListItemWrap::GetNameW() {
  return NameW.empty() ? nullptr : reinterpret_cast<const WideChar*>(NameW.c_str());
}

HRESULT TzorParamsListItemWrap::SetValueW(VARIANT value) {
  return StoreValue(value, false);
}

HRESULT TzorParamsListItemWrap::GetValueW(VARIANT* value) {
  return GetValue(value);
}

// ---------------------------------------------------------------------------------------------
// TzorParamsListWrap

TzorParamsListWrap::TzorParamsListWrap(TzorParamsList* list)
    : BorrowedList(list ? 1 : 0), List(list ? list : new TzorParamsList()) {}

TzorParamsListWrap::~TzorParamsListWrap() {
  FInterface = nullptr;
  if (OwnerManaged != 0 && RefCount.load() > 0)
    platform::ShowErrorBox("TzorParamsListWrap.Destroy. Reference counter should be zero!", "");
  if (!BorrowedList) delete List;
  List = nullptr;
}

HRESULT TzorParamsListWrap::QueryInterface(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (SameGuid(riid, IID_IzorParamsListW)) {
    *object = static_cast<IzorParamsListW*>(this);
  } else if (SameGuid(riid, IID_IzorParamsListA)) {
    *object = static_cast<IzorParamsListA*>(this);
  } else {
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG TzorParamsListWrap::AddRef() {
  return static_cast<ULONG>(++RefCount);
}

ULONG TzorParamsListWrap::Release() {
  const int32_t count = --RefCount;
  if (count == 0 && OwnerManaged == 0) delete this;
  return static_cast<ULONG>(count);
}

int32_t TzorParamsListWrap::GetCount() {
  return List->Count();
}

uint32_t TzorParamsListWrap::GetSignature() {
  return List->Signature;
}

int32_t TzorParamsListWrap::GetTag() {
  return List->Tag;
}

void TzorParamsListWrap::SetTag(int32_t value) {
  List->Tag = value;
}

void TzorParamsListWrap::Clear() {
  Swallowed(0, [&] {
    List->Clear();
    return 0;
  });
}

void TzorParamsListWrap::Delete(int32_t index) {
  Swallowed(0, [&] {
    List->Delete(index);
    return 0;
  });
}

uint8_t TzorParamsListWrap::FindRowEnd(int32_t start, int32_t* index, uint8_t* isMarker) {
  int32_t foundIndex = -1;
  bool foundMarker = false;
  const bool found = Swallowed(false, [&] { return List->FindRowEnd(start, foundIndex, foundMarker); });
  if (index) *index = foundIndex;
  if (isMarker) *isMarker = foundMarker ? 1 : 0;
  return found ? 1 : 0;
}

void TzorParamsListWrap::AddNewRow() {
  Swallowed(0, [&] {
    List->AddNewRow();
    return 0;
  });
}

void TzorParamsListWrap::AppendRows(TzorParamsListWrap* other) {
  Swallowed(0, [&] {
    List->AppendRows(ListOfWrap(this, other));
    return 0;
  });
}

namespace {

// The two list flavours differ only in how names arrive and how 8-bit string variants are
// read; these helpers carry what they share.
template <class Item, class Store>
HRESULT StoreFromHost(Item** item, const VARIANT& value, bool ansi, Store&& store) {
  ClearOut(item);
  return Guarded([&] {
    Item*& out = Required(item);
    TVariant stored;
    CopyVariantFromHost(stored.Raw(), value, ansi);
    out = TzorParamsListItemWrap::New(store(stored));
  });
}

template <class Name>
HRESULT ValueOrDefault(TzorParamsList& list, Name&& name, const VARIANT& def, int32_t start, int32_t last,
                       bool ansi, VARIANT* value) {
  ClearOut(value);
  return Guarded([&] {
    VARIANT& out = Required(value);
    const TzorParamsListItem* item = list.FindItem(name(), start, last);
    if (item)
      out = TVariant(item->Value).Detach();
    else
      CopyVariantFromHost(out, def, ansi);  // handed out as an OLE value like every other
  });
}

HRESULT SourceValue(IzorParamsListItemA* source, VARIANT* value) {
  return source->GetValue(value);
}
HRESULT SourceValue(IzorParamsListItemW* source, VARIANT* value) {
  return source->GetValueW(value);
}
std::string SourceName(IzorParamsListItemA* source) {
  return std::string(AnsiName(source->GetName()));
}
std::string SourceName(IzorParamsListItemW* source) {
  return NameFromW(source->GetNameW());
}

template <class Item>
HRESULT AddItemFrom(TzorParamsList& list, Item* source, Item** item, bool ansi) {
  ClearOut(item);
  return Guarded([&] {
    Item*& out = Required(item);
    if (!source) return;
    TVariant value;
    if (SourceValue(source, value.Ptr()) != S_OK) throw Exception("The source item gave no value");
    TVariant stored;
    CopyVariantFromHost(stored.Raw(), value, ansi);
    out = TzorParamsListItemWrap::New(list.Add(SourceName(source), stored));
  });
}

}  // namespace

// IzorParamsListA

HRESULT TzorParamsListWrap::GetItem(int32_t index, IzorParamsListItemA** item) {
  ClearOut(item);
  return Guarded([&] { Required(item) = TzorParamsListItemWrap::New(List->Items(index)); });
}

HRESULT TzorParamsListWrap::AddList(TzorParamsList* list, uint8_t* result) {
  if (result) *result = 0;
  return Guarded([&] { Required(result) = List->AddList(list) ? 1 : 0; });
}

HRESULT TzorParamsListWrap::AddRange(TzorParamsList* list, int32_t first, int32_t last, uint8_t* result) {
  if (result) *result = 0;
  return Guarded([&] { Required(result) = List->AddRange(list, first, last) ? 1 : 0; });
}

HRESULT TzorParamsListWrap::FindItem(const char* name, int32_t start, int32_t last,
                                     IzorParamsListItemA** item) {
  ClearOut(item);
  return Guarded(
      [&] { Required(item) = TzorParamsListItemWrap::New(List->FindItem(AnsiName(name), start, last)); });
}

HRESULT TzorParamsListWrap::IndexOf(const char* name, int32_t start, int32_t last, int32_t* index) {
  if (index) *index = -1;
  return Guarded([&] { Required(index) = List->IndexOf(AnsiName(name), start, last); });
}

HRESULT TzorParamsListWrap::GetValue(const char* name, int32_t start, int32_t last, VARIANT* value) {
  ClearOut(value);
  return Guarded([&] { Required(value) = List->GetValue(AnsiName(name), start, last).Detach(); });
}

HRESULT TzorParamsListWrap::GetValueDef(const char* name, VARIANT def, int32_t start, int32_t last,
                                        VARIANT* value) {
  return ValueOrDefault(
      *List, [&] { return AnsiName(name); }, def, start, last, true, value);
}

HRESULT TzorParamsListWrap::Add(const char* name, VARIANT value, IzorParamsListItemA** item) {
  return StoreFromHost(item, value, true, [&](const TVariant& v) { return List->Add(AnsiName(name), v); });
}

HRESULT TzorParamsListWrap::Insert(int32_t index, const char* name, VARIANT value,
                                   IzorParamsListItemA** item) {
  return StoreFromHost(item, value, true,
                       [&](const TVariant& v) { return List->Insert(index, AnsiName(name), v); });
}

HRESULT TzorParamsListWrap::SetValue(const char* name, VARIANT value, uint8_t addIfMissing,
                                     IzorParamsListItemA** item) {
  return StoreFromHost(item, value, true, [&](const TVariant& v) {
    return List->SetValue(AnsiName(name), v, addIfMissing != 0);
  });
}

HRESULT TzorParamsListWrap::AddItem(IzorParamsListItemA* source, IzorParamsListItemA** item) {
  return AddItemFrom(*List, source, item, true);
}

// IzorParamsListW

HRESULT TzorParamsListWrap::GetItem(int32_t index, IzorParamsListItemW** item) {
  ClearOut(item);
  return Guarded([&] { Required(item) = TzorParamsListItemWrap::New(List->Items(index)); });
}

HRESULT TzorParamsListWrap::AddList(TzorParamsListWrap* list, uint8_t* result) {
  if (result) *result = 0;
  return Guarded([&] { Required(result) = List->AddList(ListOfWrap(this, list)) ? 1 : 0; });
}

HRESULT TzorParamsListWrap::AddRange(TzorParamsListWrap* list, int32_t first, int32_t last, uint8_t* result) {
  if (result) *result = 0;
  return Guarded([&] { Required(result) = List->AddRange(ListOfWrap(this, list), first, last) ? 1 : 0; });
}

HRESULT TzorParamsListWrap::FindItem(const WideChar* name, int32_t start, int32_t last,
                                     IzorParamsListItemW** item) {
  ClearOut(item);
  return Guarded(
      [&] { Required(item) = TzorParamsListItemWrap::New(List->FindItem(NameFromW(name), start, last)); });
}

HRESULT TzorParamsListWrap::IndexOf(const WideChar* name, int32_t start, int32_t last, int32_t* index) {
  if (index) *index = -1;
  return Guarded([&] { Required(index) = List->IndexOf(NameFromW(name), start, last); });
}

HRESULT TzorParamsListWrap::GetValue(const WideChar* name, int32_t start, int32_t last, VARIANT* value) {
  ClearOut(value);
  return Guarded([&] { Required(value) = List->GetValue(NameFromW(name), start, last).Detach(); });
}

HRESULT TzorParamsListWrap::GetValueDef(const WideChar* name, VARIANT def, int32_t start, int32_t last,
                                        VARIANT* value) {
  return ValueOrDefault(
      *List, [&] { return NameFromW(name); }, def, start, last, false, value);
}

HRESULT TzorParamsListWrap::Add(const WideChar* name, VARIANT value, IzorParamsListItemW** item) {
  return StoreFromHost(item, value, false, [&](const TVariant& v) { return List->Add(NameFromW(name), v); });
}

HRESULT TzorParamsListWrap::Insert(int32_t index, const WideChar* name, VARIANT value,
                                   IzorParamsListItemW** item) {
  return StoreFromHost(item, value, false,
                       [&](const TVariant& v) { return List->Insert(index, NameFromW(name), v); });
}

HRESULT TzorParamsListWrap::SetValue(const WideChar* name, VARIANT value, uint8_t addIfMissing,
                                     IzorParamsListItemW** item) {
  return StoreFromHost(item, value, false, [&](const TVariant& v) {
    return List->SetValue(NameFromW(name), v, addIfMissing != 0);
  });
}

HRESULT TzorParamsListWrap::AddItem(IzorParamsListItemW* source, IzorParamsListItemW** item) {
  return AddItemFrom(*List, source, item, false);
}

// ---------------------------------------------------------------------------------------------
// Bare pointers

// The word may lie beyond a 4-byte interface variable of the host; reading it is the protocol
// for telling the two apart, so the address sanitizer is told not to object. For memory checkers
// that word is often never written: the decision is taken here, in a frame of its own with a real
// branch (the empty asm keeps the compiler from folding it into its callers), so that exactly
// this frame can be exempted from the uninitialised-value report.
__attribute__((no_sanitize("address"), noinline)) bool IsParamsListObject(const void* pointer) {
  if (!pointer) return false;
  uint32_t word;
  std::memcpy(&word, static_cast<const unsigned char*>(pointer) + 16, sizeof word);
  if (word == kParamsListSignature) {
    asm volatile("");
    return true;
  }
  return false;
}

namespace {

template <class I>
I* FromPointer(void* pointer, TzorParamsListWrap** wrapOut) {
  if (wrapOut) *wrapOut = nullptr;
  if (!pointer) return nullptr;
  if (IsParamsListObject(pointer)) {
    auto* wrap = new TzorParamsListWrap(static_cast<TzorParamsList*>(pointer));
    I* intf = wrap;
    intf->AddRef();
    if (wrapOut) *wrapOut = wrap;
    return intf;
  }
  I* intf = *static_cast<I**>(pointer);
  if (intf) intf->AddRef();
  return intf;
}

}  // namespace

IzorParamsListA* ParamsListFromPointerA(void* pointer, TzorParamsListWrap** wrapOut) {
  return FromPointer<IzorParamsListA>(pointer, wrapOut);
}

IzorParamsListW* ParamsListFromPointerW(void* pointer, TzorParamsListWrap** wrapOut) {
  return FromPointer<IzorParamsListW>(pointer, wrapOut);
}

}  // namespace kelda
