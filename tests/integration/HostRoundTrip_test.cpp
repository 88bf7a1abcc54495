// The real library driven through the host harness, as the data-logging host drives it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

#include "platform/CodePage.h"
#include "tools/KeldaHost.h"
#include "tools/KeldaScript.h"

using namespace kelda;
using namespace kelda::host;

TEST(HostRoundTrip, CreateLoadStateItemsDataUnloadFree) {
  TKeldaHost host(KELDA_LIBRARY_PATH);
  uintptr_t instance = host.Create(7);
  ASSERT_NE(instance, 0u);

  TModuleInfoResult info = host.ModuleInfo(instance);
  EXPECT_FALSE(info.SizeCallResult) << "the first call only names the size";
  EXPECT_EQ(info.RequiredSize, 33u + info.Description.size() + info.CustomCommands.size());
  EXPECT_TRUE(info.FillCallResult);
  EXPECT_EQ(info.Description, "Korvane");
  EXPECT_EQ(info.ModuleKind & 0xFFFF, 0x03u);
  EXPECT_EQ(info.InterfaceVersionNumber, 4u) << "the framework's interface number stays";
  EXPECT_FLOAT_EQ(info.InterfaceVersion, 5.0f);
  EXPECT_EQ(info.InfoKind, 1);

  TCommandResult load =
      host.Command(instance, "LOAD",
                   host.LoadParams({Param("REGISTRY-PATH", "Software\\Korvane\\Logger\\Kelda"),
                                    Param("INI-SECTION-PREFIX", "{Plant:12}"), Param("LANGUAGE", "EN")}));
  EXPECT_EQ(load.Code, 0);
  EXPECT_EQ(int{load.Record.CallFlags}, 0) << "the interface flag is restored";
  EXPECT_EQ(
      static_cast<uint32_t>(
          host.Command(instance, "GET-MODULE-PARAMETER", {Param("PARAM", "ParentApp")}).Result.ToInt64()),
      static_cast<uint32_t>(host.Program()))
      << "the host's module handle is kept, as its 32-bit pattern";
  EXPECT_EQ(host.Command(instance, "GET-MODULE-PARAMETER", {Param("PARAM", "ModuleIndex")}).Result.ToInt(),
            7);
  EXPECT_EQ(
      host.Command(instance, "GET-MODULE-PARAMETER", {Param("PARAM", "ModuleConfigId")}).Result.ToText(),
      "12");
  EXPECT_EQ(
      host.Command(instance, "GET-MODULE-PARAMETER", {Param("PARAM", "DisplayFullVersion")}).Result.ToText(),
      KELDA_PROJECT_VERSION);

  TCommandResult state = host.Command(
      instance, "SET-STATE",
      {Param("DATA-SOURCES-IN-CFG", "1;COM1;Press line 1\r\n2;COM2;Press line 2"), Param("RESULT", 1)}, true,
      0x05);
  EXPECT_EQ(state.Code, 0);
  EXPECT_EQ(host.Command(instance, "GET-MODULE-PARAMETER", {Param("PARAM", "ModuleEnabled")}).Result.ToInt(),
            5);

  // Without a configuration: the standard fields (no client id) and the four address items.
  TCommandResult items = host.Command(instance, "ITEMS");
  EXPECT_EQ(items.Code, 0);
  std::string itemsText = items.Result.ToText();
  EXPECT_EQ(itemsText.substr(0, 41), "Full data packet|FULL_DATA_PACKET|String|");
  EXPECT_NE(itemsText.find("Data source long name|DATA_SOURCE_FULL_NAME|String|"), std::string::npos);
  EXPECT_NE(itemsText.find("Memory address|MEMORY_ADDRESS|Integer|"), std::string::npos);
  EXPECT_EQ(itemsText.find("CLIENTID"), std::string::npos);

  EXPECT_EQ(host.Command(instance, "SET-MODULE-PARAMETER",
                         {Param("PARAM", "Custom:Shift"), Param("VALUE", "night")})
                .Result.ToBool(),
            true);
  EXPECT_EQ(host.Command(instance, "GET-MODULE-PARAMETER", {Param("PARAM", "Custom_Shift")}).Result.ToText(),
            "night");
  EXPECT_EQ(
      host.Command(instance, "SET-MODULE-PARAMETER",
                   {Param("PARAM", "CustomCommands"), Param("VALUE", "Reset|RESET|Reset counters|1|0\r\n")})
          .Code,
      0);
  EXPECT_EQ(host.ModuleInfo(instance).CustomCommands, "Reset|RESET|Reset counters|1|0\r\n");

  // Port bytes that answer no request are taken and make no packet.
  TDataResult data = host.Data(instance, 2, kDataFlagPortBytes, "\x06\x00R0001=17\r\n");
  EXPECT_EQ(data.Code, 0);
  EXPECT_EQ(data.PacketCount, 0);
  EXPECT_TRUE(data.Rows.empty());
  EXPECT_EQ(host.Data(instance, 99, kDataFlagPortBytes, "x").Code, 0) << "a data source the host never named";
  EXPECT_TRUE(host.Sent().empty()) << "nothing configured, nothing sent";

  EXPECT_EQ(host.Command(instance, "UNLOAD").Code, 0);
  EXPECT_EQ(host.Data(instance, 2, kDataFlagPortBytes, "late").Code, -1) << "a terminating instance";
  EXPECT_EQ(host.Free(instance), 0);
  EXPECT_EQ(host.Free(instance), -1);
  EXPECT_EQ(host.Shutdown(), 0);
  EXPECT_EQ(host.Shutdown(), 0) << "a second marker is harmless";
}

TEST(HostRoundTrip, BadInputIsAnsweredNotCrashedOn) {
  TKeldaHost host(KELDA_LIBRARY_PATH);
  uintptr_t instance = host.Create(3);
  ASSERT_NE(instance, 0u);

  TPluginCallRec record = TKeldaHost::NewRecord(instance);
  record.Size = 100;
  int dummy = 0;
  record.Params = &dummy;
  EXPECT_EQ(host.ExecutePluginCommand(&record), -1);
  EXPECT_EQ(host.ProcessData(&record), -1);
  record.Size = kCallRecSize;
  record.Params = nullptr;
  EXPECT_EQ(host.ExecutePluginCommand(&record), -1);
  EXPECT_EQ(host.ProcessData(&record), -1);

  EXPECT_EQ(host.Command(0xABC0, "LOAD").Code, -1) << "a handle that was never created";
  EXPECT_EQ(host.Command(instance, "load").Code, -2) << "command words are upper case";
  EXPECT_EQ(host.Command(instance, "ITEMS", {}, false).Code, -1) << "ITEMS needs a RESULT item";
  EXPECT_EQ(host.Data(instance, 1, kDataFlagPortBytes, "x").Code, -1) << "no settings before LOAD";
  EXPECT_EQ(host.Command(instance, "NO-SUCH-WORD").Code, -2);

  uintptr_t other = host.Create(4);
  EXPECT_EQ(host.Free(other), 0);
  EXPECT_EQ(host.Command(other, "LOAD").Code, -1) << "a freed instance";
  EXPECT_EQ(host.Data(other, 1, kDataFlagPortBytes, "x").Code, -1);
  EXPECT_EQ(host.FetchLog(other).size(), 0u);
  EXPECT_EQ(host.Free(instance), 0);
}

TEST(HostRoundTrip, ScriptPollsASimulatedPlc) {
  TKeldaHost host(KELDA_LIBRARY_PATH);
  std::istringstream script(
      "ini script_test.ini Kiln.Common \"Parser config\" \"<MODBUSRTUQUERY><Request><Enabled>1</Enabled>"
      "<Address>PLC1</Address><Memory>8</Memory><Offset>3</Offset><Size>2</Size><MethodPoll>1</MethodPoll>"
      "<PollInterval>50</PollInterval><Response><Item><Name>T</Name><Offset>0</Offset><Count>2</Count>"
      "<ZeroBaseCnt>0</ZeroBaseCnt><DataType>D16</DataType><LE>1</LE></Item></Response></Request>"
      "</MODBUSRTUQUERY>\"\n"
      "ini script_test.ini Kiln.Common Proto 3\n"
      "create 5\n"
      "line 9 snpx chunk=2\n"
      "registers 9 3 451 0x1703\n"
      "load INI-FILE=script_test.ini INI-SECTION-PREFIX=Kiln\n"
      "command SET-STATE @flags=3 DATA-SOURCES-IN-CFG=\"9;COM9;Kiln\" RESULT=1\n"
      "run 15000 2\n"
      "command UNLOAD INI-FILE=script_test.ini\n"
      "free\n");
  std::ostringstream out;
  EXPECT_TRUE(RunScript(host, script, out)) << out.str();
  std::remove("script_test.ini");
  std::string text = out.str();
  EXPECT_NE(
      text.find("row from 9: SOURCE_ADDRESS=1 TARGET_ADDRESS=PLC1 MEMORY=8 MEMORY_ADDRESS=3 PLC_STATUS=0 "
                "STATUS_CODE=0 T1=451 T2=5891\n"),
      std::string::npos)
      << text;
  EXPECT_EQ(text.find("fewer rows"), std::string::npos) << text;
  for (const char* bad : {"frobnicate\n", "line 1 modbus\n", "registers 4 0 1\n", "run\n", "ini a b c\n"}) {
    std::istringstream script(bad);
    EXPECT_FALSE(RunScript(host, script, out)) << bad;
  }
}

TEST(HostRoundTrip, CommandsAndDataCallsFromManyThreads) {
  TKeldaHost host(KELDA_LIBRARY_PATH);
  uintptr_t instance = host.Create(11);
  ASSERT_NE(instance, 0u);
  ASSERT_EQ(host.Command(instance, "LOAD", {}).Code, 0);
  ASSERT_EQ(
      host.Command(instance, "SET-STATE",
                   {Param("DATA-SOURCES-IN-CFG", "1;COM1;L1\r\n2;COM2;L2"), Param("RESULT", 1)}, true, 3)
          .Code,
      0);

  constexpr int kThreads = 4, kCalls = 100;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        // A data call to an engine, then a command, each with the host's own list.
        std::string bytes = "\x06\x00\x15" + std::to_string(t);
        TzorParamsListWrap* params = new TzorParamsListWrap();
        TInterfaceRef<IzorParamsListA> list = TInterfaceRef<IzorParamsListA>::Share(params->AsA());
        IzorParamsListA* variable = list.get();
        TPluginCallRec record = TKeldaHost::NewRecord(instance);
        record.Params = &variable;
        record.Flags = kDataFlagPortBytes;
        record.DataSourceId = 1 + (t + i) % 2;
        record.DataIn.Size = static_cast<int32_t>(bytes.size());
        record.DataIn.Value = reinterpret_cast<uintptr_t>(bytes.data());
        int32_t code = host.ProcessData(&record);
        if (record.DataIn.Kind == kDataKindModuleBuffer)
          platform::HostHeapFree(reinterpret_cast<void*>(record.DataIn.Value));
        if (code != 0) failures++;

        TInterfaceRef<IzorParamsListItemA> item;
        list->Add("COMMAND", TVariant::Adopt(VariantFromText("GET-MODULE-PARAMETER")).Raw(), item.Receive());
        list->Add("PARAM", TVariant::Adopt(VariantFromText("ModuleLoadCount")).Raw(), item.Receive());
        list->Add("RESULT", TVariant().Raw(), item.Receive());
        TPluginCallRec command = TKeldaHost::NewRecord(instance);
        command.Params = &variable;
        if (host.ExecutePluginCommand(&command) != 0) failures++;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(host.Free(instance), 0);
}

// --- the library file itself

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

uint32_t U32(const std::string& image, std::size_t at) {
  if (at + 4 > image.size()) throw std::out_of_range("outside the file");
  return static_cast<uint8_t>(image[at]) | static_cast<uint8_t>(image[at + 1]) << 8 |
         static_cast<uint8_t>(image[at + 2]) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(image[at + 3])) << 24;
}
uint16_t U16(const std::string& image, std::size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(image[at]) | static_cast<uint8_t>(image[at + 1]) << 8);
}

// A minimal reader of a 32-bit PE file: its export names and the DLLs it imports from.
struct TPeFile {
  explicit TPeFile(std::string bytes) : Image(std::move(bytes)) {
    std::size_t pe = U32(Image, 0x3C);
    if (U32(Image, pe) != 0x00004550) throw std::runtime_error("not a PE file");
    std::size_t coff = pe + 4;
    uint16_t sections = U16(Image, coff + 2);
    uint16_t optionalSize = U16(Image, coff + 16);
    std::size_t optional = coff + 20;
    ExportRva = U32(Image, optional + 96);
    ImportRva = U32(Image, optional + 104);
    std::size_t table = optional + optionalSize;
    for (uint16_t i = 0; i < sections; ++i) {
      std::size_t s = table + i * 40u;
      Sections.push_back({U32(Image, s + 12), U32(Image, s + 8), U32(Image, s + 20)});
    }
  }
  std::size_t Offset(uint32_t rva) const {
    for (const auto& s : Sections)
      if (rva >= s.Rva && rva < s.Rva + s.Size) return rva - s.Rva + s.Raw;
    throw std::out_of_range("rva outside the sections");
  }
  std::string Text(uint32_t rva) const { return std::string(Image.c_str() + Offset(rva)); }
  std::set<std::string> Exports() const {
    std::set<std::string> names;
    std::size_t dir = Offset(ExportRva);
    uint32_t count = U32(Image, dir + 24), namesRva = U32(Image, dir + 32);
    for (uint32_t i = 0; i < count; ++i) names.insert(Text(U32(Image, Offset(namesRva) + i * 4)));
    return names;
  }
  std::set<std::string> Imports() const {
    std::set<std::string> dlls;
    for (std::size_t d = Offset(ImportRva);; d += 20) {
      uint32_t nameRva = U32(Image, d + 12);
      if (!nameRva) break;
      dlls.insert(platform::AnsiLowerCase(Text(nameRva)));
    }
    return dlls;
  }

  struct TSection {
    uint32_t Rva, Size, Raw;
  };
  std::string Image;
  uint32_t ExportRva = 0, ImportRva = 0;
  std::vector<TSection> Sections;
};

std::set<std::string> DefExports() {
  std::istringstream def(ReadFile(KELDA_EXPORT_LIST));
  std::set<std::string> names;
  std::string line;
  bool inExports = false;
  while (std::getline(def, line)) {
    std::istringstream words(line);
    std::string word;
    if (!(words >> word)) continue;
    if (word == "EXPORTS") {
      inExports = true;
      continue;
    }
    if (inExports) names.insert(word);
  }
  return names;
}

}  // namespace

TEST(LibraryFile, ExportsExactlyTheEntryPointsAndNeedsOnlySystemLibraries) {
  std::set<std::string> expected = DefExports();
  ASSERT_EQ(expected.size(), 8u);
  TKeldaHost host(KELDA_LIBRARY_PATH);  // every entry point is found by its undecorated name
  if (std::string(KELDA_LIBRARY_FORMAT) == "ELF") {
    for (const std::string& name : expected)
      EXPECT_NE(platform::FindExport(host.Library(), name.c_str()), nullptr);
    EXPECT_EQ(
        platform::FindExport(host.Library(), "_ZN5kelda23zorCreatePluginInstanceEPNS_14TPluginCallRecE"),
        nullptr)
        << "the framework's own functions stay inside the library";
    return;
  }
  TPeFile dll(ReadFile(KELDA_LIBRARY_PATH));
  EXPECT_EQ(dll.Exports(), expected);
  const std::set<std::string> system = {"kernel32.dll", "user32.dll",  "advapi32.dll", "oleaut32.dll",
                                        "ole32.dll",    "version.dll", "shell32.dll",  "msvcrt.dll",
                                        "gdi32.dll",    "ws2_32.dll"};
  for (const std::string& dll : dll.Imports())
    EXPECT_TRUE(system.count(dll)) << dll << " is not a system library";
}
