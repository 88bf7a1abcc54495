// Parameter lists: ordered lists of named values in which all structured data crosses the
// boundary between the host and the module (command words and their arguments, answers, decoded
// data packets). Inside the module a list is a plain TzorParamsList; towards the host it is shown
// through a reference-counted interface in an 8-bit flavour (IzorParamsListA) and a UTF-16
// flavour (IzorParamsListW). See platform/Boundary.h for how arguments are passed.
//
// Rows: a list may hold several rows of values; a row marker item (name "$NEW_ROW$", null value,
// DataType 0xFF01) ends each row. A list without any marker is read as one row.
//
// A TzorParamsList has no lock of its own: a list shared between threads lives in a
// TzorThreadParamsList and is used only under its locks. The wraps' reference counts are atomic;
// their other fields are not guarded.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Common/Classes.h"
#include "Common/Thread_Common.h"
#include "Common/Variants.h"
#include "platform/Boundary.h"

namespace kelda {

// The fifth 32-bit word of every live TzorParamsList; it lets code that is handed a bare pointer
// tell a list object from the address of an interface variable.
constexpr uint32_t kParamsListSignature = 0x0FDE2E4B;
constexpr int32_t kRowMarkerDataType = 0xFF01;
inline constexpr char kRowMarkerName[] = "$NEW_ROW$";
inline constexpr char kParamsListSourcePath[] = "Common/zorParamLst";

// Lines reported by the lists' assertion failures.
constexpr int kLineItemSlot = 702;  // writing an item slot outside 0..Count-1
constexpr int kLineIndexOfSignature = 764;
constexpr int kLineAddListSignature = 1008;
constexpr int kLineAddRangeSignature = 1031;
constexpr int kLineGetValueStrict = 1185;
constexpr int kLineSetValueStrict = 1238;
inline constexpr char kParameterNotDefined[] = "Parameter is not defined";

// ---------------------------------------------------------------------------------------------
// Items and lists

class TzorParamsListItemWrap;

// One named value.
class TzorParamsListItem : public TObject {
public:
  // State is 2 when value is neither empty nor null, else 0. The value is copied as the list
  // stores values (CopyVariant).
  TzorParamsListItem(std::string_view name, const VARIANT& value);
  ~TzorParamsListItem() override;  // item interfaces still held by the host lose their item
  TzorParamsListItem(const TzorParamsListItem&) = delete;
  TzorParamsListItem& operator=(const TzorParamsListItem&) = delete;

  // The look-up key of a name: lower-cased by the system code page's rules, nothing else.
  static std::string MakeKey(std::string_view name);

  bool IsNewRow() const { return DataType == kRowMarkerDataType; }
  void SetValue(const VARIANT& value) { CopyVariant(Value.Raw(), value); }
  // Renames the item; the key follows the name so that look-ups find it under its new name.
  void Rename(std::string_view name);

  std::string Name;
  std::string Key;
  int32_t DataType = 0;  // a variant type number; kRowMarkerDataType for a row marker
  uint8_t State = 0;
  TVariant Value;  // text always as VT_BSTR

private:
  friend class TzorParamsListItemWrap;
  std::vector<TzorParamsListItemWrap*> FWraps;  // the live item interfaces over this item
};

// An ordered list of named values that owns its items. Look-ups compare keys, so they ignore
// case and nothing else; the same name may occur many times and look-ups find the first.
// "start" and "last" bound a search: start below 0 counts as 0; last -1 (or beyond the end)
// searches to the end, -2 to the end of the current row.
class TzorParamsList : public TObject {
public:
  TzorParamsList();
  ~TzorParamsList() override;
  TzorParamsList(const TzorParamsList&) = delete;
  TzorParamsList& operator=(const TzorParamsList&) = delete;

  int32_t Count() const { return FCount; }
  TzorParamsListItem* Items(int32_t index) const;  // none outside 0..Count-1

  int32_t IndexOf(std::string_view name, int32_t start = 0, int32_t last = -1) const;
  TzorParamsListItem* FindItem(std::string_view name, int32_t start = 0, int32_t last = -1) const;
  TVariant GetValue(std::string_view name, int32_t start = 0, int32_t last = -1) const;
  TVariant GetValueDef(std::string_view name, const VARIANT& def, int32_t start = 0, int32_t last = -1) const;
  TVariant GetValueStrict(std::string_view name) const;  // "Parameter is not defined"

  // A name that is empty or only characters with codes up to 32 adds nothing (none).
  TzorParamsListItem* Add(std::string_view name, const VARIANT& value);
  TzorParamsListItem* Insert(int32_t index, std::string_view name, const VARIANT& value);
  // The first item of that name in the whole list gets the value; with addIfMissing a missing
  // item is added first. Returns the item, or none.
  TzorParamsListItem* SetValue(std::string_view name, const VARIANT& value, bool addIfMissing = true);
  TzorParamsListItem* SetValueStrict(std::string_view name, const VARIANT& value);

  void Delete(int32_t index);  // at or above Count: nothing; negative: assertion failure
  virtual void Clear();

  TzorParamsListItem* AddItemCopy(const TzorParamsListItem& item);
  bool AddList(const TzorParamsList* other);  // false when other is missing or empty
  bool AddRange(const TzorParamsList* other, int32_t first, int32_t last);
  bool FindRowEnd(int32_t start, int32_t& index, bool& isMarker) const;
  void AddNewRow();
  void AppendRows(const TzorParamsList* other);

  bool HasValidSignature() const { return Signature == kParamsListSignature; }

protected:
  // The items the list creates (a descendant may create a descendant item class).
  virtual TzorParamsListItem* NewItem(std::string_view name, const VARIANT& value);
  void SetItems(int32_t index, TzorParamsListItem* item);  // assertion failure outside range

private:
  void InsertSlot(int32_t index, TzorParamsListItem* item);
  void Grow();

  // The pointer-list part: item array, count, capacity. Signature must follow them, as the
  // fifth 32-bit word of the object (after the vtable pointer).
  TzorParamsListItem** FList = nullptr;
  int32_t FCount = 0;
  int32_t FCapacity = 0;

public:
  uint32_t Signature;  // kParamsListSignature from construction until destruction starts
  std::string ListId;  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", made at construction
  int32_t Tag = 0;
};

// The list of one data packet: the values decoded from it and the raw packet text.
class TParsedDataList : public TzorParamsList {
public:
  void Clear() override;  // empties PacketText too
  std::string PacketText;
};

// A parameter list shared between threads: LockRead/LockWrite hand out the owned list under the
// shared or exclusive lock.
class TzorThreadParamsList : public TThreadObject {
public:
  TzorThreadParamsList();
  ~TzorThreadParamsList() override;

  TzorParamsList* LockRead() { return static_cast<TzorParamsList*>(TThreadObject::LockRead()); }
  TzorParamsList* LockWrite() { return static_cast<TzorParamsList*>(TThreadObject::LockWrite()); }

private:
  std::unique_ptr<TzorParamsList> FList;
};

// ---------------------------------------------------------------------------------------------
// Interfaces

class TzorParamsListWrap;

inline constexpr GUID IID_IzorParamsListA = {
    0x33316D29, 0x0F86, 0x41C4, {0x8D, 0xB4, 0x3F, 0xE9, 0x75, 0x61, 0x58, 0xB1}};
inline constexpr GUID IID_IzorParamsListW = {
    0x33316D29, 0x0F86, 0x41C4, {0x8D, 0xB4, 0x3F, 0xE9, 0x75, 0x61, 0x58, 0xB2}};
inline constexpr GUID IID_IzorParamsListItemA = {
    0x33316D29, 0x0F86, 0x41C4, {0x8D, 0xB4, 0x3F, 0xE9, 0x75, 0x61, 0x58, 0xB4}};
inline constexpr GUID IID_IzorParamsListItemW = {
    0x33316D29, 0x0F86, 0x41C4, {0x8D, 0xB4, 0x3F, 0xE9, 0x75, 0x61, 0x58, 0xB6}};

// One item. QueryInterface answers IID_IzorParamsListItemA and IID_IzorParamsListItemW. Strings
// returned stay valid as long as the item interface lives.
struct IzorParamsListItemA : IUnknown {
  virtual void KELDA_STDCALL SetKeyText(const char* text) = 0;   // 3: the cached key text only
  virtual void KELDA_STDCALL SetDataType(int32_t dataType) = 0;  // 4
  virtual void KELDA_STDCALL SetState(uint8_t state) = 0;        // 5
  virtual const char* KELDA_STDCALL GetKeyText() = 0;            // 6: UTF-8, none when empty
  virtual int32_t KELDA_STDCALL GetDataType() = 0;               // 7
  virtual uint8_t KELDA_STDCALL GetState() = 0;                  // 8
  virtual HRESULT KELDA_STDCALL SetValue(VARIANT value) = 0;     // 9
  virtual HRESULT KELDA_STDCALL GetValue(VARIANT* value) = 0;    // 10
  virtual void KELDA_STDCALL SetName(const char* name) = 0;      // 11
  virtual const char* KELDA_STDCALL GetName() = 0;               // 12: none when empty
  virtual uint8_t KELDA_STDCALL IsNewRow() = 0;                  // 13
};

struct IzorParamsListItemW : IzorParamsListItemA {
  virtual void KELDA_STDCALL SetNameW(const WideChar* name) = 0;  // 14
  virtual const WideChar* KELDA_STDCALL GetNameW() = 0;           // 15: none when empty
  virtual HRESULT KELDA_STDCALL SetValueW(VARIANT value) = 0;     // 16
  virtual HRESULT KELDA_STDCALL GetValueW(VARIANT* value) = 0;    // 17
};

// The methods common to both list flavours. QueryInterface answers IID_IzorParamsListA and
// IID_IzorParamsListW and nothing else.
struct IzorParamsList_ : IUnknown {
  virtual int32_t KELDA_STDCALL GetCount() = 0;                                                    // 3
  virtual uint32_t KELDA_STDCALL GetSignature() = 0;                                               // 4
  virtual int32_t KELDA_STDCALL GetTag() = 0;                                                      // 5
  virtual void KELDA_STDCALL SetTag(int32_t value) = 0;                                            // 6
  virtual void KELDA_STDCALL Clear() = 0;                                                          // 7
  virtual void KELDA_STDCALL Delete(int32_t index) = 0;                                            // 8
  virtual uint8_t KELDA_STDCALL FindRowEnd(int32_t start, int32_t* index, uint8_t* isMarker) = 0;  // 9
  virtual void KELDA_STDCALL AddNewRow() = 0;                                                      // 10
  virtual void KELDA_STDCALL AppendRows(TzorParamsListWrap* other) = 0;                            // 11
};

// 8-bit flavour: names are NUL-terminated strings in the system code page. All HRESULT: 0, or
// 0x8000FFFF when anything failed; outputs are cleared first.
struct IzorParamsListA : IzorParamsList_ {
  virtual HRESULT KELDA_STDCALL GetItem(int32_t index, IzorParamsListItemA** item) = 0;  // 12
  virtual HRESULT KELDA_STDCALL AddList(TzorParamsList* list, uint8_t* result) = 0;      // 13
  virtual HRESULT KELDA_STDCALL AddRange(TzorParamsList* list, int32_t first, int32_t last,
                                         uint8_t* result) = 0;  // 14
  virtual HRESULT KELDA_STDCALL FindItem(const char* name, int32_t start, int32_t last,
                                         IzorParamsListItemA** item) = 0;  // 15
  virtual HRESULT KELDA_STDCALL IndexOf(const char* name, int32_t start, int32_t last,
                                        int32_t* index) = 0;  // 16
  virtual HRESULT KELDA_STDCALL GetValue(const char* name, int32_t start, int32_t last,
                                         VARIANT* value) = 0;  // 17
  virtual HRESULT KELDA_STDCALL GetValueDef(const char* name, VARIANT def, int32_t start, int32_t last,
                                            VARIANT* value) = 0;  // 18
  virtual HRESULT KELDA_STDCALL Add(const char* name, VARIANT value,
                                    IzorParamsListItemA** item) = 0;  // 19
  virtual HRESULT KELDA_STDCALL Insert(int32_t index, const char* name, VARIANT value,
                                       IzorParamsListItemA** item) = 0;  // 20
  virtual HRESULT KELDA_STDCALL SetValue(const char* name, VARIANT value, uint8_t addIfMissing,
                                         IzorParamsListItemA** item) = 0;  // 21
  virtual HRESULT KELDA_STDCALL AddItem(IzorParamsListItemA* source,
                                        IzorParamsListItemA** item) = 0;  // 22
};

// UTF-16 flavour: names are NUL-terminated UTF-16 strings, converted to the system code page
// before use. AddList/AddRange take a TzorParamsListWrap object (whose address is also its
// IzorParamsListW reference).
struct IzorParamsListW : IzorParamsList_ {
  virtual HRESULT KELDA_STDCALL GetItem(int32_t index, IzorParamsListItemW** item) = 0;  // 12
  virtual HRESULT KELDA_STDCALL AddList(TzorParamsListWrap* list, uint8_t* result) = 0;  // 13
  virtual HRESULT KELDA_STDCALL AddRange(TzorParamsListWrap* list, int32_t first, int32_t last,
                                         uint8_t* result) = 0;  // 14
  virtual HRESULT KELDA_STDCALL FindItem(const WideChar* name, int32_t start, int32_t last,
                                         IzorParamsListItemW** item) = 0;  // 15
  virtual HRESULT KELDA_STDCALL IndexOf(const WideChar* name, int32_t start, int32_t last,
                                        int32_t* index) = 0;  // 16
  virtual HRESULT KELDA_STDCALL GetValue(const WideChar* name, int32_t start, int32_t last,
                                         VARIANT* value) = 0;  // 17
  virtual HRESULT KELDA_STDCALL GetValueDef(const WideChar* name, VARIANT def, int32_t start, int32_t last,
                                            VARIANT* value) = 0;  // 18
  virtual HRESULT KELDA_STDCALL Add(const WideChar* name, VARIANT value,
                                    IzorParamsListItemW** item) = 0;  // 19
  virtual HRESULT KELDA_STDCALL Insert(int32_t index, const WideChar* name, VARIANT value,
                                       IzorParamsListItemW** item) = 0;  // 20
  virtual HRESULT KELDA_STDCALL SetValue(const WideChar* name, VARIANT value, uint8_t addIfMissing,
                                         IzorParamsListItemW** item) = 0;  // 21
  virtual HRESULT KELDA_STDCALL AddItem(IzorParamsListItemW* source,
                                        IzorParamsListItemW** item) = 0;  // 22
};

// A counted interface reference: released when it goes out of scope.
template <class T>
class TInterfaceRef {
public:
  TInterfaceRef() = default;
  explicit TInterfaceRef(T* adopted) : FPtr(adopted) {}  // takes over a counted reference
  static TInterfaceRef Share(T* intf) {                  // adds a reference of its own
    if (intf) intf->AddRef();
    return TInterfaceRef(intf);
  }
  TInterfaceRef(const TInterfaceRef& other) : FPtr(other.FPtr) {
    if (FPtr) FPtr->AddRef();
  }
  TInterfaceRef(TInterfaceRef&& other) noexcept : FPtr(other.FPtr) { other.FPtr = nullptr; }
  TInterfaceRef& operator=(TInterfaceRef other) noexcept {
    std::swap(FPtr, other.FPtr);
    return *this;
  }
  ~TInterfaceRef() { Reset(); }

  T* get() const { return FPtr; }
  T* operator->() const { return FPtr; }
  explicit operator bool() const { return FPtr != nullptr; }
  // For out arguments: releases what it held and hands out its slot.
  T** Receive() {
    Reset();
    return &FPtr;
  }
  void Reset() {
    if (FPtr) FPtr->Release();
    FPtr = nullptr;
  }
  T* Detach() {
    T* p = FPtr;
    FPtr = nullptr;
    return p;
  }

private:
  T* FPtr = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Interface objects

// The interface object of one item, made for every item an interface method hands out. It
// frees itself when its count reaches zero and never frees the item. One table serves both item
// interfaces. When the item is freed while the host still holds the interface (the list was
// cleared, the item deleted), the wrap loses its item: the value methods answer 0x8000FFFF, the
// others answer 0 or the cached names and change nothing.
class TzorParamsListItemWrap final : public IzorParamsListItemW {
public:
  // A counted reference to a new wrap over item, or none for none.
  static IzorParamsListItemW* New(TzorParamsListItem* item);

  HRESULT KELDA_STDCALL QueryInterface(REFIID riid, void** object) override;
  ULONG KELDA_STDCALL AddRef() override;
  ULONG KELDA_STDCALL Release() override;

  void KELDA_STDCALL SetKeyText(const char* text) override;
  void KELDA_STDCALL SetDataType(int32_t dataType) override;
  void KELDA_STDCALL SetState(uint8_t state) override;
  const char* KELDA_STDCALL GetKeyText() override;
  int32_t KELDA_STDCALL GetDataType() override;
  uint8_t KELDA_STDCALL GetState() override;
  HRESULT KELDA_STDCALL SetValue(VARIANT value) override;
  HRESULT KELDA_STDCALL GetValue(VARIANT* value) override;
  void KELDA_STDCALL SetName(const char* name) override;
  const char* KELDA_STDCALL GetName() override;
  uint8_t KELDA_STDCALL IsNewRow() override;
  void KELDA_STDCALL SetNameW(const WideChar* name) override;
  const WideChar* KELDA_STDCALL GetNameW() override;
  HRESULT KELDA_STDCALL SetValueW(VARIANT value) override;
  HRESULT KELDA_STDCALL GetValueW(VARIANT* value) override;

  std::u16string NameW;  // UTF-16 copy of the name
  std::string NameA;     // 8-bit copy of the name
  std::string KeyText;   // UTF-8 encoding of the lower-cased name
  TzorParamsListItem* Item;
  std::atomic<int32_t> RefCount{0};

private:
  explicit TzorParamsListItemWrap(TzorParamsListItem* item);
  ~TzorParamsListItemWrap();
  void RefreshNames();
  TzorParamsListItem& LiveItem();  // the item, or a failure when it was freed
  HRESULT StoreValue(const VARIANT& value, bool eightBitStrings);
};

// The interface object of a list, in both flavours. Its address is its IzorParamsListW
// reference. Made over an existing list it borrows it (BorrowedList = 1, never frees it);
// made without one it creates an empty list of its own and frees it when it is destroyed.
// With OwnerManaged = 0 the last Release frees the wrap; with OwnerManaged set its owner
// destroys it (delete) and the count reaching zero frees nothing.
class TzorParamsListWrap final : public IzorParamsListW, public IzorParamsListA {
public:
  explicit TzorParamsListWrap(TzorParamsList* list = nullptr);
  ~TzorParamsListWrap();
  TzorParamsListWrap(const TzorParamsListWrap&) = delete;
  TzorParamsListWrap& operator=(const TzorParamsListWrap&) = delete;

  IzorParamsListA* AsA() { return this; }
  IzorParamsListW* AsW() { return this; }

  // IUnknown (shared by both flavours)
  HRESULT KELDA_STDCALL QueryInterface(REFIID riid, void** object) override;
  ULONG KELDA_STDCALL AddRef() override;
  ULONG KELDA_STDCALL Release() override;

  // IzorParamsList_
  int32_t KELDA_STDCALL GetCount() override;
  uint32_t KELDA_STDCALL GetSignature() override;
  int32_t KELDA_STDCALL GetTag() override;
  void KELDA_STDCALL SetTag(int32_t value) override;
  void KELDA_STDCALL Clear() override;
  void KELDA_STDCALL Delete(int32_t index) override;
  uint8_t KELDA_STDCALL FindRowEnd(int32_t start, int32_t* index, uint8_t* isMarker) override;
  void KELDA_STDCALL AddNewRow() override;
  void KELDA_STDCALL AppendRows(TzorParamsListWrap* other) override;

  // IzorParamsListA
  HRESULT KELDA_STDCALL GetItem(int32_t index, IzorParamsListItemA** item) override;
  HRESULT KELDA_STDCALL AddList(TzorParamsList* list, uint8_t* result) override;
  HRESULT KELDA_STDCALL AddRange(TzorParamsList* list, int32_t first, int32_t last, uint8_t* result) override;
  HRESULT KELDA_STDCALL FindItem(const char* name, int32_t start, int32_t last,
                                 IzorParamsListItemA** item) override;
  HRESULT KELDA_STDCALL IndexOf(const char* name, int32_t start, int32_t last, int32_t* index) override;
  HRESULT KELDA_STDCALL GetValue(const char* name, int32_t start, int32_t last, VARIANT* value) override;
  HRESULT KELDA_STDCALL GetValueDef(const char* name, VARIANT def, int32_t start, int32_t last,
                                    VARIANT* value) override;
  HRESULT KELDA_STDCALL Add(const char* name, VARIANT value, IzorParamsListItemA** item) override;
  HRESULT KELDA_STDCALL Insert(int32_t index, const char* name, VARIANT value,
                               IzorParamsListItemA** item) override;
  HRESULT KELDA_STDCALL SetValue(const char* name, VARIANT value, uint8_t addIfMissing,
                                 IzorParamsListItemA** item) override;
  HRESULT KELDA_STDCALL AddItem(IzorParamsListItemA* source, IzorParamsListItemA** item) override;

  // IzorParamsListW
  HRESULT KELDA_STDCALL GetItem(int32_t index, IzorParamsListItemW** item) override;
  HRESULT KELDA_STDCALL AddList(TzorParamsListWrap* list, uint8_t* result) override;
  HRESULT KELDA_STDCALL AddRange(TzorParamsListWrap* list, int32_t first, int32_t last,
                                 uint8_t* result) override;
  HRESULT KELDA_STDCALL FindItem(const WideChar* name, int32_t start, int32_t last,
                                 IzorParamsListItemW** item) override;
  HRESULT KELDA_STDCALL IndexOf(const WideChar* name, int32_t start, int32_t last, int32_t* index) override;
  HRESULT KELDA_STDCALL GetValue(const WideChar* name, int32_t start, int32_t last, VARIANT* value) override;
  HRESULT KELDA_STDCALL GetValueDef(const WideChar* name, VARIANT def, int32_t start, int32_t last,
                                    VARIANT* value) override;
  HRESULT KELDA_STDCALL Add(const WideChar* name, VARIANT value, IzorParamsListItemW** item) override;
  HRESULT KELDA_STDCALL Insert(int32_t index, const WideChar* name, VARIANT value,
                               IzorParamsListItemW** item) override;
  HRESULT KELDA_STDCALL SetValue(const WideChar* name, VARIANT value, uint8_t addIfMissing,
                                 IzorParamsListItemW** item) override;
  HRESULT KELDA_STDCALL AddItem(IzorParamsListItemW* source, IzorParamsListItemW** item) override;

  IUnknown* FInterface = nullptr;  // an interface reference slot, unused by the lists themselves
  int32_t OwnerManaged = 0;
  int32_t BorrowedList;
  TzorParamsList* List;
  std::atomic<int32_t> RefCount{0};
};

// ---------------------------------------------------------------------------------------------
// Lists handed over as bare pointers

// True when pointer is not null and the 32-bit word 16 bytes into its target is the list
// signature: the pointer is then a TzorParamsList object; otherwise it is taken as the address
// of a variable holding an interface reference.
bool IsParamsListObject(const void* pointer);

// A counted reference to the list a bare pointer designates (the caller releases it), or none
// when the pointer is null or the variable it points to holds none. A list object gets a new wrap
// over it with BorrowedList = 1; an interface variable's reference is shared (one AddRef).
// wrapOut, when given, receives the wrap made over a list object (none otherwise). Raises only
// when memory is exhausted.
IzorParamsListA* ParamsListFromPointerA(void* pointer, TzorParamsListWrap** wrapOut = nullptr);
IzorParamsListW* ParamsListFromPointerW(void* pointer, TzorParamsListWrap** wrapOut = nullptr);

}  // namespace kelda
