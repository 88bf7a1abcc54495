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

#include "tools/PollRun.h"

using namespace kelda;
using namespace kelda::host;

namespace {

using TRecord = std::vector<std::string>;

// Records of a CSV file, quoted fields and line breaks inside them taken apart.
std::vector<TRecord> ReadCsv(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
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
  EXPECT_EQ(records[0][0], "time_ms_since_start");
  auto rows = Rows(records);
  int polled = 0;
  double last = -1;
  for (const auto& row : rows) {
    ExpectSampleValues(row, ccm);
    polled += row.at("R1").empty() ? 0 : 1;
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
  EXPECT_EQ(FileText(csv), "time_ms_since_start\r\n");
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
