// Whole scans through the real library: a simulated GE PLC of each protocol with an address
// other than the defaults is found with its protocol, address and line setting; a line that
// answers at one setting only is found there, after the likelier settings were tried in their
// order; a silent line, a missing port, a port in use and Ctrl+C each end the way the user is
// told they end.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/SerialPort.h"
#include "tools/KeldaCheck.h"
#include "tools/KeldaScan.h"
#include "tools/PollLine.h"
#include "tools/PollOptions.h"

using namespace kelda;
using namespace kelda::host;

namespace {

struct TScan {
  int Status = -1;
  std::string Out, Err;
  std::vector<TScanFinding> Found;
  double Seconds = 0;
};

TScan Scan(const TScanOptions& options, const TScanHooks& hooks) {
  std::ostringstream out, err;
  TScan scan;
  const auto start = std::chrono::steady_clock::now();
  scan.Status = RunScan(options, out, err, hooks, &scan.Found);
  scan.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  scan.Out = out.str();
  scan.Err = err.str();
  return scan;
}

// A short scan: one setting unless asked otherwise, short waits, few stations.
TScanOptions Options(std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {
      KELDA_LIBRARY_PATH, "--port", "bench",      "--bauds", "19200",         "--parities", "odd",
      "--stops",          "1",      "--stations", "1-8",     "--try-timeout", "100",        "--quiet"};
  args.insert(args.end(), extra.begin(), extra.end());
  return ParseScanOptions(args);
}

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The built-in simulated PLC of a protocol with an ID, answering whatever setting the port has.
std::unique_ptr<TPollLine> SimulatedPlc(plcsim::Mode mode, const std::string& id) {
  TPollOptions plc;
  plc.Protocol = mode;
  plc.SimId = id;
  return std::make_unique<TSimulatedPollLine>(plc);
}

// A PLC that answers only when the port is opened at its own setting. At any other setting it
// hears noise instead of the master's frames and the master hears noise back, as a real line at
// the wrong rate or parity does.
class TOneSettingLine : public TPollLine {
public:
  TOneSettingLine(plcsim::Mode mode, const std::string& id, bool matches)
      : FPlc(SimulatedPlc(mode, id)), FMatches(matches) {}
  void Write(const std::string& bytes, uint64_t now) override {
    if (FMatches) return FPlc->Write(bytes, now);
    for (char c : bytes) FNoise += static_cast<char>((static_cast<unsigned char>(c) >> 1) | 0x80);
  }
  std::vector<std::string> Read(uint64_t now) override {
    if (FMatches) return FPlc->Read(now);
    std::vector<std::string> pieces;
    if (!FNoise.empty()) pieces.push_back(FNoise);
    FNoise.clear();
    return pieces;
  }
  bool Break(uint32_t ms, uint64_t now) override { return FPlc->Break(ms, now); }
  std::string Describe() const override { return "a PLC at one setting"; }

private:
  std::unique_ptr<TPollLine> FPlc;
  bool FMatches;
  std::string FNoise;
};

// Lines freed while Ctrl+C was still cancelling them (from a thread of its own, as on Windows).
std::atomic<int> gCancelling{0}, gFreedWhileCancelled{0};

// Nothing at the other end; counts the ports opened and closed. Its cancel takes a while, as
// a port's may.
class TSilentLine : public TPollLine {
public:
  explicit TSilentLine(std::atomic<int>& open) : FOpen(open) { ++FOpen; }
  ~TSilentLine() override {
    if (gCancelling > 0) ++gFreedWhileCancelled;
    --FOpen;
  }
  void Write(const std::string&, uint64_t) override {}
  std::vector<std::string> Read(uint64_t) override { return {}; }
  bool Break(uint32_t, uint64_t) override { return true; }
  void Cancel() override {
    ++gCancelling;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    --gCancelling;
  }
  std::string Describe() const override { return "nothing"; }

private:
  std::atomic<int>& FOpen;
};

// Answers whatever the master sends with the same bytes: a stray NAK of noise at a wrong
// setting, or a station's late refusal that lands on the next station's try.
class TRefusingLine : public TPollLine {
public:
  explicit TRefusingLine(std::string answer) : FAnswer(std::move(answer)) {}
  void Write(const std::string&, uint64_t) override { ++FPending; }
  std::vector<std::string> Read(uint64_t) override {
    std::vector<std::string> pieces(FPending, FAnswer);
    FPending = 0;
    return pieces;
  }
  bool Break(uint32_t, uint64_t) override { return true; }
  std::string Describe() const override { return "a refusing line"; }

private:
  std::string FAnswer;
  std::size_t FPending = 0;
};

// Several CCM slaves on one multidrop line: each hears every byte, the one addressed answers.
class TMultidropLine : public TPollLine {
public:
  explicit TMultidropLine(const std::vector<uint8_t>& stations) {
    for (uint8_t station : stations) FPlcs.emplace_back(plcsim::Mode::CcmMasterSlave, "PLC1", station);
  }
  void Write(const std::string& bytes, uint64_t now) override {
    for (plcsim::Simulator& plc : FPlcs)
      plc.receive(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), now);
  }
  std::vector<std::string> Read(uint64_t now) override {
    std::vector<std::string> pieces;
    for (plcsim::Simulator& plc : FPlcs)
      for (const std::vector<uint8_t>& chunk : plc.takeOutput(now))
        pieces.emplace_back(chunk.begin(), chunk.end());
    return pieces;
  }
  bool Break(uint32_t, uint64_t) override { return true; }
  std::string Describe() const override { return "a multidrop line"; }

private:
  std::vector<plcsim::Simulator> FPlcs;
};

struct TExpected {
  plcsim::Mode Mode;
  const char* Id;        // what the PLC is set up with
  const char* Protocol;  // as the poller names it
};

}  // namespace

TEST(ScanRun, FindsEachProtocolWithItsAddress) {
  const TExpected cases[] = {{plcsim::Mode::SnpX, "PLC7", "snpx"},
                             {plcsim::Mode::Snp, "TANK_A", "snp"},
                             {plcsim::Mode::CcmMasterSlave, "7", "ccm-ms"},
                             {plcsim::Mode::CcmPeerToPeer, "12", "ccm-peer"}};
  for (const TExpected& expected : cases) {
    SCOPED_TRACE(expected.Protocol);
    TScanHooks hooks;
    hooks.OpenLine = [&](const std::string&, const TLineSetting&) {
      return SimulatedPlc(expected.Mode, expected.Id);
    };
    const std::string config = std::string("scan_") + expected.Protocol + ".xml";
    const std::string trace = std::string("scan_") + expected.Protocol + ".trace";
    TScan scan = Scan(Options({"--write-config", config, "--trace", trace}), hooks);
    ASSERT_EQ(scan.Status, kScanFound) << scan.Out << scan.Err;
    ASSERT_EQ(scan.Found.size(), 1u) << "the scan stops at the first PLC found";
    const TScanFinding& found = scan.Found.front();
    EXPECT_EQ(found.Protocol, expected.Mode);
    EXPECT_EQ(found.Address, expected.Id)
        << "the PLC's own ID or station, not the null ID or any-peer target";
    EXPECT_EQ(SettingText(found.Line), "19200 8O1");
    EXPECT_NE(scan.Out.find("--protocol " + std::string(expected.Protocol)), std::string::npos) << scan.Out;
    const bool ccm =
        expected.Mode == plcsim::Mode::CcmMasterSlave || expected.Mode == plcsim::Mode::CcmPeerToPeer;
    if (ccm) {
      EXPECT_NE(scan.Out.find("Series 90-30"), std::string::npos)
          << "the scratch pad names the CPU: " << scan.Out;
    } else {
      EXPECT_NE(scan.Out.find("Run I/O enabled"), std::string::npos) << "the PLC's status: " << scan.Out;
    }
    // The configuration written is one the module reads cleanly for that protocol, aimed at the PLC.
    const std::string text = FileText(config);
    EXPECT_NE(text.find("<Address>" + std::string(expected.Id) + "</Address>"), std::string::npos) << text;
    std::ostringstream checkOut, checkErr;
    EXPECT_EQ(CheckMain({config, "--protocol", expected.Protocol}, checkOut, checkErr), 0)
        << checkOut.str() << checkErr.str();
    // The trace shows the tries in the protocol each was made in.
    const std::string traced = FileText(trace);
    EXPECT_NE(traced.find("trying "), std::string::npos);
    EXPECT_NE(traced.find("found "), std::string::npos) << traced;
  }
}

TEST(ScanRun, RateLoopFindsTheOneSettingThatAnswersAfterTheLikelierOnes) {
  const TLineSetting plcSetting{9600, platform::TParity::None, 1};
  std::vector<TLineSetting> opened;
  TScanHooks hooks;
  hooks.OpenLine = [&](const std::string&, const TLineSetting& setting) {
    opened.push_back(setting);
    return std::make_unique<TOneSettingLine>(plcsim::Mode::CcmMasterSlave, "3", setting == plcSetting);
  };
  TScanOptions options =
      Options({"--bauds", "4800,9600,19200", "--parities", "even,none,odd", "--stops", "2,1", "--protocols",
               "snpx,ccm-ms", "--stations", "2-4", "--try-timeout", "50"});
  TScan scan = Scan(options, hooks);
  ASSERT_EQ(scan.Status, kScanFound) << scan.Out << scan.Err;
  ASSERT_EQ(scan.Found.size(), 1u);
  EXPECT_TRUE(scan.Found.front().Line == plcSetting) << SettingText(scan.Found.front().Line);
  EXPECT_EQ(scan.Found.front().Address, "3");
  EXPECT_EQ(scan.Found.front().Protocol, plcsim::Mode::CcmMasterSlave);
  // GE's factory default first, whatever order the lists were given in; then every setting in
  // the scan's order up to the one that answered, each opened once per protocol tried there.
  ASSERT_FALSE(opened.empty());
  EXPECT_EQ(SettingText(opened.front()), "19200 8O1");
  const std::vector<TLineSetting> order = ScanSettings(options);
  std::vector<TLineSetting> expected;
  for (const TLineSetting& setting : order) {
    expected.push_back(setting);                                                 // SNP-X
    if (setting.Parity != platform::TParity::Even) expected.push_back(setting);  // CCM master-slave
    if (setting == plcSetting) break;
  }
  ASSERT_EQ(opened.size(), expected.size());
  for (std::size_t i = 0; i < opened.size(); ++i)
    EXPECT_EQ(SettingText(opened[i]), SettingText(expected[i])) << "setting " << i;
  // The likelier settings came first: 19200 and 9600 with one stop bit before two stop bits.
  EXPECT_EQ(SettingText(order[3]), "9600 8O1");
  EXPECT_EQ(SettingText(order[4]), "9600 8N1");
}

TEST(ScanRun, NothingAnsweringEndsInBoundedTimeWithTheLinesClosed) {
  std::atomic<int> open{0};
  TScanHooks hooks;
  hooks.OpenLine = [&](const std::string&, const TLineSetting&) {
    return std::make_unique<TSilentLine>(open);
  };
  const TScanOptions options = Options({"--stations", "1-3", "--all"});
  TScan scan = Scan(options, hooks);
  EXPECT_EQ(scan.Status, kScanNothing);
  EXPECT_TRUE(scan.Found.empty());
  EXPECT_NE(scan.Err.find("no PLC answered on bench in 6 tries"), std::string::npos) << scan.Err;
  EXPECT_EQ(open.load(), 0) << "every port opened was closed again";
  // Each try waits its time-out once; with the module's turns the whole scan stays well within
  // twice the budget the progress line counts down from.
  uint64_t budgetMs = 0;
  for (const TScanStep& step : ScanPlan(options))
    budgetMs += step.Addresses.size() * TryBudgetMs(options, step.Line);
  EXPECT_LT(scan.Seconds * 1000, 2.0 * budgetMs + 2000) << "budget " << budgetMs << " ms";

  // A NAK with no well-formed enquiry answer of the station asked is no PLC: a single byte of
  // noise, or station 1 refusing late while stations 2-4 are tried.
  const std::pair<const char*, std::string> refusals[] = {
      {"ccm-ms", "\x15"}, {"ccm-peer", "\x15"}, {"ccm-ms", "N!\x15"}};
  for (const auto& [protocol, answer] : refusals) {
    SCOPED_TRACE(std::string(protocol) + " answered by " + std::to_string(answer.size()) + " bytes");
    std::remove("scan_refused.xml");
    TScanHooks refusing;
    refusing.OpenLine = [&answer = answer](const std::string&, const TLineSetting&) {
      return std::make_unique<TRefusingLine>(answer);
    };
    scan = Scan(Options({"--protocols", protocol, "--stations", "2-4", "--all", "--write-config",
                         "scan_refused.xml"}),
                refusing);
    EXPECT_EQ(scan.Status, kScanNothing) << scan.Out << scan.Err;
    EXPECT_TRUE(scan.Found.empty()) << scan.Out;
    EXPECT_TRUE(FileText("scan_refused.xml").empty()) << "no configuration for a PLC that is not there";
  }
}

TEST(ScanRun, InterruptStopsWithTheTraceCompleteAndThePortClosed) {
  std::atomic<int> open{0};
  std::atomic<bool> tried{false};
  TScanHooks hooks;
  hooks.OpenLine = [&](const std::string&, const TLineSetting&) {
    tried = true;
    return std::make_unique<TSilentLine>(open);
  };
  std::thread interrupt([&] {
    while (!tried) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    RequestScanStop();
  });
  TScan scan = Scan(
      Options({"--stations", "1-90", "--try-timeout", "1000", "--trace", "scan_interrupt.trace"}), hooks);
  interrupt.join();
  EXPECT_EQ(scan.Status, kScanInterrupted) << scan.Err;
  EXPECT_LT(scan.Seconds, 20) << "Ctrl+C does not wait for the 93 tries";
  EXPECT_EQ(open.load(), 0);
  EXPECT_EQ(gFreedWhileCancelled.load(), 0) << "the line was freed while Ctrl+C cancelled it";
  const std::string traced = FileText("scan_interrupt.trace");
  EXPECT_NE(traced.find("stopped by Ctrl+C"), std::string::npos) << traced;
}

TEST(ScanRun, MissingOrBusyPortEndsAtOnceAndSaysWhy) {
  const bool windows = std::string(KELDA_LIBRARY_PATH).find(".dll") != std::string::npos;
  TScanOptions missing = Options();
  missing.Port = windows ? "COM251" : "/dev/kelda-no-such-port";
  TScan scan = Scan(missing, {});
  EXPECT_EQ(scan.Status, kScanNothing);
  EXPECT_NE(scan.Err.find(missing.Port), std::string::npos) << scan.Err;
  EXPECT_NE(scan.Err.find("check the port's name"), std::string::npos) << scan.Err;

  // A configuration that could not be written is told before the scan, not after it.
  std::atomic<int> open{0};
  TScanHooks silent;
  silent.OpenLine = [&](const std::string&, const TLineSetting&) {
    return std::make_unique<TSilentLine>(open);
  };
  scan = Scan(Options({"--write-config", "no-such-folder/plc.xml"}), silent);
  EXPECT_EQ(scan.Status, kScanNothing);
  EXPECT_NE(scan.Err.find("there is no folder no-such-folder"), std::string::npos) << scan.Err;
  EXPECT_LT(scan.Seconds, 1.0) << "no try was made";

  // An SNP ID with a byte XML cannot carry is found, but no ill-formed configuration is written.
  for (const char* id : {"PL\x01"
                         "C",
                         "AB\x81"}) {
    std::remove("scan_control.xml");
    TScanHooks odd;
    odd.OpenLine = [id](const std::string&, const TLineSetting&) {
      return SimulatedPlc(plcsim::Mode::SnpX, id);
    };
    scan = Scan(Options({"--protocols", "snpx", "--write-config", "scan_control.xml"}), odd);
    EXPECT_EQ(scan.Status, kScanNothing) << "the configuration asked for was not written: " << scan.Err;
    ASSERT_EQ(scan.Found.size(), 1u) << scan.Out << scan.Err;
    EXPECT_EQ(scan.Found[0].Address, id);
    EXPECT_TRUE(FileText("scan_control.xml").empty()) << FileText("scan_control.xml");
    EXPECT_NE(scan.Err.find("scan_control.xml is not written"), std::string::npos) << scan.Err;
    EXPECT_NE(scan.Out.find("--config FILE"), std::string::npos)
        << "the poll line names no file that is not there";
  }
  // A CCM station's scratch pad may name any ID: the comment that quotes it stays well-formed.
  TScanFinding station;
  station.Protocol = plcsim::Mode::CcmMasterSlave;
  station.Address = "2";
  station.Facts = {"station 2", "SNP ID \"A\x01\x81-B\""};
  EXPECT_TRUE(ScanConfigurationRefusal(station).empty());
  const std::string written = ScanConfiguration(station, "bench");
  EXPECT_EQ(std::count_if(
                written.begin(), written.end(),
                [](char c) { return (static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == '\x81'; }),
            0)
      << written;

  platform::TPseudoTerminalPair pair;
  try {
    pair = platform::OpenPseudoTerminalPair();
  } catch (const platform::ESerialPortError&) {
    GTEST_SKIP() << "no pseudo-terminals on this system";
  }
  auto holder = platform::TSerialPort::Open(pair.Name, {});
  TScanOptions busy = Options();
  busy.Port = pair.Name;
  scan = Scan(busy, {});
  EXPECT_EQ(scan.Status, kScanNothing);
  EXPECT_NE(scan.Err.find("in use by another program"), std::string::npos) << scan.Err;
}

TEST(ScanRun, AllFindsEveryStationOnAMultidropLine) {
  TScanHooks hooks;
  hooks.OpenLine = [](const std::string&, const TLineSetting&) {
    return std::make_unique<TMultidropLine>(std::vector<uint8_t>{3, 6});
  };
  TScan scan = Scan(Options({"--protocols", "ccm-ms", "--all"}), hooks);
  ASSERT_EQ(scan.Status, kScanFound) << scan.Out << scan.Err;
  ASSERT_EQ(scan.Found.size(), 2u) << scan.Out;
  EXPECT_EQ(scan.Found[0].Address, "3");
  EXPECT_EQ(scan.Found[1].Address, "6");
  EXPECT_NE(scan.Out.find("found: CCM master-slave at 19200 8O1: station 3"), std::string::npos) << scan.Out;
  EXPECT_NE(scan.Out.find("found: CCM master-slave at 19200 8O1: station 6"), std::string::npos) << scan.Out;

  // Without --all the scan ends at the first station that answers.
  scan = Scan(Options({"--protocols", "ccm-ms"}), hooks);
  ASSERT_EQ(scan.Found.size(), 1u);
  EXPECT_EQ(scan.Found[0].Address, "3");
}
