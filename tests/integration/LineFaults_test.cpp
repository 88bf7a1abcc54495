// The real library polling a simulated GE PLC through the exports while the line misbehaves, for
// each protocol: noise, broken checks, refusals, silence, late answers, repeated frames, the port
// handing over one byte or up to 2 KB at a time, and what less polite PLCs do (steady noise, an
// endless SNP text-buffer chain, SNP error nacks, an SNP-X answer one byte too long, a CCM block
// check over the data alone). Whatever the line does, every complete valid
// answer the PLC sent gives exactly one row, no row is made up, and the link comes back by itself
// once a passing fault is over.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "LiveRig.h"

using namespace livetest;

namespace {

constexpr int kPassing = 1;          // answers a passing fault spoils (each costs a time-out)
constexpr uint32_t kBoundMs = 8000;  // only reached when something is wrong
constexpr int kRowsUnderFault = 4;   // rows a lasting fault must still let through
constexpr int kRowsAfterFault = 2;   // rows that prove the link recovered
const char kOneSource[] = "1;COM1;Press line 1";

struct TFaultCase {
  const char* What;
  void (*Apply)(plcsim::Faults&);
  std::size_t MaxChunk;  // the largest piece the port hands over
  bool Passing;          // the fault ends by itself after kPassing answers
  int Protocol = -1;     // the protocol the fault acts in; -1 for all
  void (*Setup)(plcsim::Simulator&) = nullptr;
};

const TFaultCase kFaultCases[] = {
    {"noise", [](plcsim::Faults& f) { f.noiseBeforeFrames = -1; }, 7, false},
    {"noise of any byte",
     [](plcsim::Faults& f) {
       f.noiseBeforeFrames = -1;
       f.noiseSafe = false;
     },
     7, false},
    {"corrupted checks", [](plcsim::Faults& f) { f.corruptCheck = kPassing; }, 7, true},
    {"NAK", [](plcsim::Faults& f) { f.nak = kPassing; }, 7, true},
    {"silence", [](plcsim::Faults& f) { f.silent = kPassing; }, 7, true},
    {"late answers (200 ms)", [](plcsim::Faults& f) { f.lateMs = 200; }, 7, false},
    {"repeated frames", [](plcsim::Faults& f) { f.repeatFrame = -1; }, 7, false},
    {"1-byte chunks", [](plcsim::Faults& f) { f.chunkSize = 1; }, 1, false},
    {"2 KB chunks", [](plcsim::Faults& f) { f.chunkSize = 2048; }, 2048, false},
    {"steady noise (a byte every 20 ms)", [](plcsim::Faults& f) { f.noiseEveryMs = 20; }, 7, false},
    {"endless text-buffer chain", [](plcsim::Faults& f) { f.endlessChain = kPassing; }, 7, true, kProtoSnp},
    {"error nack (05/F4)", [](plcsim::Faults& f) { f.errorNack = kPassing; }, 7, true, kProtoSnp},
    {"one byte more", [](plcsim::Faults& f) { f.extraByte = -1; }, 7, false, kProtoSnpX},
    {"LRC over the data alone", [](plcsim::Faults&) {}, 7, false, kProtoCcmMasterSlave,
     [](plcsim::Simulator& plc) { plc.setCcmLrcIncludesFraming(false); }},
    {"LRC over the data alone", [](plcsim::Faults&) {}, 7, false, kProtoCcmPeer,
     [](plcsim::Simulator& plc) { plc.setCcmLrcIncludesFraming(false); }},
};

struct TFigures {
  std::string Protocol;
  std::string Fault;
  int Answers = 0;
  int Rows = 0;
  int Invented = 0;         // rows beyond the answers, or with values the PLC does not hold
  uint64_t LongestGap = 0;  // ms without a row: for a passing fault, the time the link took to recover
};

// Answers a passing fault has spoiled so far (an endless chain is spent once the fault is taken).
int Spoiled(plcsim::Simulator& plc) {
  const plcsim::Simulator::Counters& c = plc.counters();
  int endless = 0;
  for (const std::string& event : plc.log())
    if (event.find("endless text buffer chain") != std::string::npos) ++endless;
  return c.corrupted + c.silenced + c.naks + c.errorNacks + endless;
}

// Every row holds the PLC's registers; an SNP-X error row holds its status code and no values.
void ExpectRowsFromThePlc(const std::vector<TRow>& rows, int protocol) {
  std::vector<TRow> valueRows;
  for (const TRow& row : rows) {
    const std::string status = Value(row, "STATUS_CODE");
    if (protocol == kProtoSnpX && !status.empty() && status != "0") {
      EXPECT_FALSE(Has(row, "R1")) << "an error answer carries no values";
      continue;
    }
    valueRows.push_back(row);
  }
  ExpectRowsMatchMemory(valueRows, 1, "COM1");
}

// Rows whose values are not the PLC's memory (error rows of SNP-X aside).
int RowsNotFromThePlc(const std::vector<TRow>& rows, int protocol) {
  int wrong = 0;
  for (const TRow& row : rows) {
    const std::string status = Value(row, "STATUS_CODE");
    if (protocol == kProtoSnpX && !status.empty() && status != "0") continue;
    bool same = Has(row, "R1");
    for (uint32_t k = 1; same && k <= 4; ++k)
      same = Value(row, "R" + std::to_string(k)) == std::to_string(RegisterValue(1, k - 1));
    wrong += same ? 0 : 1;
  }
  return wrong;
}

class LineFaultRun {
public:
  LineFaultRun(int protocol, const TFaultCase& fault, bool fast)
      : FProtocol(protocol),
        FFault(fault),
        FFast(fast),
        FIni(std::string("faults_") + ProtocolName(protocol) + (fast ? "_fast" : "") + ".ini"),
        FHost(KELDA_LIBRARY_PATH) {}

  TFigures Run() {
    FInstance = FHost.Create(5);
    EXPECT_NE(FInstance, 0u);
    TKeldaHost::TLineOptions options;
    options.Mode = ModeOf(FProtocol);
    options.MaxChunk = FFault.MaxChunk;
    options.Seed = static_cast<uint32_t>(17 + FProtocol);
    TSimulatedLine& line = FHost.AttachLine(FInstance, 1, options);
    FillRegisters(line, 1);
    plcsim::Faults faults;
    FFault.Apply(faults);
    line.Plc().setFaults(faults);
    if (FFault.Setup) FFault.Setup(line.Plc());
    FStarted = TKeldaHost::Now();
    FLastRow = FStarted;

    FIni.Store("Line", ConfigXml({PolledRequest(FProtocol)}), FProtocol);
    if (FFast) {
      WriteIniValue(FIni.Name, "Line.Common", "Keep session", "1");
      WriteIniValue(FIni.Name, "Line.Common", "Send when ready", "1");
    }
    EXPECT_EQ(FHost.Command(FInstance, "LOAD", LoadFromIni(FHost, FIni, "Line")).Code, 0);
    EXPECT_EQ(SetState(FHost, FInstance, kOneSource, 1).Code, 0);

    EXPECT_TRUE(PollUnderFault(line))
        << (FFault.Passing ? "the link recovered" : "the fault let rows through");
    Drain(line);
    EXPECT_EQ(FHost.RefusedDataCalls(), 0);

    TFigures figures{ProtocolName(FProtocol), FFault.What, ValidAnswers(line.Plc(), FProtocol),
                     static_cast<int>(FRows.size())};
    figures.Invented = std::max(0, figures.Rows - figures.Answers) + RowsNotFromThePlc(FRows, FProtocol);
    figures.LongestGap = FLongestGap;
    EXPECT_EQ(figures.Rows, figures.Answers) << "one row per complete valid answer";
    EXPECT_EQ(figures.Invented, 0);
    ExpectRowsFromThePlc(FRows, FProtocol);
    if (::testing::Test::HasFailure())
      for (const std::string& event : line.Plc().log()) std::printf("  plc: %s\n", event.c_str());

    EXPECT_EQ(FHost.Command(FInstance, "UNLOAD", {Param("INI-FILE", FIni.Name)}).Code, 0);
    EXPECT_EQ(FHost.Free(FInstance), 0);
    return figures;
  }

private:
  void Collect() {
    std::vector<TRow> rows = FHost.TakeRows(FInstance, 1);
    if (rows.empty()) return;
    const uint64_t now = TKeldaHost::Now();
    FLongestGap = std::max(FLongestGap, now - FLastRow);
    FLastRow = now;
    for (TRow& row : rows) FRows.push_back(std::move(row));
  }

  // Polls until a lasting fault let enough rows through, or until a passing fault is spent and
  // reads complete again after it, their rows delivered.
  bool PollUnderFault(TSimulatedLine& line) {
    int readsWhenSpent = -1;
    return FHost.RunUntil(
        [&] {
          Collect();
          const int rows = static_cast<int>(FRows.size());
          if (!FFault.Passing) return rows >= kRowsUnderFault;
          const int reads = line.Plc().counters().completeReads;
          if (readsWhenSpent < 0 && Spoiled(line.Plc()) >= kPassing) readsWhenSpent = reads;
          return readsWhenSpent >= 0 && reads >= readsWhenSpent + kRowsAfterFault &&
                 rows >= ValidAnswers(line.Plc(), FProtocol);
        },
        kBoundMs);
  }

  // The PLC falls silent so that no new read starts; what it already sent (late answers too)
  // reaches the module before the rows are counted.
  void Drain(TSimulatedLine& line) {
    line.Plc().faults().silent = -1;
    EXPECT_TRUE(FHost.RunUntil([&] { return !line.Plc().hasPendingOutput(); }, kBoundMs));
    FHost.RunFor(200);
    Collect();
  }

  int FProtocol;
  const TFaultCase& FFault;
  bool FFast;  // "Keep session" and "Send when ready" on
  TIniFile FIni;
  TKeldaHost FHost;
  uintptr_t FInstance = 0;
  std::vector<TRow> FRows;
  uint64_t FStarted = 0;
  uint64_t FLastRow = 0;
  uint64_t FLongestGap = 0;
};

void PrintFigures(const std::vector<TFigures>& table) {
  std::printf(
      "| Protocol | Fault | Rows / complete valid answers | Rows invented | Longest gap between rows (ms) "
      "|\n|---|---|---:|---:|---:|\n");
  for (const TFigures& f : table)
    std::printf("| %s | %s | %d / %d | %d | %llu |\n", f.Protocol.c_str(), f.Fault.c_str(), f.Rows, f.Answers,
                f.Invented, static_cast<unsigned long long>(f.LongestGap));
}

// One test per protocol and speed setting: each waits out its own time-outs, and the test runner
// can run them side by side.
class LineFaults : public ::testing::TestWithParam<std::tuple<int, bool>> {};

TEST_P(LineFaults, EveryValidAnswerGivesOneRowThroughTheExports) {
  const int protocol = std::get<0>(GetParam());
  const bool fast = std::get<1>(GetParam());
  std::vector<TFigures> table;
  for (const TFaultCase& fault : kFaultCases) {
    if (fault.Protocol >= 0 && fault.Protocol != protocol) continue;
    SCOPED_TRACE(std::string(ProtocolName(protocol)) + (fast ? " (speed settings on)" : "") + ", " +
                 fault.What);
    const uint64_t started = TKeldaHost::Now();
    table.push_back(LineFaultRun(protocol, fault, fast).Run());
    std::printf("%s%s, %s: %d answers, %d rows, %d ms\n", ProtocolName(protocol), fast ? " (fast)" : "",
                fault.What, table.back().Answers, table.back().Rows,
                static_cast<int>(TKeldaHost::Now() - started));
  }
  PrintFigures(table);
}

INSTANTIATE_TEST_SUITE_P(EveryProtocol, LineFaults,
                         ::testing::Combine(::testing::Values(kProtoCcmMasterSlave, kProtoCcmPeer, kProtoSnp,
                                                              kProtoSnpX),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<int, bool>>& info) {
                           return std::string(ProtocolName(std::get<0>(info.param))) +
                                  (std::get<1>(info.param) ? "Fast" : "");
                         });

}  // namespace
