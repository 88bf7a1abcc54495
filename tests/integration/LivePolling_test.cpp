// The real library polling simulated GE PLCs through the exports, for each protocol: settings
// stored where the host names them, two data sources with a PLC each, the engines' ticks in the
// host's message loop, the PLCs' answers handed to ProcessData in small random pieces.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "LiveRig.h"
#include "platform/Registry.h"

using namespace livetest;

namespace {

constexpr uint32_t kBoundMs = 15000;  // generous: a loaded machine under Wine

class LivePolling : public ::testing::TestWithParam<int> {
protected:
  int Protocol() const { return GetParam(); }

  // Attaches a PLC line to both data sources of the instance, each with its own memory.
  void AttachLines(TKeldaHost& host, uintptr_t instance) {
    for (int source : {1, 2}) {
      TKeldaHost::TLineOptions options;
      options.Mode = ModeOf(Protocol());
      options.MaxChunk = 5;
      options.Seed = static_cast<uint32_t>(source * 31 + Protocol());
      FillRegisters(host.AttachLine(instance, source, options), source);
    }
  }

  // Runs the message loop until each data source delivered `polled` rows of the polled
  // request and `once` rows of the once request.
  bool RunUntilRows(TKeldaHost& host, uintptr_t instance, int polled, int once) {
    std::vector<TRow> seen[3];
    bool done = host.RunUntil(
        [&] {
          for (int s : {1, 2}) {
            for (TRow& row : host.TakeRows(instance, s)) seen[s].push_back(std::move(row));
            if (CountRows(seen[s], "R1") < polled || CountRows(seen[s], "ONCE0") < once) return false;
          }
          return true;
        },
        kBoundMs);
    for (int s : {1, 2}) {
      ExpectRowsMatchMemory(seen[s], s, s == 1 ? "COM1" : "COM2");
      Rows[s].insert(Rows[s].end(), seen[s].begin(), seen[s].end());
    }
    return done;
  }

  // The whole life of an instance whose settings were stored before "LOAD".
  void PollLive(TKeldaHost& host, uintptr_t instance, const TParams& load) {
    AttachLines(host, instance);
    ASSERT_EQ(host.Command(instance, "LOAD", load).Code, 0);
    ASSERT_EQ(SetState(host, instance, kTwoSources, 1).Code, 0);

    ASSERT_TRUE(RunUntilRows(host, instance, 4, 1)) << "both PLCs polled";
    EXPECT_EQ(host.RefusedDataCalls(), 0);
    for (int s : {1, 2}) {
      EXPECT_EQ(CountRows(Rows[s], "ONCE0"), 1) << "a once request runs once";
      const TRow& row = Rows[s].back();
      EXPECT_EQ(Value(row, "DATA_SOURCE_ID"), std::to_string(s));
      EXPECT_EQ(Value(row, "DATA_SOURCE_FULL_NAME"), "Press line " + std::to_string(s));
      EXPECT_EQ(Value(row, "MEMORY"), Protocol() == kProtoSnpX ? "8" : "1");
      if (IsCcm(Protocol())) {
        EXPECT_EQ(Value(row, "TARGET_ADDRESS"), "2");
      }
      if (Protocol() == kProtoSnpX) {
        EXPECT_EQ(Value(row, "STATUS_CODE"), "0");
      }
    }

    // The port was opened again: every request, the once request too, is sent again.
    TCommandResult portOpen = host.Command(instance, "EVENT", {Param("EVENT-TYPE", "PORT-OPEN")});
    EXPECT_EQ(portOpen.Code, 0);
    ASSERT_TRUE(RunUntilRows(host, instance, 0, 1)) << "the once request ran again";
    for (int s : {1, 2}) EXPECT_EQ(CountRows(Rows[s], "ONCE0"), 2);

    TCommandResult items = host.Command(instance, "ITEMS");
    EXPECT_EQ(items.Code, 0);
    const std::string text = items.Result.ToText();
    for (const char* name :
         {"|FULL_DATA_PACKET|", "|DATA_SOURCE_FULL_NAME|", "|SOURCE_ADDRESS|", "|TARGET_ADDRESS|", "|MEMORY|",
          "|MEMORY_ADDRESS|", "|R1|", "|R4|", "|W|", "|B|", "|ONCE0|", "|ONCE1|"})
      EXPECT_NE(text.find(name), std::string::npos) << name << " in " << text;
    EXPECT_EQ(text.find("|CLIENTID|"), std::string::npos);
    EXPECT_EQ(text.find("|R5|"), std::string::npos);
    EXPECT_NE(text.find("Levels (R2)"), std::string::npos) << "a counted item names its request";

    TCommandResult types = host.Command(instance, "EVENT", {Param("EVENT-TYPE", "GetMemoryTypeList")});
    EXPECT_EQ(types.Code, 0);
    const std::string list = types.Result.ToText();
    EXPECT_EQ(list.rfind("Registers (%R)==8||", 0), 0u) << list;
    EXPECT_NE(list.find("Genius Global Data (%G) (SNPX only)==86"), std::string::npos) << list;
    std::size_t separators = 0;
    for (std::size_t at = list.find("||"); at != std::string::npos; at = list.find("||", at + 2))
      ++separators;
    EXPECT_EQ(separators, 12u);

    // After the last unload no engine sends again, however long the loop runs.
    EXPECT_EQ(host.Command(instance, "UNLOAD", UnloadParams).Code, 0);
    host.RunFor(50);
    const int sends = host.SendCount();
    host.RunFor(400);
    EXPECT_EQ(host.SendCount(), sends) << "an engine still polls after UNLOAD";
    EXPECT_EQ(host.Free(instance), 0);
  }

  std::vector<TRow> Rows[3];
  TParams UnloadParams;  // the settings location again, so that nothing is saved elsewhere
};

TEST_P(LivePolling, SettingsFromAnIniFile) {
  TIniFile ini(std::string("live_") + ProtocolName(Protocol()) + ".ini");
  ini.Store("Plant7", ConfigXml({PolledRequest(Protocol()), OnceRequest(Protocol())}), Protocol());
  TKeldaHost host(KELDA_LIBRARY_PATH);
  uintptr_t instance = host.Create(3);
  ASSERT_NE(instance, 0u);
  UnloadParams = {Param("INI-FILE", ini.Name)};
  PollLive(host, instance, LoadFromIni(host, ini, "Plant7"));
}

// A registry key of the test's own, removed again at the end.
struct TRegistryKeyForTest {
  explicit TRegistryKeyForTest(const std::string& path) : Path(path) {
    platform::DeleteRegistryKeyTree(platform::TRegHive::CurrentUser, Path);
  }
  ~TRegistryKeyForTest() { platform::DeleteRegistryKeyTree(platform::TRegHive::CurrentUser, Path); }
  std::string Path;
};

std::string DoubleBytes(double value) {
  std::string bytes(8, '\0');
  std::memcpy(bytes.data(), &value, 8);  // little-endian on every target of the module
  return bytes;
}

TEST_P(LivePolling, SettingsFromTheRegistry) {
  const std::string path = std::string("Software\\Korvane\\E2E\\Live") + ProtocolName(Protocol()) + "_" +
                           std::to_string(TKeldaHost::Now());
  TRegistryKeyForTest key(path);
  {
    auto stored = platform::TRegistryKey::Open(platform::TRegHive::CurrentUser, path, true);
    ASSERT_TRUE(stored);
    stored->WriteString("Parser config",
                        EncodeStoredText(ConfigXml({PolledRequest(Protocol()), OnceRequest(Protocol())})));
    stored->WriteDword("Proto", static_cast<uint32_t>(Protocol()));
    stored->WriteBinary("Local address", DoubleBytes(1));
    stored->WriteBinary("Min interval", DoubleBytes(0));
  }
  TKeldaHost host(KELDA_LIBRARY_PATH);
  uintptr_t instance = host.Create(4);
  ASSERT_NE(instance, 0u);
  PollLive(host, instance, host.LoadParams({Param("REGISTRY-PATH", path), Param("LANGUAGE", "EN")}));
}

INSTANTIATE_TEST_SUITE_P(EveryProtocol, LivePolling,
                         ::testing::Values(kProtoCcmMasterSlave, kProtoCcmPeer, kProtoSnp, kProtoSnpX),
                         [](const ::testing::TestParamInfo<int>& info) { return ProtocolName(info.param); });

}  // namespace
