// "kelda-host check": the findings with their line and column in the file, the requests in GE's
// terms, and the exit statuses.
#include "tools/KeldaCheck.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Common/zorParamLst.h"
#include "module/PluginDM_ConfigCheck.h"
#include "module/PluginDM_Decode.h"
#include "platform/Thread.h"

using namespace kelda;
using namespace kelda::host;

namespace {

class CheckFile {
public:
  explicit CheckFile(const std::string& text)
      : Name((std::filesystem::temp_directory_path() /
              ("kelda_check_" + std::to_string(platform::CurrentThreadId()) + "_" + std::to_string(++gCount) +
               ".xml"))
                 .string()) {
    std::ofstream(Name, std::ios::binary) << text;
  }
  ~CheckFile() { std::filesystem::remove(Name); }
  const std::string Name;

private:
  static inline int gCount = 0;
};

struct TRun {
  int Status;
  std::string Out;
  std::string Err;
};

TRun Check(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const int status = CheckMain(args, out, err);
  return {status, out.str(), err.str()};
}

// The boiler-house configuration of the field report, written for SNP-X, with its mistakes.
const char* kBoiler = R"(<MODBUSRTUQUERY>
  <Request caption="Tank levels">
    <Enabled check="2"/>
    <Address>BOILER1</Address>
    <Memory>8</Memory>
    <Offset>0</Offset>
    <Size>12</Size>
    <MethodPoll check="2"><PollInterval>200</PollInterval><PollUnits>MS</PollUnits></MethodPoll>
    <Response>
      <Item><Name>LEVEL</Name><Offset>0</Offset><Count>3</Count><AppendCnt check="2"/><ZeroBaseCnt check="0"/><DataType>D16</DataType></Item>
      <Item><Name>TEMPERATURE</Name><Offset>6</Offset><Count>1</Count><AppendCnt check="0"/><DataType>D16</DataType><Scale>0.1</Scale></Item>
      <Item><Name>FLOW</Name><Offset>-1</Offset><Count>1</Count><AppendCnt check="0"/><DataType>d16</DataType></Item>
      <Item><Name>TOTAL</Name><Offset>22</Offset><Count>1</Count><AppendCnt check="0"/><DataType>D32</DataType></Item>
    </Response>
  </Request>
  <Request caption="Pumps">
    <Enabled check="2"/>
    <Address>BOILER1</Address>
    <Memroy>70</Memroy>
    <Memory>70</Memory>
    <Offset>4</Offset>
    <Size>16</Size>
    <Response><Item><Name>PUMP</Name><Count>8</Count><DataType>BIT</DataType></Item></Response>
  </Request>
</MODBUSRTUQUERY>
)";

}  // namespace

TEST(KeldaCheck, FindingsWithTheirPlaceThenTheRequests) {
  CheckFile file(kBoiler);
  TRun run = Check({file.Name, "--protocol", "snpx"});
  EXPECT_EQ(run.Status, kCheckFindings);
  const std::string f = file.Name + ":";
  EXPECT_NE(
      run.Out.find(
          f + "12:87: Request \"Tank levels\", item FLOW: data type \"d16\" is not known and reads as D8"),
      std::string::npos)
      << run.Out;
  EXPECT_NE(run.Out.find(
                f + "13:7: Request \"Tank levels\", item TOTAL: its values from data byte 22 on lie past the "
                    "24 bytes"),
            std::string::npos)
      << run.Out;
  EXPECT_NE(run.Out.find(f + "19:5: Request \"Pumps\": element <Memroy> is not known"), std::string::npos)
      << run.Out;
  EXPECT_NE(run.Out.find(
                f + "21:5: Request \"Pumps\": the bit read starts at %I5 (Offset 4), but the answer starts "
                    "with the whole byte that holds it, so an item's bit 0 at byte 0 is %I1"),
            std::string::npos)
      << run.Out;
  EXPECT_NE(run.Out.find("4 finding(s); 2 request(s)"), std::string::npos) << run.Out;
  EXPECT_NE(
      run.Out.find("  Tank levels: SNP-X ID BOILER1, %R1-%R12 every 200 ms: LEVEL1-3 D16 from %R1, "
                   "TEMPERATURE D16 x0.1 at %R4, FLOW D8 at %R5, TOTAL D32 at %R12 (partly past the read: "
                   "Default)\n"),
      std::string::npos)
      << run.Out;
  EXPECT_NE(run.Out.find("  Pumps: SNP-X ID BOILER1, %I5-%I20 once at start-up: PUMP0-7 BIT from %I1\n"),
            std::string::npos)
      << run.Out;

  // The same file polled as CCM: the SNP ID is no station number, the offsets are 1-based.
  run = Check({"--protocol", "ccm-ms", file.Name});
  EXPECT_EQ(run.Status, kCheckFindings);
  EXPECT_NE(
      run.Out.find(f + "4:5: Request \"Tank levels\": Address \"BOILER1\" is not a CCM station number, so "
                       "station 2 is addressed"),
      std::string::npos)
      << run.Out;
  EXPECT_NE(run.Out.find(f + "6:5: Request \"Tank levels\": Offset 0: CCM numbers this table from 1"),
            std::string::npos)
      << run.Out;
  EXPECT_NE(run.Out.find("  Tank levels: CCM master-slave station 2, %R0-%R5 every 200 ms:"),
            std::string::npos)
      << run.Out;
}

TEST(KeldaCheck, ExitStatuses) {
  CheckFile clean(
      "<MODBUSRTUQUERY><Request caption='R'><Enabled check='2'/><Address>PLC1</Address><Memory>8</Memory>"
      "<Offset>0</Offset><Size>2</Size><Response><Item><Name>A</Name><Offset>0</Offset><Count>2</Count>"
      "<AppendCnt check='0'/><DataType>D16</DataType></Item></Response></Request></MODBUSRTUQUERY>");
  TRun run = Check({clean.Name, "--protocol", "snp"});
  EXPECT_EQ(run.Status, kCheckClean) << run.Out;
  EXPECT_EQ(run.Out,
            "no findings; 1 request(s) as the module reads them:\n"
            "  R: SNP ID PLC1, %R1-%R2 once at start-up: A x2 D16 from %R1\n");

  std::string text(kBoiler);
  CheckFile cut(text.substr(0, 900));
  run = Check({cut.Name, "--protocol", "snpx"});
  EXPECT_EQ(run.Status, kCheckFindings);
  EXPECT_NE(run.Out.find("1 request(s) as the module reads them"), std::string::npos)
      << "the request cut off is not read: " << run.Out;
  EXPECT_NE(
      run.Out.find(cut.Name +
                   ":18:13: Request \"Pumps\": the configuration ends inside <Request> (opened at line 16, "
                   "column 3) at line 18, column 13: the request's definition is incomplete, so it is not "
                   "polled"),
      std::string::npos)
      << run.Out;

  CheckFile other("<settings><Proto>3</Proto></settings>");
  run = Check({other.Name, "--protocol", "snpx"});
  EXPECT_EQ(run.Status, kCheckUnreadable) << "not a request configuration";
  EXPECT_NE(run.Out.find("has no <MODBUSRTUQUERY> element"), std::string::npos) << run.Out;
  CheckFile empty("");
  EXPECT_EQ(Check({empty.Name, "--protocol", "snpx"}).Status, kCheckUnreadable);
  EXPECT_EQ(Check({clean.Name + ".missing", "--protocol", "snpx"}).Status, kCheckUnreadable);

  run = Check({clean.Name});
  EXPECT_EQ(run.Status, kCheckUnreadable);
  EXPECT_NE(run.Err.find("--protocol is required"), std::string::npos) << run.Err;
  EXPECT_EQ(Check({clean.Name, "--protocol", "modbus"}).Status, kCheckUnreadable);
  EXPECT_EQ(Check({clean.Name, "--protocol", "snp", "extra"}).Status, kCheckUnreadable);
  run = Check({"--help"});
  EXPECT_EQ(run.Status, kCheckClean);
  EXPECT_NE(run.Out.find("usage: kelda-host check CONFIG --protocol"), std::string::npos);
}

TEST(KeldaCheck, RequestsInGeTerms) {
  TRequestItem r;
  r.Name = "Inputs";
  r.Enabled = true;
  r.Address = "7";
  r.Memory = 70;
  r.Offset = 17;
  r.Size = 2;
  r.MethodPoll = true;
  r.PollInterval = 120000;
  auto bits = std::make_unique<TResponseItem>();
  bits->Name = "IN";
  bits->Count = 10;
  bits->ZeroBaseCnt = false;
  bits->SetDataType(dtBIT);
  r.ResponseItems.push_back(std::move(bits));
  auto rest = std::make_unique<TResponseItem>();
  rest->Name = "REST";
  rest->SetDataType(dtD8);
  r.ResponseItems.push_back(std::move(rest));
  EXPECT_EQ(
      DescribeRequest(r, protoCcmPeerToPeer),
      "Inputs: CCM peer-to-peer station 7, %I17-%I32 every 2 min: IN1-10 BIT from %I17, REST D8 at %I25");
  r.Offset = 16;
  r.Size = 16;
  r.Enabled = false;
  r.MethodPoll = false;
  EXPECT_EQ(
      DescribeRequest(r, protoSnp),
      "Inputs: SNP ID 7, %I17-%I32 once at start-up, not sent (parse only): IN1-10 BIT from %I17, REST D8 "
      "at %I25");
  auto text = std::make_unique<TResponseItem>();
  text->Name = "T";
  text->Count = 2147483647;
  text->SetDataType(dtS);
  r.ResponseItems.insert(r.ResponseItems.begin(), std::move(text));
  r.Memory = 8;
  r.Size = 2147483647;
  EXPECT_NE(DescribeRequest(r, protoSnpX).find("REST D8 at %R"), std::string::npos)
      << "no overflow on the way";
  r.ResponseItems.erase(r.ResponseItems.begin());
  r.Memory = 128;
  r.Offset = 0;
  r.Size = 4;
  r.Address = "";
  r.ResponseItems.clear();
  EXPECT_EQ(
      DescribeRequest(r, protoSnpX),
      "Inputs: SNP-X ID (none: any PLC), memory 128 Offset 0 Size 4 once at start-up, not sent (parse only): "
      "no items");
  EXPECT_EQ(
      DescribeRequest(r, protoCcmMasterSlave),
      "Inputs: CCM master-slave station 2, scratch pad byte 0-3 once at start-up, not sent (parse only): no "
      "items");
}

// The values the poller counts as the PLC's are exactly those the module's decoder fills from
// the answer's bytes: decoded from two answers that differ in every byte, a value read from the
// data differs, an item's Default does not.
TEST(KeldaCheck, ValueNamesFromDataAreTheValuesTheDecoderFills) {
  struct TItemSpec {
    uint8_t Type;
    int32_t Offset, Count;
  };
  const std::vector<TItemSpec> items = {{dtD16, 0, 3}, {dtD32, -1, 2}, {dtF32, 5, 1}, {dtBIT, 1, 12},
                                        {dtD8, 30, 2}, {dtD64, -1, 1}, {dtS, 2, 2},   {dtD16, -1, 4}};
  for (const uint8_t protocol : {uint8_t{protoSnp}, uint8_t{protoSnpX}, uint8_t{protoCcmMasterSlave}})
    for (const uint8_t memory : {uint8_t{0x08}, uint8_t{0x46}})
      for (const int32_t size : {1, 2, 5, 10, 17, 200}) {
        TRequestItem request;
        request.Memory = memory;
        request.Offset = protocol == protoCcmMasterSlave ? 1 : 0;
        request.Size = size;
        int n = 0;
        for (const TItemSpec& spec : items) {
          auto item = std::make_unique<TResponseItem>();
          item->SetDataType(spec.Type);
          item->Offset = spec.Offset;
          item->Count = spec.Count;
          item->Name = "V" + std::to_string(n++) + "_";
          item->DefaultValue = "7";
          request.ResponseItems.push_back(std::move(item));
        }
        const TReadLayout layout = ReadLayoutOf(request, protocol);
        ASSERT_NE(layout.Unit, TReadLayout::Unknown);
        const std::size_t header = protocol == protoSnpX ? 6 : 0;
        std::vector<uint8_t> zeros(header + static_cast<std::size_t>(layout.DataBytes), 0x00);
        std::vector<uint8_t> ones(zeros.size(), 0xFF);
        std::fill(ones.begin(), ones.begin() + static_cast<std::ptrdiff_t>(header), 0x00);
        TzorParamsList a, b;
        DecodeResponseItems(request, zeros, protocol, 1, a);
        DecodeResponseItems(request, ones, protocol, 1, b);
        ASSERT_EQ(a.Count(), b.Count());
        std::vector<std::string> differing;
        for (int32_t i = 0; i < a.Count(); ++i) {
          const std::string name = a.Items(i)->Name;
          if (name.rfind('V', 0) != 0) continue;  // the fixed items
          if (a.Items(i)->Value.ToText() != b.Items(i)->Value.ToText()) differing.push_back(name);
        }
        std::vector<std::string> named = ValueNamesFromData(request, protocol);
        std::sort(differing.begin(), differing.end());
        std::sort(named.begin(), named.end());
        EXPECT_EQ(named, differing) << "protocol " << int{protocol} << ", memory " << int{memory} << ", Size "
                                    << size << " (" << layout.DataBytes << " data bytes)";
      }
}

namespace {

// The kinds of the findings for one request of `memory`, `offset`, `size` with one item at 0.
std::vector<TCheckFinding> KindsFor(uint8_t protocol, int memory, int offset, int size) {
  const std::string text = "<MODBUSRTUQUERY><Request caption=\"R\"><Enabled check=\"2\"/><Address>" +
                           std::string(protocol == protoSnp || protocol == protoSnpX ? "PLC1" : "2") +
                           "</Address><Memory>" + std::to_string(memory) + "</Memory><Offset>" +
                           std::to_string(offset) + "</Offset><Size>" + std::to_string(size) +
                           "</Size><Response><Item><Name>V</Name><Offset>0</Offset><Count>1</Count>"
                           "<DataType>D8</DataType></Item></Response></Request></MODBUSRTUQUERY>";
  std::vector<TCheckFinding> kinds;
  for (const TConfigFinding& finding : CheckConfiguration(text, protocol)) kinds.push_back(finding.Kind);
  return kinds;
}

bool Has(const std::vector<TCheckFinding>& kinds, TCheckFinding kind) {
  return std::find(kinds.begin(), kinds.end(), kind) != kinds.end();
}

}  // namespace

// Each protocol's largest read and the ends of CCM's fixed tables: the last read that fits is
// clean, one element more is named, on the <Size> the reader has to change.
TEST(KeldaCheck, ReadsLargerThanTheProtocolCarriesAreNamed) {
  struct TCase {
    uint8_t Protocol;
    int Memory, Offset, Fits, Kind;
  };
  const int snpx = static_cast<int>(TCheckFinding::SnpxReadTooLong);
  const int snp = static_cast<int>(TCheckFinding::SnpReadTooLong);
  const int ccm = static_cast<int>(TCheckFinding::CcmPastTableEnd);
  const TCase cases[] = {
      {protoSnpX, 8, 0, 500, snpx},             // %R: 1000 bytes
      {protoSnpX, 10, 100, 500, snpx},          // %AI
      {protoSnpX, 0x46, 0, 8000, snpx},         // %I bits from a byte boundary
      {protoSnpX, 0x46, 3, 7997, snpx},         // from inside a byte: the answer starts with its whole byte
      {protoSnpX, 0x10, 0, 1000, snpx},         // %I bytes
      {protoSnp, 8, 0, 1024, snp},              // %R: 2048 bytes
      {protoSnp, 0x4C, 0, 16384, snp},          // %M bits
      {protoCcmMasterSlave, 128, 0, 256, ccm},  // scratch pad bytes 0 to 255
      {protoCcmPeerToPeer, 128, 200, 56, ccm},  //
      {protoCcmMasterSlave, 129, 1, 40, ccm},   // status words 1 to 20
      {protoCcmMasterSlave, 129, 11, 20, ccm},  //
  };
  for (const TCase& c : cases) {
    const auto kind = static_cast<TCheckFinding>(c.Kind);
    EXPECT_FALSE(Has(KindsFor(c.Protocol, c.Memory, c.Offset, c.Fits), kind))
        << "protocol " << int{c.Protocol} << " memory " << c.Memory << " Offset " << c.Offset << " Size "
        << c.Fits;
    EXPECT_TRUE(Has(KindsFor(c.Protocol, c.Memory, c.Offset, c.Fits + (c.Memory == 129 ? 2 : 1)), kind))
        << "protocol " << int{c.Protocol} << " memory " << c.Memory << " Offset " << c.Offset << " Size "
        << c.Fits + 1;
  }
  // CCM registers have no fixed end: their table is as large as the CPU makes it.
  EXPECT_FALSE(Has(KindsFor(protoCcmMasterSlave, 8, 1, 4000), TCheckFinding::CcmPastTableEnd));
  for (uint8_t protocol : {uint8_t{protoSnpX}, uint8_t{protoSnp}, uint8_t{protoCcmMasterSlave}})
    EXPECT_TRUE(Has(KindsFor(protocol, 8, 1, 0), TCheckFinding::SizeNotPositive)) << int{protocol};

  // The field report's 501 registers, as "kelda-host check" prints them.
  CheckFile file(
      "<MODBUSRTUQUERY><Request caption=\"Big\"><Enabled "
      "check=\"2\"/><Address>PLC1</Address><Memory>8</Memory>"
      "<Offset>0</Offset>\n<Size>501</Size><Response><Item><Name>R</Name><Offset>0</Offset><Count>1</Count>"
      "<DataType>D16</DataType></Item></Response></Request></MODBUSRTUQUERY>");
  const TRun run = Check({file.Name, "--protocol", "snpx"});
  EXPECT_EQ(run.Status, kCheckFindings) << run.Out;
  EXPECT_NE(
      run.Out.find(file.Name + ":2:1: Request \"Big\": the read asks for 1002 bytes of data, but an SNP-X "
                               "PLC answers at most 1000 bytes a read (500 %R registers)"),
      std::string::npos)
      << run.Out;
}
