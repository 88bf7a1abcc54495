#include "module/PluginDM_Decode.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Common/zorParamLst.h"
#include "module/PluginDM.h"
#include "platform/CodePage.h"
#include "platform/Sync.h"

using namespace kelda;

namespace {

using TBytes = std::vector<uint8_t>;

// A response item with every option spelt out by the test: no counter, registers in their
// plain order, big-endian words, unsigned, unscaled.
TResponseItem& AddItem(TRequestItem& request, uint8_t dataType, int32_t offset = -1, int32_t count = 1,
                       const char* name = "V") {
  auto item = std::make_unique<TResponseItem>();
  item->SetDataType(dataType);
  item->Offset = offset;
  item->Count = count;
  item->Name = name;
  item->AppendCnt = false;
  item->Swapped = false;
  request.ResponseItems.push_back(std::move(item));
  return *request.ResponseItems.back();
}

// One decode into a list of its own. The data is held in a vector of exactly its size, so that
// a read past its end is seen by the address sanitizer.
struct TDecoded {
  TzorParamsList List;
  int Count;
  int FirstValue;  // index of the first response item value

  TDecoded(const TRequestItem& request, const TBytes& data, uint8_t protocol = protoSnp, double local = 1)
      : Count(DecodeResponseItems(request, data, protocol, local, List)),
        FirstValue(protocol == protoSnpX ? 6 : 4) {}

  int Values() const { return List.Count() - FirstValue; }
  const TzorParamsListItem& Value(int i) const {
    const TzorParamsListItem* item = List.Items(FirstValue + i);
    if (!item) throw std::out_of_range("no value " + std::to_string(i));
    return *item;
  }
  VARTYPE Type(int i) const { return Value(i).Value.Type(); }
  const VARIANT& Raw(int i) const { return Value(i).Value.Raw(); }
  std::string Name(int i) const { return Value(i).Name; }
  std::vector<bool> Bits() const {
    std::vector<bool> bits;
    for (int i = 0; i < Values(); ++i) bits.push_back(Raw(i).vt == VT_BOOL && Raw(i).boolVal != 0);
    return bits;
  }
};

// The single value of a request with one item of one value.
struct TOne : TDecoded {
  TOne(const TRequestItem& request, const TBytes& data) : TDecoded(request, data) { EXPECT_EQ(Values(), 1); }
  VARTYPE Kind() const { return Type(0); }
  const VARIANT& V() const { return Raw(0); }
};

TRequestItem OneItem(uint8_t dataType, bool swapped = false, bool le = false, bool isUnsigned = true,
                     long double scale = 1) {
  TRequestItem request;
  TResponseItem& item = AddItem(request, dataType, 0);
  item.Swapped = swapped;
  item.LE = le;
  item.Unsigned = isUnsigned;
  item.Scale = scale;
  return request;
}

TRequestItem DefaultOnly(uint8_t dataType, const char* text, bool isUnsigned = true, long double scale = 1) {
  TRequestItem request = OneItem(dataType, false, false, isUnsigned, scale);
  request.ResponseItems[0]->DefaultValue = text;
  return request;
}

}  // namespace

TEST(DecodeResponseItems, FixedItemsDescribeTheRequest) {
  TRequestItem request;
  request.Address = "1A";
  request.Memory = 70;
  request.Offset = -1;

  TDecoded ccm(request, {}, protoCcmPeerToPeer, 17.9);
  EXPECT_EQ(ccm.Count, 4);
  ASSERT_EQ(ccm.List.Count(), 4);
  const char* names[] = {"SOURCE_ADDRESS", "TARGET_ADDRESS", "MEMORY", "MEMORY_ADDRESS"};
  const VARTYPE kinds[] = {VT_I8, VT_BSTR, VT_UI1, VT_UI4};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(ccm.List.Items(i)->Name, names[i]);
    EXPECT_EQ(ccm.List.Items(i)->Value.Type(), kinds[i]);
  }
  EXPECT_EQ(ccm.List.Items(0)->Value.Raw().llVal, 17);
  EXPECT_EQ(ccm.List.Items(1)->Value.ToText(), "1A");
  EXPECT_EQ(ccm.List.Items(2)->Value.Raw().bVal, 2);  // the CCM type of %I
  EXPECT_EQ(ccm.List.Items(3)->Value.Raw().ulVal, 0xFFFFFFFFu);

  // SNP-X reports the memory code itself; SNP the CCM type like CCM does.
  TDecoded snpx(request, TBytes(6), protoSnpX, 1);
  EXPECT_EQ(snpx.List.Items(2)->Value.Raw().bVal, 70);
  TDecoded snp(request, {}, protoSnp, 1);
  EXPECT_EQ(snp.List.Items(2)->Value.Raw().bVal, 2);
  EXPECT_EQ(snp.List.Count(), 4);  // no status items outside SNP-X

  // The link address is truncated toward zero; settings that are no address still give a number.
  EXPECT_EQ(TDecoded(request, {}, protoSnp, -3.7).List.Items(0)->Value.Raw().llVal, -3);
  EXPECT_EQ(TDecoded(request, {}, protoSnp, std::nan("")).List.Items(0)->Value.Raw().llVal, 0);
  EXPECT_EQ(TDecoded(request, {}, protoSnp, 1e30).List.Items(0)->Value.Raw().llVal,
            std::numeric_limits<int64_t>::max());
}

TEST(DecodeResponseItems, SnpXStatusAndHeader) {
  TRequestItem request;
  AddItem(request, dtD8, -1, 1, "B");

  // Exactly the header: status items, but no values and the status items not counted.
  TDecoded header(request, {0x34, 0x12, 0x78, 0x56, 0xAA, 0xBB}, protoSnpX);
  EXPECT_EQ(header.Count, 4);
  ASSERT_EQ(header.List.Count(), 6);
  EXPECT_EQ(header.List.Items(4)->Name, "PLC_STATUS");
  EXPECT_EQ(header.List.Items(4)->Value.Type(), VT_UI2);
  EXPECT_EQ(header.List.Items(4)->Value.Raw().uiVal, 0x1234);
  EXPECT_EQ(header.List.Items(5)->Name, "STATUS_CODE");
  EXPECT_EQ(header.List.Items(5)->Value.Type(), VT_UI2);
  EXPECT_EQ(header.List.Items(5)->Value.Raw().uiVal, 0x5678);

  // Values count from the first byte after the header.
  TDecoded full(request, {0x01, 0x00, 0x00, 0x00, 0xAA, 0xBB, 0x9C}, protoSnpX);
  EXPECT_EQ(full.Count, 7);
  ASSERT_EQ(full.Values(), 1);
  EXPECT_EQ(full.Raw(0).bVal, 0x9C);

  // A short answer: bytes past its end count as 0.
  TDecoded shortAnswer(request, {0x01, 0x02, 0x03}, protoSnpX);
  EXPECT_EQ(shortAnswer.Count, 4);
  EXPECT_EQ(shortAnswer.List.Items(4)->Value.Raw().uiVal, 0x0201);
  EXPECT_EQ(shortAnswer.List.Items(5)->Value.Raw().uiVal, 0x0003);
  TDecoded empty(request, {}, protoSnpX);
  EXPECT_EQ(empty.List.Count(), 6);
  EXPECT_EQ(empty.List.Items(4)->Value.Raw().uiVal, 0);
}

TEST(DecodeResponseItems, RegisterAndByteOrders) {
  // D16: the register is high byte first; the little-endian flag reverses it; swapping has no
  // second register to act on.
  EXPECT_EQ(TOne(OneItem(dtD16), {0x12, 0x34}).V().uiVal, 4660);
  EXPECT_EQ(TOne(OneItem(dtD16, false, true), {0x12, 0x34}).V().uiVal, 13330);
  EXPECT_EQ(TOne(OneItem(dtD16, true), {0x12, 0x34}).V().uiVal, 4660);

  const TBytes d32 = {0x00, 0x01, 0x00, 0x02};
  EXPECT_EQ(TOne(OneItem(dtD32), d32).V().ulVal, 131073u);
  EXPECT_EQ(TOne(OneItem(dtD32, true), d32).V().ulVal, 65538u);
  EXPECT_EQ(TOne(OneItem(dtD32, false, true), d32).V().ulVal, 16777728u);
  EXPECT_EQ(TOne(OneItem(dtD32, true, true), d32).V().ulVal, 0x02000100u);

  // F32: 10.0 sent most significant register first.
  const TBytes ten = {0x41, 0x20, 0x00, 0x00};
  EXPECT_EQ(TOne(OneItem(dtF32, true), ten).V().dblVal, 10.0);
  // Taken low register first, the same bytes are the subnormal with the bit pattern 0x00004120.
  EXPECT_EQ(TOne(OneItem(dtF32, false), ten).V().dblVal, std::ldexp(16672.0, -149));

  // D64 over the bytes 01..08, all four combinations.
  const TBytes d64 = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
  EXPECT_EQ(TOne(OneItem(dtD64, false, false), d64).V().llVal, 0x0708050603040102LL);
  EXPECT_EQ(TOne(OneItem(dtD64, true, false), d64).V().llVal, 0x0102030405060708LL);
  EXPECT_EQ(TOne(OneItem(dtD64, false, true), d64).V().llVal, 0x0201040306050807LL);
  EXPECT_EQ(TOne(OneItem(dtD64, true, true), d64).V().llVal, 0x0807060504030201LL);

  // F64: -2.5 (0xC004000000000000) as each combination lays it out on the wire.
  struct TLayout {
    bool Swapped, LE;
    TBytes Wire;
  };
  const TLayout layouts[] = {
      {true, false, {0xC0, 0x04, 0, 0, 0, 0, 0, 0}},
      {false, false, {0, 0, 0, 0, 0, 0, 0xC0, 0x04}},
      {false, true, {0x04, 0xC0, 0, 0, 0, 0, 0, 0}},
      {true, true, {0, 0, 0, 0, 0, 0, 0x04, 0xC0}},
  };
  for (const TLayout& l : layouts) {
    SCOPED_TRACE(testing::Message() << "Swapped " << l.Swapped << " LE " << l.LE);
    TOne one(OneItem(dtF64, l.Swapped, l.LE), l.Wire);
    EXPECT_EQ(one.Kind(), VT_R8);
    EXPECT_EQ(one.V().dblVal, -2.5);
  }
}

TEST(DecodeResponseItems, ValueKindsAndSigns) {
  const TBytes ones = {0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF};
  struct TCase {
    uint8_t DataType;
    bool Unsigned;
    VARTYPE Kind;
    int64_t Number;
  };
  const TCase cases[] = {
      {dtD8, true, VT_UI1, 255},
      {dtD8, false, VT_I1, -1},
      {dtD16, true, VT_UI2, 65535},
      {dtD16, false, VT_I2, -1},
      // FF FF | FF FE, first register least significant: 0xFFFEFFFF.
      {dtD32, true, VT_UI4, 4294901759LL},
      {dtD32, false, VT_I4, -65537},
      // 64-bit integers are signed whatever the flag says.
      {dtD64, true, VT_I8, -65537},
      {dtD64, false, VT_I8, -65537},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << int(c.DataType) << " unsigned " << c.Unsigned);
    TOne one(OneItem(c.DataType, false, false, c.Unsigned), ones);
    EXPECT_EQ(one.Kind(), c.Kind);
    EXPECT_EQ(one.Value(0).Value.ToInt64(), c.Number);
  }
  EXPECT_EQ(TOne(OneItem(dtF32), {0, 0, 0, 0}).Kind(), VT_R8);
  EXPECT_EQ(TOne(OneItem(dtF64), TBytes(8)).Kind(), VT_R8);
  EXPECT_EQ(TOne(OneItem(dtBIT), {1}).Kind(), VT_BOOL);
  EXPECT_EQ(TOne(OneItem(dtS), TBytes(255, 'x')).Kind(), VT_BSTR);
}

TEST(DecodeResponseItems, ScaleMakesDoublesInExtendedPrecision) {
  const TBytes minusTwo = {0xFF, 0xFE};
  TOne half(OneItem(dtD16, false, false, false, 0.5L), minusTwo);
  EXPECT_EQ(half.Kind(), VT_R8);
  EXPECT_EQ(half.V().dblVal, -1.0);
  TOne unscaled(OneItem(dtD16, false, false, false, 1), minusTwo);
  EXPECT_EQ(unscaled.Kind(), VT_I2);
  EXPECT_EQ(unscaled.V().iVal, -2);
  // Unsigned 8, 16 and 32-bit integers are scaled as unsigned.
  EXPECT_EQ(TOne(OneItem(dtD16, false, false, true, 0.5L), minusTwo).V().dblVal, 32767.0);
  EXPECT_EQ(TOne(OneItem(dtD8, false, false, true, 2), {0xFF}).V().dblVal, 510.0);
  EXPECT_EQ(TOne(OneItem(dtD8, false, false, false, 2), {0xFF}).V().dblVal, -2.0);
  EXPECT_EQ(TOne(OneItem(dtD32, true, false, true, 0.5L), {0xFF, 0xFF, 0xFF, 0xFF}).V().dblVal, 2147483647.5);
  // 64-bit integers are scaled as signed, even when marked unsigned.
  EXPECT_EQ(TOne(OneItem(dtD64, true, false, true, 2), TBytes(8, 0xFF)).V().dblVal, -2.0);
  // 2^53 + 1 has no double form; multiplied in extended precision the product still rounds
  // to the nearest double of the exact 3 * (2^53 + 1).
  const TBytes big = {0x00, 0x20, 0, 0, 0, 0, 0, 0x01};
  EXPECT_EQ(TOne(OneItem(dtD64, true, false, false, 3), big).V().dblVal, 27021597764222980.0);
  // Floats are scaled too.
  EXPECT_EQ(TOne(OneItem(dtF32, true, false, true, 0.25L), {0x41, 0x20, 0, 0}).V().dblVal, 2.5);
  TOne f64(OneItem(dtF64, true, false, true, -2), {0x3F, 0xF8, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(f64.Kind(), VT_R8);
  EXPECT_EQ(f64.V().dblVal, -3.0);
}

TEST(DecodeResponseItems, PositionsAndContinuation) {
  {
    TRequestItem request;
    AddItem(request, dtD16, -1, 1, "W");
    AddItem(request, dtD8, -1, 1, "B");
    TDecoded d(request, {0x12, 0x34, 0x56});
    ASSERT_EQ(d.Values(), 2);
    EXPECT_EQ(d.Raw(0).uiVal, 0x1234);
    EXPECT_EQ(d.Raw(1).bVal, 0x56);
    EXPECT_EQ(d.Count, 6);
  }
  {
    // Both values past the end take the default, and the position still moves on by the
    // item's size; an explicit offset starts afresh.
    TRequestItem request;
    AddItem(request, dtD16, 10, 2, "W").DefaultValue = "7";
    AddItem(request, dtD8, -1, 1, "AFTER").DefaultValue = "9";
    AddItem(request, dtD8, 1, 1, "BACK");
    TDecoded d(request, TBytes{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    ASSERT_EQ(d.Values(), 4);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(d.Type(i), VT_UI2);
      EXPECT_EQ(d.Raw(i).uiVal, 7);
    }
    EXPECT_EQ(d.Raw(2).bVal, 9);  // would be byte 14
    EXPECT_EQ(d.Raw(3).bVal, 1);
  }
  {
    // A negative offset is before the data: default until the position reaches byte 0.
    TRequestItem request;
    AddItem(request, dtD8, -2, 3, "N").DefaultValue = "100";
    TDecoded d(request, {0x2A});
    ASSERT_EQ(d.Values(), 3);
    EXPECT_EQ(d.Raw(0).bVal, 100);
    EXPECT_EQ(d.Raw(1).bVal, 100);
    EXPECT_EQ(d.Raw(2).bVal, 0x2A);
  }
  {
    // Offsets at the top of the range step on past 2^31 without wrapping back into the data.
    TRequestItem request;
    AddItem(request, dtD64, std::numeric_limits<int32_t>::max(), 3, "FAR").DefaultValue = "-5";
    AddItem(request, dtS, -1, 2, "TEXT").DefaultValue = "none";
    AddItem(request, dtD8, std::numeric_limits<int32_t>::min(), 2, "LOW").DefaultValue = "3";
    TDecoded d(request, TBytes(300, 0x41));
    ASSERT_EQ(d.Values(), 7);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(d.Raw(i).llVal, -5);
    EXPECT_EQ(d.Value(3).Value.ToText(), "none");
    EXPECT_EQ(d.Value(4).Value.ToText(), "none");
    EXPECT_EQ(d.Raw(5).bVal, 3);
    EXPECT_EQ(d.Raw(6).bVal, 3);
  }
  {
    // No values at all: the item still sets where the next one continues.
    TRequestItem request;
    AddItem(request, dtD8, 2, 0, "NONE");
    AddItem(request, dtD8, 1, -4, "NEGATIVE");
    AddItem(request, dtD8, -1, 1, "NEXT");
    TDecoded d(request, {0x10, 0x11, 0x12});
    ASSERT_EQ(d.Values(), 1);
    EXPECT_EQ(d.Name(0), "NEXT");
    EXPECT_EQ(d.Raw(0).bVal, 0x11);
  }
}

TEST(DecodeResponseItems, NothingIsReadOutsideTheData) {
  // Each value must lie inside the data: one byte short is the default.
  const uint8_t types[] = {dtD16, dtD32, dtD64, dtF32, dtF64};
  for (uint8_t type : types) {
    SCOPED_TRACE(int(type));
    const int width = DataTypeByteSize(type);
    TRequestItem request = DefaultOnly(type, "1");
    TOne present(request, TBytes(width, 0));
    EXPECT_NE(present.Kind(), VT_UI1);
    request.ResponseItems[0]->Offset = 1;
    TOne missing(request, TBytes(width, 0));
    EXPECT_EQ(missing.Value(0).Value.ToInt64(), 1);
  }
  // A size that does not match the data type cannot widen the read.
  TRequestItem mismatched = DefaultOnly(dtD64, "12");
  mismatched.ResponseItems[0]->ByteSize = 1;
  EXPECT_EQ(TOne(mismatched, {1, 2}).V().llVal, 12);
  // An unknown data type code reads as D8.
  TRequestItem unknown = OneItem(dtD8);
  unknown.ResponseItems[0]->DataType = 200;
  EXPECT_EQ(TOne(unknown, {0x7F}).V().bVal, 0x7F);
}

TEST(DecodeResponseItems, BitsWalkThroughTheirBytes) {
  TRequestItem request;
  AddItem(request, dtBIT, 0, 10, "BIT").AppendCnt = true;
  AddItem(request, dtD8, -1, 1, "NEXT");
  TDecoded d(request, {0x05, 0x02});
  ASSERT_EQ(d.Values(), 11);
  const std::vector<bool> expected = {1, 0, 1, 0, 0, 0, 0, 0, 0, 1};
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(d.Type(i), VT_BOOL);
    EXPECT_EQ(d.Raw(i).boolVal != 0, expected[i]) << i;
  }
  EXPECT_EQ(d.Raw(1).boolVal, VARIANT_FALSE);
  EXPECT_EQ(d.Raw(0).boolVal, VARIANT_TRUE);
  EXPECT_EQ(d.Name(9), "BIT9");
  EXPECT_EQ(d.Raw(10).bVal, 0x02);  // continues on the partly used byte

  // With the little-endian flag the highest bit comes first.
  TRequestItem reversed;
  AddItem(reversed, dtBIT, 0, 8).LE = true;
  EXPECT_EQ(TDecoded(reversed, {0x05}).Bits(), (std::vector<bool>{0, 0, 0, 0, 0, 1, 0, 1}));

  // A bit whose byte is not in the data takes the default, also right at the end.
  TRequestItem atEnd;
  AddItem(atEnd, dtBIT, 1, 3).DefaultValue = "on";
  AddItem(atEnd, dtBIT, 1, 2).DefaultValue = "off";
  EXPECT_EQ(TDecoded(atEnd, {0xFF}).Bits(), (std::vector<bool>{1, 1, 1, 0, 0}));
  // Past the eighth bit of the last byte likewise.
  TRequestItem beyond;
  AddItem(beyond, dtBIT, 0, 10).DefaultValue = "1";
  EXPECT_EQ(TDecoded(beyond, {0x00}).Bits(), (std::vector<bool>{0, 0, 0, 0, 0, 0, 0, 0, 1, 1}));
}

TEST(DecodeResponseItems, TextsRunToTheEndOfTheData) {
  TBytes data(300, 0);
  data[0] = 'A';
  data[1] = 'B';
  data[3] = 'C';
  TRequestItem request;
  AddItem(request, dtS, 0, 2, "TEXT").DefaultValue = "none";
  AddItem(request, dtD8, -1, 1, "NEXT").DefaultValue = "5";
  TDecoded d(request, data);
  ASSERT_EQ(d.Values(), 3);
  EXPECT_EQ(d.Type(0), VT_BSTR);
  EXPECT_EQ(d.Value(0).Value.ToText(), "ABC");
  EXPECT_EQ(d.Value(1).Value.ToText(), "none");  // everything was consumed
  EXPECT_EQ(d.Raw(2).bVal, 5);

  // The first value needs a whole text field of 255 bytes.
  TRequestItem shortField;
  AddItem(shortField, dtS, 0, 1).DefaultValue = "none";
  EXPECT_EQ(TDecoded(shortField, TBytes(254, 'x')).Value(0).Value.ToText(), "none");
  TDecoded exact(shortField, TBytes(255, 'x'));
  EXPECT_EQ(exact.Value(0).Value.ToText(), std::string(255, 'x'));

  // Text bytes are in the system code page.
  TBytes accented(255, 0);
  accented[0] = 0xE9;
  EXPECT_EQ(TDecoded(shortField, accented).Value(0).Value.ToWide(), platform::AnsiToWide("\xE9"));
}

TEST(DecodeResponseItems, DefaultValuesPerType) {
  struct TCase {
    uint8_t DataType;
    bool Unsigned;
    const char* Text;
    VARTYPE Kind;
    double Number;
  };
  const TCase cases[] = {
      {dtD8, true, "300", VT_UI1, 44},  // low 8 bits
      {dtD8, false, "200", VT_I1, -56},
      {dtD8, true, "$10", VT_UI1, 16},
      {dtD16, false, "70000", VT_I2, 4464},
      {dtD16, false, "-1", VT_I2, -1},
      {dtD16, true, "-1", VT_UI2, 65535},
      {dtD32, true, "-1", VT_UI4, 4294967295.0},
      {dtD32, true, "4294967297", VT_UI4, 1},
      {dtD32, false, "-2147483648", VT_I4, -2147483648.0},
      {dtD32, false, "3000000000", VT_UI1, 0},  // no signed 32-bit number
      {dtD64, true, "-9000000000", VT_I8, -9000000000.0},
      {dtF32, true, "0.1", VT_R8, static_cast<double>(0.1f)},
      {dtF32, true, "1,5", VT_R8, 1.5},
      {dtF32, true, "1e39", VT_UI1, 0},  // no single-precision number
      {dtF64, true, "0.1", VT_R8, 0.1},
      {dtF64, true, "1e300", VT_R8, 1e300},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    TOne one(DefaultOnly(c.DataType, c.Text, c.Unsigned), {});
    EXPECT_EQ(one.Kind(), c.Kind);
    EXPECT_EQ(one.Value(0).Value.ToDouble(), c.Number);
  }
  // A text that is no number gives the unsigned 8-bit 0 for every number type.
  for (uint8_t type : {dtD8, dtD16, dtD32, dtD64, dtF32, dtF64}) {
    for (const char* text : {"abc", "", "1.5x", "2.5"}) {
      if (type >= dtF32 && std::string(text) == "2.5") continue;
      SCOPED_TRACE(testing::Message() << int(type) << " '" << text << "'");
      TOne one(DefaultOnly(type, text), {});
      EXPECT_EQ(one.Kind(), VT_UI1);
      EXPECT_EQ(one.V().bVal, 0);
    }
  }
  // Defaults are not scaled; a text default is the text as it stands.
  TOne scaled(DefaultOnly(dtD16, "4", true, 0.5L), {});
  EXPECT_EQ(scaled.Kind(), VT_UI2);
  EXPECT_EQ(scaled.V().uiVal, 4);
  EXPECT_EQ(TOne(DefaultOnly(dtS, " x y "), {}).Value(0).Value.ToText(), " x y ");

  // A bit is true for a few words in any letter case, false for everything else.
  for (const char* text : {"1", "y", "YES", "On", "High"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(TOne(DefaultOnly(dtBIT, text), {}).V().boolVal, VARIANT_TRUE);
  }
  for (const char* text : {"2", "0", "true", " on", "", "hi"}) {
    SCOPED_TRACE(text);
    TOne one(DefaultOnly(dtBIT, text), {});
    EXPECT_EQ(one.Kind(), VT_BOOL);
    EXPECT_EQ(one.V().boolVal, VARIANT_FALSE);
  }
}

TEST(DecodeResponseItems, NamesAndCounters) {
  TRequestItem request;
  AddItem(request, dtD8, 0, 3, "TEMP").AppendCnt = true;  // zero based by default
  TResponseItem& fromOne = AddItem(request, dtD8, 0, 3, "TEMP");
  fromOne.AppendCnt = true;
  fromOne.ZeroBaseCnt = false;
  AddItem(request, dtD8, 0, 2, "SAME");
  AddItem(request, dtD8, 0, 1, "ONE").AppendCnt = true;
  AddItem(request, dtD8, 0, 2, "  ");  // a blank name adds nothing
  AddItem(request, dtD8, 0, 1, "LAST");
  TDecoded d(request, {1});
  const std::vector<std::string> expected = {"TEMP0", "TEMP1", "TEMP2", "TEMP1", "TEMP2",
                                             "TEMP3", "SAME",  "SAME",  "ONE0",  "LAST"};
  ASSERT_EQ(d.Values(), static_cast<int>(expected.size()));
  for (int i = 0; i < d.Values(); ++i) EXPECT_EQ(d.Name(i), expected[i]);
  EXPECT_EQ(d.Count, 4 + static_cast<int>(expected.size()));  // only what the list took

  // Long names and counters past the short-string size keep every character.
  TRequestItem longNames;
  AddItem(longNames, dtD8, 0, 12, "A_RATHER_LONG_VALUE_NAME_").AppendCnt = true;
  TDecoded l(longNames, {1});
  EXPECT_EQ(l.Name(11), "A_RATHER_LONG_VALUE_NAME_11");
  EXPECT_EQ(l.List.IndexOf("a_rather_long_value_name_10"), 4 + 10);
}

TEST(DecodeResponseItems, ConfiguredRequest) {
  // A request as the options dialog writes it, read through the queue loader.
  TDataSourceCfg settings(nullptr);
  settings.lblParams_Caption =
      "<MODBUSRTUQUERY><Request><Address>5</Address><Memory>8</Memory><Offset>100</Offset><Response>"
      "<Item><Name>LEVEL</Name><Count>2</Count><DataType>D16</DataType><Unsigned>0</Unsigned>"
      "<Scale>0,5</Scale><AppendCnt>1<ZeroBaseCnt>0</ZeroBaseCnt></AppendCnt></Item>"
      "<Item><Name>TOTAL</Name><DataType>D32</DataType><AppendCnt>0</AppendCnt></Item>"
      "<Item><Name>FLAG</Name><DataType>BIT</DataType><Count>2</Count><Default>high</Default></Item>"
      "<Item/></Response></Request></MODBUSRTUQUERY>";
  TThreadObjectList queue(true);
  LoadRequestQueue(nullptr, &settings, queue, nullptr);
  ASSERT_EQ(queue.Count(), 1);
  platform::ReadGuard guard(queue);
  const auto& request =
      *static_cast<const TRequestItem*>(static_cast<TObjectList*>(queue.GuardedObject())->Items(0));

  // TOTAL is swapped by default: most significant register first.
  TDecoded d(request, {0xFF, 0xFE, 0x00, 0x08, 0x00, 0x01, 0x00, 0x02, 0x03}, protoCcmMasterSlave);
  ASSERT_EQ(d.Values(), 6);
  EXPECT_EQ(d.List.Items(3)->Value.Raw().ulVal, 100u);
  EXPECT_EQ(d.Name(0), "LEVEL1");
  EXPECT_EQ(d.Raw(0).dblVal, -1.0);
  EXPECT_EQ(d.Name(1), "LEVEL2");
  EXPECT_EQ(d.Raw(1).dblVal, 4.0);
  EXPECT_EQ(d.Name(2), "TOTAL");
  EXPECT_EQ(d.Raw(2).ulVal, 0x00010002u);
  EXPECT_EQ(d.Name(3), "FLAG0");
  EXPECT_EQ(d.Raw(3).boolVal, VARIANT_TRUE);  // bit 0 of 0x03
  EXPECT_EQ(d.Raw(4).boolVal, VARIANT_TRUE);
  EXPECT_EQ(d.Name(5), "ITEM0");  // the reader's defaults: D8 after the bits' partly used byte
  EXPECT_EQ(d.Raw(5).bVal, 0x03);
}
