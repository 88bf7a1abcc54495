// "kelda-host check": the findings with their line and column in the file, the requests in GE's
// terms, and the exit statuses.
#include "tools/KeldaCheck.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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
