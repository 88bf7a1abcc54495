#include "Plugins/zorPluginModule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "Common/Exceptions.h"
#include "platform/Tick.h"
#include "tests/Plugins/PluginTestKit.h"

using namespace kelda;
using namespace kelda::test;

namespace {

// The boundary records are packed: assertions get copies of their fields, never references.
template <class T>
T Copy(T value) {
  return value;
}

class FrameworkTest : public ::testing::Test {
protected:
  void SetUp() override {
    FInstance = CreateInstance();
    ASSERT_NE(FInstance, 0u);
  }
  void TearDown() override {
    if (FInstance) FreeInstance(FInstance);
  }
  TzorPlugin* Plugin() { return Instance(FInstance); }
  uintptr_t FInstance = 0;
};

}  // namespace

TEST(PluginLifecycle, CreateFreeAndShutdownMarker) {
  TPluginCallRec record = NewRecord(0x1234);
  int before = PluginInstances()->Count();
  EXPECT_EQ(zorCreatePluginInstance(&record), -1) << "a record that already names an instance";
  EXPECT_EQ(PluginInstances()->Count(), before);

  uintptr_t instance = CreateInstance();
  ASSERT_NE(instance, 0u);
  EXPECT_EQ(Instance(instance)->SelfHandle, instance);
  EXPECT_EQ(PluginInstances()->Count(), before + 1);
  EXPECT_EQ(FreeInstance(0xDEAD0000), -1) << "unknown handle";
  EXPECT_EQ(PluginInstances()->Count(), before + 1);
  EXPECT_EQ(FreeInstance(instance), 0);
  EXPECT_EQ(FreeInstance(instance), -1) << "freed twice";
  EXPECT_EQ(PluginInstances()->Count(), before);

  // A freed handle is refused by every entry point without touching memory.
  THostList list;
  list.Add("COMMAND", "LOAD");
  EXPECT_EQ(RunCommand(instance, list).Code, -1);
  TPluginCallRec data = NewRecord(instance);
  data.Params = list.Pointer();
  EXPECT_EQ(zorProcessData(&data), -1);
  EXPECT_EQ(zorGetLogEx(&data), 0);
  uint32_t required = 99;
  EXPECT_FALSE(zorGetModuleInfo(&data, nullptr, &required));
  EXPECT_EQ(required, 0u);

  static std::atomic<int> shutdownRuns{0};
  AddShutdownProc([] { shutdownRuns++; });
  AddShutdownProc([] { throw Exception("swallowed"); });
  AddShutdownProc([] { shutdownRuns += 10; });
  TPluginCallRec marker = NewRecord();
  marker.DataIn.Kind = kDataKindMarker;
  marker.DataIn.Value = kShutdownMarker;
  EXPECT_EQ(zorFreePluginInstance(&marker), 0);
  EXPECT_EQ(shutdownRuns.load(), 11) << "every procedure runs, a failing one does not stop the rest";
  EXPECT_EQ(zorFreePluginInstance(&marker), 0);
  EXPECT_EQ(shutdownRuns.load(), 11) << "a second marker finds no procedures";
}

TEST_F(FrameworkTest, ModuleInfoReportsSizeThenFills) {
  Plugin()->Description = "Pr\xE4sse";  // 8-bit text leaves as UTF-8
  Plugin()->ModuleType = 0x03;
  Plugin()->ModuleOptions = 0xFF;
  TPluginCallRec record = NewRecord(FInstance);
  uint32_t required = 0;
  EXPECT_FALSE(zorGetModuleInfo(&record, nullptr, &required));
  EXPECT_EQ(required, 33u + 7u);

  std::vector<unsigned char> buffer(required + 8, 0xCC);
  auto* info = reinterpret_cast<TPluginModuleInfo*>(buffer.data());
  info->BufferSize = required - 1;
  EXPECT_FALSE(zorGetModuleInfo(&record, info, &required));
  EXPECT_EQ(Copy(info->BufferSize), required - 1) << "the size field is kept";
  EXPECT_EQ(Copy(info->ModuleKind), 0x00070003u);
  EXPECT_EQ(Copy(info->InterfaceVersionNumber), 4u);
  EXPECT_FLOAT_EQ(Copy(info->InterfaceVersion), 4.0f);
  EXPECT_EQ(Copy(info->InfoKind), 1);
  EXPECT_EQ(Copy(info->DescriptionLength), 0u) << "one byte short: header only";
  EXPECT_EQ(buffer[33], 0xCC);

  info->BufferSize = required;
  EXPECT_TRUE(zorGetModuleInfo(&record, info, &required));
  EXPECT_EQ(Copy(info->DescriptionLength), 7u);
  EXPECT_EQ(Copy(info->DescriptionAddress), reinterpret_cast<uintptr_t>(buffer.data() + 33));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data() + 33), 7), "Pr\xC3\xA4sse");
  EXPECT_EQ(Copy(info->CustomCommandsLength), 0u) << "no custom commands: no length and no address";
  EXPECT_EQ(Copy(info->CustomCommandsAddress), 0u);

  Plugin()->CustomCommands->AddFromText("a|b|c|1|0\r\n");
  EXPECT_FALSE(zorGetModuleInfo(&record, info, &required)) << "the buffer no longer fits";
  buffer.assign(required, 0);
  info = reinterpret_cast<TPluginModuleInfo*>(buffer.data());
  info->BufferSize = required;
  EXPECT_TRUE(zorGetModuleInfo(&record, info, &required));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(info->CustomCommandsAddress), info->CustomCommandsLength),
            "a|b|c|1|0\r\n");
  EXPECT_EQ(Copy(info->CustomCommandsAddress), info->DescriptionAddress + 7);
}

TEST_F(FrameworkTest, BadCallRecordsAreRefused) {
  THostList list;
  list.Add("COMMAND", "LOAD");
  TPluginCallRec record = NewRecord(FInstance);
  record.Params = list.Pointer();
  record.Size = 101;
  EXPECT_EQ(zorExecutePluginCommand(&record), -1);
  EXPECT_EQ(zorProcessData(&record), -1);
  record.Size = kCallRecSize;
  record.Params = nullptr;
  EXPECT_EQ(zorExecutePluginCommand(&record), -1);
  EXPECT_EQ(zorProcessData(&record), -1);
  EXPECT_EQ(zorExecutePluginCommand(nullptr), -1);
  EXPECT_EQ(zorProcessData(nullptr), -1);

  THostList noCommand;
  noCommand.Add("PARAM", "x");
  EXPECT_EQ(RunCommand(FInstance, noCommand).Code, -1);
  THostList nullCommand;
  nullCommand.Add("COMMAND", TVariant::Adopt(VariantNull()).Raw());
  EXPECT_EQ(RunCommand(FInstance, nullCommand).Code, -1);
  EXPECT_EQ(Plugin()->LoadCount.load(), 0);
  EXPECT_EQ(FetchLogText(FInstance), "") << "refusals are not failures";
}

TEST_F(FrameworkTest, CommandWordsAreCaseSensitiveAndGoToOnCommand) {
  EXPECT_EQ(RunCommand(FInstance, "load").Code, -2) << "no handler for the word";
  EXPECT_EQ(Plugin()->LoadCount.load(), 0);
  std::string seen;
  Plugin()->OnCommand = [&](TzorPlugin*, const std::string& word, int& result, TPluginCallRecIntft& record) {
    seen = word;
    result = 7;
    record.SetValue("RESULT", TVariant::Adopt(VariantFromText("answered")).Raw());
  };
  TCommandOutcome outcome = RunCommand(FInstance, "load");
  EXPECT_EQ(outcome.Code, 7);
  EXPECT_EQ(seen, "load");
  EXPECT_EQ(outcome.Result.ToText(), "answered");

  // RESULT is only ever written, never added.
  THostList list;
  list.Add("COMMAND", "EVENTS-SUPPORT");
  Plugin()->EventsSupported = "PORT-OPEN";
  EXPECT_EQ(RunCommand(FInstance, list).Code, 0);
  EXPECT_EQ(list.List()->IndexOf("RESULT"), -1);
}

TEST_F(FrameworkTest, FailuresAreLoggedWithTheirContext) {
  Plugin()->OnCommand = [](TzorPlugin*, const std::string&, int&, TPluginCallRecIntft&) {
    throw Exception("bad\r\nthing");
  };
  Plugin()->OnLoad = [](TzorPlugin*, TPluginCallRecIntft&, int&) { throw Exception("no settings"); };
  Plugin()->OnEvent = [](TzorPlugin*, const std::string&, int&, TPluginCallRecIntft&) {
    throw Exception("event broke");
  };
  Plugin()->LogTitle = "GE";
  EXPECT_EQ(RunCommand(FInstance, "CUSTOM-WORD").Code, -3);
  EXPECT_EQ(RunCommand(FInstance, "LOAD").Code, -3);
  THostList event;
  event.Add("COMMAND", "EVENT").Add("EVENT-TYPE", "PORT-OPEN");
  EXPECT_EQ(RunCommand(FInstance, event).Code, -3);
  THostList noType;
  noType.Add("COMMAND", "EVENT");
  EXPECT_EQ(RunCommand(FInstance, noType).Code, -1);
  THostList badFlag;
  badFlag.Add("COMMAND", "LOAD").Add("TEMPORARY-LOAD", "maybe");
  EXPECT_EQ(RunCommand(FInstance, badFlag).Code, -3) << "fails before the word is read";

  auto lines = FetchLog(FInstance);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[3].first, 0);
  EXPECT_EQ(lines[3].second.substr(0, 11), "GE. {CMD?} ");
  EXPECT_EQ(lines[0], std::make_pair(0, std::string("GE. {CUSTOM-WORD} bad  thing")));
  EXPECT_EQ(lines[1], std::make_pair(0, std::string("GE. {LOAD} no settings")));
  EXPECT_EQ(lines[2], std::make_pair(0, std::string("GE. {EVENT} event broke")));
  EXPECT_EQ(Plugin()->CommandDepth.load(), 0) << "a failed command leaves the depth";
}

TEST_F(FrameworkTest, NestedCommandsAreRefusedWithoutALogLine) {
  int inner = 99;
  uintptr_t self = FInstance;
  Plugin()->OnCommand = [&](TzorPlugin*, const std::string& word, int& result, TPluginCallRecIntft&) {
    if (word == "OUTER") inner = RunCommand(self, "INNER").Code;
    result = 0;
  };
  EXPECT_EQ(RunCommand(FInstance, "OUTER").Code, 0);
  EXPECT_EQ(inner, -3);
  EXPECT_EQ(FetchLogText(FInstance), "");
  EXPECT_EQ(Plugin()->CommandDepth.load(), 0);
  EXPECT_EQ(RunCommand(FInstance, "INNER").Code, 0) << "the instance still takes commands";
}

TEST_F(FrameworkTest, LoadAndUnloadNest) {
  int loads = 0, unloads = 0, saves = 0;
  Plugin()->OnLoad = [&](TzorPlugin*, TPluginCallRecIntft&, int& result) {
    ++loads;
    result = -5;  // ignored: LOAD answers 0
  };
  Plugin()->OnUnload = [&](TzorPlugin*, TPluginCallRecIntft&, int&) {
    ++unloads;
    throw Exception("swallowed");
  };
  Plugin()->OnSaveSettingsNow = [&](TzorPlugin*) { ++saves; };
  THostList load;
  load.Add("COMMAND", "LOAD")
      .Add("REGISTRY-PATH", "Software\\A\\B\\Plant 7")
      .Add("INI-SECTION-PREFIX", "{x:CFG9}");
  load.Add("INI-FILE", "a.ini").Add("MSG-PROC-HANDLE", 0);
  TPluginCallRec record = NewRecord(FInstance);
  record.HostIndex = 42;
  record.Params = load.Pointer();
  EXPECT_EQ(zorExecutePluginCommand(&record), 0);
  EXPECT_EQ(RunCommand(FInstance, "LOAD").Code, 0);
  EXPECT_EQ(loads, 1);
  EXPECT_EQ(Plugin()->LoadCount.load(), 2);
  EXPECT_EQ(Plugin()->ModuleIndex, 42);
  EXPECT_EQ(Plugin()->INIFile, "a.ini");
  EXPECT_EQ(Plugin()->ModuleRegistryPath, "Software\\A\\B\\Plant 7");
  EXPECT_NE(Plugin()->LoadThreadId, 0u);

  EXPECT_EQ(RunCommand(FInstance, "UNLOAD").Code, 0);
  EXPECT_EQ(unloads, 0);
  EXPECT_FALSE(Plugin()->TerminateNow.load());
  Plugin()->StateFlags[3] = 1;
  THostList unload;
  unload.Add("COMMAND", "UNLOAD").Add("INI-FILE", "b.ini");
  EXPECT_EQ(RunCommand(FInstance, unload).Code, 0) << "a failing unload handler is swallowed";
  EXPECT_EQ(unloads, 1);
  EXPECT_EQ(saves, 1) << "a new INI file is saved to";
  EXPECT_EQ(Plugin()->INIFile, "b.ini");
  EXPECT_TRUE(Plugin()->TerminateNow.load());
  EXPECT_EQ(Plugin()->StateFlags[3], 0);
  EXPECT_EQ(RunCommand(FInstance, "UNLOAD").Code, 0);
  EXPECT_EQ(Plugin()->LoadCount.load(), 0) << "never below zero";
  EXPECT_EQ(unloads, 1);
  EXPECT_EQ(FetchLogText(FInstance), "");
}

TEST_F(FrameworkTest, LanguageRequestOnLoad) {
  int changes = 0;
  Plugin()->OnLanguageChanged = [&](TzorPlugin* self) {
    ++changes;
    if (self->Language == "FR") throw Exception("no French");
  };
  THostList same;
  same.Add("COMMAND", "LOAD").Add("LANGUAGE", "en");
  EXPECT_EQ(RunCommand(FInstance, same).Code, 0);
  EXPECT_EQ(changes, 0) << "the same language (any case) changes nothing";
  THostList german;
  german.Add("COMMAND", "LOAD").Add("LANGUAGE", "DE");
  EXPECT_EQ(RunCommand(FInstance, german).Code, 0);
  EXPECT_EQ(changes, 1) << "also on a nested LOAD";
  EXPECT_EQ(Plugin()->Language, "DE");
  THostList french;
  french.Add("COMMAND", "LOAD").Add("LANGUAGE", "FR");
  EXPECT_EQ(RunCommand(FInstance, french).Code, 0);
  EXPECT_EQ(Plugin()->Language, "FR");
  auto lines = FetchLog(FInstance);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].second, "{TRANSL} no French");
}

TEST_F(FrameworkTest, SetStateRecordsDataSourcesAndFlags) {
  uint8_t seenFlags = 0;
  Plugin()->OnChangeState = [&](TzorPlugin*, uint8_t flags) { seenFlags = flags; };
  THostList list;
  list.Add("COMMAND", "SET-STATE")
      .Add("DATA-SOURCES-IN-CFG",
           " 1 ; COM1 ;Line one\t\r\nname;2;3\r\n\r\n7;COM7\r\n4294967297;COM9\r\n2147483648;COM8")
      .Add("DATA-SOURCE-LOAD", "7")
      .Add("RESULT", 1);
  EXPECT_EQ(RunCommand(FInstance, list, 0x05).Code, 0);
  EXPECT_EQ(seenFlags, 0x05);
  ASSERT_EQ(Plugin()->ConfigDataSources.Count(), 2) << "identifiers beyond 32 bits are no numbers";
  const TConfigDataSource* one = Plugin()->FindDataSource(1);
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(one->Name, "COM1");
  EXPECT_EQ(one->FullName, "Line one");
  EXPECT_EQ(one->Text, " 1 ; COM1 ;Line one\t");
  EXPECT_EQ(Plugin()->FindDataSource(7)->FullName, "");
  EXPECT_EQ(Plugin()->DataSourceLoadFor, "7");
  EXPECT_EQ(Plugin()->StateFlags[0], 1);
  EXPECT_EQ(Plugin()->StateFlags[1], 0);
  EXPECT_EQ(Plugin()->StateFlags[2], 1);
  EXPECT_EQ(Plugin()->GetModuleParameter("ModuleEnabled").ToInt(), 5);

  THostList off;
  off.Add("COMMAND", "SET-STATE").Add("RESULT", 0);
  EXPECT_EQ(RunCommand(FInstance, off, 0x04).Code, 0);
  EXPECT_EQ(Plugin()->GetModuleParameter("ModuleEnabled").ToInt(), 1);
  THostList noResult;
  noResult.Add("COMMAND", "SET-STATE").Add("DATA-SOURCES-IN-CFG", "3;COM3;x");
  EXPECT_EQ(RunCommand(FInstance, noResult).Code, -1);
  EXPECT_EQ(Plugin()->ConfigDataSources.Count(), 1) << "the list is still taken";
}

TEST_F(FrameworkTest, SetStateSkipsDataSourceIdsBeyond32Bits) {
  THostList list;
  list.Add("COMMAND", "SET-STATE")
      .Add("DATA-SOURCES-IN-CFG",
           "1;COM1;One\r\n4294967297;COM9;Wraps to one\r\n-2147483649;COMX;x\r\n"
           "2147483647;COM2;Top\r\n-2147483648;COM3;Bottom")
      .Add("RESULT", 1);
  EXPECT_EQ(RunCommand(FInstance, list, 0x01).Code, 0);
  ASSERT_EQ(Plugin()->ConfigDataSources.Count(), 3);
  EXPECT_EQ(Plugin()->FindDataSource(1)->Name, "COM1") << "no other line under id 1";
  EXPECT_EQ(Plugin()->FindDataSource(2147483647)->Name, "COM2");
  EXPECT_EQ(Plugin()->FindDataSource(-2147483647 - 1)->Name, "COM3");
  EXPECT_EQ(Plugin()->FindDataSource(-1), nullptr);
}

TEST_F(FrameworkTest, ItemsAndSetItems) {
  int asked = 0;
  Plugin()->OnBeforeGetParserItems = [&](TzorPlugin* self) {
    ++asked;
    self->ClearParserItems();
    self->AddStandardParserItems(false);
  };
  THostList noResult;
  noResult.Add("COMMAND", "ITEMS");
  EXPECT_EQ(RunCommand(FInstance, noResult).Code, -1);
  EXPECT_EQ(asked, 0);
  TCommandOutcome items = RunCommand(FInstance, "ITEMS");
  EXPECT_EQ(items.Code, 0);
  EXPECT_EQ(asked, 1);
  ASSERT_EQ(Plugin()->ParserItemCount(), 6);
  EXPECT_EQ(Plugin()->ParserItems[5].Name, "DATA_SOURCE_FULL_NAME");
  EXPECT_EQ(items.Result.ToText().substr(0, 44), "Full data packet|FULL_DATA_PACKET|String|\r\nD");
  EXPECT_EQ(Plugin()->LastItemsText, items.Result.ToText());

  int set = 0;
  Plugin()->OnItemsSet = [&](TzorPlugin*) { ++set; };
  THostList notText;
  notText.Add("COMMAND", "SET-ITEMS").Add("ITEMS", 5);
  EXPECT_EQ(RunCommand(FInstance, notText).Code, -1);
  THostList setItems;
  setItems.Add("COMMAND", "SET-ITEMS")
      .Add("ITEMS", "Temp|T1|float\r\n\r\nPressure|P1|word|bar|extra\r\nshort\r\nA|B|C");
  EXPECT_EQ(RunCommand(FInstance, setItems).Code, 0);
  EXPECT_EQ(set, 1);
  ASSERT_EQ(Plugin()->ParserItemCount(), 2) << "reading stops at a line without a field separator";
  EXPECT_EQ(Plugin()->ParserItems[0].Name, "T1");
  EXPECT_EQ(Plugin()->ParserItems[0].Description, "Temp");
  EXPECT_EQ(Plugin()->ParserItems[0].Type, 5);
  EXPECT_EQ(Plugin()->ParserItems[1].Type, 7);
  EXPECT_EQ(Plugin()->ParserItems[1].Extra, "bar");
  EXPECT_EQ(Plugin()->ParserItemsText(), "Temp|T1|Float|\r\nPressure|P1|Word|bar");
  Plugin()->SetParserItemsText("X|Y|nosuchtype", false);
  EXPECT_EQ(Plugin()->ParserItems[2].Type, kParserItemNoType);
  EXPECT_EQ(Plugin()->ParserItemsText().substr(36), "\r\nX|Y||");
}

TEST_F(FrameworkTest, SettingsNowCommands) {
  std::vector<std::string> calls;
  Plugin()->INIFile = "own.ini";
  Plugin()->OnLoadSettingsNow = [&](TzorPlugin* self) { calls.push_back("load " + self->INIFile); };
  Plugin()->OnSaveSettingsNow = [&](TzorPlugin* self) { calls.push_back("save " + self->INIFile); };
  THostList loadNoSave;
  loadNoSave.Add("COMMAND", "LOAD-SETTINGS-NOW").Add("INI-FILE", "other.ini").Add("NO-SAVE", 1);
  EXPECT_EQ(RunCommand(FInstance, loadNoSave).Code, -2);
  THostList load;
  load.Add("COMMAND", "LOAD-SETTINGS-NOW").Add("INI-FILE", "other.ini").Add("NO-SAVE", "0");
  EXPECT_EQ(RunCommand(FInstance, load).Code, -2);
  THostList save;
  save.Add("COMMAND", "SAVE-SETTINGS-NOW").Add("INI-FILE", "export.ini");
  EXPECT_EQ(RunCommand(FInstance, save).Code, -2);
  THostList emptyNoSave;
  emptyNoSave.Add("COMMAND", "SAVE-SETTINGS-NOW").Add("INI-FILE", "empty.ini").Add("NO-SAVE", "");
  EXPECT_EQ(RunCommand(FInstance, emptyNoSave).Code, -2);
  EXPECT_EQ(calls, (std::vector<std::string>{"load other.ini", "load other.ini", "save own.ini",
                                             "save export.ini", "save empty.ini"}))
      << "an empty NO-SAVE does not keep the settings from being saved";
  EXPECT_EQ(Plugin()->INIFile, "own.ini");
}

TEST_F(FrameworkTest, LogFoldsRepeatsTrimsAndHandsOver) {
  Plugin()->AddLog(1, "same");
  Plugin()->AddLog(1, "same");
  Plugin()->AddLog(1, "same");
  Plugin()->AddLog(2, "other\r\nline");
  Plugin()->AddLog(2, "tail");
  Plugin()->AddLog(2, "tail");
  std::string expected = "\x02same x3\r\n\x03other  line\r\n\x03tail x2\r\n";

  // One byte short: nothing handed over, the needed length reported, the lines kept.
  std::vector<char> buffer(expected.size());
  TPluginCallRec record = NewRecord(FInstance);
  record.DataIn.Size = static_cast<int32_t>(expected.size() - 1);
  record.DataIn.Value = reinterpret_cast<uintptr_t>(buffer.data());
  EXPECT_EQ(zorGetLogEx(&record), 0);
  EXPECT_EQ(Copy(record.DataOut.Kind), kDataKindInteger);
  EXPECT_EQ(Copy(record.DataOut.Value), expected.size());
  Plugin()->AddLog(2, "tail");  // after a fold the count starts afresh: no second suffix
  expected += "\x03tail\r\n";
  buffer.resize(expected.size());
  record = NewRecord(FInstance);
  record.DataIn.Size = static_cast<int32_t>(expected.size());
  record.DataIn.Value = reinterpret_cast<uintptr_t>(buffer.data());
  EXPECT_EQ(zorGetLogEx(&record), static_cast<int32_t>(expected.size()));
  EXPECT_EQ(std::string(buffer.data(), buffer.size()), expected);
  EXPECT_EQ(zorGetLogEx(&record), 0) << "handed over once";

  Plugin()->AddLog(0, "discarded");
  record = NewRecord(FInstance);
  EXPECT_EQ(zorGetLogEx(&record), 0) << "zero capacity discards";
  EXPECT_EQ(Copy(record.DataOut.Value), 12u);
  EXPECT_EQ(FetchLogText(FInstance), "");

  Plugin()->AddLog(0, "no buffer");
  record = NewRecord(FInstance);
  record.DataIn.Size = 100;  // a capacity without a buffer is not written to
  EXPECT_EQ(zorGetLogEx(&record), 0);
  EXPECT_EQ(FetchLogText(FInstance), std::string("\x01no buffer\r\n"));
}

TEST(PluginLog, TrimsTheOldestLineBeyondMaxLines) {
  TLogDataList log(51200);
  for (int i = 0; i < 51201; ++i) log.AddLine("line " + std::to_string(i));
  EXPECT_EQ(log.Count(), 51200);
  uint32_t length = 0;
  std::vector<char> buffer(2 << 20);
  int32_t copied = log.HandOver(buffer.data(), static_cast<int32_t>(buffer.size()), length);
  std::string text(buffer.data(), static_cast<std::size_t>(copied));
  EXPECT_EQ(text.substr(0, 8), "line 1\r\n");
  EXPECT_EQ(text.substr(text.size() - 12), "line 51200\r\n");

  log.KeepAll = 1;
  for (int i = 0; i < 51205; ++i) log.AddLine("kept " + std::to_string(i));
  EXPECT_EQ(log.Count(), 51205);
}

namespace {

// Handlers for the data path: deliver the packets named in the port bytes (";"-separated).
void DeliverPackets(TzorPlugin* self, TPluginCallRecIntft& record, int& result) {
  TPluginCallRec* rec = record.Rec;
  std::string bytes(reinterpret_cast<const char*>(rec->DataIn.Value),
                    static_cast<std::size_t>(rec->DataIn.Size));
  std::size_t start = 0;
  while (start <= bytes.size()) {
    std::size_t end = bytes.find(';', start);
    if (end == std::string::npos) end = bytes.size();
    TParsedDataList packet;
    packet.PacketText = bytes.substr(start, end - start);
    self->AddStandardFields(&packet, &packet.PacketText, "", "Line one", "COM1", 0, rec->DataSourceId,
                            nullptr);
    packet.Add("VALUE", TVariant::Adopt(VariantFromInt(static_cast<int32_t>(start))).Raw());
    packet.AddNewRow();
    self->SendParsedData(record, &packet, true);
    ++result;
    start = end + 1;
  }
}

struct TDataCall {
  int32_t Code;
  TPluginCallRec Record;
  std::string PacketText;
};

TDataCall CallData(uintptr_t instance, uint8_t flags, const std::string* bytes, TzorParamsList* out) {
  THostList params;
  TDataCall call{0, NewRecord(instance), {}};
  call.Record.Flags = flags;
  call.Record.DataSourceId = 3;
  call.Record.Params = params.Pointer();
  if (bytes) {
    call.Record.DataIn.Size = static_cast<int32_t>(bytes->size());
    call.Record.DataIn.Value = reinterpret_cast<uintptr_t>(bytes->data());
  }
  if (out) {
    call.Record.DataOut.Kind = kDataKindList;
    call.Record.DataOut.Value = reinterpret_cast<uintptr_t>(out);
  }
  call.Code = zorProcessData(&call.Record);
  if (call.Record.DataIn.Kind == kDataKindModuleBuffer && call.Record.DataIn.Value) {
    call.PacketText.assign(reinterpret_cast<char*>(call.Record.DataIn.Value),
                           static_cast<std::size_t>(call.Record.DataIn.Size));
    FreePluginBuffer(reinterpret_cast<void*>(call.Record.DataIn.Value));
  }
  return call;
}

}  // namespace

TEST_F(FrameworkTest, DataCallsDeliverPackets) {
  Plugin()->OnProcessData = DeliverPackets;
  TzorParamsList out;
  std::string bytes = "first packet text;second packet text;x;y";
  TDataCall call = CallData(FInstance, kDataFlagPortBytes, &bytes, &out);
  EXPECT_EQ(call.Code, 4);
  EXPECT_EQ(Copy(call.Record.DataOut.Count), 4);
  EXPECT_EQ(call.PacketText, "first packet text<{[::]}>second packet text<{[::]}>x<{[::]}>y")
      << "short packets are separated as well";
  // Short packets that come first, up to the separator's own length, are followed by it too.
  for (const std::string first : {"x", "12345678", "<{[::]}"}) {
    TzorParamsList rows;
    std::string shortFirst = first + ";y;a longer packet text;z";
    EXPECT_EQ(CallData(FInstance, kDataFlagPortBytes, &shortFirst, &rows).PacketText,
              first + "<{[::]}>y<{[::]}>a longer packet text<{[::]}>z");
  }
  EXPECT_EQ(Copy(call.Record.DataOut.Kind), kDataKindList) << "the host's list object comes back";
  EXPECT_EQ(Copy(call.Record.DataOut.Value), reinterpret_cast<uintptr_t>(&out));
  EXPECT_EQ(Copy(call.Record.CallFlags), 0);
  int markers = 0;
  for (int i = 0; i < out.Count(); ++i) markers += out.Items(i)->IsNewRow() ? 1 : 0;
  EXPECT_EQ(markers, 4);
  EXPECT_EQ(out.Items(0)->Name, "FULL_DATA_PACKET");
  EXPECT_EQ(out.GetValue("DATA_SOURCE_ID").ToInt(), 3);
  EXPECT_EQ(out.GetValue("DATA_SOURCE_NAME").ToText(), "COM1");
  EXPECT_EQ(out.GetValue("DATE_TIME_STAMP").Type(), VT_DATE);
  EXPECT_GT(out.GetValue("DATE_TIME_STAMP").ToDouble(), 45000.0) << "a date after 2023";
  EXPECT_EQ(out.IndexOf("VALUE", out.IndexOf("VALUE") + 1), 12) << "rows follow each other";

  // Flags 0: nothing happens and the host's pointer comes back cleared.
  TDataCall idle = CallData(FInstance, 0, &bytes, &out);
  EXPECT_EQ(idle.Code, 0);
  EXPECT_EQ(Copy(idle.Record.DataIn.Value), 0u);
  EXPECT_EQ(Copy(idle.Record.DataOut.Count), 0);
}

TEST_F(FrameworkTest, DataCallMessagesAndFailures) {
  int handled = 0;
  Plugin()->OnProcessData = [&](TzorPlugin*, TPluginCallRecIntft& record, int& result) {
    ++handled;
    if (record.Rec->DataIn.Size == 3) throw Exception("bad frame");
    result = record.Rec->DataIn.Size == 4 ? -1 : 1;
  };
  TDataCall noData = CallData(FInstance, kDataFlagWrite, nullptr, nullptr);
  EXPECT_EQ(noData.Code, 0);
  EXPECT_EQ(handled, 0);
  std::string four = "abcd", three = "abc", five = "abcde";
  EXPECT_EQ(CallData(FInstance, kDataFlagWrite, &four, nullptr).Code, -1);
  EXPECT_EQ(CallData(FInstance, kDataFlagWriteReport, &five, nullptr).Code, 1);
  EXPECT_EQ(CallData(FInstance, kDataFlagPortBytes, &three, nullptr).Code, -3);
  auto lines = FetchLog(FInstance);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], std::make_pair(1, std::string("No data for processing")));
  EXPECT_EQ(lines[1], std::make_pair(1, std::string("Data have been processed with errors")));
  EXPECT_EQ(lines[2], std::make_pair(2, std::string("Data have been processed successfully")));
  EXPECT_EQ(lines[3], std::make_pair(1, std::string("Data have been processed with errors: bad frame")));

  // Without a handler the echo flag hands DataIn back in DataOut.
  Plugin()->OnProcessData = nullptr;
  TDataCall echo = CallData(FInstance, kDataFlagEcho, &five, nullptr);
  EXPECT_EQ(echo.Code, 0);
  EXPECT_EQ(Copy(echo.Record.DataOut.Value), reinterpret_cast<uintptr_t>(five.data()));
  EXPECT_EQ(Copy(echo.Record.DataOut.Size), 5);

  // A terminating instance takes no more data.
  Plugin()->TerminateNow = true;
  EXPECT_EQ(CallData(FInstance, kDataFlagPortBytes, &five, nullptr).Code, -1);
}

TEST_F(FrameworkTest, EmptyListCountsAsNoDataAndGetsARowMarker) {
  int handled = 0;
  Plugin()->OnProcessData = [&](TzorPlugin*, TPluginCallRecIntft&, int&) { ++handled; };
  THostList params;
  TzorParamsList in;
  TPluginCallRec record = NewRecord(FInstance);
  record.Flags = kDataFlagWrite;
  record.Params = params.Pointer();
  record.DataIn.Kind = kDataKindList;
  record.DataIn.Value = reinterpret_cast<uintptr_t>(&in);
  EXPECT_EQ(zorProcessData(&record), 0);
  EXPECT_EQ(handled, 0) << "an empty list is no data";
  in.Add("A", TVariant::Adopt(VariantFromInt(1)).Raw());
  record.DataIn.Kind = kDataKindList;
  record.DataIn.Value = reinterpret_cast<uintptr_t>(&in);
  EXPECT_EQ(zorProcessData(&record), 0);
  EXPECT_EQ(handled, 1);
  ASSERT_EQ(in.Count(), 2);
  EXPECT_TRUE(in.Items(1)->IsNewRow());
  EXPECT_EQ(Copy(record.DataIn.Value), 0u) << "the converted reference does not outlive the call";
}

TEST_F(FrameworkTest, ModuleParameters) {
  TzorPlugin* p = Plugin();
  p->AddStandardParserItems(true);
  EXPECT_EQ(p->GetModuleParameter("ParserItemName0").ToText(), "FULL_DATA_PACKET");
  EXPECT_TRUE(p->GetModuleParameter("parseritemname0").IsEmpty()) << "the indexed names are exact";
  EXPECT_EQ(p->GetModuleParameter("ParserItemType6").ToInt(), 8);
  EXPECT_EQ(p->GetModuleParameter("ParserItemDesc2").ToText(), "Datetime stamp");
  EXPECT_TRUE(p->GetModuleParameter("ParserItemNamex").IsEmpty());
  EXPECT_TRUE(p->GetModuleParameter("ParserItemName99").IsEmpty());
  EXPECT_EQ(p->GetModuleParameter("parseritemscount").ToInt(), 7);
  // The indexes end one before the count: the last item answers, the count itself does not.
  EXPECT_FALSE(p->GetModuleParameter("ParserItemName6").IsEmpty());
  for (const char* prefix : {"ParserItemName", "ParserItemDesc", "ParserItemType"}) {
    EXPECT_TRUE(p->GetModuleParameter(prefix + std::string("7")).IsEmpty()) << prefix;
    EXPECT_TRUE(p->GetModuleParameter(prefix + std::string("-1")).IsEmpty()) << prefix;
  }
  EXPECT_TRUE(p->GetModuleParameter("NoSuchParameter").IsEmpty());

  EXPECT_TRUE(p->SetModuleParameter("Custom:X", TVariant::Adopt(VariantFromInt(5)).Raw()));
  EXPECT_TRUE(p->SetModuleParameter("Custom Y", TVariant::Adopt(VariantFromText("y")).Raw()));
  EXPECT_EQ(p->GetModuleParameter("CustomCOUNT").ToInt(), 2);
  EXPECT_EQ(p->GetModuleParameter("Custom_X").ToInt(), 5);
  EXPECT_EQ(p->GetModuleParameter("Custom1").ToText(), "y") << "a short number is an index";
  EXPECT_TRUE(p->GetModuleParameter("Custom:Missing").IsNull());
  EXPECT_TRUE(p->SetModuleParameter("Custom0", TVariant::Adopt(VariantFromInt(6)).Raw()));
  EXPECT_EQ(p->GetModuleParameter("CustomX").ToInt(), 6);
  EXPECT_TRUE(p->SetModuleParameter("CustomCOUNT", TVariant().Raw()));
  EXPECT_EQ(p->GetModuleParameter("CustomCOUNT").ToInt(), 0);
  EXPECT_FALSE(p->SetModuleParameter("Custom", TVariant().Raw())) << "an empty key names nothing";

  const std::string commands = "Reset|RESET-COUNTERS|Resets the counters|1|0\r\n";
  EXPECT_TRUE(p->SetModuleParameter("CustomCommands", TVariant::Adopt(VariantFromText(commands)).Raw()));
  EXPECT_TRUE(p->SetModuleParameter("customcommands", TVariant::Adopt(VariantFromText(commands)).Raw()));
  EXPECT_EQ(p->GetModuleParameter("CustomCommands").ToText(), commands + commands);

  EXPECT_FALSE(p->SetModuleParameter("ModuleType", TVariant::Adopt(VariantFromText("three")).Raw()));
  EXPECT_TRUE(p->SetModuleParameter("ModuleType", TVariant::Adopt(VariantFromInt(0x1FF)).Raw()));
  EXPECT_EQ(p->GetModuleParameter("ModuleType").ToInt(), 0xFF);
  EXPECT_FALSE(p->SetModuleParameter("ModuleType", TVariant().Raw())) << "empty is not a number";
  EXPECT_FALSE(p->SetModuleParameter("ModuleType", TVariant::Adopt(VariantNull()).Raw()));
  EXPECT_FALSE(p->SetModuleParameter("ModuleType", TVariant::Adopt(VariantFromText("")).Raw()));
  EXPECT_EQ(p->GetModuleParameter("ModuleType").ToInt(), 0xFF) << "a refused value leaves the type";
  EXPECT_TRUE(p->SetModuleParameter("SUBSCRIBE-FOR-DATA", TVariant::Adopt(VariantFromText("true")).Raw()));
  EXPECT_TRUE(p->SubscribeForData);
  EXPECT_FALSE(
      p->SetModuleParameter("TranslatorComponentProperties", TVariant::Adopt(VariantFromText("A;B")).Raw()))
      << "no translator in this build";
  EXPECT_FALSE(p->SetModuleParameter("ModulePath", TVariant::Adopt(VariantFromText("x")).Raw()));
  EXPECT_FALSE(p->GetModuleParameter("TESTTRANSL").ToBool());
  std::string version = p->GetModuleParameter("DisplayFullVersion").ToText();
  EXPECT_EQ(std::count(version.begin(), version.end(), '.'), 3) << version;
  EXPECT_EQ(p->GetModuleParameter("ModuleRegistryRoot1").ToInt(), 2);
}

TEST_F(FrameworkTest, DerivedFolders) {
  TzorPlugin* p = Plugin();
  p->INISectionPrefix = "Prefix{Plant:CFG 12}tail}";
  EXPECT_EQ(p->ModuleConfigId(), "CFG 12");
  p->INISectionPrefix = "plain";
  EXPECT_EQ(p->ModuleConfigId(), "plain");

  char d = platform::PathDelimiter();
  p->ModuleRegistryPath = "Software\\Vendor\\Logger\\COM1 a/b\\Kelda";
  std::string appData = p->AppDataPath();
  std::string expectedTail = std::string(1, d) + "_COM1 a b" + d;
  ASSERT_GE(appData.size(), expectedTail.size());
  EXPECT_EQ(appData.substr(appData.size() - expectedTail.size()), expectedTail);

  p->INISectionPrefix = "{x:7}";
  p->Description = "GE: PLC <serial>\r\nsecond line";
  EXPECT_EQ(p->ModuleDataPath(), appData + "7" + d + "GE- PLC -serial-" + d);
  p->Description = "";
  p->ModuleName = "Kelda.DLL";
  EXPECT_EQ(p->ModuleDataPath(), appData + "7" + d + "kelda" + d);
}

static int32_t captured[5];
static int32_t KELDA_STDCALL CaptureSend(int32_t a, int32_t b, int32_t c, int32_t d, int32_t e,
                                         const void* data, int32_t count) {
  captured[0] = a, captured[1] = b, captured[2] = c, captured[3] = d, captured[4] = e;
  return count == 3 && static_cast<const unsigned char*>(data)[2] == 3 ? 3 : -9;
}

TEST_F(FrameworkTest, SendToHostWithoutCallbackAnswersMinusOne) {
  unsigned char frame[3] = {1, 2, 3};
  EXPECT_EQ(Plugin()->SendDataToHost(1, frame, 3), -1);
  Plugin()->ModuleIndex = 9;
  Plugin()->DataLogger_SendDataEx = CaptureSend;
  EXPECT_EQ(Plugin()->SendDataToHost(4, frame, 3), 3);
  EXPECT_EQ(std::vector<int32_t>(captured, captured + 5), (std::vector<int32_t>{9, 4, 0, 0, 129}));
}

TEST(PluginClassReference, ReplacesTheInstantiatedClass) {
  static int made = 0;
  TPluginClassScope scope([](TPluginCallRecIntft* record, platform::ModuleHandle dll) -> TzorPlugin* {
    ++made;
    auto* plugin = new TzorPlugin(record, dll);
    plugin->LogTitle = "Made";
    return plugin;
  });
  THostList params;
  params.Add("TEMPORARY-LOAD", "true");
  TPluginCallRec record = NewRecord();
  record.Params = params.Pointer();
  ASSERT_EQ(zorCreatePluginInstance(&record), 0);
  EXPECT_EQ(made, 1);
  EXPECT_EQ(Instance(record.Instance)->LogTitle, "Made");
  EXPECT_TRUE(Instance(record.Instance)->IsTemporaryLoad);
  EXPECT_EQ(Copy(record.CallFlags), 0) << "restored after the call";
  EXPECT_EQ(FreeInstance(record.Instance), 0);

  TPluginClassScope failing(
      [](TPluginCallRecIntft*, platform::ModuleHandle) -> TzorPlugin* { throw Exception("cannot build"); });
  record = NewRecord();
  EXPECT_EQ(zorCreatePluginInstance(&record), -1);
  EXPECT_EQ(Copy(record.Instance), 0u);
}

TEST(PluginConcurrency, CommandsDataCallsAndLogFromManyThreads) {
  uintptr_t instance = CreateInstance();
  ASSERT_NE(instance, 0u);
  TzorPlugin* plugin = Instance(instance);
  std::atomic<int> commandsInside{0};
  std::atomic<bool> overlapped{false};
  plugin->OnCommand = [&](TzorPlugin* self, const std::string& word, int& result, TPluginCallRecIntft&) {
    if (commandsInside.fetch_add(1) != 0) overlapped = true;
    self->AddLog(2, word);
    commandsInside.fetch_sub(1);
    result = 0;
  };
  plugin->OnProcessData = [](TzorPlugin* self, TPluginCallRecIntft& record, int& result) {
    std::string bytes(reinterpret_cast<const char*>(record.Rec->DataIn.Value),
                      static_cast<std::size_t>(record.Rec->DataIn.Size));
    self->AddLog(1, bytes);
    result = 1;
  };
  constexpr int kThreads = 4, kCalls = 200;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  std::set<std::string> collected;
  std::mutex collectedLock;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        std::string tag = "T" + std::to_string(t) + "-" + std::to_string(i);
        if (RunCommand(instance, "CMD-" + tag).Code != 0) failures++;
        std::string bytes = "DATA-" + tag;
        THostList params;
        TPluginCallRec record = NewRecord(instance);
        record.Flags = kDataFlagPortBytes;
        record.Params = params.Pointer();
        record.DataIn.Size = static_cast<int32_t>(bytes.size());
        record.DataIn.Value = reinterpret_cast<uintptr_t>(bytes.data());
        if (zorProcessData(&record) != 1) failures++;
        if (i % 16 == 0) {
          std::string text = FetchLogText(instance);
          std::lock_guard guard(collectedLock);
          for (std::size_t s = 0; s < text.size();) {
            std::size_t e = text.find("\r\n", s);
            collected.insert(text.substr(s + 1, e - s - 1));
            s = e + 2;
          }
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::string text = FetchLogText(instance);
  for (std::size_t s = 0; s < text.size();) {
    std::size_t e = text.find("\r\n", s);
    collected.insert(text.substr(s + 1, e - s - 1));
    s = e + 2;
  }
  EXPECT_EQ(failures.load(), 0);
  EXPECT_FALSE(overlapped.load()) << "commands on one instance never overlap";
  EXPECT_EQ(collected.size(), static_cast<std::size_t>(2 * kThreads * kCalls)) << "no log line lost";
  EXPECT_FALSE(plugin->ProcessBusy());
  EXPECT_EQ(FreeInstance(instance), 0);
}

TEST(PluginConcurrency, FreeWhileADataCallRunsWaitsForItToEnd) {
  uintptr_t instance = CreateInstance();
  ASSERT_NE(instance, 0u);
  std::atomic<bool> inside{false}, release{false};
  Instance(instance)->OnProcessData = [&](TzorPlugin* self, TPluginCallRecIntft&, int& result) {
    inside = true;
    while (!release) std::this_thread::yield();
    self->AddLog(2, "still alive");  // the instance must not be gone under the running call
    result = 5;
  };
  int32_t code = 0;
  std::thread data([&] {
    THostList params;
    std::string bytes = "x";
    TPluginCallRec record = NewRecord(instance);
    record.Flags = kDataFlagPortBytes;
    record.Params = params.Pointer();
    record.DataIn.Size = 1;
    record.DataIn.Value = reinterpret_cast<uintptr_t>(bytes.data());
    code = zorProcessData(&record);
  });
  while (!inside) std::this_thread::yield();
  EXPECT_EQ(FreeInstance(instance), 0);
  EXPECT_EQ(RunCommand(instance, "LOAD").Code, -1) << "gone from the registry at once";
  release = true;
  data.join();
  EXPECT_EQ(code, 5);
}

namespace {

std::atomic<uint64_t> gFakeTick{0};
uint64_t FakeTick() {
  return gFakeTick.fetch_add(10000);
}  // every look at the clock: 10 s later

int32_t StartDataCall(uintptr_t instance) {
  THostList params;
  std::string bytes = "x";
  TPluginCallRec record = NewRecord(instance);
  record.Flags = kDataFlagPortBytes;
  record.Params = params.Pointer();
  record.DataIn.Size = 1;
  record.DataIn.Value = reinterpret_cast<uintptr_t>(bytes.data());
  return zorProcessData(&record);
}

}  // namespace

TEST(PluginConcurrency, DataCallOnATerminatingBusyInstanceWaitsThenRefuses) {
  uintptr_t instance = CreateInstance();
  ASSERT_NE(instance, 0u);
  TzorPlugin* plugin = Instance(instance);
  std::atomic<bool> inside{false}, release{false}, finished{false};
  plugin->OnProcessData = [&](TzorPlugin*, TPluginCallRecIntft&, int& result) {
    inside = true;
    while (!release) std::this_thread::yield();
    result = 1;
    finished = true;
  };
  int32_t first = 0;
  std::thread running([&] { first = StartDataCall(instance); });
  while (!inside) std::this_thread::yield();
  plugin->TerminateNow = true;

  // The wait is bounded: with a clock that races ahead the second call gives up at once.
  platform::TickSource previous = platform::SetTickSource(FakeTick);
  EXPECT_EQ(StartDataCall(instance), -1);
  EXPECT_FALSE(finished.load()) << "it gave up while the first call still ran";
  platform::SetTickSource(previous);

  // With the real clock it waits for the running call, then refuses the terminating instance.
  bool sawFinished = false;
  std::thread waiting([&] {
    int32_t code = StartDataCall(instance);
    sawFinished = finished.load();
    EXPECT_EQ(code, -1);
  });
  release = true;
  waiting.join();
  running.join();
  EXPECT_TRUE(sawFinished) << "the refusal came only after the running call ended";
  EXPECT_EQ(first, 1);
  EXPECT_FALSE(plugin->ProcessBusy());
  EXPECT_EQ(FreeInstance(instance), 0);
}

TEST_F(FrameworkTest, CallRecordIsConvertedForTheCallAndRestoredAfter) {
  uint8_t flagsDuring = 0;
  void* paramsDuring = nullptr;
  bool sawList = false;
  Plugin()->OnCommand = [&](TzorPlugin*, const std::string&, int& result, TPluginCallRecIntft& record) {
    flagsDuring = record.Rec->CallFlags;
    paramsDuring = record.Rec->Params;
    sawList = record.Text("ARG") == "value";
    result = 0;
  };
  // A list object handed over as a bare pointer: the record points at an interface meanwhile.
  TzorParamsList object;
  object.Add("COMMAND", TVariant::Adopt(VariantFromText("WORD")).Raw());
  object.Add("ARG", TVariant::Adopt(VariantFromText("value")).Raw());
  TPluginCallRec record = NewRecord(FInstance);
  record.CallFlags = 0x01;
  record.Params = &object;
  EXPECT_EQ(zorExecutePluginCommand(&record), 0);
  EXPECT_TRUE(sawList);
  EXPECT_NE(paramsDuring, static_cast<void*>(&object));
  EXPECT_EQ(flagsDuring, 0x01);
  EXPECT_EQ(Copy(record.Params), static_cast<void*>(&object));
  EXPECT_EQ(Copy(record.CallFlags), 0x01);

  // An interface: the flag tells the handlers so while the call runs.
  THostList list;
  list.Add("COMMAND", "WORD").Add("ARG", "value");
  record = NewRecord(FInstance);
  void* pointer = list.Pointer();
  record.Params = pointer;
  sawList = false;
  EXPECT_EQ(zorExecutePluginCommand(&record), 0);
  EXPECT_TRUE(sawList);
  EXPECT_EQ(flagsDuring, kCallFlagInterface);
  EXPECT_EQ(paramsDuring, pointer);
  EXPECT_EQ(Copy(record.CallFlags), 0);

  // Null handles are no handles, not failures.
  THostList handles;
  handles.Add("COMMAND", "WORD").Add("MSG-PROC-HANDLE", TVariant::Adopt(VariantNull()).Raw());
  EXPECT_EQ(RunCommand(FInstance, handles).Code, 0);
  EXPECT_EQ(Plugin()->MsgProcHandle.load(), 0u);
}
