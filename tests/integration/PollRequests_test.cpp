// The poller's view per request: the GE reference of each request, rows and failure lines found
// their request, the stale mark, the last failure in words and the counts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/PollRequests.h"

using namespace kelda;
using namespace kelda::host;

namespace {

std::string Request(const std::string& caption, const std::string& enabled, int memory, int offset, int size,
                    const std::string& method, const std::string& item) {
  return "<Request caption=\"" + caption + "\">" + enabled + "<Address>PLC1</Address><Memory>" +
         std::to_string(memory) + "</Memory><Offset>" + std::to_string(offset) + "</Offset><Size>" +
         std::to_string(size) + "</Size><RequestMethod>" + method + "</RequestMethod><Response><Item><Name>" +
         item +
         "</Name><Offset>0</Offset><Count>1</Count><DataType>D16</DataType></Item></Response></Request>";
}

const std::string kOn = "<Enabled check=\"2\"/>";
const std::string kPoll200 =
    "<MethodOnce check=\"0\"/><MethodPoll check=\"2\"><PollInterval>200</PollInterval>"
    "<PollUnits>MS</PollUnits></MethodPoll>";
const std::string kOnce = "<MethodOnce check=\"2\"/><MethodPoll check=\"0\"/>";

// Levels (%R1-%R2, polled), Inputs (%AI5, read once), Spare (%R1-%R2 again, without <Enabled>).
const std::string kConfig = "<MODBUSRTUQUERY>" + Request("Levels", kOn, 8, 0, 2, kPoll200, "LEVEL") +
                            Request("Inputs", kOn, 10, 4, 1, kOnce, "AI") +
                            Request("Spare", "", 8, 0, 2, kPoll200, "SPARE") + "</MODBUSRTUQUERY>";

TRequestValues Row(const std::string& memory, const std::string& offset, TRequestValues values) {
  TRequestValues row = {{"SOURCE_ADDRESS", "1"},    {"TARGET_ADDRESS", "PLC1"}, {"MEMORY", memory},
                        {"MEMORY_ADDRESS", offset}, {"PLC_STATUS", "0"},        {"STATUS_CODE", "0"}};
  for (const auto& value : values) {
    bool fixed = false;
    for (auto& item : row)
      if (item.first == value.first) {
        item.second = value.second;
        fixed = true;
      }
    if (!fixed) row.push_back(value);
  }
  return row;
}

std::string Failed(const std::string& caption, const std::string& cause) {
  return "Korvane. Data source 1 (COM3), request \"" + caption + "\" failed: " + cause;
}

bool Has(const std::vector<std::string>& lines, const std::string& text) {
  for (const std::string& line : lines)
    if (line.find(text) != std::string::npos) return true;
  return false;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

}  // namespace

TEST(PollRequests, GeReferenceAsEachProtocolCounts) {
  const struct {
    uint8_t Memory;
    int32_t Offset, Size;
    bool Ccm;
    const char* Reference;
  } cases[] = {
      {0x08, 0, 10, false, "%R1-%R10"},     // SNP: words from 0
      {0x0A, 0, 4, false, "%AI1-%AI4"},     //
      {0x0C, 9, 1, false, "%AQ10"},         // one word
      {0x46, 16, 16, false, "%I17-%I32"},   // bits from 0
      {0x10, 2, 1, false, "%I17-%I24"},     // a byte of %I
      {0x4C, 0, 8, false, "%M1-%M8"},       //
      {0x08, 101, 8, true, "%R101-%R104"},  // CCM: registers from 1, bytes
      {0x08, 5, 3, true, "%R5-%R6"},        // an odd byte count still reads the whole register
      {0x0A, 1, 2, true, "%AI1"},           //
  };
  for (const auto& c : cases)
    EXPECT_EQ(GeReference(c.Memory, c.Offset, c.Size, c.Ccm), c.Reference)
        << int{c.Memory} << " " << c.Offset << " " << c.Size;
  EXPECT_EQ(GeReference(0x99, 3, 1, false), "memory type 153 at 3");
}

// An SNP-X error answer's status code holds the major error in its low byte: 1039 is 0F 04.
TEST(PollRequests, StatusCodeNamesMajorAndMinor) {
  const std::string text = StatusCodeText(1039);
  EXPECT_NE(text.find("major 0F"), std::string::npos) << text;
  EXPECT_NE(text.find("minor 04"), std::string::npos) << text;
  EXPECT_EQ(text.find("1039"), std::string::npos) << text;
}

TEST(PollRequests, RowsAndFailuresFindTheirRequest) {
  TRequestBoard board(kConfig, plcsim::Mode::SnpX);
  ASSERT_EQ(board.Requests().size(), 3u);
  EXPECT_EQ(board.EnabledCount(), 2u) << "a request without <Enabled> is not polled";
  const TRequestState& levels = board.Requests()[0];
  const TRequestState& inputs = board.Requests()[1];
  EXPECT_EQ(levels.Reference, "%R1-%R2");
  EXPECT_EQ(inputs.Reference, "%AI5");

  // Every request is shown from the start, answered or not.
  std::vector<std::string> lines = board.Lines(100);
  EXPECT_TRUE(Has(lines, "Levels  %R1-%R2  waiting  no value yet  answers 0  failed 0")) << Joined(lines);
  EXPECT_TRUE(Has(lines, "Inputs  %AI5  waiting")) << Joined(lines);
  EXPECT_TRUE(Has(lines, "Spare  %R1-%R2  not enabled")) << Joined(lines);

  EXPECT_TRUE(board.TakeRow(Row("8", "0", {{"LEVEL", "12"}}), 1000));
  EXPECT_EQ(board.CaptionOf(Row("8", "0", {})), "Levels") << "the enabled one of two requests of one place";
  EXPECT_EQ(board.CaptionOf(Row("10", "4", {})), "Inputs");
  EXPECT_EQ(board.CaptionOf(Row("10", "5", {})), "") << "no request reads there";
  EXPECT_EQ(levels.Answers, 1u);
  ASSERT_EQ(levels.Values.size(), 1u) << "the fixed items are not values";
  EXPECT_EQ(levels.Values[0], (std::pair<std::string, std::string>("LEVEL", "12")));

  // An error answer: no value, the request's failure named from its status code.
  EXPECT_FALSE(board.TakeRow(Row("10", "4", {{"STATUS_CODE", "1039"}}), 1100));
  EXPECT_EQ(inputs.ErrorRows, 1u);
  EXPECT_EQ(inputs.Answers, 0u);
  EXPECT_TRUE(inputs.LastFailed);
  EXPECT_NE(inputs.LastFailure.find("major 0F"), std::string::npos) << inputs.LastFailure;

  // The module's failure lines, by caption.
  EXPECT_TRUE(board.TakeLogLine(Failed("Levels", "no data in time"), 1200));
  EXPECT_TRUE(board.TakeLogLine(Failed("Inputs", "an answer failed its block check"), 1210));
  EXPECT_TRUE(board.TakeLogLine(Failed("Inputs", "the PLC refused the request (NAK)"), 1220));
  EXPECT_TRUE(board.TakeLogLine(
      Failed("Inputs", "the PLC answered with an error: major 0F (SNP-X request error), minor 04"), 1230));
  EXPECT_FALSE(board.TakeLogLine("Korvane. Port opened", 1240));
  EXPECT_FALSE(board.TakeLogLine(Failed("Unknown", "no data in time"), 1250));
  EXPECT_EQ(levels.Failures, 1u);
  EXPECT_EQ(inputs.Failures, 3u);
  EXPECT_EQ(board.Totals().Timeouts, 1u);
  EXPECT_EQ(board.Totals().Checks, 1u);
  EXPECT_EQ(board.Totals().Naks, 1u);
  EXPECT_EQ(board.Totals().PlcErrors, 1u);

  lines = board.Lines(1300);
  EXPECT_TRUE(Has(lines, "Levels  %R1-%R2  STALE  age 0.3 s  answers 1  failed 1")) << Joined(lines);
  EXPECT_TRUE(Has(lines, "    last failure 0.1 s ago: no data in time")) << Joined(lines);
  EXPECT_TRUE(Has(lines, "    LEVEL  12")) << "the last value stays, marked stale: " << Joined(lines);
  EXPECT_TRUE(Has(lines, "Inputs  %AI5  STALE  no value yet  answers 0  failed 3")) << Joined(lines);

  // A fresh value clears the mark; its age counts from that row.
  EXPECT_TRUE(board.TakeRow(Row("8", "0", {{"LEVEL", "13"}}), 1400));
  lines = board.Lines(1500);
  EXPECT_TRUE(Has(lines, "Levels  %R1-%R2  live  age 0.1 s  answers 2  failed 1")) << Joined(lines);
  EXPECT_TRUE(Has(lines, "    LEVEL  13")) << Joined(lines);

  // CCM rows name the memory by its CCM type (%AI is 2).
  TRequestBoard ccm(kConfig, plcsim::Mode::CcmMasterSlave);
  EXPECT_EQ(ccm.CaptionOf(Row("2", "4", {})), "Inputs");
  EXPECT_EQ(ccm.CaptionOf(Row("10", "4", {})), "");
}

// Two enabled requests of one place (a fast and a slow poll of %R1), and on SNP %AI and %I
// bits, which the module's rows name alike: the values' names tell whose row it is.
TEST(PollRequests, RowsOfRequestsOfOnePlaceGoToTheRequestTheirValuesNameNotTheFirst) {
  const std::string config = "<MODBUSRTUQUERY>" + Request("Fast", kOn, 8, 0, 2, kPoll200, "FAST") +
                             Request("Slow", kOn, 8, 0, 2, kPoll200, "SLOW") +
                             Request("Inputs", kOn, 10, 0, 1, kPoll200, "AI") +
                             Request("Bits", kOn, 70, 0, 1, kPoll200, "IN") + "</MODBUSRTUQUERY>";
  TRequestBoard snpx(config, plcsim::Mode::SnpX);
  EXPECT_TRUE(snpx.TakeRow(Row("8", "0", {{"SLOW", "7"}}), 100));
  EXPECT_EQ(snpx.Requests()[0].Answers, 0u);
  EXPECT_EQ(snpx.Requests()[1].Answers, 1u);
  EXPECT_EQ(snpx.CaptionOf(Row("8", "0", {{"FAST", "1"}})), "Fast");

  TRequestBoard snp(config, plcsim::Mode::Snp);
  EXPECT_TRUE(snp.TakeRow(Row("2", "0", {{"IN0", "1"}, {"IN1", "0"}}), 100));
  EXPECT_EQ(snp.Requests()[2].Answers, 0u) << "an %I row was given to the %AI request";
  EXPECT_EQ(snp.Requests()[3].Answers, 1u);
  EXPECT_EQ(snp.CaptionOf(Row("2", "0", {{"AI", "5"}})), "Inputs");
  EXPECT_EQ(snp.CaptionOf(Row("2", "0", {{"OTHER", "5"}})), "Inputs") << "by place when no name fits";
}

TEST(PollRequests, StaleWithoutAFreshValueWithinTwiceTheInterval) {
  TRequestBoard board(kConfig, plcsim::Mode::Snp);
  const TRequestState& levels = board.Requests()[0];  // every 200 ms
  const TRequestState& inputs = board.Requests()[1];  // once
  EXPECT_FALSE(board.IsStale(levels, 400)) << "not yet: twice the interval from the start";
  EXPECT_TRUE(board.IsStale(levels, 401)) << "never answered";
  board.TakeRow(Row("1", "0", {{"LEVEL", "1"}}), 1000);  // SNP names %R by its CCM type, 1
  EXPECT_FALSE(board.IsStale(levels, 1400));
  EXPECT_TRUE(board.IsStale(levels, 1401)) << "an outage: the last value is kept but stale";
  board.TakeRow(Row("1", "0", {{"LEVEL", "2"}}), 1500);
  EXPECT_FALSE(board.IsStale(levels, 1500));
  board.TakeLogLine(Failed("Levels", "no acknowledgement in time"), 1510);
  EXPECT_TRUE(board.IsStale(levels, 1510)) << "the last transaction failed";

  EXPECT_FALSE(board.IsStale(inputs, 60000)) << "a request read once has no interval to miss";
  board.TakeRow(Row("2", "4", {{"AI", "5"}}), 100);
  EXPECT_FALSE(board.IsStale(inputs, 600000));
  board.TakeLogLine(Failed("Inputs", "no data in time"), 700000);
  EXPECT_TRUE(board.IsStale(inputs, 700000));
}
