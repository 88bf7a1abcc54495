// Whole runs of the bench poller through the real library against the built-in simulated PLC,
// with the sample configuration of each protocol: the values in the CSV file are the PLC's,
// and every way a run ends gives its own exit status with the files complete up to that end.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/SerialPort.h"
#include "platform/Tick.h"
#include "tools/PollLine.h"
#include "tools/PollRun.h"

using namespace kelda;
using namespace kelda::host;

namespace {

using TRecord = std::vector<std::string>;

// Records of a CSV file, quoted fields and line breaks inside them taken apart.
std::vector<TRecord> ReadCsv(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.rfind("\xEF\xBB\xBF", 0), 0u) << "the file starts with the UTF-8 byte-order mark";
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
  std::vector<TRecord> records;
  TRecord record;
  std::string field;
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        field += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      record.push_back(field);
      field.clear();
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      record.push_back(field);
      records.push_back(record);
      record.clear();
      field.clear();
      ++i;
    } else {
      field += c;
    }
  }
  return records;
}

// Whether text is well-formed UTF-8 as a strict reader takes it: no stray continuation bytes,
// no overlong forms, no surrogates, nothing past U+10FFFF.
bool IsStrictUtf8(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    uint32_t code = 0;
    if (byte < 0x80) {
      ++i;
      continue;
    } else if ((byte & 0xE0) == 0xC0) {
      length = 2;
      code = byte & 0x1F;
    } else if ((byte & 0xF0) == 0xE0) {
      length = 3;
      code = byte & 0x0F;
    } else if ((byte & 0xF8) == 0xF0) {
      length = 4;
      code = byte & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = code << 6 | (next & 0x3F);
    }
    static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Sample(const std::string& protocol) {
  return std::string(KELDA_SAMPLES_DIR) + "/" + protocol + ".xml";
}

TPollOptions Options(const std::string& protocol, std::initializer_list<const char*> extra = {}) {
  std::vector<std::string> args = {KELDA_LIBRARY_PATH, "--config", Sample(protocol),
                                   "--protocol",       protocol,   "--quiet"};
  args.insert(args.end(), extra.begin(), extra.end());
  return ParsePollOptions(args);
}

struct TRun {
  int Status = -1;
  std::string Out, Err;
};

TRun Poll(const TPollOptions& options, const TPollHooks& hooks = {}) {
  std::ostringstream out, err;
  TRun run;
  run.Status = RunPoll(options, out, err, hooks);
  run.Out = out.str();
  run.Err = err.str();
  return run;
}

// The column values of each record, by header name.
std::vector<std::map<std::string, std::string>> Rows(const std::vector<TRecord>& records) {
  std::vector<std::map<std::string, std::string>> rows;
  for (std::size_t r = 1; r < records.size(); ++r) {
    std::map<std::string, std::string> row;
    EXPECT_EQ(records[r].size(), records[0].size()) << "record " << r << " has as many fields as the header";
    for (std::size_t c = 0; c < records[r].size() && c < records[0].size(); ++c)
      row[records[0][c]] = records[r][c];
    rows.push_back(row);
  }
  return rows;
}

double Number(const std::string& text) {
  std::string dotted = text;
  for (char& c : dotted)
    if (c == ',') c = '.';
  return std::stod(dotted);
}

// The samples read %R1..%R10 from a PLC whose words hold their own numbers.
void ExpectSampleValues(const std::map<std::string, std::string>& row, bool ccm) {
  if (!row.at("R1").empty()) {
    for (int k = 1; k <= 6; ++k) EXPECT_EQ(row.at("R" + std::to_string(k)), std::to_string(k));
    EXPECT_EQ(row.at("R7_R8"), "524295") << "%R7 low word, %R8 high word";
    EXPECT_DOUBLE_EQ(Number(row.at("R9_TENTHS")), 0.9);
    EXPECT_EQ(row.at("R10"), "10");
  } else if (ccm) {
    for (int k = 1; k <= 4; ++k) EXPECT_EQ(row.at("RECIPE" + std::to_string(k)), std::to_string(100 + k));
  } else {
    for (int k = 1; k <= 4; ++k) EXPECT_EQ(row.at("AI" + std::to_string(k)), std::to_string(k));
  }
}

class PollEveryProtocol : public ::testing::TestWithParam<const char*> {};

}  // namespace

TEST_P(PollEveryProtocol, CsvHoldsThePlcsValues) {
  const std::string protocol = GetParam();
  const bool ccm = protocol.rfind("ccm", 0) == 0;
  const std::string csv = "poll_" + protocol + ".csv", trace = "poll_" + protocol + ".trace";
  TRun run = Poll(Options(protocol, {"--transactions", "5", "--seconds", "30", "--csv", csv.c_str(),
                                     "--trace", trace.c_str(), "--sim-chunk", "3"}));
  EXPECT_EQ(run.Status, kPollOk) << run.Err;
  EXPECT_NE(run.Out.find("summary:"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find(csv), std::string::npos) << "the summary says where the CSV is";

  std::vector<TRecord> records = ReadCsv(csv);
  ASSERT_GE(records.size(), 6u) << FileText(csv);
  ASSERT_GE(records[0].size(), 3u);
  // Readers of the old file find its first column where it was.
  EXPECT_EQ(records[0][0], "time_ms_since_start");
  EXPECT_EQ(records[0][1], "local_time");
  EXPECT_EQ(records[0][2], "request");
  EXPECT_TRUE(IsStrictUtf8(FileText(csv)));
  auto rows = Rows(records);
  int polled = 0;
  double last = -1;
  for (const auto& row : rows) {
    ExpectSampleValues(row, ccm);
    polled += row.at("R1").empty() ? 0 : 1;
    const std::string second = ccm ? "Recipe R101-R104" : "Analog inputs AI1-AI4";
    EXPECT_EQ(row.at("request"), row.at("R1").empty() ? second : "Registers R1-R10");
    const std::string& clock = row.at("local_time");
    EXPECT_EQ(clock.size(), 23u) << clock;
    EXPECT_TRUE(clock.size() == 23 && clock[4] == '-' && clock[7] == '-' && clock[10] == 'T' &&
                clock[13] == ':' && clock[16] == ':' && clock[19] == '.')
        << "ISO 8601 with milliseconds: " << clock;
    EXPECT_GE(Number(row.at("time_ms_since_start")), last) << "rows in time order";
    last = Number(row.at("time_ms_since_start"));
  }
  EXPECT_GE(polled, 3);
  EXPECT_FALSE(FileText(trace).empty());
  std::remove(csv.c_str());
  std::remove(trace.c_str());
}

INSTANTIATE_TEST_SUITE_P(Protocols, PollEveryProtocol,
                         ::testing::Values("ccm-ms", "ccm-peer", "snp", "snpx"));

// The simulated PLC's memory comes from a kelda-plcsim memory file, and a faulty file stops the
// run before anything is polled, naming the file and its line.
TEST(PollRun, SimulatedMemoryFromFile) {
  const std::string memory = "poll_memory.txt", csv = "poll_memory.csv";
  std::ofstream(memory) << "# tank farm\n%R1 = 1200 -125 0x1F4\n";
  TRun run = Poll(Options("snpx", {"--sim-memory", memory.c_str(), "--transactions", "2", "--seconds", "30",
                                   "--csv", csv.c_str()}));
  EXPECT_EQ(run.Status, kPollOk) << run.Err;
  auto rows = Rows(ReadCsv(csv));
  bool seen = false;
  for (const auto& row : rows) {
    if (row.at("R1").empty()) continue;
    EXPECT_EQ(row.at("R1"), "1200");
    EXPECT_EQ(row.at("R2"), "65411") << "-125 as the unsigned word the sample reads";
    EXPECT_EQ(row.at("R3"), "500");
    EXPECT_EQ(row.at("R4"), "0") << "a register the file leaves out holds 0";
    seen = true;
  }
  EXPECT_TRUE(seen) << FileText(csv);

  std::ofstream(memory) << "%R1 = 1\n%X7 = 2\n";
  run = Poll(Options("snpx", {"--sim-memory", memory.c_str(), "--seconds", "1"}));
  EXPECT_EQ(run.Status, kPollFailed);
  EXPECT_NE(run.Err.find(memory + ":2:"), std::string::npos) << run.Err;
  std::remove(memory.c_str());
  std::remove(csv.c_str());
}

TEST(PollRun, SilentPlcEndsWithNoAnswer) {
  const std::string csv = "poll_silent.csv";
  TRun run = Poll(Options("snpx", {"--sim-silent", "always", "--seconds", "2", "--csv", csv.c_str()}));
  EXPECT_EQ(run.Status, kPollNoAnswer);
  EXPECT_NE(run.Err.find("no answer from the simulated PLC"), std::string::npos) << run.Err;
  EXPECT_NE(run.Err.find("SNP ID"), std::string::npos) << "the hint names what to check: " << run.Err;
  EXPECT_EQ(FileText(csv), "\xEF\xBB\xBFtime_ms_since_start,local_time,request\r\n");
  std::remove(csv.c_str());
}

TEST(PollRun, InterruptStopsWithFilesComplete) {
  const std::string csv = "poll_interrupt.csv";
  TPollHooks hooks;
  hooks.OnRows = [](uint64_t rows) {
    if (rows >= 2) RequestPollStop();
  };
  TRun run = Poll(Options("snp", {"--seconds", "30", "--csv", csv.c_str()}), hooks);
  EXPECT_EQ(run.Status, kPollInterrupted) << run.Err;
  EXPECT_NE(run.Err.find("Ctrl+C"), std::string::npos);
  auto rows = Rows(ReadCsv(csv));
  EXPECT_GE(rows.size(), 2u) << "every row decoded before the stop is in the file";
  for (const auto& row : rows) ExpectSampleValues(row, false);
  std::remove(csv.c_str());
}

namespace {

// The simulated PLC behind a port that cannot carry a break and is pulled out on request.
class TFlakyLine : public TPollLine {
public:
  explicit TFlakyLine(const TPollOptions& options) : FPlc(options) {}
  void Write(const std::string& bytes, uint64_t now) override { FPlc.Write(bytes, now); }
  std::vector<std::string> Read(uint64_t now) override {
    if (Pulled) throw platform::ESerialPortError("COM9: read: The device is not connected.");
    return FPlc.Read(now);
  }
  bool Break(uint32_t, uint64_t) override {
    ++Breaks;
    return false;
  }
  std::string Describe() const override { return "COM9"; }
  static inline bool Pulled = false;
  static inline int Breaks = 0;

private:
  TSimulatedPollLine FPlc;
};

}  // namespace

namespace {

// A port whose writes wait until it is cancelled, like a pseudo-terminal nobody reads.
class TStuckLine : public TPollLine {
public:
  void Write(const std::string&, uint64_t) override {
    Stuck = true;
    while (!FCancelled.load()) std::this_thread::yield();
  }
  std::vector<std::string> Read(uint64_t) override { return {}; }
  bool Break(uint32_t, uint64_t) override { return true; }
  void Cancel() override { FCancelled = true; }
  std::string Describe() const override { return "COM8"; }
  static inline std::atomic<bool> Stuck{false};

private:
  std::atomic<bool> FCancelled{false};
};

}  // namespace

// Ctrl+C ends a write that waits on the port: the run stops instead of hanging.
TEST(PollRun, InterruptEndsAStuckWrite) {
  TStuckLine::Stuck = false;
  TPollHooks hooks;
  hooks.OpenLine = [](const TPollOptions&) { return std::make_unique<TStuckLine>(); };
  std::thread interrupt([] {
    while (!TStuckLine::Stuck.load()) std::this_thread::yield();
    RequestPollStop();
  });
  TRun run = Poll(Options("snpx", {"--seconds", "600"}), hooks);
  interrupt.join();
  EXPECT_EQ(run.Status, kPollInterrupted) << run.Err;
}

TEST(PollRun, PortPulledOutWhilePolling) {
  const std::string csv = "poll_pulled.csv", trace = "poll_pulled.trace";
  TFlakyLine::Pulled = false;
  TFlakyLine::Breaks = 0;
  TPollHooks hooks;
  hooks.OpenLine = [](const TPollOptions& options) { return std::make_unique<TFlakyLine>(options); };
  hooks.OnRows = [](uint64_t rows) {
    if (rows >= 3) TFlakyLine::Pulled = true;
  };
  TRun run = Poll(Options("snp", {"--seconds", "30", "--csv", csv.c_str(), "--trace", trace.c_str()}), hooks);
  EXPECT_EQ(run.Status, kPollFailed);
  EXPECT_NE(run.Err.find("The device is not connected"), std::string::npos) << run.Err;
  EXPECT_NE(run.Err.find("plugged in"), std::string::npos) << "the fix: " << run.Err;
  auto rows = Rows(ReadCsv(csv));
  EXPECT_GE(rows.size(), 3u) << "the rows before the failure are in the file";
  for (const auto& row : rows) ExpectSampleValues(row, false);
  EXPECT_GT(TFlakyLine::Breaks, 0) << "SNP opens its session with a break";
  std::size_t notes = 0;
  for (std::size_t at = run.Err.find("cannot carry a break"); at != std::string::npos;
       at = run.Err.find("cannot carry a break", at + 1))
    ++notes;
  EXPECT_EQ(notes, 1u) << "said once: " << run.Err;
  EXPECT_NE(FileText(trace).find("port failed"), std::string::npos) << "the trace ends with the cause";
  std::remove(csv.c_str());
  std::remove(trace.c_str());
}

// A port that carries no breaks: polling goes on, and its line use counts no break either.
TEST(PollRun, LineUseOfAPortWithoutBreaksCountsNone) {
  TFlakyLine::Pulled = false;
  TFlakyLine::Breaks = 0;
  TPollHooks hooks;
  hooks.OpenLine = [](const TPollOptions& options) { return std::make_unique<TFlakyLine>(options); };
  TRun run = Poll(Options("snp", {"--port", "COM9", "--seconds", "2"}), hooks);
  EXPECT_EQ(run.Status, kPollOk) << run.Err;
  EXPECT_GT(TFlakyLine::Breaks, 0);
  EXPECT_NE(run.Out.find("line use at 19200 8O1, attach without a break before every read"),
            std::string::npos)
      << run.Out;
}

TEST(PollRun, BadInputNamesTheCause) {
  {
    TPollOptions options = Options("snp");
    options.ConfigFile = "no_such_config.xml";
    TRun run = Poll(options);
    EXPECT_EQ(run.Status, kPollFailed);
    EXPECT_NE(run.Err.find("cannot read the configuration file no_such_config.xml"), std::string::npos)
        << run.Err;
  }
  {
    const std::string notConfig = "poll_not_a_config.xml";
    std::ofstream(notConfig) << "<html>hello</html>";
    TPollOptions options = Options("snp");
    options.ConfigFile = notConfig;
    TRun run = Poll(options);
    EXPECT_EQ(run.Status, kPollFailed);
    EXPECT_NE(run.Err.find("not a request configuration"), std::string::npos) << run.Err;
    std::remove(notConfig.c_str());
  }
  {
    // Every request disabled: the module has nothing to send.
    const std::string idle = "poll_idle.xml";
    std::ifstream sample(Sample("snp"), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(sample)), std::istreambuf_iterator<char>());
    for (std::size_t at = text.find("<Enabled check=\"2\"/>"); at != std::string::npos;
         at = text.find("<Enabled check=\"2\"/>", at))
      text.replace(at, 20, "<Enabled check=\"0\"/>");
    std::ofstream(idle, std::ios::binary) << text;
    TPollOptions options = Options("snp", {"--seconds", "1"});
    options.ConfigFile = idle;
    TRun run = Poll(options);
    EXPECT_EQ(run.Status, kPollFailed);
    EXPECT_NE(run.Err.find("sent no request"), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find("none of the configuration's 2 requests is enabled"), std::string::npos)
        << run.Err;
    EXPECT_EQ(run.Err.find("log above"), std::string::npos) << "no log to point at: " << run.Err;
    // Without <Enabled> at all a request is off as well, and the poller says so.
    for (std::size_t at = text.find("<Enabled check=\"0\"/>"); at != std::string::npos;
         at = text.find("<Enabled check=\"0\"/>", at))
      text.erase(at, 20);
    std::ofstream(idle, std::ios::binary) << text;
    run = Poll(options);
    EXPECT_EQ(run.Status, kPollFailed);
    EXPECT_NE(run.Err.find("a missing <Enabled> leaves it off"), std::string::npos) << run.Err;
    std::remove(idle.c_str());
  }
  {
    TPollOptions options = Options("snp");
    options.Port = "COM_NOT_THERE";
    TRun run = Poll(options);
    EXPECT_EQ(run.Status, kPollFailed);
    EXPECT_NE(run.Err.find("COM_NOT_THERE"), std::string::npos) << "the port is named: " << run.Err;
  }
  {
    TPollOptions options = Options("snp");
    options.Library = "no_such_library.dll";
    TRun run = Poll(options);
    EXPECT_EQ(run.Status, kPollFailed);
    EXPECT_NE(run.Err.find("no_such_library.dll"), std::string::npos) << run.Err;
  }
  {
    std::ostringstream out, err;
    EXPECT_EQ(PollMain({"kelda.dll", "--protocol", "snp"}, out, err), kPollUsage);
    EXPECT_NE(err.str().find("--config"), std::string::npos);
    EXPECT_EQ(PollMain({"--help"}, out, err), kPollOk);
    EXPECT_NE(out.str().find("Exit status"), std::string::npos);
  }
}

// A run whose every answer is the PLC's refusal decoded no value: exit 3, and the hint points at
// what the requests ask for, not at the line. Failed checks point at the line's settings.
TEST(PollRun, NoValueDecodedEndsWithNoAnswerAndTheFittingHint) {
  const std::string csv = "poll_refused.csv";
  TRun run = Poll(Options("snpx", {"--sim-nak", "always", "--seconds", "2", "--csv", csv.c_str()}));
  EXPECT_EQ(run.Status, kPollNoAnswer) << "error answers are no values: " << run.Err;
  EXPECT_NE(run.Err.find("the PLC refused"), std::string::npos) << run.Err;
  EXPECT_NE(run.Err.find("<Offset> and <Size>"), std::string::npos) << run.Err;
  EXPECT_NE(run.Err.find("--sim-nak"), std::string::npos) << run.Err;
  EXPECT_EQ(run.Err.find("no answer"), std::string::npos) << "the PLC did answer: " << run.Err;
  auto rows = Rows(ReadCsv(csv));
  ASSERT_FALSE(rows.empty()) << "the error answers are rows of the file";
  for (const auto& row : rows) {
    EXPECT_NE(row.at("STATUS_CODE"), "0");
    EXPECT_FALSE(row.at("request").empty()) << "each error row names its request";
  }
  std::remove(csv.c_str());

  run = Poll(Options("snpx", {"--sim-corrupt", "always", "--seconds", "3"}));
  EXPECT_EQ(run.Status, kPollNoAnswer) << run.Err;
  EXPECT_NE(run.Err.find("failed their check"), std::string::npos) << run.Err;
  EXPECT_NE(run.Err.find("--sim-corrupt"), std::string::npos) << run.Err;
}

// Items past the data a request reads are their Defaults on every answer: a run of nothing but
// Defaults read nothing from the PLC and ends as one without answers, with a hint at the items;
// one value of the PLC's beside the Defaults is a run that read the PLC.
TEST(PollRun, DefaultsAloneAreNoValueOfThePlc) {
  const auto config = [](const char* name, int itemOffset) {
    std::ofstream(name, std::ios::binary)
        << "<MODBUSRTUQUERY><Request caption=\"Short read\"><Enabled check=\"2\"/><Address>PLC1</Address>"
           "<Memory>8</Memory><Offset>0</Offset><Size>2</Size><Timeout>1000</Timeout><RequestMethod>"
           "<MethodOnce check=\"0\"/><MethodPoll check=\"2\"><PollInterval>50</PollInterval><PollUnits>MS"
           "</PollUnits></MethodPoll></RequestMethod><Response><Item><Name>R</Name><Offset>"
        << itemOffset
        << "</Offset><Count>4</Count><DataType>D16</DataType><Default>-1</Default></Item></Response>"
           "</Request></MODBUSRTUQUERY>";
  };
  config("poll_defaults.xml", 100);  // %R51-%R54 of a read of %R1-%R2
  config("poll_partly.xml", 2);      // %R2-%R5: %R2 is read, the rest are Defaults
  TPollOptions options = Options("snpx", {"--transactions", "3", "--seconds", "30"});
  options.ConfigFile = "poll_defaults.xml";
  TRun run = Poll(options);
  EXPECT_EQ(run.Status, kPollNoAnswer) << run.Out << run.Err;
  EXPECT_NE(run.Err.find("<Default>"), std::string::npos) << "the hint names the items: " << run.Err;
  EXPECT_EQ(run.Err.find("no answer"), std::string::npos) << "the PLC did answer: " << run.Err;

  options.ConfigFile = "poll_partly.xml";
  run = Poll(options);
  EXPECT_EQ(run.Status, kPollOk) << run.Out << run.Err;
  std::remove("poll_defaults.xml");
  std::remove("poll_partly.xml");
}

// The live view shows every request with its reference, state, counts and last failure; a
// request that only ever fails is there with its failure in words.
TEST(PollRun, LiveViewShowsEachRequestWithItsFailure) {
  TPollOptions options = Options("snpx", {"--sim-nak", "always", "--seconds", "2"});
  options.Quiet = false;
  TRun run = Poll(options);
  EXPECT_EQ(run.Status, kPollNoAnswer) << run.Err;
  const std::string last = run.Out.substr(run.Out.rfind("Registers R1-R10"));
  EXPECT_NE(last.find("Registers R1-R10  %R1-%R10  STALE  no value yet  answers 0  failed "),
            std::string::npos)
      << run.Out;
  EXPECT_NE(last.find("Analog inputs AI1-AI4  %AI1-%AI4  STALE"), std::string::npos) << run.Out;
  EXPECT_NE(last.find("ago: the PLC answered with an error: major 0F"), std::string::npos)
      << "the PLC's error named, not its number: " << run.Out;
  EXPECT_EQ(run.Err.find("failed:"), std::string::npos) << "the failure lines only with --log-failed";

  options = Options("snpx", {"--sim-nak", "2", "--transactions", "6", "--seconds", "30", "--log-failed"});
  options.Quiet = false;
  run = Poll(options);
  EXPECT_EQ(run.Status, kPollOk) << run.Err;
  EXPECT_NE(run.Err.find("request \"Registers R1-R10\" failed: the PLC answered with an error"),
            std::string::npos)
      << run.Err;
  const std::string view = run.Out.substr(run.Out.rfind("Registers R1-R10  %R1-%R10"));
  EXPECT_NE(view.find("live  age "), std::string::npos) << view;
  EXPECT_NE(view.find("    R1         1\n"), std::string::npos) << view;
  EXPECT_NE(view.find("last failure "), std::string::npos) << "the last failure stays in view: " << view;
}

// Text values reach the file as UTF-8 from the system's 8-bit code page, control bytes escaped,
// and the file reads back with a strict UTF-8 reader.
TEST(PollRun, TextValuesReachTheCsvAsUtf8) {
  const std::string config = "poll_text.xml", memory = "poll_text_memory.txt", csv = "poll_text.csv";
  std::ofstream(config, std::ios::binary)
      << "<?xml version=\"1.0\" encoding=\"windows-1252\"?><MODBUSRTUQUERY><Request caption=\"K\xFChler\">"
         "<Enabled check=\"2\"/><Address>PLC1</Address><Memory>8</Memory><Offset>0</Offset><Size>128</Size>"
         "<Timeout>1000</Timeout><RequestMethod><MethodOnce check=\"0\"/><MethodPoll check=\"2\">"
         "<PollInterval>100</PollInterval><PollUnits>MS</PollUnits></MethodPoll></RequestMethod><Response>"
         "<Item><Name>NAME</Name><Offset>0</Offset><Count>1</Count><AppendCnt "
         "check=\"0\"/><DataType>S</DataType></Item>"
         "</Response></Request></MODBUSRTUQUERY>";
  // A text item takes the bytes to the end of the read, at least its 255: 128 registers. Low
  // byte first: C4 01 42 41, an "Ä", a control byte, "BA"; the zero bytes after it are dropped.
  std::ofstream(memory) << "%R1 = 0x01C4 0x4142\n";
  TPollOptions options = Options("snpx", {"--sim-memory", memory.c_str(), "--transactions", "2", "--seconds",
                                          "30", "--csv", csv.c_str()});
  options.ConfigFile = config;
  TRun run = Poll(options);
  EXPECT_EQ(run.Status, kPollOk) << run.Err;
  const std::string text = FileText(csv);
  EXPECT_TRUE(IsStrictUtf8(text)) << text;
  auto rows = Rows(ReadCsv(csv));
  ASSERT_FALSE(rows.empty()) << text;
  EXPECT_EQ(rows[0].at("NAME"),
            "\xC3\x84\\x01"
            "BA");
  EXPECT_EQ(rows[0].at("request"), "K\xC3\xBChler");
  std::remove(config.c_str());
  std::remove(memory.c_str());
  std::remove(csv.c_str());
}

// The bench line: one pseudo-terminal pair, the PLC on its driving end, the poller on its
// terminal end three runs in a row. Each run opens the same device again (which keeps the
// settings of the run before) and reads the PLC's values.
TEST(PollRun, OnePseudoTerminalPairServesThreeRunsInARow) {
  platform::TPseudoTerminalPair pair;
  try {
    pair = platform::OpenPseudoTerminalPair();
  } catch (const platform::ESerialPortError&) {
    GTEST_SKIP() << "no pseudo-terminals on this system";
  }
  std::atomic<bool> stop{false};
  std::thread plc([&] {
    plcsim::Simulator sim(plcsim::Mode::SnpX);
    PresetMemory(sim);
    const uint64_t start = platform::Now();
    while (!stop) {
      uint8_t buffer[256];
      std::size_t n = 0;
      try {
        n = pair.Controller->Read(buffer, sizeof buffer, 10);
      } catch (const platform::ESerialPortError&) {
        // Between two runs nobody holds the terminal end.
        sim.lineBreak(platform::Now() - start);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      const uint64_t now = platform::Now() - start;
      if (n > 0) sim.receive(buffer, n, now);
      for (const auto& chunk : sim.takeOutput(now)) pair.Controller->Write(chunk.data(), chunk.size());
    }
  });
  for (int run = 1; run <= 3; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    const std::string csv = "poll_pty_" + std::to_string(run) + ".csv";
    TRun result = Poll(Options("snpx", {"--port", pair.Name.c_str(), "--transactions", "3", "--seconds", "30",
                                        "--csv", csv.c_str()}));
    EXPECT_EQ(result.Status, kPollOk) << result.Err;
    EXPECT_EQ(result.Err.find("Invalid argument"), std::string::npos) << result.Err;
    std::size_t notes = 0;
    for (std::size_t at = result.Err.find("keeps its own line settings"); at != std::string::npos;
         at = result.Err.find("keeps its own line settings", at + 1))
      ++notes;
    EXPECT_LE(notes, 1u) << "said once: " << result.Err;
    auto rows = Rows(ReadCsv(csv));
    EXPECT_GE(rows.size(), 3u);
    for (const auto& row : rows) ExpectSampleValues(row, false);
    std::remove(csv.c_str());
  }
  stop = true;
  plc.join();
}
