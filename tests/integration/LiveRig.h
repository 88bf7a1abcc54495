// What the live polling tests share: a configuration text per protocol, register contents that
// hold the protocols' control bytes, settings written where the host names them, and the
// checks of delivered rows against the simulated PLC's memory.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/KeldaHost.h"
#include "tools/KeldaSettings.h"

namespace livetest {

using namespace kelda;
using namespace kelda::host;

constexpr uint8_t kRegisters = 0x08;
constexpr int kProtoCcmMasterSlave = 0, kProtoCcmPeer = 1, kProtoSnp = 2, kProtoSnpX = 3;

inline const char* ProtocolName(int protocol) {
  static const char* names[] = {"CcmMasterSlave", "CcmPeerToPeer", "Snp", "SnpX"};
  return names[protocol];
}

inline bool IsCcm(int protocol) {
  return protocol == kProtoCcmMasterSlave || protocol == kProtoCcmPeer;
}

// Register i (0-based) of data source `source`: every third value holds frame control bytes.
inline uint16_t RegisterValue(int source, uint32_t index) {
  static const uint16_t awkward[] = {0x0203, 0x1703, 0x1B17, 0x0602, 0x1504, 0x0317, 0x0D0A, 0x8000};
  if (index % 3 == 0) return awkward[(index / 3 + source) % 8];
  return static_cast<uint16_t>(source * 4099 + index * 257 + 11);
}

inline void FillRegisters(TSimulatedLine& line, int source) {
  for (uint32_t i = 0; i < 64; ++i) line.Plc().setWord(kRegisters, i, RegisterValue(source, i));
}

// One request element. `first` is the first register, 0-based; CCM numbers registers from 1
// and counts bytes, SNP and SNP-X count words from 0.
struct TRequestText {
  std::string Caption;
  int Protocol = kProtoSnp;
  int Memory = kRegisters;
  uint32_t First = 0;
  uint32_t Words = 1;
  bool Poll = true;
  bool Enabled = true;
  int PollMs = 100;
  std::string Items;  // the Item elements
  int TimeoutMs = 1000;
};

inline std::string RequestXml(const TRequestText& r) {
  const bool ccm = IsCcm(r.Protocol);
  std::string xml = "<Request caption=\"" + r.Caption + "\">\r\n";
  xml += "  <Enabled check=\"" + std::string(r.Enabled ? "2" : "0") + "\"/>\r\n";
  xml += "  <Address>" + std::string(ccm ? "2" : "PLC1") + "</Address>\r\n";
  xml += "  <Memory>" + std::to_string(r.Memory) + "</Memory>\r\n";
  xml += "  <Offset>" + std::to_string(ccm ? r.First + 1 : r.First) + "</Offset>\r\n";
  xml += "  <Size>" + std::to_string(ccm ? r.Words * 2 : r.Words) + "</Size>\r\n";
  xml += "  <Timeout>" + std::to_string(r.TimeoutMs) + "</Timeout>\r\n";
  xml += "  <RequestMethod><MethodOnce check=\"" + std::string(r.Poll ? "0" : "2") +
         "\"/><MethodPoll check=\"" + std::string(r.Poll ? "2" : "0") + "\"><PollInterval>" +
         std::to_string(r.PollMs) +
         "</PollInterval><PollUnits>MS</PollUnits></MethodPoll></RequestMethod>\r\n";
  xml += "  <Response>\r\n" + r.Items + "  </Response>\r\n</Request>\r\n";
  return xml;
}

inline std::string ItemXml(const std::string& name, int offset, int count, const std::string& type,
                           bool zeroBased, bool le = true, bool swapped = false,
                           const std::string& def = "0") {
  auto check = [](bool on) { return std::string(on ? "2" : "0"); };
  return "    <Item><Name>" + name + "</Name><Offset>" + std::to_string(offset) + "</Offset><Count>" +
         std::to_string(count) + "</Count><AppendCnt check=\"" + check(count > 1) +
         "\"><ZeroBaseCnt check=\"" + check(zeroBased) + "\"/></AppendCnt><DataType>" + type +
         "</DataType><LE check=\"" + check(le) + "\"/><Unsigned check=\"2\"/><Swapped check=\"" +
         check(swapped) + "\"/><Default>" + def + "</Default><Scale>1</Scale></Item>\r\n";
}

// The polled request: registers 0..7 as R1..R4 (16 bit), W (registers 4 and 5 as one 32-bit
// value, low register first) and B (the low byte of register 6).
inline TRequestText PolledRequest(int protocol, int pollMs = 100) {
  TRequestText r{"Levels", protocol, kRegisters, 0, 8, true, true, pollMs, ""};
  r.Items = ItemXml("R", 0, 4, "D16", false) + ItemXml("W", 8, 1, "D32", false, true, true) +
            ItemXml("B", 12, 1, "D8", false);
  return r;
}

// The request run once at start-up and after PORT-OPEN: registers 20 and 21 as ONCE0, ONCE1.
inline TRequestText OnceRequest(int protocol) {
  TRequestText r{"Identity", protocol, kRegisters, 20, 2, false, true, 1000, ""};
  r.Items = ItemXml("ONCE", 0, 2, "D16", true);
  return r;
}

inline std::string ConfigXml(const std::vector<TRequestText>& requests) {
  std::string xml = "<?xml version=\"1.0\"?>\r\n<MODBUSRTUQUERY>\r\n";
  for (const TRequestText& r : requests) xml += RequestXml(r);
  return xml + "</MODBUSRTUQUERY>\r\n";
}

// The value of an item in a row; "" when the row has none.
inline std::string Value(const TRow& row, const std::string& name) {
  for (const auto& [itemName, value] : row)
    if (itemName == name) return value;
  return "";
}
inline bool Has(const TRow& row, const std::string& name) {
  for (const auto& item : row)
    if (item.first == name) return true;
  return false;
}

inline int CountRows(const std::vector<TRow>& rows, const std::string& item) {
  int n = 0;
  for (const TRow& row : rows) n += Has(row, item) ? 1 : 0;
  return n;
}

// Every row of the polled request holds the PLC's registers, every row of the once request too.
inline void ExpectRowsMatchMemory(const std::vector<TRow>& rows, int source, const std::string& name) {
  auto reg = [&](uint32_t i) { return static_cast<uint32_t>(RegisterValue(source, i)); };
  for (const TRow& row : rows) {
    SCOPED_TRACE("data source " + std::to_string(source));
    EXPECT_EQ(Value(row, "DATA_SOURCE_NAME"), name);
    if (Has(row, "R1")) {
      for (uint32_t k = 1; k <= 4; ++k)
        EXPECT_EQ(Value(row, "R" + std::to_string(k)), std::to_string(reg(k - 1)));
      EXPECT_EQ(Value(row, "W"), std::to_string(reg(4) | reg(5) << 16));
      EXPECT_EQ(Value(row, "B"), std::to_string(reg(6) & 0xFF));
    } else if (Has(row, "ONCE0")) {
      EXPECT_EQ(Value(row, "ONCE0"), std::to_string(reg(20)));
      EXPECT_EQ(Value(row, "ONCE1"), std::to_string(reg(21)));
    } else {
      ADD_FAILURE() << "a row of no configured request";
    }
  }
}

// Answers that must each give one row: the reads completed intact, and on SNP-X the error answers
// too (the PLC's refusal is news for the host, told by the row's status code).
inline int ValidAnswers(const plcsim::Simulator& plc, int protocol) {
  const plcsim::Simulator::Counters& c = plc.counters();
  return c.completeReads + (protocol == kProtoSnpX ? c.naks : 0);
}

inline plcsim::Mode ModeOf(int protocol) {
  return static_cast<plcsim::Mode>(protocol);
}

// An INI file in the working folder, removed again at the end of the test.
struct TIniFile {
  explicit TIniFile(std::string name) : Name(std::move(name)) { std::remove(Name.c_str()); }
  ~TIniFile() { std::remove(Name.c_str()); }
  // The module's settings under the section prefix, as an installer writes them.
  void Store(const std::string& prefix, const std::string& config, int protocol, double localAddress = 1,
             int minInterval = 0) const {
    const std::string section = prefix + ".Common";
    WriteIniValue(Name, section, "Parser config", EncodeStoredText(config));
    WriteIniValue(Name, section, "Proto", std::to_string(protocol));
    WriteIniValue(Name, section, "Local address", std::to_string(localAddress));
    WriteIniValue(Name, section, "Min interval", std::to_string(minInterval));
  }
  std::string Name;
};

inline TParams LoadFromIni(const TKeldaHost& host, const TIniFile& ini, const std::string& prefix) {
  return host.LoadParams({Param("INI-FILE", ini.Name), Param("INI-SECTION-PREFIX", prefix),
                          Param("REGISTRY-PATH", "Software\\Korvane\\E2E\\Unused"), Param("LANGUAGE", "EN")});
}

inline TCommandResult SetState(TKeldaHost& host, uintptr_t instance, const std::string& sources, int value,
                               uint8_t flags = 0x03) {
  return host.Command(instance, "SET-STATE", {Param("DATA-SOURCES-IN-CFG", sources), Param("RESULT", value)},
                      true, flags);
}

// State bit 0 lets the engines poll, bit 1 lets them take what the ports read.
const char kTwoSources[] = "1;COM1;Press line 1\r\n2;COM2;Press line 2";

// Ends the program when it is not destroyed within the bound: joins cannot time out, so a
// deadlock fails the run instead of hanging it.
class TWatchdog {
public:
  explicit TWatchdog(uint32_t boundMs)
      : FThread([this, boundMs] {
          std::unique_lock lock(FLock);
          if (!FDone.wait_for(lock, std::chrono::milliseconds(boundMs), [this] { return FDisarmed; })) {
            std::fprintf(stderr, "watchdog: no progress within %u ms, a thread is stuck\n", boundMs);
            std::fflush(stderr);
            std::_Exit(3);
          }
        }) {}
  ~TWatchdog() {
    {
      std::lock_guard lock(FLock);
      FDisarmed = true;
    }
    FDone.notify_all();
    FThread.join();
  }

private:
  std::mutex FLock;
  std::condition_variable FDone;
  bool FDisarmed = false;
  std::thread FThread;
};

}  // namespace livetest
