// The configuration check: each kind of finding from a configuration that has just that one
// fault, the place it names, the clean sample configurations, the German texts, and the GE
// references of a read.
#include "module/PluginDM_ConfigCheck.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Common/TWtranslator.h"

using namespace kelda;

namespace {

// A request as the options dialog writes it, each part replaceable.
struct TRequestText {
  std::string Caption = " caption=\"Tank\"";
  std::string Enabled = "<Enabled check=\"2\"/>";
  std::string Address = "<Address>PLC1</Address>";
  std::string Memory = "<Memory>8</Memory>";
  std::string Offset = "<Offset>0</Offset>";
  std::string Size = "<Size>4</Size>";
  std::string Method =
      "<MethodPoll check=\"2\"><PollInterval>200</PollInterval><PollUnits>MS</PollUnits></MethodPoll>";
  std::string Items =
      "<Item><Name>LEVEL</Name><Offset>0</Offset><Count>4</Count><DataType>D16</DataType>"
      "<LE check=\"2\"/></Item>";

  // One element per line, so that a finding's line names its element.
  std::string Xml() const {
    return "<MODBUSRTUQUERY>\n<Request" + Caption + ">\n" + Enabled + "\n" + Address + "\n" + Memory + "\n" +
           Offset + "\n" + Size + "\n" + Method + "\n<Response>\n" + Items + "\n</Response>\n</Request>\n" +
           "</MODBUSRTUQUERY>\n";
  }
};

std::string Item(const std::string& name, const std::string& offset, const std::string& count,
                 const std::string& type, const std::string& more = "") {
  return "<Item><Name>" + name + "</Name><Offset>" + offset + "</Offset><Count>" + count +
         "</Count><DataType>" + type + "</DataType>" + more + "</Item>";
}

std::string Kinds(const std::vector<TConfigFinding>& findings) {
  const TTextResources texts(nullptr);
  std::string all;
  for (const TConfigFinding& f : findings)
    all += std::to_string(static_cast<int>(f.Kind)) + " " + std::to_string(f.Line) + ":" +
           std::to_string(f.Column) + " " + FindingText(f, texts) + "\n";
  return all;
}

// The one finding of a text, which must have exactly one.
TConfigFinding Only(const std::string& text, uint8_t protocol) {
  const std::vector<TConfigFinding> findings = CheckConfiguration(text, protocol);
  EXPECT_EQ(findings.size(), 1u) << Kinds(findings) << text;
  return findings.empty() ? TConfigFinding{TCheckFinding::TooMany, "", "", false, 0, 0, {}}
                          : findings.front();
}

std::string Text(const TConfigFinding& finding) {
  return FindingText(finding, TTextResources(nullptr));
}

std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(ConfigCheck, CleanConfigurationsHaveNoFindings) {
  EXPECT_TRUE(CheckConfiguration("", protoSnpX).empty());
  EXPECT_TRUE(CheckConfiguration(" \r\n ", protoSnpX).empty()) << "a new instance has no configuration";
  EXPECT_TRUE(CheckConfiguration(TRequestText().Xml(), protoSnpX).empty())
      << Kinds(CheckConfiguration(TRequestText().Xml(), protoSnpX));
  const std::string samples = std::string(KELDA_RESOURCES_DIR) + "/../samples/";
  for (const auto& [file, protocol] : {std::pair<const char*, uint8_t>{"snpx.xml", protoSnpX},
                                       {"snp.xml", protoSnp},
                                       {"ccm-ms.xml", protoCcmMasterSlave},
                                       {"ccm-peer.xml", protoCcmPeerToPeer}}) {
    const std::string text = ReadFile(samples + file);
    ASSERT_NE(text.find("<MODBUSRTUQUERY>"), std::string::npos) << file;
    EXPECT_EQ(Kinds(CheckConfiguration(text, protocol)), "") << file;
  }
}

TEST(ConfigCheck, StructureAndValuesTheReaderDoesNotKnow) {
  TRequestText r;
  r.Memory = "<Memroy>8</Memroy><Memory>8</Memory>";
  TConfigFinding f = Only(r.Xml(), protoSnpX);
  EXPECT_EQ(f.Kind, TCheckFinding::UnknownElement);
  EXPECT_EQ(f.Line, 5);
  EXPECT_EQ(f.Column, 1);
  EXPECT_EQ(f.Request, "Tank");
  EXPECT_EQ(Text(f),
            "Request \"Tank\": element <Memroy> is not known here and is ignored; check its spelling and "
            "where it stands");

  r = TRequestText();
  r.Items = Item("LEVEL", "0", "4", "D16", "<Sclae>2</Sclae>");
  f = Only(r.Xml(), protoSnpX);
  EXPECT_EQ(f.Kind, TCheckFinding::UnknownElement) << "an item's fields are not a request's";
  EXPECT_TRUE(f.InItem);
  EXPECT_EQ(f.Item, "LEVEL");
  EXPECT_EQ(f.Column, 83);
  EXPECT_EQ(Text(f).substr(0, 32), "Request \"Tank\", item LEVEL: elem");
  r = TRequestText();
  r.Items = Item("LEVEL", "0", "4", "D16", "<Size>2</Size>");
  EXPECT_EQ(Only(r.Xml(), protoSnpX).Kind, TCheckFinding::UnknownElement);

  r = TRequestText();
  r.Caption = " Caption=\"Tank\"";
  f = Only(r.Xml(), protoSnpX);
  EXPECT_EQ(f.Kind, TCheckFinding::UnknownAttribute) << "attribute names are case-sensitive";
  EXPECT_EQ(f.Request, "Request #1");
  EXPECT_EQ(f.Arguments, (std::vector<std::string>{"Caption", "Request"}));
  r = TRequestText();
  r.Enabled = "<Enabled Check=\"2\" check=\"2\"/>";
  EXPECT_EQ(Only(r.Xml(), protoSnpX).Kind, TCheckFinding::UnknownAttribute);

  r = TRequestText();
  r.Items = Item("LEVEL", "0", "4", "d16");
  f = Only(r.Xml(), protoSnpX);
  EXPECT_EQ(f.Kind, TCheckFinding::UnknownDataType);
  EXPECT_EQ(f.Arguments[0], "d16");

  for (const char* units : {"m", "ms", "", "Minutes"}) {
    r = TRequestText();
    r.Method = std::string("<MethodPoll check=\"2\"><PollInterval>5</PollInterval><PollUnits>") + units +
               "</PollUnits></MethodPoll>";
    EXPECT_EQ(Only(r.Xml(), protoSnpX).Kind, TCheckFinding::UnknownPollUnits) << units;
  }

  const struct {
    const char* Enabled;
    TCheckFinding Kind;
  } boxes[] = {{"<Enabled check=\"1\"/>", TCheckFinding::UnknownCheckOff},
               {"<Enabled check=\"3\"/>", TCheckFinding::UnknownCheckOff},
               {"<Enabled check=\"4\"/>", TCheckFinding::UnknownCheckDefault},
               {"<Enabled check=\"on\"/>", TCheckFinding::UnknownCheckDefault},
               {"<Enabled check=\"9\"/>", TCheckFinding::UnknownCheckDefault},
               {"<Enabled/>", TCheckFinding::NoCheck},
               {"<Enabled>true</Enabled>", TCheckFinding::BooleanText},
               {"<Enabled>2</Enabled>", TCheckFinding::BooleanText},
               {"", TCheckFinding::NoEnabled}};
  for (const auto& box : boxes) {
    r = TRequestText();
    r.Enabled = box.Enabled;
    EXPECT_EQ(Only(r.Xml(), protoSnpX).Kind, box.Kind) << box.Enabled;
  }
  for (const char* fine :
       {"<Enabled check=\"0\"/>", "<Enabled>1</Enabled>", "<Enabled>0</Enabled>", "<ENABLED check=\"2\"/>"}) {
    r = TRequestText();
    r.Enabled = fine;
    EXPECT_EQ(Kinds(CheckConfiguration(r.Xml(), protoSnpX)), "") << fine;
  }

  r = TRequestText();
  r.Size = "<Size>ten</Size>";
  r.Items = Item("A", "0", "1", "D16");
  f = Only(r.Xml(), protoSnpX);
  EXPECT_EQ(f.Kind, TCheckFinding::NotANumber);
  EXPECT_EQ(f.Arguments, (std::vector<std::string>{"Size", "ten", "1"})) << "the value used instead";
  r = TRequestText();
  r.Items = Item("LEVEL", "0", "4", "D16", "<Scale>0.1x</Scale>");
  EXPECT_EQ(Only(r.Xml(), protoSnpX).Kind, TCheckFinding::NotANumber);

  r = TRequestText();
  r.Offset = "";
  f = Only(r.Xml(), protoSnpX);
  EXPECT_EQ(f.Kind, TCheckFinding::FieldFromResponse) << "the request takes its first item's Offset";
  EXPECT_EQ(f.Arguments[0], "Offset");

  r = TRequestText();
  r.Memory = "";
  EXPECT_EQ(Only(r.Xml(), protoSnpX).Kind, TCheckFinding::NoMemory);
  r = TRequestText();
  r.Memory = "<Memory>9</Memory>";
  EXPECT_EQ(Only(r.Xml(), protoSnpX).Kind, TCheckFinding::UnknownMemory);
}

TEST(ConfigCheck, ItemsAgainstTheDataTheReadGives) {
  TRequestText r;  // %R1-%R4: 8 bytes
  r.Items = Item("A", "0", "4", "D16") + Item("B", "-1", "1", "D16");
  TConfigFinding f = Only(r.Xml(), protoSnpX);
  EXPECT_EQ(f.Kind, TCheckFinding::ItemPastRead);
  EXPECT_EQ(f.Item, "B") << "B continues after A, at byte 8";
  EXPECT_EQ(f.Arguments, (std::vector<std::string>{"8", "8"}));

  r.Items = Item("A", "6", "2", "D16");
  f = Only(r.Xml(), protoSnpX);
  EXPECT_EQ(f.Arguments, (std::vector<std::string>{"8", "8"})) << "the first value fits, the second not";
  r.Items = Item("A", "4", "1", "D32");
  EXPECT_TRUE(CheckConfiguration(r.Xml(), protoSnpX).empty()) << "bytes 4 to 7 are in the read";
  r.Items = Item("A", "5", "1", "D32");
  EXPECT_EQ(Only(r.Xml(), protoSnpX).Kind, TCheckFinding::ItemPastRead);

  // CCM counts Size in bytes: the same Size 4 gives half the data.
  r = TRequestText();
  r.Address = "<Address>2</Address>";
  r.Offset = "<Offset>1</Offset>";
  r.Items = Item("A", "0", "2", "D16");
  EXPECT_TRUE(CheckConfiguration(r.Xml(), protoCcmMasterSlave).empty());
  r.Items = Item("A", "0", "3", "D16");
  EXPECT_EQ(Only(r.Xml(), protoCcmMasterSlave).Kind, TCheckFinding::ItemPastRead);

  // Bits: 16 bits from %I1 answer 2 bytes; 17 values reach the third.
  r = TRequestText();
  r.Memory = "<Memory>70</Memory>";
  r.Size = "<Size>16</Size>";
  r.Items = Item("IN", "0", "16", "BIT");
  EXPECT_TRUE(CheckConfiguration(r.Xml(), protoSnpX).empty());
  r.Items = Item("IN", "0", "17", "BIT");
  EXPECT_EQ(Only(r.Xml(), protoSnpX).Kind, TCheckFinding::ItemPastRead);

  // A text needs 255 bytes from its position.
  r = TRequestText();
  r.Size = "<Size>128</Size>";
  r.Items = Item("NAME", "0", "1", "S");
  EXPECT_TRUE(CheckConfiguration(r.Xml(), protoSnp).empty());
  r.Items = Item("NAME", "2", "1", "S");
  f = Only(r.Xml(), protoSnp);
  EXPECT_EQ(f.Kind, TCheckFinding::TextTooShort);
  EXPECT_EQ(f.Arguments, (std::vector<std::string>{"2", "254", "129"})) << "257 bytes are 129 registers";
  r.Address = "<Address>2</Address>";
  r.Offset = "<Offset>1</Offset>";
  r.Size = "<Size>200</Size>";
  r.Items = Item("NAME", "0", "1", "S");
  f = Only(r.Xml(), protoCcmPeerToPeer);
  EXPECT_EQ(f.Kind, TCheckFinding::TextTooShort);
  EXPECT_EQ(f.Arguments[2], "256") << "CCM counts bytes, two per register";
}

TEST(ConfigCheck, WhatTheProtocolMakesOfAddressMemoryAndOffset) {
  TRequestText r;  // written for SNP-X
  r.Items = Item("A", "0", "2", "D16");
  r.Offset = "<Offset>1</Offset>";
  TConfigFinding f = Only(r.Xml(), protoCcmMasterSlave);
  EXPECT_EQ(f.Kind, TCheckFinding::CcmAddressNotStation);
  EXPECT_EQ(f.Line, 4);
  EXPECT_EQ(f.Arguments[0], "PLC1");

  r.Address = "<Address>91</Address>";
  f = Only(r.Xml(), protoCcmMasterSlave);
  EXPECT_EQ(f.Kind, TCheckFinding::CcmAddressRange);
  EXPECT_EQ(f.Arguments, (std::vector<std::string>{"91", "90", "91"}));
  EXPECT_TRUE(CheckConfiguration(r.Xml(), protoCcmPeerToPeer).empty()) << "peers go up to 255";
  r.Address = "<Address>300</Address>";
  EXPECT_EQ(Only(r.Xml(), protoCcmPeerToPeer).Arguments[2], "44") << "the low 8 bits are sent";

  r.Address = "<Address>2</Address>";
  r.Offset = "<Offset>0</Offset>";
  f = Only(r.Xml(), protoCcmMasterSlave);
  EXPECT_EQ(f.Kind, TCheckFinding::CcmOffsetZero);
  EXPECT_EQ(Text(f),
            "Request \"Tank\": Offset 0: CCM numbers this table from 1, so the read starts before %R1; "
            "write Offset 1 to start at %R1");
  r.Memory = "<Memory>128</Memory>";
  EXPECT_TRUE(CheckConfiguration(r.Xml(), protoCcmMasterSlave).empty()) << "the scratch pad starts at byte 0";

  r.Memory = "<Memory>10</Memory>";
  r.Offset = "<Offset>1</Offset>";
  f = Only(r.Xml(), protoCcmMasterSlave);
  EXPECT_EQ(f.Kind, TCheckFinding::MemoryOtherTable);
  EXPECT_EQ(Text(f),
            "Request \"Tank\": memory type Analog Inputs (%AI) has no CCM table of its own: CCM reads "
            "Discrete Inputs (%I) instead; use SNP or SNP-X to read it");
  r.Memory = "<Memory>76</Memory>";
  EXPECT_NE(Text(Only(r.Xml(), protoCcmMasterSlave)).find("CCM reads Registers (%R)"), std::string::npos);

  r.Memory = "<Memory>70</Memory>";
  r.Offset = "<Offset>5</Offset>";
  f = Only(r.Xml(), protoCcmPeerToPeer);
  EXPECT_EQ(f.Kind, TCheckFinding::CcmBitNotOnByte);
  EXPECT_EQ(f.Arguments, (std::vector<std::string>{"%I5", "5", "1"}));
  r.Offset = "<Offset>9</Offset>";
  EXPECT_TRUE(CheckConfiguration(r.Xml(), protoCcmPeerToPeer).empty());

  r = TRequestText();
  r.Memory = "<Memory>129</Memory>";
  r.Items = "";
  f = Only(r.Xml(), protoSnpX);
  EXPECT_EQ(f.Kind, TCheckFinding::MemoryCcmOnly);
  EXPECT_NE(Text(f).find("Diagnostic Status Words exists only in CCM"), std::string::npos);

  r = TRequestText();
  r.Memory = "<Memory>70</Memory>";
  r.Offset = "<Offset>4</Offset>";
  r.Size = "<Size>12</Size>";
  r.Items = Item("IN", "0", "8", "BIT");
  f = Only(r.Xml(), protoSnpX);
  EXPECT_EQ(f.Kind, TCheckFinding::BitReadNotOnByte);
  EXPECT_EQ(f.Arguments, (std::vector<std::string>{"%I5", "4", "%I1", "0"})) << "bit 0 of the answer is %I1";
  r.Offset = "<Offset>8</Offset>";
  EXPECT_TRUE(CheckConfiguration(r.Xml(), protoSnp).empty());
  r.Memory = "<Memory>8</Memory>";
  r.Offset = "<Offset>4</Offset>";
  EXPECT_TRUE(CheckConfiguration(r.Xml(), protoSnp).empty()) << "registers are words";

  r = TRequestText();
  r.Address = "<Address>BOILER12</Address>";
  f = Only(r.Xml(), protoSnp);
  EXPECT_EQ(f.Kind, TCheckFinding::SnpIdTooLong);
  EXPECT_EQ(f.Arguments[1], "BOILER1");
}

// A text cut off inside a request: the loader leaves that request out, and the check says so for
// that request alone (its other findings would be about a request that is not polled); the
// requests before it are checked as always. Cut between requests, every request is whole.
TEST(ConfigCheck, TextsCutOffOrWithoutRequests) {
  TRequestText second;
  second.Caption = " caption=\"Flow\"";
  second.Enabled = "";  // a finding of its own, were the request checked
  second.Items = Item("FLOW", "0", "2", "F32", "<LE check=\"2\"/><Unsigned check=\"0\"/>");
  TRequestText first;
  first.Items = Item("LEVEL", "0", "9", "D16");  // past the read: a finding of the first request
  const std::string firstXml = first.Xml();
  const std::string secondXml = second.Xml();
  const std::string whole =
      firstXml.substr(0, firstXml.find("</MODBUSRTUQUERY>")) + secondXml.substr(secondXml.find("<Request"));
  const std::string cut = whole.substr(0, whole.find("<LE", whole.find("FLOW")));
  const std::vector<TConfigFinding> findings = CheckConfiguration(cut, protoSnpX);
  ASSERT_EQ(findings.size(), 2u) << Kinds(findings);
  EXPECT_EQ(findings[0].Kind, TCheckFinding::ItemPastRead) << Kinds(findings);
  EXPECT_EQ(findings[0].Request, "Tank");
  const TConfigFinding& last = findings.back();
  EXPECT_EQ(last.Kind, TCheckFinding::RequestCutOff) << Kinds(findings);
  EXPECT_EQ(last.Request, "Flow");
  EXPECT_EQ(last.Line, 21);
  EXPECT_EQ(last.Column, 82) << "where the text stops";
  EXPECT_EQ(last.Arguments, (std::vector<std::string>{"Item", "21", "1", "21", "82"}))
      << "the innermost open element and where it opened";
  EXPECT_EQ(
      Text(last),
      "Request \"Flow\": the configuration ends inside <Item> (opened at line 21, column 1) at line 21, "
      "column 82: the request's definition is incomplete, so it is not polled; load the complete "
      "configuration again");
  // Cut inside a closing tag: the last closing tag never came.
  const std::string almost = whole.substr(0, whole.size() - 3);
  const std::vector<TConfigFinding> closing = CheckConfiguration(almost, protoSnpX);
  ASSERT_EQ(closing.size(), 3u) << Kinds(closing);
  EXPECT_EQ(closing[1].Kind, TCheckFinding::NoEnabled) << "every request is whole, and checked";
  EXPECT_EQ(closing[1].Request, "Flow");
  EXPECT_EQ(closing[2].Kind, TCheckFinding::CutOff);
  EXPECT_TRUE(closing[2].Request.empty());
  const std::string inRequest = whole.substr(0, whole.size() - 22);
  EXPECT_EQ(CheckConfiguration(inRequest, protoSnpX).back().Kind, TCheckFinding::RequestCutOff)
      << "the request's own closing tag cut";

  TConfigFinding none = Only("<Configuration><Request/></Configuration>", protoSnpX);
  EXPECT_EQ(none.Kind, TCheckFinding::NoQuery);
  EXPECT_EQ(none.Line, 0);
}

TEST(ConfigCheck, ManyFindingsEndInACount) {
  std::string items;
  for (int i = 0; i < 300; ++i) items += "<Itme/>";
  TRequestText r;
  r.Items = Item("A", "0", "1", "D16", items);
  const std::vector<TConfigFinding> findings = CheckConfiguration(r.Xml(), protoSnpX);
  ASSERT_EQ(findings.size(), 201u);
  EXPECT_EQ(findings.back().Kind, TCheckFinding::TooMany);
  EXPECT_EQ(findings.back().Arguments[0], "100");
  // Positions past every read do not overflow (the sanitizer build traps signed overflow).
  r = TRequestText();
  r.Size = "<Size>2147483647</Size>";
  r.Items =
      Item("T", "0", "2147483647", "S") + Item("A", "-1", "2147483647", "D64") + Item("B", "-1", "1", "D8");
  const std::vector<TConfigFinding> far = CheckConfiguration(r.Xml(), protoSnpX);
  ASSERT_EQ(far.size(), 4u) << Kinds(far);
  EXPECT_EQ(far[0].Kind, TCheckFinding::SnpxReadTooLong) << "more than one read carries";
  EXPECT_EQ(far[3].Item, "B");
  // Deep nesting is walked without recursion.
  std::string deep = "<MODBUSRTUQUERY><Request>";
  for (int i = 0; i < 100000; ++i) deep += "<X>";
  EXPECT_FALSE(CheckConfiguration(deep, protoSnpX).empty());
}

TEST(ConfigCheck, GermanTexts) {
  TWtransl translator(nullptr, true);
  translator.LanguageFile = std::string(KELDA_RESOURCES_DIR) + "/kelda.lng";
  TTextResources texts(nullptr);
  ASSERT_TRUE(translator.Translate("DE", &texts, nullptr));
  TRequestText r;
  r.Memory = "<Memory>10</Memory>";
  r.Address = "<Address>2</Address>";
  r.Offset = "<Offset>1</Offset>";
  r.Items = Item("A", "0", "4", "d16");
  std::vector<TConfigFinding> findings = CheckConfiguration(r.Xml(), protoCcmMasterSlave);
  ASSERT_EQ(findings.size(), 2u) << Kinds(findings);
  EXPECT_EQ(FindingText(findings[0], texts).substr(0, 46),
            "Anfrage \"Tank\": der Speichertyp Analoge Eing\xE4n");
  EXPECT_EQ(FindingText(findings[1], texts).substr(0, 55),
            "Anfrage \"Tank\", Element A: der Datentyp \"d16\" ist unbek");
}

TEST(ConfigCheck, ReferencesOfARead) {
  TRequestItem r;
  r.Memory = 8;
  r.Offset = 99;
  r.Size = 50;
  TReadLayout snp = ReadLayoutOf(r, protoSnpX);
  EXPECT_EQ(snp.DataBytes, 100);
  EXPECT_EQ(ReferenceAt(snp, 0), "%R100");
  EXPECT_EQ(ReferenceAt(snp, 7), "%R103 high byte");
  r.Offset = 100;
  TReadLayout ccm = ReadLayoutOf(r, protoCcmMasterSlave);
  EXPECT_EQ(ccm.DataBytes, 50);
  EXPECT_EQ(ReferenceAt(ccm, 4), "%R102");
  EXPECT_EQ(ccm.ReadCount, 25);

  r.Memory = 76;  // %M
  r.Offset = 36;
  r.Size = 10;  // %M37-%M46: bytes holding %M33-%M48
  TReadLayout bits = ReadLayoutOf(r, protoSnp);
  EXPECT_EQ(bits.DataBytes, 2);
  EXPECT_EQ(ReferenceAt(bits, 0), "%M33");
  EXPECT_EQ(ReferenceAt(bits, 1, 2), "%M43");
  EXPECT_EQ(bits.ReadFirst, 37);
  r.Memory = 0x16;  // %M by bytes
  r.Offset = 4;
  r.Size = 2;
  TReadLayout bytes = ReadLayoutOf(r, protoSnp);
  EXPECT_EQ(bytes.DataBytes, 2);
  EXPECT_EQ(ReferenceAt(bytes, 1, 0), "%M41");
  r.Memory = 128;
  EXPECT_EQ(ReadLayoutOf(r, protoSnpX).Unit, TReadLayout::Unknown);
}
