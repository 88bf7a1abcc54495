// The real library with simulated PLCs when the host's input is bad: configuration texts that
// are empty, broken or enormous, memory types the PLC does not know, a data source that goes
// away in the middle of a transaction, every state flag cleared, events nobody knows.
#include <gtest/gtest.h>

#include <string>

#include "LiveRig.h"

using namespace livetest;

namespace {

constexpr uint32_t kBoundMs = 15000;

struct TLiveInstance {
  TKeldaHost Host{KELDA_LIBRARY_PATH};
  uintptr_t Instance = 0;
  TIniFile Ini;

  TLiveInstance(const std::string& iniName, const std::string& config, int protocol) : Ini(iniName) {
    Ini.Store("Bad", config, protocol);
    Instance = Host.Create(5);
    for (int source : {1, 2}) {
      TKeldaHost::TLineOptions options;
      options.Mode = ModeOf(protocol);
      options.MaxChunk = 3;
      options.Seed = static_cast<uint32_t>(source);
      FillRegisters(Host.AttachLine(Instance, source, options), source);
    }
    EXPECT_EQ(Host.Command(Instance, "LOAD", LoadFromIni(Host, Ini, "Bad")).Code, 0);
  }
  ~TLiveInstance() {
    Host.Command(Instance, "UNLOAD", {Param("INI-FILE", Ini.Name)});
    Host.Free(Instance);
  }
  int PolledRows(int source) { return CountRows(Rows(source), "R1"); }
  std::vector<TRow>& Rows(int source) {
    for (TRow& row : Host.TakeRows(Instance, source)) Taken[source].push_back(std::move(row));
    return Taken[source];
  }
  bool RunUntilPolled(int source, int rows) {
    return Host.RunUntil([&] { return PolledRows(source) >= rows; }, kBoundMs);
  }
  std::vector<TRow> Taken[3];
};

TEST(LivePollingBadInput, EmptyBrokenAndEnormousConfigurations) {
  {
    SCOPED_TRACE("empty");
    TLiveInstance live("bad_empty.ini", "", kProtoSnp);
    EXPECT_EQ(SetState(live.Host, live.Instance, kTwoSources, 1).Code, 0);
    live.Host.RunFor(300);
    EXPECT_EQ(live.Host.SendCount(), 0) << "nothing to poll, nothing sent";
    std::string items = live.Host.Command(live.Instance, "ITEMS").Result.ToText();
    EXPECT_NE(items.find("|MEMORY_ADDRESS|"), std::string::npos);
    EXPECT_EQ(items.find("|ITEM"), std::string::npos);
  }
  {
    SCOPED_TRACE("broken");
    std::string config = ConfigXml({PolledRequest(kProtoSnpX)});
    config = config.substr(0, config.find("<Item>")) + "<Item><Name>R</Na<<me><Cou\"nt>4</MODBUS";
    TLiveInstance live("bad_broken.ini", config, kProtoSnpX);
    EXPECT_EQ(SetState(live.Host, live.Instance, kTwoSources, 1).Code, 0);
    live.Host.RunFor(400);  // whatever the text still says is polled without harm
    EXPECT_EQ(live.Host.RefusedDataCalls(), 0);
    EXPECT_EQ(live.Host.Command(live.Instance, "ITEMS").Code, 0);
  }
  {
    SCOPED_TRACE("enormous");
    // One polled request, then thousands that are only parsed, each with a long caption.
    std::vector<TRequestText> requests{PolledRequest(kProtoCcmMasterSlave)};
    for (int i = 0; i < 3000; ++i) {
      TRequestText r{std::string(200, 'x') + std::to_string(i),
                     kProtoCcmMasterSlave,
                     kRegisters,
                     0,
                     1,
                     true,
                     false,
                     100,
                     ItemXml("P" + std::to_string(i), 0, 1, "D8", false)};
      requests.push_back(r);
    }
    const std::string config = ConfigXml(requests);
    ASSERT_GT(config.size(), 1000000u);
    TLiveInstance live("bad_enormous.ini", config, kProtoCcmMasterSlave);
    EXPECT_EQ(SetState(live.Host, live.Instance, kTwoSources, 1).Code, 0);
    EXPECT_TRUE(live.RunUntilPolled(1, 3));
    EXPECT_TRUE(live.RunUntilPolled(2, 3));
    ExpectRowsMatchMemory(live.Rows(1), 1, "COM1");
    std::string items = live.Host.Command(live.Instance, "ITEMS").Result.ToText();
    EXPECT_NE(items.find("|P2999|"), std::string::npos) << "every parsed request declares its items";
  }
}

TEST(LivePollingBadInput, UnknownMemoryTypeLeavesTheOtherRequestsPolling) {
  for (int protocol : {kProtoCcmMasterSlave, kProtoCcmPeer, kProtoSnp, kProtoSnpX}) {
    SCOPED_TRACE(ProtocolName(protocol));
    TRequestText unknown{"Unknown", protocol, 0xC8,
                         0,         4,        true,
                         true,      100,      ItemXml("U", 0, 2, "D16", false, true, false, "77")};
    TLiveInstance live(std::string("bad_memory_") + ProtocolName(protocol) + ".ini",
                       ConfigXml({unknown, PolledRequest(protocol)}), protocol);
    EXPECT_EQ(SetState(live.Host, live.Instance, kTwoSources, 1).Code, 0);
    EXPECT_TRUE(live.RunUntilPolled(1, 4));
    EXPECT_TRUE(live.RunUntilPolled(2, 4));
    for (int s : {1, 2}) {
      for (const TRow& row : live.Rows(s)) {
        if (Has(row, "R1")) continue;
        // CCM reads an unknown type as registers; the SNP-X PLC answers with an error status
        // and no data, so the row carries no value other than the default. SNP gives no row.
        if (IsCcm(protocol)) {
          EXPECT_EQ(Value(row, "U1"), std::to_string(RegisterValue(s, 0)));
        } else {
          EXPECT_EQ(protocol, kProtoSnpX);
          EXPECT_NE(Value(row, "STATUS_CODE"), "0");
          if (Has(row, "U1")) EXPECT_EQ(Value(row, "U1"), "77");
        }
      }
      std::vector<TRow> polled;
      for (const TRow& row : live.Rows(s))
        if (Has(row, "R1")) polled.push_back(row);
      ExpectRowsMatchMemory(polled, s, s == 1 ? "COM1" : "COM2");
    }
  }
}

TEST(LivePollingBadInput, DataSourceDisappearsMidTransaction) {
  for (int protocol : {kProtoCcmMasterSlave, kProtoSnp, kProtoSnpX}) {
    SCOPED_TRACE(ProtocolName(protocol));
    TLiveInstance live(std::string("bad_gone_") + ProtocolName(protocol) + ".ini",
                       ConfigXml({PolledRequest(protocol)}), protocol);
    EXPECT_EQ(SetState(live.Host, live.Instance, kTwoSources, 1).Code, 0);
    ASSERT_TRUE(live.RunUntilPolled(2, 1));
    // The PLC of data source 2 answers late, so its engine waits in the middle of a transaction.
    TSimulatedLine* line = live.Host.Line(live.Instance, 2);
    line->Plc().faults().lateMs = 200;
    ASSERT_TRUE(live.Host.RunUntil([&] { return line->Plc().hasPendingOutput(); }, kBoundMs));

    EXPECT_EQ(SetState(live.Host, live.Instance, "1;COM1;Press line 1", 1).Code, 0);
    const int writes = line->Writes();
    const std::size_t rows = live.Rows(2).size();
    // The late answer still arrives from the port and is handed over; nobody waits for it.
    EXPECT_TRUE(live.Host.RunUntil([&] { return !line->Plc().hasPendingOutput(); }, kBoundMs));
    live.Host.RunFor(300);
    EXPECT_EQ(line->Writes(), writes) << "the engine of a removed data source sent again";
    EXPECT_EQ(live.Rows(2).size(), rows) << "a removed data source delivered rows";
    EXPECT_EQ(live.Host.RefusedDataCalls(), 0);
    const int before = live.PolledRows(1);
    EXPECT_TRUE(live.RunUntilPolled(1, before + 3)) << "the other data source polls on";
    ExpectRowsMatchMemory(live.Rows(1), 1, "COM1");
  }
}

TEST(LivePollingBadInput, AllStateFlagsClearedAndUnknownEvents) {
  TLiveInstance live("bad_flags.ini", ConfigXml({PolledRequest(kProtoSnpX), OnceRequest(kProtoSnpX)}),
                     kProtoSnpX);
  EXPECT_EQ(live.Host.Command(live.Instance, "EVENT", {Param("EVENT-TYPE", "NO-SUCH-EVENT")}).Code, -1)
      << "not handled while the instance is off";
  EXPECT_EQ(SetState(live.Host, live.Instance, kTwoSources, 1).Code, 0);
  ASSERT_TRUE(live.RunUntilPolled(1, 2));
  ASSERT_TRUE(live.Host.RunUntil([&] { return CountRows(live.Rows(1), "ONCE0") == 1; }, kBoundMs));

  EXPECT_EQ(live.Host.Command(live.Instance, "EVENT", {Param("EVENT-TYPE", "NO-SUCH-EVENT")}).Code, 0);
  EXPECT_EQ(live.Host.Command(live.Instance, "EVENT", {Param("EVENT-TYPE", "")}).Code, 0);
  EXPECT_EQ(live.Host.Command(live.Instance, "EVENT", {}).Code, -1) << "no event type";
  EXPECT_EQ(live.Host.Command(live.Instance, "EVENT", {Param("EVENT-TYPE", "getmemorytypelist")}).Code, 0);
  // Only the exact word reopens the port: the once request stays done.
  EXPECT_EQ(live.Host.Command(live.Instance, "EVENT", {Param("EVENT-TYPE", "port-open")}).Code, 0);
  const int polled = live.PolledRows(1);
  ASSERT_TRUE(live.RunUntilPolled(1, polled + 3));
  EXPECT_EQ(CountRows(live.Rows(1), "ONCE0"), 1);

  // Every flag cleared: the engines go, nothing is sent any more.
  EXPECT_EQ(SetState(live.Host, live.Instance, kTwoSources, 0).Code, 0);
  live.Host.RunFor(50);
  const int sends = live.Host.SendCount();
  live.Host.RunFor(400);
  EXPECT_EQ(live.Host.SendCount(), sends);
  EXPECT_EQ(live.Host.Command(live.Instance, "EVENT", {Param("EVENT-TYPE", "PORT-OPEN")}).Code, -1);
  EXPECT_EQ(live.Host.Data(live.Instance, 1, kDataFlagPortBytes, "\x06\x00").Code, 0)
      << "bytes for a data source without engine are taken and ignored";

  // And on again: new engines poll from the start, the once request included.
  EXPECT_EQ(SetState(live.Host, live.Instance, kTwoSources, 1).Code, 0);
  EXPECT_TRUE(live.Host.RunUntil([&] { return CountRows(live.Rows(2), "ONCE0") >= 2; }, kBoundMs));
  ExpectRowsMatchMemory(live.Rows(2), 2, "COM2");
}

}  // namespace
