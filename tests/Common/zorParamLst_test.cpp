#include "Common/zorParamLst.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "Common/Exceptions.h"
#include "platform/Bstr.h"
#include "platform/Debug.h"
#include "platform/Guid.h"

using namespace kelda;

namespace {

TVariant Text(const char* s) {
  return TVariant::Adopt(VariantFromText(s));
}
TVariant Int(int32_t i) {
  return TVariant::Adopt(VariantFromInt(i));
}

// A variant as a host builds it on its own stack (no ownership).
VARIANT HostVariant(VARTYPE vt, const void* data) {
  VARIANT v;
  std::memset(&v, 0, sizeof v);
  v.vt = vt;
  v.byref = const_cast<void*>(data);
  return v;
}

VARIANT HostInt(int32_t i) {
  VARIANT v;
  std::memset(&v, 0xCD, sizeof v);  // a host's reserved words are not necessarily zero
  v.vt = VT_I4;
  v.lVal = i;
  return v;
}

const WideChar* W(const char16_t* s) {
  return reinterpret_cast<const WideChar*>(s);
}

std::u16string U16(const WideChar* s) {
  std::u16string out;
  if (s)
    for (const auto* p = reinterpret_cast<const char16_t*>(s); *p; ++p) out += *p;
  return out;
}

int Line(const std::function<void()>& f) {
  try {
    f();
  } catch (const EAssertionFailed& e) {
    EXPECT_EQ(e.SourcePath, "Common/zorParamLst");
    return e.Line;
  }
  return 0;
}

// A list wrap as the host sees it: a counted reference, released at the end of the scope.
struct HostList {
  HostList() {
    auto* wrap = new TzorParamsListWrap();
    wrap->AsA()->AddRef();
    A = wrap->AsA();
    void* w = nullptr;
    EXPECT_EQ(A->QueryInterface(IID_IzorParamsListW, &w), S_OK);
    Wi = static_cast<IzorParamsListW*>(w);
    Wrap = wrap;
  }
  ~HostList() {
    Wi->Release();
    A->Release();
  }
  IzorParamsListA* A;
  IzorParamsListW* Wi;
  TzorParamsListWrap* Wrap;
};

// Slot n of an interface's table, called as a host written in another language calls it.
template <class Fn>
Fn Slot(void* intf, int n) {
  return reinterpret_cast<Fn>((*static_cast<void***>(intf))[n]);
}

}  // namespace

TEST(zorParamLst, ListObjectLayoutAndIdentity) {
  TzorParamsList list;
  uint32_t fifthWord;
  std::memcpy(&fifthWord, reinterpret_cast<const unsigned char*>(&list) + 16, 4);
  EXPECT_EQ(fifthWord, 0x0FDE2E4Bu);
  EXPECT_TRUE(IsParamsListObject(&list));
  TParsedDataList packet;
  EXPECT_TRUE(IsParamsListObject(&packet));

  EXPECT_TRUE(std::regex_match(list.ListId, std::regex("^\\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\}$")))
      << list.ListId;
  EXPECT_NE(list.ListId, packet.ListId);
  EXPECT_EQ(list.Tag, 0);
  EXPECT_EQ(list.Count(), 0);
}

TEST(zorParamLst, NamesAreComparedThroughKeysOnly) {
  TzorParamsList list;
  list.Add("Port", Int(1));
  list.Add("PORT", Int(2));
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.GetValue("port").ToInt(), 1);
  EXPECT_EQ(list.IndexOf("PORT", 1), 1);
  EXPECT_EQ(list.Items(1)->Name, "PORT");
  EXPECT_EQ(list.Items(1)->Key, "port");

  // Names of blanks and control characters name nothing; other blanks are kept and matter.
  EXPECT_EQ(list.Add("   ", Int(3)), nullptr);
  EXPECT_EQ(list.Add("", Int(3)), nullptr);
  EXPECT_EQ(list.Add("\t\r\n", Int(3)), nullptr);
  EXPECT_EQ(list.Count(), 2);
  TzorParamsListItem* spaced = list.Add(" a ", Int(4));
  ASSERT_NE(spaced, nullptr);
  EXPECT_EQ(spaced->Name, " a ");
  EXPECT_EQ(list.IndexOf("a"), -1);
  EXPECT_EQ(list.IndexOf(" A "), 2);

  // Lower case by the system code page, not only ASCII.
  list.Add("\xC4RGER", Int(5));  // "ÄRGER"
  EXPECT_EQ(list.GetValue("\xE4rger").ToInt(), 5);
}

TEST(zorParamLst, IndexOfBoundsAndRowLimit) {
  TzorParamsList list;
  EXPECT_EQ(list.IndexOf("a"), -1);
  EXPECT_EQ(list.FindItem("a"), nullptr);
  list.Add("a", Int(1));
  list.AddNewRow();
  list.Add("b", Int(2));
  EXPECT_EQ(list.IndexOf("a", 0, -2), 0);
  EXPECT_EQ(list.IndexOf("b", 0, -2), -1);  // stops at the end of the first row
  EXPECT_EQ(list.IndexOf("b", 2, -2), 2);
  EXPECT_EQ(list.IndexOf("b", 0, -1), 2);
  EXPECT_EQ(list.IndexOf("b", 0, 1), -1);  // last bounds the search
  EXPECT_EQ(list.IndexOf("b", 0, 99), 2);
  EXPECT_EQ(list.IndexOf("a", -5), 0);
  EXPECT_EQ(list.IndexOf("a", 1), -1);
  EXPECT_EQ(list.IndexOf("b", 7), -1);
  EXPECT_EQ(list.FindItem("b", 2, -2), list.Items(2));
}

TEST(zorParamLst, ValuesAndStrictAccess) {
  TzorParamsList list;
  list.Add("Text", Text("abc"));
  EXPECT_TRUE(list.GetValue("missing").IsEmpty());
  EXPECT_EQ(list.GetValueDef("missing", Int(9)).ToInt(), 9);
  EXPECT_EQ(list.GetValueDef("text", Int(9)).ToText(), "abc");
  EXPECT_EQ(list.GetValueStrict("TEXT").ToText(), "abc");
  EXPECT_EQ(Line([&] { list.GetValueStrict("missing"); }), 1185);
  EXPECT_EQ(Line([&] { list.SetValueStrict("missing", Int(1)); }), 1238);
  try {
    list.GetValueStrict("missing");
  } catch (const EAssertionFailed& e) {
    EXPECT_NE(e.Message.find("Parameter is not defined"), std::string::npos);
  }
  // A copy, not a view of the stored value.
  TVariant copy = list.GetValue("text");
  list.SetValueStrict("text", Int(2));
  EXPECT_EQ(copy.ToText(), "abc");
  EXPECT_EQ(list.GetValue("text").ToInt(), 2);

  // SetValue finds the first item of the whole list, or adds one only when asked.
  list.Add("dup", Int(1));
  list.Add("DUP", Int(2));
  EXPECT_EQ(list.SetValue("Dup", Int(3)), list.Items(1));
  EXPECT_EQ(list.Items(2)->Value.ToInt(), 2);
  EXPECT_EQ(list.SetValue("new", Int(4), false), nullptr);
  EXPECT_EQ(list.Count(), 3);
  TzorParamsListItem* added = list.SetValue("new", Int(4), true);
  ASSERT_NE(added, nullptr);
  EXPECT_EQ(list.Count(), 4);
  EXPECT_EQ(added->Value.ToInt(), 4);

  // State: 2 for a real initial value, 0 otherwise; 2 for everything added through Add.
  TzorParamsListItem withValue("x", Int(1));
  TzorParamsListItem withNull("x", TVariant::Adopt(VariantNull()));
  TzorParamsListItem withEmpty("x", TVariant());
  EXPECT_EQ(withValue.State, 2);
  EXPECT_EQ(withNull.State, 0);
  EXPECT_EQ(withEmpty.State, 0);
  EXPECT_EQ(list.Add("e", TVariant())->State, 2);
}

TEST(zorParamLst, DeleteInsertClearAndSignatureChecks) {
  TParsedDataList list;
  list.PacketText = "raw";
  for (int i = 0; i < 5; ++i) list.Add("n" + std::to_string(i), Int(i));
  list.Delete(1);
  EXPECT_EQ(list.Count(), 4);
  EXPECT_EQ(list.Items(1)->Name, "n2");
  list.Delete(4);  // at Count: nothing
  list.Delete(100);
  EXPECT_EQ(list.Count(), 4);
  EXPECT_EQ(Line([&] { list.Delete(-1); }), 702);
  EXPECT_EQ(list.Count(), 4);

  EXPECT_EQ(list.Insert(0, "first", Int(7))->Name, "first");
  EXPECT_EQ(list.Items(0)->Name, "first");
  TzorParamsListItem* last = list.Insert(5, "last", Int(8));
  EXPECT_EQ(last, list.Items(5));
  EXPECT_THROW(list.Insert(7, "beyond", Int(9)), EListError);
  EXPECT_THROW(list.Insert(-1, "before", Int(9)), EListError);
  EXPECT_EQ(list.Count(), 6);
  EXPECT_EQ(list.Items(6), nullptr);
  EXPECT_EQ(list.Items(-1), nullptr);

  // Many items: the item array grows and keeps its order.
  for (int i = 0; i < 300; ++i) list.Add("bulk", Int(i));
  EXPECT_EQ(list.Items(6 + 299)->Value.ToInt(), 299);
  EXPECT_EQ(list.Items(6 + 150)->Value.ToInt(), 150);

  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.PacketText, "");

  // A list whose signature is gone is refused by look-ups and as a source of copies.
  TzorParamsList broken;
  broken.Add("a", Int(1));
  broken.Signature = 0;
  EXPECT_EQ(Line([&] { broken.IndexOf("a"); }), 764);
  EXPECT_EQ(Line([&] { list.AddList(&broken); }), 1008);
  EXPECT_EQ(Line([&] { list.AddRange(&broken, 0, -1); }), 1031);
  broken.Signature = kParamsListSignature;
}

TEST(zorParamLst, CopiesBetweenLists) {
  TzorParamsList source;
  TzorParamsListItem* item = source.Add("Name", Text("v"));
  item->DataType = VT_BSTR;
  item->State = 7;
  source.AddNewRow();
  source.Add("second", Int(2));

  TzorParamsList dest;
  EXPECT_FALSE(dest.AddList(nullptr));
  TzorParamsList empty;
  EXPECT_FALSE(dest.AddList(&empty));
  EXPECT_FALSE(dest.AddRange(&empty, 0, -1));
  EXPECT_TRUE(dest.AddList(&source));
  ASSERT_EQ(dest.Count(), 3);
  EXPECT_EQ(dest.Items(0)->Name, "Name");
  EXPECT_EQ(dest.Items(0)->Key, "name");
  EXPECT_EQ(dest.Items(0)->DataType, VT_BSTR);
  EXPECT_EQ(dest.Items(0)->State, 7);
  EXPECT_EQ(dest.Items(0)->Value.ToText(), "v");
  EXPECT_NE(dest.Items(0)->Value.Raw().bstrVal, item->Value.Raw().bstrVal);
  EXPECT_TRUE(dest.Items(1)->IsNewRow());

  // A list appended to itself is copied once.
  EXPECT_TRUE(dest.AddList(&dest));
  EXPECT_EQ(dest.Count(), 6);

  TzorParamsList range;
  EXPECT_TRUE(range.AddRange(&source, 2, 1));  // last before first: nothing, still true
  EXPECT_EQ(range.Count(), 0);
  EXPECT_TRUE(range.AddRange(&source, -3, 0));
  EXPECT_TRUE(range.AddRange(&source, 2, 99));
  ASSERT_EQ(range.Count(), 2);
  EXPECT_EQ(range.Items(0)->Name, "Name");
  EXPECT_EQ(range.Items(1)->Name, "second");
  EXPECT_TRUE(range.AddRange(&source, 1, -1));
  EXPECT_EQ(range.Count(), 4);

  // An item renamed to a blank name is still copied (a copy never drops a value).
  TzorParamsList blank;
  blank.Add("x", Int(1))->Rename("");
  TzorParamsList copy;
  EXPECT_TRUE(copy.AddList(&blank));
  EXPECT_EQ(copy.Count(), 1);
}

TEST(zorParamLst, RowMarkers) {
  TzorParamsList list;
  list.AddNewRow();
  list.AddNewRow();
  ASSERT_EQ(list.Count(), 1);
  const TzorParamsListItem* marker = list.Items(0);
  EXPECT_EQ(marker->Name, "$NEW_ROW$");
  EXPECT_EQ(marker->DataType, 0xFF01);
  EXPECT_TRUE(marker->Value.IsNull());
  EXPECT_TRUE(marker->IsNewRow());

  TzorParamsList rows;  // two rows, the last one ending with its marker
  rows.Add("a", Int(1));
  rows.AddNewRow();
  rows.Add("b", Int(2));
  rows.AddNewRow();
  TzorParamsList dest;
  dest.AppendRows(&rows);
  EXPECT_EQ(dest.Count(), 4);  // no second marker

  TzorParamsList open;  // one row without marker
  open.Add("c", Int(3));
  dest.AppendRows(&open);
  ASSERT_EQ(dest.Count(), 6);
  EXPECT_TRUE(dest.Items(5)->IsNewRow());

  int32_t index;
  bool isMarker;
  EXPECT_TRUE(dest.FindRowEnd(-4, index, isMarker));
  EXPECT_EQ(index, 1);
  EXPECT_TRUE(isMarker);
  EXPECT_TRUE(dest.FindRowEnd(2, index, isMarker));
  EXPECT_EQ(index, 3);
  EXPECT_TRUE(dest.FindRowEnd(3, index, isMarker));
  EXPECT_EQ(index, 3);
  EXPECT_FALSE(dest.FindRowEnd(6, index, isMarker));
  EXPECT_TRUE(open.FindRowEnd(0, index, isMarker));  // the last item ends an unmarked row
  EXPECT_EQ(index, 0);
  EXPECT_FALSE(isMarker);
}

TEST(zorParamLst, ThreadListGuardsItsList) {
  TzorThreadParamsList shared;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&shared, t] {
      for (int i = 0; i < 250; ++i) {
        TzorParamsList* list = shared.LockWrite();
        list->Add("t" + std::to_string(t), Int(i));
        shared.UnlockWrite();
        TzorParamsList* reading = shared.LockRead();
        (void)reading->IndexOf("t0");
        shared.UnlockRead();
      }
    });
  }
  for (auto& th : threads) th.join();
  TzorParamsList* list = shared.LockRead();
  EXPECT_EQ(list->Count(), 1000);
  EXPECT_EQ(list->GetValue("t3", list->IndexOf("t3")).ToInt(), 0);
  EXPECT_TRUE(list->HasValidSignature());
  shared.UnlockRead();
}

// ----- the interfaces, used as a host uses them

TEST(zorParamLst, InterfaceIdentifiersAndQueryInterface) {
  HostList host;
  EXPECT_EQ(static_cast<void*>(host.Wi), static_cast<void*>(host.Wrap));  // the object is its W reference
  void* out = reinterpret_cast<void*>(1);
  const GUID unknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  EXPECT_EQ(static_cast<uint32_t>(host.A->QueryInterface(unknown, &out)), 0x80004002u);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(static_cast<uint32_t>(host.A->QueryInterface(IID_IzorParamsListItemA, &out)), 0x80004002u);
  ASSERT_EQ(host.Wi->QueryInterface(IID_IzorParamsListA, &out), S_OK);
  EXPECT_EQ(out, static_cast<void*>(host.A));
  static_cast<IzorParamsListA*>(out)->Release();

  IzorParamsListItemA* item = nullptr;
  ASSERT_EQ(host.A->Add("x", HostInt(1), &item), S_OK);
  ASSERT_NE(item, nullptr);
  ASSERT_EQ(item->QueryInterface(IID_IzorParamsListItemW, &out), S_OK);
  EXPECT_EQ(out, static_cast<void*>(item));  // one table serves both
  static_cast<IzorParamsListItemW*>(out)->Release();
  ASSERT_EQ(item->QueryInterface(IID_IzorParamsListItemA, &out), S_OK);
  static_cast<IzorParamsListItemA*>(out)->Release();
  EXPECT_EQ(static_cast<uint32_t>(item->QueryInterface(IID_IzorParamsListA, &out)), 0x80004002u);
  EXPECT_EQ(static_cast<uint32_t>(item->QueryInterface(unknown, &out)), 0x80004002u);
  item->Release();

  EXPECT_EQ(platform::GuidToText(IID_IzorParamsListA), "{33316D29-0F86-41C4-8DB4-3FE9756158B1}");
  EXPECT_EQ(platform::GuidToText(IID_IzorParamsListW), "{33316D29-0F86-41C4-8DB4-3FE9756158B2}");
  EXPECT_EQ(platform::GuidToText(IID_IzorParamsListItemA), "{33316D29-0F86-41C4-8DB4-3FE9756158B4}");
  EXPECT_EQ(platform::GuidToText(IID_IzorParamsListItemW), "{33316D29-0F86-41C4-8DB4-3FE9756158B6}");
}

// The slot numbers are the contract: call through the raw tables, with the interface pointer
// first, variants by value and byte booleans, as a host in another language does.
TEST(zorParamLst, SlotOrderThroughRawTables) {
  HostList host;
  void* a = host.A;
  void* w = host.Wi;
  using AddA = HRESULT(KELDA_STDCALL*)(void*, const char*, VARIANT, void**);
  using AddW = HRESULT(KELDA_STDCALL*)(void*, const WideChar*, VARIANT, void**);
  using GetCount = int32_t(KELDA_STDCALL*)(void*);
  using GetSignature = uint32_t(KELDA_STDCALL*)(void*);
  using GetTag = int32_t(KELDA_STDCALL*)(void*);
  using SetTag = void(KELDA_STDCALL*)(void*, int32_t);
  using IndexOfA = HRESULT(KELDA_STDCALL*)(void*, const char*, int32_t, int32_t, int32_t*);
  using GetValueW = HRESULT(KELDA_STDCALL*)(void*, const WideChar*, int32_t, int32_t, VARIANT*);
  using GetValueDefA = HRESULT(KELDA_STDCALL*)(void*, const char*, VARIANT, int32_t, int32_t, VARIANT*);
  using InsertA = HRESULT(KELDA_STDCALL*)(void*, int32_t, const char*, VARIANT, void**);
  using SetValueA = HRESULT(KELDA_STDCALL*)(void*, const char*, VARIANT, uint8_t, void**);
  using FindRowEnd = uint8_t(KELDA_STDCALL*)(void*, int32_t, int32_t*, uint8_t*);
  using NoArgs = void(KELDA_STDCALL*)(void*);
  using Delete = void(KELDA_STDCALL*)(void*, int32_t);
  using GetItem = HRESULT(KELDA_STDCALL*)(void*, int32_t, void**);
  using Release = ULONG(KELDA_STDCALL*)(void*);

  void* item = nullptr;
  ASSERT_EQ(Slot<AddA>(a, 19)(a, "Alpha", HostInt(11), &item), S_OK);
  ASSERT_NE(item, nullptr);
  Slot<Release>(item, 2)(item);
  ASSERT_EQ(Slot<AddW>(w, 19)(w, W(u"Beta"), HostInt(22), &item), S_OK);
  Slot<Release>(item, 2)(item);
  EXPECT_EQ(Slot<GetCount>(a, 3)(a), 2);
  EXPECT_EQ(Slot<GetSignature>(w, 4)(w), 0x0FDE2E4Bu);
  Slot<SetTag>(a, 6)(a, 1234);
  EXPECT_EQ(Slot<GetTag>(w, 5)(w), 1234);

  int32_t index = 99;
  ASSERT_EQ(Slot<IndexOfA>(a, 16)(a, "BETA", 0, -1, &index), S_OK);
  EXPECT_EQ(index, 1);
  VARIANT value;
  std::memset(&value, 0xEE, sizeof value);
  ASSERT_EQ(Slot<GetValueW>(w, 17)(w, W(u"alpha"), 0, -1, &value), S_OK);
  EXPECT_EQ(value.vt, VT_I4);
  EXPECT_EQ(value.lVal, 11);
  ASSERT_EQ(Slot<GetValueDefA>(a, 18)(a, "gamma", HostInt(33), 0, -1, &value), S_OK);
  EXPECT_EQ(value.lVal, 33);
  ASSERT_EQ(Slot<InsertA>(a, 20)(a, 0, "Zero", HostInt(0), &item), S_OK);
  Slot<Release>(item, 2)(item);
  ASSERT_EQ(Slot<SetValueA>(a, 21)(a, "delta", HostInt(44), 1, &item), S_OK);
  Slot<Release>(item, 2)(item);
  ASSERT_EQ(Slot<SetValueA>(a, 21)(a, "epsilon", HostInt(55), 0, &item), S_OK);
  EXPECT_EQ(item, nullptr);
  EXPECT_EQ(Slot<GetCount>(a, 3)(a), 4);

  Slot<NoArgs>(a, 10)(a);  // AddNewRow
  int32_t end = -7;
  uint8_t isMarker = 0;
  EXPECT_EQ(Slot<FindRowEnd>(w, 9)(w, 0, &end, &isMarker), 1);
  EXPECT_EQ(end, 4);
  EXPECT_EQ(isMarker, 1);
  Slot<Delete>(a, 8)(a, 0);
  EXPECT_EQ(host.Wrap->List->Items(0)->Name, "Alpha");

  // Item tables.
  ASSERT_EQ(Slot<GetItem>(w, 12)(w, 0, &item), S_OK);
  using GetName = const char*(KELDA_STDCALL*)(void*);
  using GetNameW = const WideChar*(KELDA_STDCALL*)(void*);
  using GetInt = int32_t(KELDA_STDCALL*)(void*);
  using GetByte = uint8_t(KELDA_STDCALL*)(void*);
  using SetInt = void(KELDA_STDCALL*)(void*, int32_t);
  using SetByte = void(KELDA_STDCALL*)(void*, uint8_t);
  using SetValue = HRESULT(KELDA_STDCALL*)(void*, VARIANT);
  using GetValue = HRESULT(KELDA_STDCALL*)(void*, VARIANT*);
  EXPECT_STREQ(Slot<GetName>(item, 12)(item), "Alpha");
  EXPECT_EQ(U16(Slot<GetNameW>(item, 15)(item)), u"Alpha");
  EXPECT_STREQ(Slot<GetName>(item, 6)(item), "alpha");  // GetKeyText
  Slot<SetInt>(item, 4)(item, 17);
  EXPECT_EQ(Slot<GetInt>(item, 7)(item), 17);
  Slot<SetByte>(item, 5)(item, 9);
  EXPECT_EQ(Slot<GetByte>(item, 8)(item), 9);
  EXPECT_EQ(Slot<GetByte>(item, 13)(item), 0);  // IsNewRow
  ASSERT_EQ(Slot<SetValue>(item, 9)(item, HostInt(-5)), S_OK);
  ASSERT_EQ(Slot<GetValue>(item, 10)(item, &value), S_OK);
  EXPECT_EQ(value.lVal, -5);
  static const char16_t wide[] = u"wide";
  ASSERT_EQ(Slot<SetValue>(item, 16)(item, HostVariant(varString, wide)), S_OK);  // SetValueW
  ASSERT_EQ(Slot<GetValue>(item, 17)(item, &value), S_OK);                        // GetValueW
  EXPECT_EQ(value.vt, VT_BSTR);
  EXPECT_EQ(platform::BstrView(value.bstrVal), u"wide");
  ClearVariant(value);
  Slot<Release>(item, 2)(item);

  ASSERT_EQ(Slot<GetItem>(a, 12)(a, 3, &item), S_OK);  // the marker
  EXPECT_EQ(Slot<GetByte>(item, 13)(item), 1);
  Slot<Release>(item, 2)(item);

  Slot<NoArgs>(w, 7)(w);  // Clear
  EXPECT_EQ(Slot<GetCount>(a, 3)(a), 0);
}

TEST(zorParamLst, StringVariantsInAndBstrOut) {
  HostList host;
  IzorParamsListItemA* item = nullptr;
  ASSERT_EQ(host.A->Add("Name", HostVariant(varString, "K\xE4se"), &item), S_OK);  // 8-bit
  item->Release();
  static const char16_t wide[] = u"\u20AC 5";
  ASSERT_EQ(host.A->Add("Price", HostVariant(varUString, wide), &item), S_OK);
  item->Release();

  VARIANT value;
  ASSERT_EQ(host.A->GetValue("name", 0, -1, &value), S_OK);
  EXPECT_EQ(value.vt, VT_BSTR);
  EXPECT_EQ(platform::BstrView(value.bstrVal), u"K\u00E4se");
  ClearVariant(value);
  ASSERT_EQ(host.Wi->GetValue(W(u"NAME"), 0, -1, &value), S_OK);
  EXPECT_EQ(value.vt, VT_BSTR);
  EXPECT_EQ(platform::BstrView(value.bstrVal), u"K\u00E4se");
  ClearVariant(value);
  ASSERT_EQ(host.Wi->GetValue(W(u"price"), 0, -1, &value), S_OK);
  EXPECT_EQ(platform::BstrView(value.bstrVal), u"\u20AC 5");
  ClearVariant(value);

  // In the W flavour both native string types are UTF-16.
  IzorParamsListItemW* itemW = nullptr;
  ASSERT_EQ(host.Wi->Add(W(u"Both"), HostVariant(varString, wide), &itemW), S_OK);
  ASSERT_EQ(itemW->GetValueW(&value), S_OK);
  EXPECT_EQ(platform::BstrView(value.bstrVal), u"\u20AC 5");
  ClearVariant(value);
  // The item's SetValue follows the 8-bit rules, SetValueW the UTF-16 ones.
  ASSERT_EQ(itemW->SetValue(HostVariant(varString, "\x80")), S_OK);
  ASSERT_EQ(itemW->GetValue(&value), S_OK);
  EXPECT_EQ(platform::BstrView(value.bstrVal), u"\u20AC");
  ClearVariant(value);
  itemW->Release();

  // The default of GetValueDef leaves as an OLE value too.
  ASSERT_EQ(host.A->GetValueDef("missing", HostVariant(varString, "def"), 0, -1, &value), S_OK);
  EXPECT_EQ(value.vt, VT_BSTR);
  EXPECT_EQ(platform::BstrView(value.bstrVal), u"def");
  ClearVariant(value);

  // A BSTR handed in is copied; the host keeps and frees its own.
  BSTR hostText = platform::BstrAlloc(u"host");
  VARIANT bstr = HostVariant(VT_BSTR, hostText);
  ASSERT_EQ(host.A->SetValue("Name", bstr, 0, &item), S_OK);
  platform::BstrFree(hostText);
  ASSERT_EQ(item->GetValue(&value), S_OK);
  EXPECT_EQ(platform::BstrView(value.bstrVal), u"host");
  ClearVariant(value);
  item->Release();
}

TEST(zorParamLst, Utf16NamesThroughW) {
  HostList host;
  IzorParamsListItemW* item = nullptr;
  ASSERT_EQ(host.Wi->Add(W(u"Gr\u00F6\u00DFe"), HostInt(3), &item), S_OK);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(U16(item->GetNameW()), u"Gr\u00F6\u00DFe");
  EXPECT_STREQ(item->GetName(),
               "Gr\xF6\xDF"
               "e");
  EXPECT_STREQ(item->GetKeyText(),
               "gr\xC3\xB6\xC3\x9F"
               "e");  // UTF-8 of the lower-cased name
  item->Release();

  int32_t index = -9;
  ASSERT_EQ(host.Wi->IndexOf(W(u"GR\u00D6\u00DFE"), 0, -1, &index), S_OK);
  EXPECT_EQ(index, 0);
  ASSERT_EQ(host.A->IndexOf("gr\xF6\xDF"
                            "e",
                            0, -1, &index),
            S_OK);
  EXPECT_EQ(index, 0);
  IzorParamsListItemA* found = nullptr;
  ASSERT_EQ(host.A->FindItem("GR\xD6\xDF"
                             "E",
                             0, -1, &found),
            S_OK);
  ASSERT_NE(found, nullptr);
  found->Release();
  ASSERT_EQ(host.A->FindItem("nothing", 0, -1, &found), S_OK);
  EXPECT_EQ(found, nullptr);

  // Null names are the empty name: nothing is added and nothing is found.
  ASSERT_EQ(host.Wi->Add(nullptr, HostInt(1), &item), S_OK);
  EXPECT_EQ(item, nullptr);
  ASSERT_EQ(host.A->IndexOf(nullptr, 0, -1, &index), S_OK);
  EXPECT_EQ(index, -1);
}

TEST(zorParamLst, FailuresAnswerUnexpectedAndClearOutputs) {
  HostList host;
  IzorParamsListItemA* item = reinterpret_cast<IzorParamsListItemA*>(0x1234);
  EXPECT_EQ(static_cast<uint32_t>(host.A->Insert(5, "far", HostInt(1), &item)), 0x8000FFFFu);
  EXPECT_EQ(item, nullptr);

  VARIANT array = HostVariant(VT_ARRAY | VT_I4, nullptr);
  item = reinterpret_cast<IzorParamsListItemA*>(0x1234);
  EXPECT_EQ(static_cast<uint32_t>(host.A->Add("arr", array, &item)), 0x8000FFFFu);
  EXPECT_EQ(item, nullptr);
  EXPECT_EQ(host.A->GetCount(), 0);

  // Blank names are not a failure: nothing is added.
  item = reinterpret_cast<IzorParamsListItemA*>(0x1234);
  EXPECT_EQ(host.A->Add("  ", HostInt(1), &item), S_OK);
  EXPECT_EQ(item, nullptr);

  // A variant out argument is 16 zero bytes when nothing is found.
  VARIANT value;
  std::memset(&value, 0xAB, sizeof value);
  EXPECT_EQ(host.A->GetValue("missing", 0, -1, &value), S_OK);
  const unsigned char zero[16] = {};
  EXPECT_EQ(std::memcmp(&value, zero, 16), 0);

  // Missing out arguments.
  EXPECT_EQ(static_cast<uint32_t>(host.A->GetValue("x", 0, -1, nullptr)), 0x8000FFFFu);
  EXPECT_EQ(static_cast<uint32_t>(host.A->IndexOf("x", 0, -1, nullptr)), 0x8000FFFFu);
  EXPECT_EQ(static_cast<uint32_t>(host.A->Add("x", HostInt(1), nullptr)), 0x8000FFFFu);

  // A list without a valid signature given to AddList / AddRange.
  TzorParamsList broken;
  broken.Signature = 0;
  uint8_t result = 1;
  EXPECT_EQ(static_cast<uint32_t>(host.A->AddList(&broken, &result)), 0x8000FFFFu);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(static_cast<uint32_t>(host.A->AddRange(&broken, 0, -1, &result)), 0x8000FFFFu);
  broken.Signature = kParamsListSignature;

  // Methods that answer directly swallow failures too.
  host.A->Delete(-1);
  int32_t index = 5;
  uint8_t isMarker = 1;
  EXPECT_EQ(host.A->FindRowEnd(0, &index, &isMarker), 0);
  EXPECT_EQ(index, -1);
  EXPECT_EQ(isMarker, 0);
}

TEST(zorParamLst, ListsAndItemsHandedIn) {
  HostList host;
  TzorParamsList source;
  source.Add("a", Int(1));
  source.AddNewRow();
  uint8_t result = 0;
  ASSERT_EQ(host.A->AddList(&source, &result), S_OK);
  EXPECT_EQ(result, 1);
  ASSERT_EQ(host.A->AddList(nullptr, &result), S_OK);
  EXPECT_EQ(result, 0);

  HostList other;
  IzorParamsListItemW* item = nullptr;
  ASSERT_EQ(other.Wi->Add(W(u"b"), HostInt(2), &item), S_OK);
  item->Release();
  ASSERT_EQ(host.Wi->AddList(other.Wrap, &result), S_OK);
  EXPECT_EQ(result, 1);
  ASSERT_EQ(host.Wi->AddRange(other.Wrap, 0, 0, &result), S_OK);
  EXPECT_EQ(host.A->GetCount(), 4);
  host.A->AppendRows(other.Wrap);  // other has no marker: one is added
  EXPECT_EQ(host.A->GetCount(), 6);
  EXPECT_TRUE(host.Wrap->List->Items(5)->IsNewRow());

  // A host that hands in its A reference of a wrap is understood; anything that is not a wrap is
  // refused instead of being read as one.
  auto* viaA = reinterpret_cast<TzorParamsListWrap*>(other.A);
  ASSERT_EQ(host.Wi->AddRange(viaA, 0, 0, &result), S_OK);
  EXPECT_EQ(result, 1);
  EXPECT_STREQ(host.Wrap->List->Items(6)->Name.c_str(), "b");
  host.Wrap->List->Delete(6);
  auto* notAWrap = reinterpret_cast<TzorParamsListWrap*>(&source);
  EXPECT_EQ(static_cast<uint32_t>(host.Wi->AddList(notAWrap, &result)), 0x8000FFFFu);
  host.A->AppendRows(notAWrap);
  EXPECT_EQ(host.A->GetCount(), 6);

  // AddItem reads the source through its own interface.
  IzorParamsListItemA* sourceItem = nullptr;
  ASSERT_EQ(other.A->GetItem(0, &sourceItem), S_OK);
  IzorParamsListItemA* copy = nullptr;
  ASSERT_EQ(host.A->AddItem(sourceItem, &copy), S_OK);
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy->GetName(), "b");
  copy->Release();
  IzorParamsListItemW* sourceW = nullptr;
  ASSERT_EQ(other.Wi->GetItem(0, &sourceW), S_OK);
  IzorParamsListItemW* copyW = nullptr;
  ASSERT_EQ(host.Wi->AddItem(sourceW, &copyW), S_OK);
  ASSERT_NE(copyW, nullptr);
  EXPECT_EQ(U16(copyW->GetNameW()), u"b");
  copyW->Release();
  sourceW->Release();
  sourceItem->Release();
  copy = reinterpret_cast<IzorParamsListItemA*>(0x1234);
  ASSERT_EQ(host.A->AddItem(nullptr, &copy), S_OK);
  EXPECT_EQ(copy, nullptr);
  EXPECT_EQ(host.A->GetCount(), 8);
  IzorParamsListItemA* outOfRange = reinterpret_cast<IzorParamsListItemA*>(0x1234);
  ASSERT_EQ(host.A->GetItem(8, &outOfRange), S_OK);
  EXPECT_EQ(outOfRange, nullptr);
}

TEST(zorParamLst, ItemInterfaceNamesAndKeys) {
  HostList host;
  IzorParamsListItemW* item = nullptr;
  ASSERT_EQ(host.Wi->Add(W(u"Speed"), HostInt(1), &item), S_OK);

  // SetKeyText replaces only the cached text.
  item->SetKeyText("custom");
  EXPECT_STREQ(item->GetKeyText(), "custom");
  EXPECT_EQ(host.Wrap->List->Items(0)->Key, "speed");
  item->SetKeyText(nullptr);
  EXPECT_EQ(item->GetKeyText(), nullptr);

  // A rename is reported, refreshes the cached strings and is found under the new name.
  item->SetName("Velocity");
  EXPECT_STREQ(item->GetName(), "Velocity");
  EXPECT_EQ(U16(item->GetNameW()), u"Velocity");
  EXPECT_STREQ(item->GetKeyText(), "velocity");
  EXPECT_EQ(host.Wrap->List->IndexOf("velocity"), 0);
  item->SetNameW(W(u"\u00C9tat"));
  EXPECT_STREQ(item->GetName(), "\xC9tat");
  EXPECT_EQ(host.Wrap->List->IndexOf("\xE9tat"), 0);
  item->SetName(nullptr);
  EXPECT_EQ(item->GetName(), nullptr);
  EXPECT_EQ(item->GetNameW(), nullptr);
  EXPECT_EQ(item->GetKeyText(), nullptr);
  item->Release();
}

namespace {
std::vector<std::pair<std::string, std::string>> gBoxes;
void RecordBox(const std::string& text, const std::string& caption) {
  gBoxes.emplace_back(text, caption);
}
}  // namespace

TEST(zorParamLst, WrapLifetimeAndReferenceCounts) {
  // A borrowed list outlives the wrap; an own list dies with it (the sanitizer build sees leaks).
  TzorParamsList list;
  {
    auto* wrap = new TzorParamsListWrap(&list);
    EXPECT_EQ(wrap->BorrowedList, 1);
    EXPECT_EQ(wrap->OwnerManaged, 0);
    EXPECT_EQ(wrap->AsA()->AddRef(), 1u);
    EXPECT_EQ(wrap->AsW()->AddRef(), 2u);
    IzorParamsListItemA* item = nullptr;
    wrap->AsA()->Add("kept", HostInt(1), &item);
    EXPECT_EQ(wrap->AsW()->Release(), 1u);
    // The item wrap lives on its own count; its strings stay valid while it lives.
    const char* name = item->GetName();
    EXPECT_EQ(wrap->AsA()->Release(), 0u);  // frees the wrap
    EXPECT_STREQ(name, "kept");
    item->Release();
  }
  EXPECT_EQ(list.Count(), 1);
  {
    auto* own = new TzorParamsListWrap();
    EXPECT_EQ(own->BorrowedList, 0);
    own->AsW()->AddRef();
    IzorParamsListItemW* item = nullptr;
    own->AsW()->Add(W(u"x"), HostInt(1), &item);
    item->Release();
    own->AsW()->Release();
  }

  // Counted from several threads at once.
  auto* shared = new TzorParamsListWrap(&list);
  shared->AsA()->AddRef();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([shared] {
      for (int i = 0; i < 2000; ++i) {
        shared->AsA()->AddRef();
        shared->AsW()->Release();
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(shared->RefCount.load(), 1);
  shared->AsA()->Release();

  // Owner-managed: the count reaching zero frees nothing; destroying it with references left
  // shows the error box and still destroys it.
  gBoxes.clear();
  auto previous = platform::SetErrorBoxHook(RecordBox);
  auto* managed = new TzorParamsListWrap();
  managed->OwnerManaged = 1;
  managed->AsA()->AddRef();
  EXPECT_EQ(managed->AsA()->Release(), 0u);
  managed->AsA()->AddRef();
  managed->AsA()->AddRef();
  EXPECT_EQ(managed->AsA()->Release(), 1u);
  EXPECT_EQ(managed->GetCount(), 0);  // still alive
  delete managed;
  auto* clean = new TzorParamsListWrap();
  clean->OwnerManaged = 1;
  delete clean;  // no references: no box
  platform::SetErrorBoxHook(previous);
  ASSERT_EQ(gBoxes.size(), 1u);
  EXPECT_EQ(gBoxes[0].first, "TzorParamsListWrap.Destroy. Reference counter should be zero!");
  EXPECT_EQ(gBoxes[0].second, "");
}

TEST(zorParamLst, BarePointerRecognition) {
  EXPECT_EQ(ParamsListFromPointerA(nullptr), nullptr);

  // A list object: a new wrap over it that borrows it.
  TParsedDataList packet;
  TzorParamsListWrap* made = nullptr;
  IzorParamsListA* viaObject = ParamsListFromPointerA(&packet, &made);
  ASSERT_NE(viaObject, nullptr);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->BorrowedList, 1);
  EXPECT_EQ(made->List, &packet);
  EXPECT_EQ(made->RefCount.load(), 1);
  IzorParamsListItemA* item = nullptr;
  ASSERT_EQ(viaObject->Add("Seen", HostInt(5), &item), S_OK);
  item->Release();
  viaObject->Release();
  EXPECT_EQ(packet.GetValue("seen").ToInt(), 5);

  // The address of an interface variable: its reference is shared, not wrapped again.
  HostList host;
  struct {
    IzorParamsListW* Variable;
    uint32_t Following[4];
  } frame = {host.Wi, {0, 0, 0, 0}};
  EXPECT_FALSE(IsParamsListObject(&frame));
  IzorParamsListW* viaVariable = ParamsListFromPointerW(&frame, &made);
  EXPECT_EQ(viaVariable, host.Wi);
  EXPECT_EQ(made, nullptr);
  EXPECT_EQ(host.Wrap->RefCount.load(), 3);
  viaVariable->Release();

  // A plain 4-byte variable as a host has it on its stack.
  IzorParamsListA* variable = host.A;
  IzorParamsListA* viaPlain = ParamsListFromPointerA(&variable);
  EXPECT_EQ(viaPlain, host.A);
  viaPlain->Release();
  IzorParamsListA* none = nullptr;
  struct {
    IzorParamsListA* Variable;
    uint32_t Following[4];
  } empty = {none, {0, 0, 0, 0}};
  EXPECT_EQ(ParamsListFromPointerA(&empty), nullptr);
}

// A host may keep an item interface after the list let the item go; the interface then answers
// failures instead of reaching freed memory.
TEST(zorParamLst, ItemInterfaceOutlivingItsItem) {
  HostList host;
  IzorParamsListItemW* kept = nullptr;
  ASSERT_EQ(host.Wi->Add(W(u"Kept"), HostInt(1), &kept), S_OK);
  IzorParamsListItemA* second = nullptr;
  ASSERT_EQ(host.A->GetItem(0, &second), S_OK);
  IzorParamsListItemA* released = nullptr;
  ASSERT_EQ(host.A->GetItem(0, &released), S_OK);
  released->Release();  // released before the item goes: nothing left behind on the item
  host.A->Clear();

  VARIANT value;
  EXPECT_EQ(static_cast<uint32_t>(kept->GetValueW(&value)), 0x8000FFFFu);
  EXPECT_EQ(value.vt, VT_EMPTY);
  EXPECT_EQ(static_cast<uint32_t>(kept->SetValue(HostInt(2))), 0x8000FFFFu);
  EXPECT_EQ(kept->GetDataType(), 0);
  EXPECT_EQ(kept->IsNewRow(), 0);
  kept->SetDataType(5);
  kept->SetName("other");
  EXPECT_EQ(U16(kept->GetNameW()), u"Kept");  // the cached name stays readable
  EXPECT_EQ(static_cast<uint32_t>(second->GetValue(&value)), 0x8000FFFFu);
  kept->Release();
  second->Release();

  // The same when the whole list goes with its wrap.
  auto* wrap = new TzorParamsListWrap();
  wrap->AsA()->AddRef();
  IzorParamsListItemA* item = nullptr;
  wrap->AsA()->Add("x", HostInt(1), &item);
  wrap->AsA()->Release();
  EXPECT_EQ(static_cast<uint32_t>(item->GetValue(&value)), 0x8000FFFFu);
  item->Release();
}
