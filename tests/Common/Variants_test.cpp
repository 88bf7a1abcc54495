#include "Common/Variants.h"

#include <gtest/gtest.h>

#include <cstring>

#include "Common/Exceptions.h"
#include "platform/Bstr.h"

using namespace kelda;

namespace {

// An interface whose references are counted, to see copies and clears keep the count right.
struct CountingUnknown : IUnknown {
  int Count = 1;
  HRESULT KELDA_STDCALL QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG KELDA_STDCALL AddRef() override { return ++Count; }
  ULONG KELDA_STDCALL Release() override { return --Count; }
};

TVariant Text(const char* s) {
  return TVariant::Adopt(VariantFromText(s));
}
TVariant Wide(const char16_t* s) {
  return TVariant::Adopt(VariantFromWide(s));
}

}  // namespace

TEST(Variants, CopyOwnsItsDataAndClearReleasesIt) {
  TVariant original = Wide(u"value");
  TVariant copy(original.Raw());
  ASSERT_EQ(copy.Type(), VT_BSTR);
  EXPECT_NE(copy.Raw().bstrVal, original.Raw().bstrVal);  // a separate string
  EXPECT_EQ(copy.ToWide(), u"value");
  original = TVariant::Adopt(VariantFromInt(5));
  EXPECT_EQ(copy.ToWide(), u"value");

  CountingUnknown unk;
  {
    VARIANT v = VariantEmpty();
    v.vt = VT_UNKNOWN;
    v.punkVal = &unk;
    TVariant held(v);
    EXPECT_EQ(unk.Count, 2);
    TVariant second = held;
    EXPECT_EQ(unk.Count, 3);
  }
  EXPECT_EQ(unk.Count, 1);

  VARIANT cleared = VariantFromText("x");
  ClearVariant(cleared);
  const unsigned char zero[16] = {};
  EXPECT_EQ(std::memcmp(&cleared, zero, 16), 0);

  // Self-assignment keeps the value.
  TVariant self = Text("same");
  CopyVariant(self.Raw(), self.Raw());
  EXPECT_EQ(self.ToText(), "same");
}

TEST(Variants, ByReferenceValuesAreCopiedAsTheValueTheyReferTo) {
  int32_t number = 77;
  VARIANT ref = VariantEmpty();
  ref.vt = VT_BYREF | VT_I4;
  ref.byref = &number;
  TVariant copy(ref);
  EXPECT_EQ(copy.Type(), VT_I4);
  number = 1;
  EXPECT_EQ(copy.ToInt(), 77);

  BSTR text = platform::BstrAlloc(u"by ref");
  VARIANT textRef = VariantEmpty();
  textRef.vt = VT_BYREF | VT_BSTR;
  textRef.byref = &text;
  TVariant textCopy(textRef);
  platform::BstrFree(text);
  EXPECT_EQ(textCopy.Type(), VT_BSTR);
  EXPECT_EQ(textCopy.ToWide(), u"by ref");

  // What cannot be owned is refused, and the destination stays usable.
  VARIANT array = VariantEmpty();
  array.vt = VT_ARRAY | VT_I4;
  TVariant dest = Text("kept");
  EXPECT_THROW(CopyVariant(dest.Raw(), array), EConvertError);
  EXPECT_EQ(dest.ToText(), "kept");
  VARIANT native = VariantEmpty();
  native.vt = varString;
  native.byref = const_cast<char*>("abc");
  EXPECT_THROW(CopyVariant(dest.Raw(), native), EConvertError);
  VARIANT nullRef = VariantEmpty();
  nullRef.vt = VT_BYREF | VT_I4;
  EXPECT_THROW(CopyVariant(dest.Raw(), nullRef), EConvertError);
}

TEST(Variants, HostStringVariantsBecomeBstr) {
  VARIANT eight = VariantEmpty();
  eight.vt = varString;
  eight.byref = const_cast<char*>("K\xE4se");  // 8-bit system code page
  TVariant a;
  CopyVariantFromHost(a.Raw(), eight, true);
  EXPECT_EQ(a.Type(), VT_BSTR);
  EXPECT_EQ(a.ToWide(), u"K\u00E4se");

  static const char16_t wide[] = u"W\u00FCrze";
  VARIANT sixteen = VariantEmpty();
  sixteen.vt = varUString;
  sixteen.byref = const_cast<char16_t*>(wide);
  TVariant b;
  CopyVariantFromHost(b.Raw(), sixteen, true);
  EXPECT_EQ(b.ToWide(), u"W\u00FCrze");

  // Without 8-bit strings both native types are UTF-16.
  VARIANT asWide = VariantEmpty();
  asWide.vt = varString;
  asWide.byref = const_cast<char16_t*>(wide);
  TVariant c;
  CopyVariantFromHost(c.Raw(), asWide, false);
  EXPECT_EQ(c.ToWide(), u"W\u00FCrze");

  // A null data word is the empty text.
  VARIANT none = VariantEmpty();
  none.vt = varString;
  TVariant d;
  CopyVariantFromHost(d.Raw(), none, true);
  EXPECT_EQ(d.Type(), VT_BSTR);
  EXPECT_EQ(d.ToWide(), u"");
}

TEST(Variants, NumbersFromText) {
  EXPECT_EQ(Text("42").ToInt(), 42);
  EXPECT_EQ(Text("  -7 ").ToInt(), -7);
  EXPECT_EQ(Text("$FF").ToInt(), 255);
  EXPECT_EQ(Text("0x10").ToInt(), 16);
  EXPECT_EQ(Text("2.5").ToInt(), 2);  // half to even
  EXPECT_EQ(Text("3,5").ToInt(), 4);
  EXPECT_EQ(Text("-9223372036854775808").ToInt64(), INT64_MIN);
  EXPECT_THROW(Text("9223372036854775808").ToInt64(), EConvertError);
  EXPECT_THROW(Text("4294967296").ToInt(), EConvertError);
  EXPECT_THROW(Text("12abc").ToInt(), EConvertError);
  EXPECT_THROW(Text("").ToInt(), EConvertError);

  EXPECT_DOUBLE_EQ(Text("1.5").ToDouble(), 1.5);
  EXPECT_DOUBLE_EQ(Text("1,5").ToDouble(), 1.5);
  EXPECT_DOUBLE_EQ(Text("-2.5E3").ToDouble(), -2500);
  EXPECT_DOUBLE_EQ(Text(".25").ToDouble(), 0.25);
  EXPECT_THROW(Text("1.5,2").ToDouble(), EConvertError);
  EXPECT_THROW(Text("inf").ToDouble(), EConvertError);
  EXPECT_THROW(Text("nan").ToDouble(), EConvertError);

  EXPECT_TRUE(Text("TRUE").ToBool());
  EXPECT_FALSE(Text(" false ").ToBool());
  EXPECT_TRUE(Text("1").ToBool());
  EXPECT_FALSE(Text("0").ToBool());
  EXPECT_THROW(Text("yes").ToBool(), EConvertError);

  // Empty is zero, null is not a number.
  TVariant empty;
  EXPECT_EQ(empty.ToInt(), 0);
  EXPECT_FALSE(empty.ToBool());
  TVariant null = TVariant::Adopt(VariantNull());
  EXPECT_THROW(null.ToInt(), EConvertError);
  EXPECT_THROW(null.ToDouble(), EConvertError);
  EXPECT_EQ(null.ToText(), "");
  EXPECT_EQ(empty.ToText(), "");
}

TEST(Variants, TextOfValues) {
  EXPECT_EQ(TVariant::Adopt(VariantFromDouble(1.5)).ToText(), "1.5");
  EXPECT_EQ(TVariant::Adopt(VariantFromDouble(0.1)).ToText(), "0.1");
  EXPECT_EQ(TVariant::Adopt(VariantFromDouble(-3)).ToText(), "-3");
  EXPECT_EQ(TVariant::Adopt(VariantFromDouble(1e20)).ToText(), "1E20");
  EXPECT_EQ(TVariant::Adopt(VariantFromDouble(1.5e-7)).ToText(), "1.5E-7");
  EXPECT_EQ(TVariant::Adopt(VariantFromInt(-12)).ToText(), "-12");
  EXPECT_EQ(TVariant::Adopt(VariantFromInt64(1LL << 40)).ToText(), "1099511627776");
  EXPECT_EQ(TVariant::Adopt(VariantFromBool(true)).ToText(), "True");
  EXPECT_EQ(TVariant::Adopt(VariantFromBool(false)).ToText(), "False");
  EXPECT_EQ(TVariant::Adopt(VariantFromBool(true)).ToInt(), -1);

  VARIANT v = VariantEmpty();
  v.vt = VT_R4;
  v.fltVal = 0.1f;
  EXPECT_EQ(TVariant(v).ToText(), "0.1");
  v.vt = VT_CY;
  v.cyVal.int64 = 12345678;  // 1234.5678
  EXPECT_EQ(TVariant(v).ToText(), "1234.5678");
  v.cyVal.int64 = -15000;
  EXPECT_EQ(TVariant(v).ToText(), "-1.5");
  EXPECT_DOUBLE_EQ(TVariant(v).ToDouble(), -1.5);
  v.vt = VT_DATE;
  v.date = 0;
  EXPECT_EQ(TVariant(v).ToText(), "1899-12-30");
  v.date = 45000.5;
  EXPECT_EQ(TVariant(v).ToText(), "2023-03-15 12:00:00");
  v.date = -1.25;
  EXPECT_EQ(TVariant(v).ToText(), "1899-12-29 06:00:00");
  v.vt = VT_UI1;
  v.llVal = 0;
  v.bVal = 200;
  EXPECT_EQ(TVariant(v).ToText(), "200");
  v.vt = VT_I1;
  v.cVal = static_cast<char>(-5);
  EXPECT_EQ(TVariant(v).ToInt(), -5);

  // Text through the system code page.
  EXPECT_EQ(Text("M\xFC\x64").ToWide(), u"M\u00FCd");
  EXPECT_EQ(Wide(u"M\u00FCd").ToText(), "M\xFC\x64");
}

TEST(Variants, SizedIntegerBuildersKeepTheirKindAndSign) {
  struct TCase {
    TVariant Value;
    VARTYPE Type;
    int64_t Number;
    const char* Text;
  };
  const TCase cases[] = {
      {TVariant::Adopt(VariantFromInt8(-128)), VT_I1, -128, "-128"},
      {TVariant::Adopt(VariantFromInt8(127)), VT_I1, 127, "127"},
      {TVariant::Adopt(VariantFromUInt8(255)), VT_UI1, 255, "255"},
      {TVariant::Adopt(VariantFromInt16(-2)), VT_I2, -2, "-2"},
      {TVariant::Adopt(VariantFromUInt16(65535)), VT_UI2, 65535, "65535"},
      {TVariant::Adopt(VariantFromUInt32(4000000000u)), VT_UI4, 4000000000LL, "4000000000"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    EXPECT_EQ(c.Value.Type(), c.Type);
    EXPECT_EQ(c.Value.ToInt64(), c.Number);
    EXPECT_EQ(c.Value.ToText(), c.Text);
    // A copy, as a parameter list stores values, keeps kind and value.
    TVariant copy(c.Value.Raw());
    EXPECT_EQ(copy.Type(), c.Type);
    EXPECT_EQ(copy.ToInt64(), c.Number);
  }
  // Only the value's own bytes are set: the rest of the variant stays zero.
  VARIANT byte = VariantFromUInt8(0xAB);
  EXPECT_EQ(byte.llVal, 0xAB);
  VARIANT word = VariantFromInt16(-1);
  EXPECT_EQ(word.llVal, 0xFFFF);
}
