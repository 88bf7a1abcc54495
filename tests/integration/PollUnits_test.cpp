// The bench poller's own units: its command line, its CSV file, the module's statistics text
// and the poller's round-trip count.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tools/PollCsv.h"
#include "tools/PollOptions.h"
#include "tools/PollProgress.h"
#include "tools/PollStatistics.h"
#include "tools/PollTable.h"

using namespace kelda;
using namespace kelda::host;

namespace {

std::vector<std::string> Args(std::initializer_list<const char*> extra) {
  std::vector<std::string> args = {"kelda.dll", "--config", "snp.xml", "--protocol", "snp"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

std::string UsageError(const std::vector<std::string>& args) {
  try {
    ParsePollOptions(args);
  } catch (const EPollUsage& usage) {
    return usage.what();
  }
  return "";
}

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(PollOptions, ReadsEveryOptionInBothForms) {
  TPollOptions o = ParsePollOptions(
      {"kelda.dll",   "--config=a.xml", "--protocol", "ccm-peer",  "--port",  "COM7",
       "--baud=9600", "--parity",       "even",       "--stop",    "2",       "--local-id",
       "5",           "--min-interval", "50",         "--seconds", "30",      "--transactions=100",
       "--csv",       "out.csv",        "--trace",    "out.trace", "--quiet", "--log-failed"});
  EXPECT_EQ(o.Library, "kelda.dll");
  EXPECT_EQ(o.ConfigFile, "a.xml");
  EXPECT_EQ(o.Protocol, plcsim::Mode::CcmPeerToPeer);
  EXPECT_TRUE(o.Ccm());
  EXPECT_EQ(o.Port, "COM7");
  EXPECT_FALSE(o.Simulated());
  EXPECT_EQ(o.Serial.BaudRate, 9600u);
  EXPECT_EQ(o.Serial.Parity, platform::TParity::Even);
  EXPECT_EQ(o.Serial.StopBits, 2);
  EXPECT_EQ(o.LocalId, 5);
  EXPECT_EQ(o.MinIntervalMs, 50);
  EXPECT_EQ(o.Seconds, 30u);
  EXPECT_EQ(o.Transactions, 100u);
  EXPECT_EQ(o.CsvFile, "out.csv");
  EXPECT_EQ(o.TraceFile, "out.trace");
  EXPECT_TRUE(o.Quiet);
  EXPECT_TRUE(o.LogFailed);

  TPollOptions d = ParsePollOptions(Args({}));
  EXPECT_FALSE(d.LogFailed);
  EXPECT_TRUE(d.Simulated()) << "the built-in simulator is the default line";
  EXPECT_EQ(d.Serial.BaudRate, 19200u);
  EXPECT_EQ(d.Serial.Parity, platform::TParity::Odd);
  EXPECT_EQ(d.Serial.StopBits, 1);
  EXPECT_EQ(d.Seconds, 0u);

  TPollOptions s =
      ParsePollOptions(Args({"--sim-id", "BOILER", "--sim-noise", "always", "--sim-corrupt", "3", "--sim-nak",
                             "-1", "--sim-silent", "2", "--sim-delay", "40", "--sim-chunk", "1"}));
  EXPECT_EQ(s.SimId, "BOILER");
  EXPECT_EQ(s.SimNoise, -1);
  EXPECT_EQ(s.SimCorrupt, 3);
  EXPECT_EQ(s.SimNak, -1);
  EXPECT_EQ(s.SimSilent, 2);
  EXPECT_EQ(s.SimDelayMs, 40);
  EXPECT_EQ(s.SimChunk, 1u);

  EXPECT_TRUE(ParsePollOptions({"--help"}).Help);
}

TEST(PollOptions, RefusesWhatItCannotRun) {
  EXPECT_NE(UsageError({"--config", "a.xml", "--protocol", "snp"}).find("library"), std::string::npos);
  EXPECT_NE(UsageError({"kelda.dll", "--protocol", "snp"}).find("--config"), std::string::npos);
  EXPECT_NE(UsageError({"kelda.dll", "--config", "a.xml"}).find("--protocol"), std::string::npos);
  EXPECT_NE(UsageError(Args({"--protocol", "modbus"})).find("modbus"), std::string::npos);
  EXPECT_NE(UsageError(Args({"--parity", "mark"})).find("mark"), std::string::npos);
  EXPECT_NE(UsageError(Args({"--baud", "fast"})).find("--baud"), std::string::npos);
  EXPECT_NE(UsageError(Args({"--baud", "19200x"})).find("--baud"), std::string::npos);
  EXPECT_NE(UsageError(Args({"--stop", "3"})).find("--stop"), std::string::npos);
  EXPECT_NE(UsageError(Args({"--seconds", "0"})).find("--seconds"), std::string::npos);
  EXPECT_NE(UsageError(Args({"--seconds", "-5"})).find("--seconds"), std::string::npos);
  EXPECT_NE(UsageError(Args({"--sim-silent", "often"})).find("--sim-silent"), std::string::npos);
  EXPECT_NE(UsageError(Args({"--sim-delay", "-1"})).find("--sim-delay"), std::string::npos);
  EXPECT_NE(UsageError(Args({"--speed", "9600"})).find("unknown option --speed"), std::string::npos);
  EXPECT_NE(UsageError(Args({"--csv"})).find("--csv needs a value"), std::string::npos);
  EXPECT_NE(UsageError(Args({"--csv="})).find("--csv needs a value"), std::string::npos);
  EXPECT_NE(UsageError(Args({"other.dll"})).find("one library only"), std::string::npos);
  // An option of the simulated PLC with a real port would be silently ignored.
  EXPECT_NE(UsageError(Args({"--port", "COM3", "--sim-nak", "1"})).find("--sim-"), std::string::npos);
  EXPECT_NE(UsageError(Args({"--sim-id", "TOOLONGID"})).find("--sim-id"), std::string::npos);
  EXPECT_NE(
      UsageError({"kelda.dll", "--config", "a", "--protocol", "ccm-ms", "--sim-id", "PLC1"}).find("--sim-id"),
      std::string::npos)
      << "a CCM station is a number";
  EXPECT_NE(UsageError(Args({"--port", "COM3", "--sim-memory", "plc.mem"})).find("--sim-"),
            std::string::npos);
}

TEST(PollCsv, QuotesFieldsThatNeedIt) {
  EXPECT_EQ(CsvField("plain 1.5"), "plain 1.5");
  EXPECT_EQ(CsvField(""), "");
  EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
  EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(CsvField("two\r\nlines"), "\"two\r\nlines\"");
  EXPECT_EQ(CsvField("lf\nonly"), "\"lf\nonly\"");
}

TEST(PollCsv, HeaderGrowsAndEveryRecordKeepsItsFields) {
  const std::string path = "poll_units_grow.csv";
  const std::string clock = "2026-01-02T03:04:05.006";
  {
    TCsvWriter csv(path);
    EXPECT_EQ(FileText(path), "\xEF\xBB\xBFtime_ms_since_start,local_time,request\r\n")
        << "the header is there before any row, the old first column first";
    csv.Add(0, clock, "Tank, level", {{"A", "1"}, {"B", "x,y"}});
    csv.Flush();
    EXPECT_EQ(FileText(path),
              "\xEF\xBB\xBFtime_ms_since_start,local_time,request,A,B\r\n"
              "0," +
                  clock + ",\"Tank, level\",1,\"x,y\"\r\n")
        << "flushed while the run goes on";
    csv.Add(15, clock, "Tank", {{"B", "say \"hi\""}, {"A", "2"}});
    csv.Flush();
    // A name first seen later: a column at the end, earlier records padded.
    csv.Add(30, clock, "", {{"C", "\"q\""}});
    csv.Add(45, clock, "Tank", {{"A", "3"}});
    csv.Flush();
    // The byte-order mark once, before the grown header too: Excel takes the file as UTF-8.
    EXPECT_EQ(FileText(path),
              "\xEF\xBB\xBFtime_ms_since_start,local_time,request,A,B,C\r\n"
              "0," +
                  clock +
                  ",\"Tank, level\",1,\"x,y\",\r\n"
                  "15," +
                  clock +
                  ",Tank,2,\"say \"\"hi\"\"\",\r\n"
                  "30," +
                  clock +
                  ",,,,\"\"\"q\"\"\"\r\n"
                  "45," +
                  clock + ",Tank,3,,\r\n");
    // Rows buffered before a column appears in a later buffered row are padded too.
    csv.Add(60, clock, "Tank", {{"A", "4"}});
    csv.Add(75, clock, "Tank", {{"D", "d"}});
    EXPECT_EQ(csv.Columns().size(), 4u);
    EXPECT_EQ(csv.Rows(), 6u);
  }
  const std::string text = FileText(path);
  EXPECT_EQ(text.substr(0, text.find("\r\n")), "\xEF\xBB\xBFtime_ms_since_start,local_time,request,A,B,C,D");
  EXPECT_NE(text.find("\r\n60," + clock + ",Tank,4,,,\r\n75," + clock + ",Tank,,,,d\r\n"), std::string::npos)
      << "the destructor flushed: " << text;
  std::remove(path.c_str());
}

// Text values come in the system's 8-bit code page (windows-1252 where this runs); the file is
// UTF-8 with control characters escaped, so that every record is one line a strict reader takes.
TEST(PollCsv, TextBecomesUtf8WithControlCharactersEscaped) {
  EXPECT_EQ(CsvText("Tank A"), "Tank A");
  EXPECT_EQ(CsvText("\xC4l \xB0"
                    "C"),
            "\xC3\x84l \xC2\xB0"
            "C")
      << "Ä and ° as UTF-8";
  EXPECT_EQ(CsvText("\x80"), "\xE2\x82\xAC") << "the euro sign of windows-1252";
  EXPECT_EQ(CsvText("a\r\nb\x01\x1F\x7F"), "a\\x0D\\x0Ab\\x01\\x1F\\x7F");
  EXPECT_EQ(CsvText("C:\\x01"), "C:\\\\x01") << "a backslash cannot be taken for an escape";
  EXPECT_EQ(CsvText("a\x81\x9D"), "a\\x81\\x9D") << "bytes windows-1252 leaves unassigned are controls too";

  const std::string path = "poll_units_utf8.csv";
  {
    TCsvWriter csv(path);
    csv.Add(1, "t",
            "K\xFC"
            "hlung",
            {{"TEXT", "\xE9t\xE9\r\n"}, {"N\xC4ME", "1"}});
  }
  EXPECT_EQ(FileText(path),
            "\xEF\xBB\xBFtime_ms_since_start,local_time,request,TEXT,N\xC3\x84ME\r\n"
            "1,t,K\xC3\xBChlung,\xC3\xA9t\xC3\xA9\\x0D\\x0A,1\r\n");
  std::remove(path.c_str());
}

TEST(PollCsv, ClockTimeIsIso8601LocalWithMilliseconds) {
  std::tm fields{};
  fields.tm_year = 2026 - 1900;
  fields.tm_mon = 11;
  fields.tm_mday = 7;
  fields.tm_hour = 21;
  fields.tm_min = 5;
  fields.tm_sec = 9;
  fields.tm_isdst = -1;
  const auto time =
      std::chrono::system_clock::from_time_t(std::mktime(&fields)) + std::chrono::milliseconds(42);
  EXPECT_EQ(LocalClockTime(time), "2026-12-07T21:05:09.042");
  EXPECT_EQ(LocalClockTime(time + std::chrono::milliseconds(958)), "2026-12-07T21:05:10.000");
}

TEST(PollStatistics, ReadsTheModulesTextPerDataSource) {
  const std::string text =
      "1;requests=12;answers=11;timeouts=1;checks=0;naks=0;out=240;in=560;rtt=35;rtt_avg=36\r\n"
      "2;requests=7;future=9;timeouts=x;rtt_avg=40\n";
  std::vector<TLineStatistics> lines = ParseStatistics(text);
  ASSERT_EQ(lines.size(), 2u);
  const TLineStatistics& one = lines[0];
  EXPECT_EQ(one.DataSource, 1);
  EXPECT_EQ(one.Requests, 12u);
  EXPECT_EQ(one.Answers, 11u);
  EXPECT_EQ(one.Timeouts, 1u);
  EXPECT_EQ(one.Checks, 0u);
  EXPECT_EQ(one.Naks, 0u);
  EXPECT_EQ(one.BytesOut, 240u);
  EXPECT_EQ(one.BytesIn, 560u);
  EXPECT_EQ(one.RttMs, 35u);
  EXPECT_EQ(one.RttAvgMs, 36u);
  EXPECT_EQ(lines[1].Requests, 7u);
  EXPECT_FALSE(lines[1].Timeouts.has_value()) << "a count that is not a number is unknown";
  EXPECT_FALSE(lines[1].Answers.has_value());
  EXPECT_EQ(lines[1].RttAvgMs, 40u);

  ASSERT_TRUE(StatisticsOf(text, 2).has_value());
  EXPECT_FALSE(StatisticsOf(text, 3).has_value());
  EXPECT_TRUE(ParseStatistics("").empty()) << "a module without statistics";
  EXPECT_TRUE(ParseStatistics("requests=1;answers=1\r\n;x\r\n").empty()) << "lines without a data source";

  const std::string progress = ProgressLine(TPollCounts(), text, 1, 3200);
  EXPECT_NE(progress.find("time-outs 1"), std::string::npos) << progress;
  EXPECT_NE(progress.find("rtt 35 ms (avg 36)"), std::string::npos) << progress;
  EXPECT_NE(progress.find("3.2 s"), std::string::npos) << progress;
}

TEST(PollProgress, RoundTripRunsFromTheLastWriteToTheRow) {
  TPollCounts counts;
  counts.Wrote(10, 1000);  // an exchange writes several frames before its row
  counts.Wrote(5, 1020);
  counts.Read(30);
  counts.Row(1050);
  counts.Row(1060);  // a second row of the same answer is no round trip of its own
  EXPECT_EQ(counts.LastRttMs(), 30u);
  counts.Wrote(10, 2000);
  counts.Row(2050);
  EXPECT_EQ(counts.LastRttMs(), 50u);
  EXPECT_EQ(counts.AverageRttMs(), 40u);
  EXPECT_EQ(counts.Rows(), 3u);
  EXPECT_EQ(counts.BytesOut(), 25u);
  EXPECT_EQ(counts.BytesIn(), 30u);
  const std::string progress = ProgressLine(counts, "", 1, 2100);
  EXPECT_NE(progress.find("rows 3"), std::string::npos) << progress;
  EXPECT_NE(progress.find("rtt 50 ms (avg 40)"), std::string::npos) << progress;
}

TEST(PollTable, ShowsTheBlockAndRedrawsInPlace) {
  const std::vector<std::string> block = {"  Tank  %R1  live", "    LEVEL  11", "    FLOW   1.5"};
  std::ostringstream plain;
  TLiveView lines(plain, false, 1000);
  lines.Show(0, block, "rows 1");
  lines.Show(500, block, "rows 2");  // not yet: one block per second at most
  lines.Show(1000, block, "rows 3");
  lines.Show(1200, block, "rows 4", true);
  EXPECT_EQ(plain.str().find("rows 2"), std::string::npos);
  EXPECT_NE(plain.str().find("    LEVEL  11\n    FLOW   1.5\nrows 3\n"), std::string::npos) << plain.str();
  EXPECT_NE(plain.str().find("rows 4"), std::string::npos) << "the last block is always shown";
  EXPECT_EQ(plain.str().find('\x1b'), std::string::npos) << "no cursor sequences into a file";

  std::ostringstream terminal;
  TLiveView live(terminal, true, 0);
  live.Show(0, block, "rows 1");
  EXPECT_EQ(terminal.str().find("\x1b[4F"), std::string::npos) << "nothing to go back over yet";
  live.Show(1, {"  Tank  %R1  STALE"}, "rows 2");
  const std::string second = terminal.str().substr(terminal.str().find("rows 1"));
  EXPECT_NE(second.find("\x1b[4F"), std::string::npos) << "back to the top of the 4 lines drawn";
  // The two lines the shorter block no longer covers are cleared.
  EXPECT_NE(second.find("rows 2\n\x1b[2K\n\x1b[2K\n"), std::string::npos);
  // Long lines are cut at the terminal's edge rather than wrapped: line wrap is off while drawing.
  EXPECT_EQ(terminal.str().find("\x1b[?7l"), 0u);
  EXPECT_NE(second.find("\x1b[?7l\x1b[4F"), std::string::npos) << second;
  EXPECT_NE(second.find("rows 2\n\x1b[2K\n\x1b[2K\n\x1b[?7h"), std::string::npos);
  live.Show(2, {}, "rows 3");
  EXPECT_NE(terminal.str().find("\x1b[4F", terminal.str().find("rows 2")), std::string::npos)
      << "the cleared lines count as drawn";
}

// The hint names what to check from what failed: failed checks the line's settings, refusals
// what the requests ask for, silence the cable, the ID and the protocol.
TEST(PollProgress, HintFollowsWhatFailed) {
  TPollOptions serial = ParsePollOptions(Args({"--port", "/dev/ttyUSB0", "--baud", "9600"}));
  TPollOptions sim = ParsePollOptions(Args({}));
  TTrouble checks;
  checks.Checks = 4;
  checks.Timeouts = 9;
  TTrouble refusals;
  refusals.Refusals = 3;
  refusals.Timeouts = 9;
  TTrouble silence;
  silence.Timeouts = 9;

  const std::string badCheck = NoAnswerHint(serial, 5000, checks);
  EXPECT_NE(badCheck.find("4 answers failed their check"), std::string::npos) << badCheck;
  EXPECT_NE(badCheck.find("baud rate (9600)"), std::string::npos) << badCheck;
  EXPECT_NE(badCheck.find("parity (odd)"), std::string::npos) << badCheck;
  EXPECT_EQ(badCheck.find("<Address>"), std::string::npos) << "not the address: " << badCheck;
  EXPECT_EQ(badCheck.find("cable"), std::string::npos) << badCheck;

  const std::string refused = NoAnswerHint(serial, 5000, refusals);
  EXPECT_NE(refused.find("refused 3 requests"), std::string::npos) << refused;
  EXPECT_NE(refused.find("<Address>"), std::string::npos) << refused;
  EXPECT_NE(refused.find("SNP ID"), std::string::npos) << refused;
  EXPECT_NE(refused.find("<Offset> and <Size>"), std::string::npos) << "the memory range: " << refused;
  EXPECT_EQ(refused.find("cable"), std::string::npos) << refused;
  EXPECT_EQ(refused.find("baud"), std::string::npos) << refused;

  const std::string silent = NoAnswerHint(serial, 5000, silence);
  EXPECT_NE(silent.find("no answer from the PLC in 5.0 s"), std::string::npos) << silent;
  EXPECT_NE(silent.find("cable"), std::string::npos) << silent;
  EXPECT_NE(silent.find("SNP ID"), std::string::npos) << silent;
  EXPECT_NE(silent.find("speaks snp"), std::string::npos) << "the protocol: " << silent;

  // Answers that came without a configured value: not silence, the configuration's items.
  TTrouble empty;
  empty.EmptyRows = 4;
  for (const TPollOptions* options : {&serial, &sim}) {
    const std::string noValue = NoAnswerHint(*options, 5000, empty);
    EXPECT_NE(noValue.find("4 answers came but carried no configured value"), std::string::npos) << noValue;
    EXPECT_NE(noValue.find("kelda-host check"), std::string::npos) << noValue;
    EXPECT_EQ(noValue.find("no answer"), std::string::npos) << noValue;
    EXPECT_EQ(noValue.find("cable"), std::string::npos) << noValue;
  }

  EXPECT_NE(NoAnswerHint(sim, 5000, checks).find("--sim-corrupt"), std::string::npos);
  EXPECT_NE(NoAnswerHint(sim, 5000, refusals).find("--sim-nak"), std::string::npos);
  EXPECT_NE(NoAnswerHint(sim, 5000, silence).find("--sim-silent"), std::string::npos);
  EXPECT_NE(NoAnswerHint(ParsePollOptions({"k.dll", "--config", "c", "--protocol", "ccm-ms"}), 5000, refusals)
                .find("CCM station number 2"),
            std::string::npos);
}
