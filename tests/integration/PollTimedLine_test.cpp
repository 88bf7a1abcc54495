// The poller on the timed simulated line (--sim-baud): reads come no faster than the wire allows
// at that rate, the summary tells the line use, and --fast hands the module its speed settings.
#include <gtest/gtest.h>

#include <cctype>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tools/PollLineUse.h"
#include "tools/PollRun.h"
#include "tools/plcsim/WireTime.h"

using namespace kelda;
using namespace kelda::host;

namespace {

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Replaces the text of every <tag> in xml.
void SetAll(std::string& xml, const std::string& tag, const std::string& value) {
  const std::string open = "<" + tag + ">", close = "</" + tag + ">";
  for (std::size_t at = xml.find(open); at != std::string::npos; at = xml.find(open, at + 1)) {
    const std::size_t from = at + open.size(), end = xml.find(close, from);
    xml.replace(from, end - from, value);
  }
}

// The protocol's sample with its requests polled back to back and the first one reading 100
// registers, so that the wire, not the module's own pace, sets the rate.
std::string WireBoundConfig(const std::string& protocol) {
  std::string xml = FileText(std::string(KELDA_SAMPLES_DIR) + "/" + protocol + ".xml");
  SetAll(xml, "PollInterval", "0");
  const std::string size = "<Size>";
  const std::size_t first = xml.find(size) + size.size();
  xml.replace(first, xml.find('<', first) - first, protocol.rfind("ccm", 0) == 0 ? "200" : "100");
  const std::string file = "poll_timed_" + protocol + ".xml";
  std::ofstream(file, std::ios::binary) << xml;
  return file;
}

// Times (ms) of the CSV's records, the header left out; the first column is the time.
std::vector<double> RowTimes(const std::string& csv) {
  std::istringstream in(FileText(csv));
  std::vector<double> times;
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line))
    if (!line.empty()) times.push_back(std::stod(line.substr(0, line.find(','))));
  return times;
}

class TimedPoll : public ::testing::TestWithParam<const char*> {};

}  // namespace

// Each read takes at least its characters at 19200 8O1 and the PLC's own gaps (what the line
// enforces whatever the module does). Intervals between rows can only grow with a busy machine,
// so their median is held against that least time; an untimed line answers many times faster.
TEST_P(TimedPoll, ReadsNoFasterThanTheWire) {
  const std::string protocol = GetParam(), csv = "poll_timed_" + protocol + ".csv";
  const std::string config = WireBoundConfig(protocol);
  std::ostringstream out, err;
  const int status =
      RunPoll(ParsePollOptions({KELDA_LIBRARY_PATH, "--config", config, "--protocol", protocol, "--quiet",
                                "--sim-baud", "19200", "--seconds", "2", "--csv", csv}),
              out, err);
  EXPECT_EQ(status, kPollOk) << err.str();

  TPollOptions options = ParsePollOptions({"lib", "--config", config, "--protocol", protocol});
  plcsim::LineFormat line;  // 19200 8O1
  plcsim::WireRules rules;
  rules.snpT1Ms = kModuleSnpT1Ms;
  rules.breakMs = kModuleBreakMs;
  double least = 1e9;
  for (const TPolledRequest& request : RequestsOf(FileText(config))) {
    if (!request.Enabled || !request.Polled) continue;
    const plcsim::ExchangeTime wire =
        plcsim::ReadExchange(options.Protocol, ReadDataBytes(request, options.Protocol), line,
                             plcsim::SessionUse::BreakAndAttachEachRead, rules);
    least = std::min(least, wire.cycleMs - wire.masterGapMs);
  }
  std::vector<double> times = RowTimes(csv);
  ASSERT_GE(times.size(), 4u) << FileText(csv) << err.str();
  std::vector<double> intervals;
  // The CCM sample's second request is read once, at the start: the polled rows follow it.
  for (std::size_t k = 2; k < times.size(); ++k) intervals.push_back(times[k] - times[k - 1]);
  std::sort(intervals.begin(), intervals.end());
  const double median = intervals[intervals.size() / 2];
  EXPECT_GE(median, least - 2) << "rows came faster than the wire carries them";

  const std::string summary = out.str();
  EXPECT_NE(summary.find("line use at 19200 8O1"), std::string::npos) << summary;
  EXPECT_NE(summary.find("wire-limited"), std::string::npos) << summary;
  EXPECT_NE(summary.find("Registers R1-R10 (every "), std::string::npos) << "a line per request: " << summary;
  if (protocol.rfind("snp", 0) == 0) {
    EXPECT_NE(summary.find("break + attach before every read"), std::string::npos) << summary;
  }
  std::remove(csv.c_str());
  std::remove(config.c_str());
}

INSTANTIATE_TEST_SUITE_P(Protocols, TimedPoll, ::testing::Values("ccm-ms", "snp", "snpx"));

// --fast hands the module "Keep session" and "Send when ready" with the other settings, and the
// line use then counts no break or attach per read; without it the module keeps its defaults.
TEST(PollFast, SetsBothSpeedSettings) {
  auto has = [](const std::vector<std::pair<std::string, std::string>>& settings, const std::string& key) {
    for (const auto& [name, value] : settings)
      if (name == key) return value == "1";
    return false;
  };
  const std::string sample = std::string(KELDA_SAMPLES_DIR) + "/snpx.xml";
  TPollOptions fast = ParsePollOptions({"lib", "--config", sample, "--protocol", "snpx", "--fast"});
  EXPECT_TRUE(fast.Fast);
  auto settings = ModuleSettings(fast, "<MODBUSRTUQUERY/>");
  EXPECT_TRUE(has(settings, "Keep session"));
  EXPECT_TRUE(has(settings, "Send when ready"));
  TPollOptions plain = ParsePollOptions({"lib", "--config", sample, "--protocol", "snpx"});
  settings = ModuleSettings(plain, "<MODBUSRTUQUERY/>");
  EXPECT_FALSE(has(settings, "Keep session"));
  EXPECT_FALSE(has(settings, "Send when ready"));

  fast.SimBaud = plain.SimBaud = 19200;
  const std::string config = FileText(sample);
  TLineUse kept(fast, config), opened(plain, config);
  EXPECT_GT(kept.WireLimitedPerSecond(), 2 * opened.WireLimitedPerSecond())
      << "without break and attach an SNP-X read of 10 registers is several times shorter";
  EXPECT_NE(kept.Report().find("session kept"), std::string::npos) << kept.Report();
}

// A line that carries no breaks (a pseudo-terminal) takes each attach at once: a read that
// opens its session then costs neither the break nor T4 (150 ms less when the module waits T4,
// as it does with "Send when ready"; its default mode attaches at once after the break, so there
// the break alone); a kept session has no break per read to leave out.
TEST(PollLineUse, LineWithoutBreaksCountsNoBreakOrT4) {
  const std::string sample = std::string(KELDA_SAMPLES_DIR) + "/snpx.xml";
  const std::string config = FileText(sample);
  for (const bool timed : {false, true}) {
    std::vector<std::string> args = {"lib", "--config", sample, "--protocol", "snpx", "--port", "COM9"};
    if (timed) args.insert(args.end(), {"--setting", "Send when ready=1"});
    TLineUse opened(ParsePollOptions(args), config);
    ASSERT_TRUE(opened.HasWire());
    const double msWithBreak = 1000.0 / opened.WireLimitedPerSecond();
    opened.NoBreaks();
    EXPECT_NEAR(msWithBreak - 1000.0 / opened.WireLimitedPerSecond(), timed ? 150.0 : 100.0, 0.01);
    EXPECT_NE(opened.Report().find("the line carries no breaks"), std::string::npos) << opened.Report();
  }
  TPollOptions plain = ParsePollOptions({"lib", "--config", sample, "--protocol", "snpx", "--port", "COM9"});

  TPollOptions fast = plain;
  fast.Fast = true;
  TLineUse kept(fast, config);
  const double keptRate = kept.WireLimitedPerSecond();
  kept.NoBreaks();
  EXPECT_DOUBLE_EQ(kept.WireLimitedPerSecond(), keptRate);
}

// Several simulated PLCs, dead ones and a late start belong to the timed line; their IDs count up
// from the first and must stay addressable; --setting passes any module setting through.
TEST(PollTimedLineOptions, SeveralPlcsDeadOnesAndSettings) {
  const std::string sample = std::string(KELDA_SAMPLES_DIR) + "/snpx.xml";
  auto parse = [&](std::vector<std::string> extra, const std::string& protocol = "snpx") {
    std::vector<std::string> args = {"lib", "--config", sample, "--protocol", protocol};
    args.insert(args.end(), extra.begin(), extra.end());
    return ParsePollOptions(args);
  };
  TPollOptions four =
      parse({"--sim-baud", "19200", "--sim-plcs", "4", "--sim-dead", "1", "--sim-down", "500"});
  EXPECT_EQ(SimPlcId(four, 0), "PLC1");
  EXPECT_EQ(SimPlcId(four, 3), "PLC4");
  EXPECT_EQ(SimPlcId(parse({"--sim-id", "TANK9"}), 2), "TANK11");
  EXPECT_EQ(SimPlcId(parse({"--sim-id", "ABC"}), 1), "ABC2");
  EXPECT_EQ(SimPlcId(parse({}, "ccm-ms"), 2), "4");
  EXPECT_THROW(parse({"--sim-plcs", "2"}), EPollUsage) << "only on the timed line";
  EXPECT_THROW(parse({"--sim-baud", "19200", "--sim-plcs", "2", "--sim-dead", "3"}), EPollUsage);
  EXPECT_THROW(parse({"--sim-baud", "19200", "--sim-id", "PLC9999", "--sim-plcs", "2"}), EPollUsage)
      << "PLC10000 is 8 characters";
  EXPECT_THROW(parse({"--sim-baud", "19200", "--sim-id", "89", "--sim-plcs", "3"}, "ccm-ms"), EPollUsage);
  EXPECT_THROW(parse({"--setting", "=1"}), EPollUsage);

  TPollOptions settings = parse({"--setting", "Retries=2", "--setting", "Demote for=10000"});
  auto stored = ModuleSettings(settings, "<MODBUSRTUQUERY/>");
  EXPECT_EQ(stored.back(), (std::pair<std::string, std::string>("Demote for", "10000")));
  EXPECT_EQ(stored[stored.size() - 2], (std::pair<std::string, std::string>("Retries", "2")));
}

// The figures against what the configuration asks and against the wire: the samples' intervals
// (250 ms and 1 s) ask 5 reads/s, which the line at 19200 carries, so the intervals are the
// limit; the fastest sample asks more than any line carries. No reads is said in words, and a
// share above 100 % of the wire comes with its reason.
TEST(PollLineUse, AgainstTheIntervalsAndTheWire) {
  const std::string sample = std::string(KELDA_SAMPLES_DIR) + "/snpx.xml";
  const std::string fastest = std::string(KELDA_SAMPLES_DIR) + "/snpx-fastest.xml";
  TPollOptions options =
      ParsePollOptions({"lib", "--config", sample, "--protocol", "snpx", "--port", "COM9"});
  TLineUse samples(options, FileText(sample));
  EXPECT_DOUBLE_EQ(samples.AskedPerSecond(), 5.0);
  std::string report = samples.Report();
  EXPECT_NE(report.find("the poll intervals ask 5.0 reads/s: the intervals are the limit"), std::string::npos)
      << report;
  EXPECT_NE(report.find("too few reads to measure"), std::string::npos) << report;
  EXPECT_EQ(report.find('?'), std::string::npos) << report;
  EXPECT_NE(report.find("no T4 wait"), std::string::npos) << "the default mode attaches at once: " << report;

  TLineUse fast(options, FileText(fastest));
  EXPECT_GT(fast.AskedPerSecond(), fast.WireLimitedPerSecond());
  EXPECT_NE(fast.Report().find("more than the wire carries: the line is the limit"), std::string::npos)
      << fast.Report();

  // A pseudo-terminal: no breaks, and rows as fast as the PLC answers, twice the wire's figure.
  TLineUse pty(options, FileText(fastest));
  pty.NoBreaks();
  const double msPerRead = 1000.0 / pty.WireLimitedPerSecond();
  for (int k = 0; k < 20; ++k)
    pty.Row({{k % 2 ? "AI1" : "R1", "1"}}, static_cast<uint64_t>(k * msPerRead / 2));
  report = pty.Report();
  EXPECT_NE(report.find("the line paces nothing"), std::string::npos) << report;
  for (std::size_t at = report.find(" %"); at != std::string::npos; at = report.find(" %", at + 1)) {
    std::size_t digits = at;
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(report[digits - 1]))) --digits;
    if (std::stoi(report.substr(digits, at - digits)) > 100)
      EXPECT_EQ(report.compare(at, 3, " %:"), 0) << "a share above 100 % says why: " << report;
  }
}
