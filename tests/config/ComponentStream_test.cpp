#include "config/ComponentStream.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "FormData.h"
#include "FormText.h"
#include "Gzip.h"
#include "platform/File.h"
#include "tests/support/StoredGzip.h"

namespace kelda {
namespace {

std::string Bytes(std::initializer_list<int> bytes) {
  std::string out;
  for (int b : bytes) out += static_cast<char>(b);
  return out;
}

std::string Convert(const std::string& text) {
  return dfm::WriteObjectStream(dfm::ParseFormText(text));
}

// The stream of "object A: TB" with one property, around the property's own bytes.
std::string OneProperty(const std::string& name, const std::string& valueBytes) {
  return std::string("TPF0\x02TB\x01") + "A" + static_cast<char>(name.size()) + name + valueBytes +
         std::string("\0\0", 2);
}

TEST(FormConverter, WritesTheDocumentedValueEncodings) {
  EXPECT_EQ(Convert("object A: TB\n  Tag = 1\nend\n"),
            Bytes({'T', 'P', 'F', '0', 2, 'T', 'B', 1, 'A', 3, 'T', 'a', 'g', 2, 1, 0, 0}));
  EXPECT_EQ(Convert("object A: TB\n Tag = -11\nend"), OneProperty("Tag", Bytes({2, 0xF5})));
  EXPECT_EQ(Convert("object A: TB\n Tag = 300\nend"), OneProperty("Tag", Bytes({3, 0x2C, 0x01})));
  EXPECT_EQ(Convert("object A: TB\n Tag = 70000\nend"),
            OneProperty("Tag", Bytes({4, 0x70, 0x11, 0x01, 0x00})));
  EXPECT_EQ(Convert("object A: TB\n Tag = 5000000000\nend"),
            OneProperty("Tag", Bytes({19, 0x00, 0xF2, 0x05, 0x2A, 0x01, 0, 0, 0})));
  EXPECT_EQ(Convert("object A: TB\n X = 1.0\nend"),
            OneProperty("X", Bytes({5, 0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F})));
  EXPECT_EQ(Convert("object A: TB\n S = 'it''s'\nend"), OneProperty("S", Bytes({6, 4, 'i', 't', '\'', 's'})));
  EXPECT_EQ(Convert("object A: TB\n S = 'a'#13#10 +\n   'b'\nend"),
            OneProperty("S", Bytes({6, 4, 'a', 13, 10, 'b'})));
  EXPECT_EQ(Convert("object A: TB\n S = 'caf'#233\nend"),
            OneProperty("S", Bytes({18, 4, 0, 0, 0, 'c', 0, 'a', 0, 'f', 0, 0xE9, 0})));
  EXPECT_EQ(Convert("object A: TB\n C = clBtnFace\nend"), OneProperty("C", Bytes({7, 9}) + "clBtnFace"));
  EXPECT_EQ(Convert("object A: TB\n V = True\n W = False\n N = nil\nend"),
            std::string("TPF0\x02TB\x01") + "A\x01V\x09\x01W\x08\x01N\x0D" + std::string("\0\0", 2));
  EXPECT_EQ(Convert("object A: TB\n B = [biSystemMenu, biHelp]\nend"),
            OneProperty("B", Bytes({11, 12}) + "biSystemMenu" + Bytes({6}) + "biHelp" + Bytes({0})));
  EXPECT_EQ(Convert("object A: TB\n L = (\n 'a'\n 'b')\nend"),
            OneProperty("L", Bytes({1, 6, 1, 'a', 6, 1, 'b', 0})));
  EXPECT_EQ(Convert("object A: TB\n D = {0A0b}\nend"), OneProperty("D", Bytes({10, 2, 0, 0, 0, 0x0A, 0x0B})));
  EXPECT_EQ(Convert("object A: TB\n K = <\n item\n W = 1\n end>\nend"),
            OneProperty("K", Bytes({14, 1, 1, 'W', 2, 1, 0, 0})));
  std::string longText(300, 'x');
  EXPECT_EQ(Convert("object A: TB\n S = '" + longText + "'\nend"),
            OneProperty("S", Bytes({12, 0x2C, 1, 0, 0}) + longText));
  // Children, and the flag byte of inherited components and given child positions.
  EXPECT_EQ(Convert("object A: TB\n object C: TD\n end\nend"), std::string("TPF0\x02TB\x01"
                                                                           "A\0\x02TD\x01"
                                                                           "C\0\0\0",
                                                                           18));
  EXPECT_EQ(Convert("inherited A: TB [2]\nend"), std::string("TPF0\xF3\x02\x02\x02TB\x01"
                                                             "A\0\0",
                                                             14));
}

TEST(FormConverter, ReportsTheLineOfAMistake) {
  try {
    dfm::ParseFormText("object A: TB\n  Tag = 1\n  S = 'open\nend\n");
    FAIL() << "an unterminated string was accepted";
  } catch (const dfm::SyntaxError& error) {
    EXPECT_EQ(error.Line, 3);
  }
  EXPECT_THROW(dfm::ParseFormText("object A: TB\n Tag = 1\n"), dfm::SyntaxError) << "missing end";
  EXPECT_THROW(dfm::ParseFormText("object A: TB\n Tag 1\nend"), dfm::SyntaxError) << "missing =";
  EXPECT_THROW(dfm::ParseFormText("object A: TB\n D = {0A0}\nend"), dfm::SyntaxError) << "odd binary";
  EXPECT_THROW(dfm::ParseFormText("object A: TB\nend\nobject C: TD\nend"), dfm::SyntaxError) << "two roots";
}

TEST(ComponentStream, ReadsWhatTheConverterWrites) {
  auto text = platform::ReadWholeFile(KELDA_RESOURCES_DIR "/frmOption.dfm");
  ASSERT_TRUE(text.has_value());
  TStreamObject form = ReadComponentStream(Convert(*text));
  EXPECT_EQ(form.ClassName, "TfrmOption");
  EXPECT_EQ(form.Name, "frmOption");
  EXPECT_EQ(form.Property("Caption")->Value.Text, "Korvane");
  EXPECT_EQ(form.Property("Width")->Value.Integer, 481);
  EXPECT_EQ(form.Property("Height")->Value.Integer, 435);
  EXPECT_EQ(form.Property("Font.Height")->Value.Integer, -11);
  EXPECT_EQ(form.Property("Constraints.MinWidth")->Value.Integer, 320);
  EXPECT_EQ(form.Property("BorderIcons")->Value.Members,
            (std::vector<std::string>{"biSystemMenu", "biMaximize", "biHelp"}));
  EXPECT_EQ(form.Property("KeyPreview")->Value.Type, TStreamValueType::vaTrue);
  EXPECT_EQ(form.Property("OnCreate")->Value.Text, "FormCreate");
  const TStreamObject* combo = form.Find("comboProto");
  ASSERT_NE(combo, nullptr);
  const TStreamValue& items = combo->Property("Items.Strings")->Value;
  ASSERT_EQ(items.Items.size(), 4u);
  EXPECT_EQ(items.Items[0].Text, "CCM (master to slave)");
  EXPECT_EQ(items.Items[3].Text, "SNP-X");
  EXPECT_EQ(form.Find("MsgOffsetHint")->Property("Caption")->Value.Text,
            "If you'll specify -1 then the program will calculate offset automatically");
  EXPECT_EQ(form.Find("__pBot")->Property("Hint")->Value.Text, "OkCancel");
  EXPECT_EQ(form.Find("DataTypeList")->Property("Tag")->Value.Integer, 9999);

  // Every value kind comes back as written.
  TStreamObject all = ReadComponentStream(
      Convert("inherited A: TB [3]\n I = -70000\n J = 5000000000\n X = -2.5\n S = 'caf'#233\n"
              " D = {00FF}\n B = []\n K = <\n item\n W = 1\n end\n item\n end>\n"
              " object C: TD\n  L = ('x' 7 nil)\n end\nend"));
  EXPECT_EQ(all.Flags, 3);
  EXPECT_EQ(all.ChildPos, 3);
  EXPECT_EQ(all.Property("I")->Value.Integer, -70000);
  EXPECT_EQ(all.Property("J")->Value.Integer, 5000000000LL);
  EXPECT_EQ(all.Property("X")->Value.Real, -2.5);
  EXPECT_EQ(all.Property("S")->Value.Text, "caf\xC3\xA9");
  EXPECT_EQ(all.Property("D")->Value.Text, std::string("\0\xFF", 2));
  EXPECT_EQ(all.Property("B")->Value.Type, TStreamValueType::vaSet);
  EXPECT_EQ(all.Property("K")->Value.Collection.size(), 2u);
  EXPECT_EQ(all.Property("K")->Value.Collection[0].Properties[0].Name, "W");
  ASSERT_EQ(all.Children.size(), 1u);
  EXPECT_EQ(all.Children[0].Property("L")->Value.Items.size(), 3u);
  EXPECT_EQ(all.Children[0].Property("L")->Value.Items[2].Type, TStreamValueType::vaNil);
}

TEST(ComponentStream, RefusesMalformedStreamsWithoutReadingPastTheEnd) {
  std::string good =
      Convert("object A: TB\n S = 'text'\n L = (1 'x' [a])\n D = {0102}\n object C: TD\n end\nend");
  ASSERT_NO_THROW(ReadComponentStream(good));
  for (std::size_t cut = 0; cut < good.size(); ++cut) {
    // A copy of exactly the cut length, so the sanitizers see any read past it.
    std::string truncated = good.substr(0, cut);
    EXPECT_THROW(ReadComponentStream(truncated), EReadError) << "cut at " << cut;
  }
  EXPECT_THROW(ReadComponentStream("TPF1" + good.substr(4)), EReadError);
  EXPECT_THROW(ReadComponentStream(OneProperty("X", Bytes({0x30}))), EReadError) << "unknown value type";
  EXPECT_THROW(ReadComponentStream(OneProperty("X", Bytes({12, 0xFF, 0xFF, 0xFF, 0x7F}))), EReadError)
      << "a length far beyond the stream";
  EXPECT_THROW(ReadComponentStream(OneProperty("X", Bytes({18, 0xFF, 0xFF, 0xFF, 0x7F}))), EReadError);
  EXPECT_THROW(ReadComponentStream(OneProperty("X", Bytes({0}))), EReadError) << "end marker as a value";
  std::string deep = std::string(100000, '\x01') + std::string(100000, '\0');
  EXPECT_THROW(ReadComponentStream(OneProperty("X", deep)), EReadError) << "nesting without bound";
}

TEST(ComponentStream, ExtendedRealsKeepTheirValue) {
  for (double value : {0.0, 1.0, -11.5, 1e300, -3.25e-200, 5e-324, 481.0}) {
    std::string bytes = dfm::EncodeExtended(value);
    ASSERT_EQ(bytes.size(), 10u);
    EXPECT_EQ(DecodeExtended(reinterpret_cast<const unsigned char*>(bytes.data())), value);
  }
  std::string infinity = dfm::EncodeExtended(std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isinf(DecodeExtended(reinterpret_cast<const unsigned char*>(infinity.data()))));
  std::string nan = dfm::EncodeExtended(std::numeric_limits<double>::quiet_NaN());
  EXPECT_TRUE(std::isnan(DecodeExtended(reinterpret_cast<const unsigned char*>(nan.data()))));
}

TEST(FormDataPacking, GzipOfStoredBlocks) {
  EXPECT_EQ(dfm::Crc32("123456789"), 0xCBF43926u);
  EXPECT_EQ(dfm::Crc32(""), 0u);
  std::string empty = dfm::GzipStored("");
  EXPECT_EQ(empty.substr(10), Bytes({1, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}));
  std::string large;
  for (int i = 0; i < 70000; ++i) large += static_cast<char>(i * 7);
  std::string packed = dfm::GzipStored(large);
  EXPECT_EQ(packed.size(), 10u + 5 + 65535 + 5 + (70000 - 65535) + 8) << "two stored blocks";
  EXPECT_EQ(test::UnpackStoredGzip(packed), large);
  uint32_t crc = dfm::Crc32(large);
  EXPECT_EQ(packed.substr(packed.size() - 8, 4),
            Bytes({int(crc & 0xFF), int(crc >> 8 & 0xFF), int(crc >> 16 & 0xFF), int(crc >> 24)}));

  std::string text = dfm::FormDataText("<program>\n</program>\n", "TFRMOPTION", {"a,b", "", "c,d", ""});
  EXPECT_EQ(text,
            "<program>\r\n</"
            "program>\r\n\r\n<=======>\r\n\r\nTFRMOPTION\r\n\r\n<=======>\r\n\r\na,b\r\n\r\nc,d\r\n\r\n");
  EXPECT_EQ(dfm::SplitFileLines("a\r\n\nb\n\n"), (std::vector<std::string>{"a", "", "b", ""}));
}

}  // namespace
}  // namespace kelda
