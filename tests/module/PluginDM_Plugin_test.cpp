// The module's plug-in class through the framework's entry functions: what it tells the host,
// the parser items it declares, the events it answers, the engines it keeps per data source, and
// that an instance can go at any time, with engines running, a data call or a tick under way.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "Common/TWtranslator.h"
#include "Common/zorTimerEx.h"
#include "config/TWregistry.h"
#include "module/PluginDM_Plugin.h"
#include "platform/File.h"
#include "platform/Registry.h"
#include "platform/MessageWindow.h"
#include "platform/Thread.h"
#include "platform/Tick.h"
#include "tests/Plugins/PluginTestKit.h"

using namespace kelda;
using namespace kelda::test;

namespace {

std::string ItemXml(const std::string& name, int count, bool appendCnt, bool zeroBase) {
  return "<Item><Name>" + name + "</Name><Offset>0</Offset><Count>" + std::to_string(count) +
         "</Count><AppendCnt check=\"" + (appendCnt ? "2" : "0") + "\"><ZeroBaseCnt check=\"" +
         (zeroBase ? "2" : "0") + "\"/></AppendCnt><DataType>D16</DataType></Item>";
}

std::string RequestXml(const std::string& caption, const std::string& items, int pollMs = 100) {
  return "<Request caption=\"" + caption +
         "\"><Enabled check=\"2\"/><Address>PLC1</Address><Memory>8</Memory><Offset>0</Offset>"
         "<Size>4</Size><RequestMethod><MethodOnce check=\"0\"/><MethodPoll check=\"2\"><PollInterval>" +
         std::to_string(pollMs) +
         "</PollInterval><PollUnits>MS</PollUnits></MethodPoll></RequestMethod><Response>" + items +
         "</Response></Request>";
}

// An instance of the module's class with its settings in an INI file of its own.
class PluginRig {
public:
  explicit PluginRig(const std::string& config, int protocol = 3)
      : FScope(&NewTaPlugin),
        FIni((std::filesystem::temp_directory_path() /
              ("kelda_plugin_" + std::to_string(platform::CurrentThreadId()) + "_" +
               std::to_string(++gCount) + ".ini"))
                 .string()) {
    platform::DeleteFileAt(FIni);
    Store(config, protocol);
    Handle = CreateInstance();
  }
  ~PluginRig() {
    if (Handle) FreeInstance(Handle);
    platform::DeleteFileAt(FIni);
  }

  TaPlugin& Plugin() const { return *static_cast<TaPlugin*>(Instance(Handle)); }

  // The settings as the options dialog stores them.
  void Store(const std::string& config, int protocol = 3) {
    TDataSourceCfg settings(nullptr);
    settings.lblParams_Caption = config;
    settings.comboProto_ItemIndex = protocol;
    TWreg store(nullptr);
    store.INIFile = FIni;
    for (const auto& line : PropertyMapLines()) store.Components.Add(line.Text);
    store.Save(settings);
  }

  int32_t Load() {
    THostList list;
    list.Add("COMMAND", "LOAD").Add("INI-FILE", FIni).AddEmpty("RESULT");
    return RunCommand(Handle, list).Code;
  }
  int32_t LoadSettingsNow() {
    THostList list;
    list.Add("COMMAND", "LOAD-SETTINGS-NOW").Add("INI-FILE", FIni).Add("NO-SAVE", 1).AddEmpty("RESULT");
    return RunCommand(Handle, list).Code;
  }
  int32_t SetState(const std::string& sources, int32_t value, uint8_t flags = 0x03,
                   const char* loadFor = nullptr) {
    THostList list;
    list.Add("COMMAND", "SET-STATE").Add("DATA-SOURCES-IN-CFG", sources).Add("RESULT", value);
    if (loadFor) list.Add("DATA-SOURCE-LOAD", loadFor);
    return RunCommand(Handle, list, flags).Code;
  }
  TCommandOutcome Event(const std::string& type) {
    THostList list;
    list.Add("COMMAND", "EVENT").Add("EVENT-TYPE", type).AddEmpty("RESULT");
    return RunCommand(Handle, list);
  }
  std::vector<int32_t> EngineIds() const {
    std::vector<int32_t> ids;
    for (const auto& engine : Plugin().Engines()) ids.push_back(engine->DataSourceId);
    return ids;
  }

  uintptr_t Handle = 0;

private:
  static inline int gCount = 0;
  TPluginClassScope FScope;
  std::string FIni;
};

std::vector<std::string> ItemNames(const TaPlugin& plugin) {
  std::vector<std::string> names;
  for (const TParserItem& item : plugin.ParserItems) names.push_back(item.Name);
  return names;
}

int32_t KELDA_STDCALL TakeEverySend(int32_t, int32_t, int32_t, int32_t, int32_t, const void*, int32_t count) {
  return count;
}

const std::vector<std::string> kFixedItems = {
    "FULL_DATA_PACKET",      "DATA_PACKET",    "DATE_TIME_STAMP", "DATA_SOURCE_ID", "DATA_SOURCE_NAME",
    "DATA_SOURCE_FULL_NAME", "SOURCE_ADDRESS", "TARGET_ADDRESS",  "MEMORY",         "MEMORY_ADDRESS"};

TEST(ModulePlugin, DescribesItselfToTheHost) {
  PluginRig rig("");
  const TaPlugin& plugin = rig.Plugin();
  EXPECT_FLOAT_EQ(plugin.InterfaceVersion, 5.0f);
  EXPECT_EQ(plugin.Description, "Korvane");
  EXPECT_EQ(plugin.LogTitle, "Korvane");
  EXPECT_EQ(plugin.ModuleType, 3);
  EXPECT_TRUE(plugin.IsUnloaded());
  EXPECT_EQ(plugin.Config, nullptr);
  ASSERT_NE(plugin.Resources, nullptr);
  EXPECT_EQ(plugin.Properties->Strings().Count(), 24);
  EXPECT_EQ(plugin.Properties->Strings().Strings(5), "lblParams.Caption,Parser config");
}

TEST(ModulePlugin, DeclaresParserItemsWithCounters) {
  PluginRig rig("<MODBUSRTUQUERY>" +
                RequestXml("Request #1", ItemXml("TEMP", 3, true, false) + ItemXml("Z", 3, true, true) +
                                             ItemXml("ONCE", 3, false, false) +
                                             ItemXml("ONE", 1, true, false) + ItemXml("", 2, true, false)) +
                "</MODBUSRTUQUERY>");
  EXPECT_EQ(RunCommand(rig.Handle, "ITEMS").Code, 0);
  EXPECT_EQ(ItemNames(rig.Plugin()), kFixedItems) << "before the load only the fixed items";

  rig.Load();
  EXPECT_EQ(RunCommand(rig.Handle, "ITEMS").Code, 0);
  std::vector<std::string> expected = kFixedItems;
  for (const char* name : {"TEMP1", "TEMP2", "TEMP3", "Z0", "Z1", "Z2", "ONCE", "ONE"})
    expected.push_back(name);
  EXPECT_EQ(ItemNames(rig.Plugin()), expected);
  const std::vector<TParserItem>& items = rig.Plugin().ParserItems;
  EXPECT_EQ(items[10].Description, "Request #1 (TEMP1)");
  EXPECT_EQ(items[16].Description, "Request #1");
  EXPECT_EQ(items[10].Type, kParserItemNoType);
  EXPECT_EQ(items[10].Extra, "0");
  EXPECT_EQ(items[6].Type, 8) << "the address items are integers";
}

TEST(ModulePlugin, AnswersEventsByName) {
  PluginRig rig("");
  TCommandOutcome list = rig.Event("getmemorytypelist");
  EXPECT_EQ(list.Code, 0);
  EXPECT_EQ(list.Result.ToText().substr(0, 19), "Registers (%R)==8||");
  EXPECT_EQ(rig.Event("PORT-OPEN").Code, -1) << "not started: no event is handled";
  rig.Load();
  rig.SetState("7;COM7;Line 7", 1);
  EXPECT_EQ(rig.Event("port-open").Code, 0);
  EXPECT_EQ(rig.Plugin().Engines()[0]->ResetRequest, 0) << "only PORT-OPEN resets the queue";
  EXPECT_EQ(rig.Event("PORT-OPEN").Code, 0);
  EXPECT_EQ(rig.Plugin().Engines()[0]->ResetRequest, 2);
  EXPECT_EQ(rig.Event("Something else").Code, 0);
}

TEST(ModulePlugin, KeepsOneEngineForEachDataSource) {
  PluginRig rig("<MODBUSRTUQUERY>" + RequestXml("R", ItemXml("A", 1, false, false)) + "</MODBUSRTUQUERY>", 0);
  rig.Load();
  rig.SetState("1;COM1;One\r\n2;COM2;Two", 1);
  EXPECT_EQ(rig.EngineIds(), (std::vector<int32_t>{1, 2}));
  TSerialPortDM* first = rig.Plugin().FindEngine(1);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->DataSourceName, "COM1");
  EXPECT_EQ(first->DataSourceFullName, "One");
  EXPECT_EQ(first->Protocol, protoCcmMasterSlave);
  EXPECT_EQ(first->RequestList->Count(), 1) << "the queue is built from the stored configuration";
  EXPECT_TRUE(first->Queue->Enabled());

  rig.SetState("2;COM2;Two\r\n3;COM3;Three", 1);
  EXPECT_EQ(rig.EngineIds(), (std::vector<int32_t>{2, 3}));
  rig.SetState("2;COM2;Two", 0, 0xFF);
  EXPECT_TRUE(rig.EngineIds().empty()) << "no state flag set: every engine goes";
  rig.SetState("2;COM2;Two\r\n3;COM3;Three", 1, 0x03, "3;com3;three");
  EXPECT_EQ(rig.EngineIds(), (std::vector<int32_t>{3})) << "only the data source the host loads for";

  EXPECT_EQ(RunCommand(rig.Handle, "UNLOAD").Code, 0);
  ASSERT_EQ(rig.EngineIds().size(), 1u);
  EXPECT_EQ(rig.Plugin().FindEngine(3)->RequestList->Count(), 0) << "unloaded: queues emptied";
  EXPECT_FALSE(rig.Plugin().FindEngine(3)->Queue->Enabled());
  EXPECT_EQ(rig.Plugin().Config, nullptr);
}

TEST(ModulePlugin, BrokenConfigurationsNeverStopTheInstance) {
  for (const std::string& config :
       {std::string(), std::string("<MODBUSRTUQUERY><Request"), std::string(200000, '<'),
        "<MODBUSRTUQUERY>" + RequestXml("R", ItemXml("A", 1000000, true, false)) + "</MODBUSRTUQUERY>"}) {
    PluginRig rig(config);
    EXPECT_EQ(rig.Load(), 0);
    EXPECT_EQ(rig.SetState("1;COM1;One", 1), 0);
    EXPECT_EQ(RunCommand(rig.Handle, "ITEMS").Code, 0);
  }
}

// A request that cannot be sent is the configuration's fault, not a data source's: one line per
// load however many data sources run it.
TEST(ModulePlugin, LogsRequestsThatCannotBeSentOncePerLoad) {
  std::string unfit = RequestXml("Far away", ItemXml("A", 1, false, false));
  unfit.replace(unfit.find("<Offset>0</Offset>"), 18, "<Offset>70000</Offset>");
  PluginRig rig("<MODBUSRTUQUERY>" + unfit + RequestXml("Near", ItemXml("B", 1, false, false)) +
                "</MODBUSRTUQUERY>");
  rig.Load();
  EXPECT_TRUE(FetchLog(rig.Handle).empty()) << "no data source yet: no queue is filled";
  for (const char* sources : {"1;COM1;One", "1;COM1;One\r\n2;COM2;Two\r\n3;COM3;Three"}) {
    SCOPED_TRACE(sources);
    rig.SetState(sources, 1);
    std::vector<std::string> lines;
    for (const auto& line : FetchLog(rig.Handle)) lines.push_back(line.second);
    // The log folds a line that arrives again at once into one line that says how often ("x3").
    EXPECT_EQ(lines,
              std::vector<std::string>{"Korvane. Request \"Far away\" is not sent: its data address or "
                                       "size is outside 0 to 65535"});
  }
  // Engines that neither poll nor read (state flags 0 and 1 clear) get no queue.
  rig.SetState("1;COM1;One\r\n2;COM2;Two", 0, 0x03);
  rig.SetState("1;COM1;One\r\n2;COM2;Two", 1, 0x04);
  EXPECT_EQ(rig.EngineIds().size(), 2u);
  rig.LoadSettingsNow();
  for (const auto& line : FetchLog(rig.Handle)) ADD_FAILURE() << line.second;
}

// The engines' requests, in queue order, as the scheduler reads them.
std::vector<TRequestItem*> QueuedRequests(TSerialPortDM& engine) {
  platform::ReadGuard guard(*engine.RequestList);
  std::vector<TRequestItem*> requests;
  for (TObject* object : *static_cast<TObjectList*>(engine.RequestList->GuardedObject()))
    requests.push_back(static_cast<TRequestItem*>(object));
  return requests;
}

// A configuration stored cut off polls the requests it holds whole; the request it ends inside
// is not polled, and the log says which, at every load.
TEST(ModulePlugin, ARequestTheConfigurationEndsInsideIsNotPolled) {
  const std::string whole = "<MODBUSRTUQUERY>" + RequestXml("Levels", ItemXml("A", 2, true, false)) +
                            RequestXml("Flow", ItemXml("B", 1, false, false)) + "</MODBUSRTUQUERY>";
  PluginRig rig(whole.substr(0, whole.find("<DataType>", whole.find("Flow"))));
  rig.Load();
  rig.SetState("1;COM1;One", 1);
  const std::shared_ptr<TSerialPortDM> engine = rig.Plugin().EngineFor(1);
  ASSERT_NE(engine, nullptr);
  const std::vector<TRequestItem*> queued = QueuedRequests(*engine);
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0]->Name, "Levels");
  EXPECT_TRUE(engine->Queue->Enabled()) << "the whole request polls as before";
  std::string log;
  for (const auto& line : FetchLog(rig.Handle)) log += line.second + "\n";
  EXPECT_NE(log.find("Korvane. Request \"Flow\" is not polled: the configuration ends inside its definition"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Request \"Flow\": the configuration ends inside <Item>"), std::string::npos) << log;
  EXPECT_EQ(RunCommand(rig.Handle, "ITEMS").Code, 0);
  EXPECT_EQ(ItemNames(rig.Plugin()).size(), kFixedItems.size() + 2u) << "only the items of Levels: A1, A2";
}

// Every data source runs the one configuration, read once per load. Each engine's requests are
// its own, so a transaction under way in one engine leaves the others' requests idle and due,
// and a reload of changed settings gives every engine the new requests.
TEST(ModulePlugin, EnginesRunOneReadingOfTheConfigurationEachWithItsOwnRequests) {
  PluginRig rig("<MODBUSRTUQUERY>" + RequestXml("Levels", ItemXml("A", 2, true, false)) +
                    RequestXml("Flow", ItemXml("B", 1, false, false)) + "</MODBUSRTUQUERY>",
                3);
  rig.Load();
  rig.SetState("1;COM1;One\r\n2;COM2;Two\r\n3;COM3;Three", 1);
  const std::vector<std::shared_ptr<TSerialPortDM>> engines = rig.Plugin().Engines();
  ASSERT_EQ(engines.size(), 3u);
  std::vector<std::vector<TRequestItem*>> queues;
  for (const auto& engine : engines) queues.push_back(QueuedRequests(*engine));
  for (std::size_t e = 0; e < queues.size(); ++e) {
    ASSERT_EQ(queues[e].size(), 2u);
    EXPECT_EQ(queues[e][0]->Name, "Levels");
    EXPECT_EQ(queues[e][1]->Name, "Flow");
    for (std::size_t other = 0; other < e; ++other)
      for (std::size_t r = 0; r < 2; ++r) {
        EXPECT_NE(queues[e][r], queues[other][r])
            << "engines " << e << " and " << other << " share a request";
        EXPECT_TRUE(queues[e][r]->ResponseItems.SharedWith(queues[other][r]->ResponseItems));
      }
  }

  rig.Plugin().DataLogger_SendDataEx = TakeEverySend;
  engines[1]->QueueTick();
  TRequestItem& started = *queues[1][0];
  EXPECT_TRUE(started.Busy);
  EXPECT_EQ(started.Step, stOpeningSent);
  EXPECT_FALSE(started.Timer.IsClear());
  EXPECT_EQ(engines[1]->FLastReq, &started);
  for (std::size_t e : {0u, 2u}) {
    SCOPED_TRACE("engine " + std::to_string(e));
    const TRequestItem& idle = *queues[e][0];
    EXPECT_FALSE(idle.Busy);
    EXPECT_EQ(idle.Step, stIdle);
    EXPECT_EQ(idle.Sequence, -1);
    EXPECT_TRUE(idle.Timer.IsClear()) << "still due at once";
    EXPECT_EQ(engines[e]->FLastReq, nullptr);
  }
  engines[2]->QueueTick();
  EXPECT_EQ(engines[2]->FLastReq, queues[2][0]) << "the other engine starts its own first request";
  EXPECT_EQ(engines[1]->FLastReq, &started);

  rig.Store("<MODBUSRTUQUERY>" + RequestXml("Pressure", ItemXml("P", 1, false, false)) + "</MODBUSRTUQUERY>");
  rig.LoadSettingsNow();
  for (const auto& engine : engines) {
    SCOPED_TRACE("data source " + std::to_string(engine->DataSourceId));
    EXPECT_EQ(engine->FLastReq, nullptr) << "the transaction under way was the old queue's";
    const std::vector<TRequestItem*> reloaded = QueuedRequests(*engine);
    ASSERT_EQ(reloaded.size(), 1u);
    EXPECT_EQ(reloaded[0]->Name, "Pressure");
    EXPECT_FALSE(reloaded[0]->Busy);
    ASSERT_EQ(reloaded[0]->ResponseItems.size(), 1u);
    EXPECT_EQ(reloaded[0]->ResponseItems[0]->Name, "P");
  }
  EXPECT_EQ(RunCommand(rig.Handle, "ITEMS").Code, 0);
  std::vector<std::string> expected = kFixedItems;
  expected.push_back("P");
  EXPECT_EQ(ItemNames(rig.Plugin()), expected) << "the parser items follow the reloaded settings";
}

// The check informs and never refuses: the values load as before, and each finding is one log
// line however many data sources there are, logged again only when the configuration changed.
TEST(ModulePlugin, LogsTheConfigurationCheckOncePerLoad) {
  std::string doubtful = RequestXml("Boiler", ItemXml("T", 1, false, false));
  doubtful.replace(doubtful.find("<DataType>D16</DataType>"), 24, "<DataType>d16</DataType>");
  doubtful.replace(doubtful.find("<Memory>8</Memory>"), 18, "<Memroy>8</Memroy><Memory>8</Memory>");
  PluginRig rig("<MODBUSRTUQUERY>" + doubtful + RequestXml("Clean", ItemXml("B", 1, false, false)) +
                "</MODBUSRTUQUERY>");
  rig.Load();
  std::vector<std::pair<int, std::string>> lines = FetchLog(rig.Handle);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].first, 1);
  EXPECT_EQ(
      lines[0].second,
      "Korvane. Request \"Boiler\": element <Memroy> is not known here and is ignored; check its spelling "
      "and where it stands");
  EXPECT_NE(lines[1].second.find("Request \"Boiler\", item T: data type \"d16\" is not known"),
            std::string::npos)
      << lines[1].second;

  rig.SetState("1;COM1;One\r\n2;COM2;Two", 1);
  lines = FetchLog(rig.Handle);
  EXPECT_TRUE(lines.empty()) << "an unchanged configuration is not reported again, nor per data source";
  TThreadObjectList* queue = rig.Plugin().FindEngine(2)->RequestList.get();
  ASSERT_EQ(queue->Count(), 2) << "a doubtful request still loads";
  platform::ReadGuard guard(*queue);
  auto* boiler = static_cast<TRequestItem*>(static_cast<TObjectList*>(queue->GuardedObject())->Items(0));
  EXPECT_EQ(boiler->Memory, 8);
  EXPECT_EQ(boiler->ResponseItems[0]->DataType, dtD8) << "read as before: an unknown data type is D8";
}

TEST(ModulePlugin, LogsTheConfigurationCheckInTheHostsLanguage) {
  std::string doubtful = RequestXml("Boiler", ItemXml("T", 1, false, false));
  doubtful.replace(doubtful.find("<PollUnits>MS</PollUnits>"), 25, "<PollUnits>m</PollUnits>");
  PluginRig rig("<MODBUSRTUQUERY>" + doubtful + "</MODBUSRTUQUERY>");
  TWtransl translator(nullptr, true);
  translator.LanguageFile = std::string(KELDA_RESOURCES_DIR) + "/kelda.lng";
  ASSERT_TRUE(translator.Translate("DE", rig.Plugin().Resources, nullptr));
  rig.Load();
  std::vector<std::pair<int, std::string>> lines = FetchLog(rig.Handle);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].second.substr(0, 55), "Korvane. Anfrage \"Boiler\": die Intervalleinheit \"m\" ist");
}

TCommandOutcome GetParameter(uintptr_t handle, const std::string& name) {
  THostList list;
  list.Add("COMMAND", "GET-MODULE-PARAMETER").Add("PARAM", name).AddEmpty("RESULT");
  return RunCommand(handle, list);
}

bool SetParameter(uintptr_t handle, const std::string& name, const VARIANT& value) {
  THostList list;
  list.Add("COMMAND", "SET-MODULE-PARAMETER").Add("PARAM", name).Add("VALUE", value).AddEmpty("RESULT");
  return RunCommand(handle, list).Result.ToBool();
}

// Statistics per data source in id order, read only; one log line per failed transaction, only
// while asked for. Sends fail here until a send callback is installed: no host offers one.
TEST(ModulePlugin, StatisticsAndTheLogOfFailedTransactions) {
  PluginRig rig(
      "<MODBUSRTUQUERY>" + RequestXml("Levels %s", ItemXml("A", 2, true, false)) + "</MODBUSRTUQUERY>", 3);
  EXPECT_EQ(GetParameter(rig.Handle, "Statistics").Result.ToText(), "") << "no data source yet";
  rig.Load();
  rig.SetState("2;COM2;Two\r\n1;COM1;One", 1);
  const std::string idle =
      "requests=0;answers=0;timeouts=0;checks=0;naks=0;out=0;in=0;rtt=0;rtt_avg=0;retries=0;demotions=0;"
      "demoted=0\r\n";
  EXPECT_EQ(GetParameter(rig.Handle, "statistics").Result.ToText(), "1;" + idle + "2;" + idle);
  auto text = [](const char* value) { return TVariant::Adopt(VariantFromText(value)); };
  auto number = [](int32_t value) { return TVariant::Adopt(VariantFromInt(value)); };
  EXPECT_FALSE(SetParameter(rig.Handle, "Statistics", text("").Raw())) << "read only";
  EXPECT_EQ(GetParameter(rig.Handle, "LogFailedTransactions").Result.ToInt(), 0) << "off at creation";

  TSerialPortDM* engine = rig.Plugin().FindEngine(1);
  ASSERT_NE(engine, nullptr);
  FetchLog(rig.Handle);
  engine->QueueTick();  // the send fails
  EXPECT_TRUE(FetchLog(rig.Handle).empty()) << "no line while off";

  EXPECT_TRUE(SetParameter(rig.Handle, "LogFailedTransactions", text("1").Raw()));
  EXPECT_EQ(GetParameter(rig.Handle, "LogFailedTransactions").Result.ToInt(), 1);
  for (const TVariant& refused : {text("yes"), text(""), number(2), TVariant()})
    EXPECT_FALSE(SetParameter(rig.Handle, "LogFailedTransactions", refused.Raw()));
  EXPECT_EQ(GetParameter(rig.Handle, "LogFailedTransactions").Result.ToInt(), 1)
      << "a refused value changes nothing";
  engine->QueueTick();  // tried again at once, and fails again
  const auto lines = FetchLog(rig.Handle);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].first, 1);
  EXPECT_EQ(lines[0].second,
            "Korvane. Data source 1 (COM1), request \"Levels %s\" failed: the request could not be written "
            "to the port");

  EXPECT_TRUE(SetParameter(rig.Handle, "LogFailedTransactions", number(0).Raw()));
  engine->QueueTick();
  EXPECT_TRUE(FetchLog(rig.Handle).empty());

  // Sent now: the counts survive a reload of the settings, which rebuilds every queue.
  rig.Plugin().DataLogger_SendDataEx = TakeEverySend;
  engine->QueueTick();
  const std::string sent = "1;requests=1;answers=0;timeouts=0;checks=0;naks=0;out=" +
                           std::to_string(24) +  // the SNP-X attach; the break is no byte
                           ";in=0;rtt=0;rtt_avg=0;retries=0;demotions=0;demoted=0\r\n2;" + idle;
  EXPECT_EQ(GetParameter(rig.Handle, "Statistics").Result.ToText(), sent);
  rig.Plugin().ApplySettings(true);
  EXPECT_EQ(GetParameter(rig.Handle, "Statistics").Result.ToText(), sent);
}

// A host that sends bytes while the instance goes away, and an engine whose timer ticks as the
// instance is freed: nothing may touch freed memory (the sanitizer preset watches).
TEST(ModulePlugin, InstanceGoesWhileEnginesRunAndDataArrives) {
  PluginRig rig("<MODBUSRTUQUERY>" + RequestXml("R", ItemXml("A", 2, true, false), 1) + "</MODBUSRTUQUERY>",
                3);
  rig.Load();
  rig.SetState("1;COM1;One\r\n2;COM2;Two", 1);
  TSerialPortDM* engine = rig.Plugin().FindEngine(1);
  ASSERT_NE(engine, nullptr);
  engine->QueueTick();  // a transaction under way
  std::atomic<bool> stop{false};
  std::thread host([&] {
    const std::string bytes(64, '\x1B');
    while (!stop) {
      TPluginCallRec record = NewRecord(rig.Handle);
      record.DataSourceId = 1;
      record.Flags = kDataFlagPortBytes;
      record.DataIn.Size = static_cast<int32_t>(bytes.size());
      record.DataIn.Value = reinterpret_cast<uintptr_t>(bytes.data());
      zorProcessData(&record);
    }
  });
  for (int i = 0; i < 20; ++i) platform::ProcessPendingMessages();  // ticks in this thread
  // Another thread frees the instance while this one keeps its engines ticking.
  std::atomic<bool> freed{false};
  std::thread freer([&] {
    EXPECT_EQ(FreeInstance(rig.Handle), 0);
    freed = true;
  });
  const uint64_t until = platform::SystemTick64() + 20000;
  while (!freed && platform::SystemTick64() < until) platform::ProcessPendingMessages();
  freer.join();
  EXPECT_TRUE(freed);
  rig.Handle = 0;
  stop = true;
  host.join();
}

// Two instances that keep their settings under one registry path: once the host has shown the
// options dialog of one, both work with the stored settings.
TEST(ModulePlugin, InstancesSharingSettingsReloadAfterTheOptionsDialog) {
  TPluginClassScope scope(&NewTaPlugin);
  const std::string path = "Software\\KeldaTest\\Options" + std::to_string(platform::CurrentThreadId()) +
                           "_" + std::to_string(platform::SystemTick64());
  auto store = [&](const std::string& config) {
    TDataSourceCfg settings(nullptr);
    settings.lblParams_Caption = config;
    TWreg registry(nullptr);
    registry.RegistryPath = path;
    for (const auto& line : PropertyMapLines()) registry.Components.Add(line.Text);
    ASSERT_TRUE(registry.Save(settings));
  };
  store("<MODBUSRTUQUERY>" + RequestXml("R", ItemXml("A", 1, false, false)) + "</MODBUSRTUQUERY>");
  uintptr_t handles[2];
  for (uintptr_t& handle : handles) {
    handle = CreateInstance();
    THostList load;
    load.Add("COMMAND", "LOAD").Add("REGISTRY-PATH", path).AddEmpty("RESULT");
    RunCommand(handle, load);
    THostList state;
    state.Add("COMMAND", "SET-STATE").Add("DATA-SOURCES-IN-CFG", "1;COM1;One").Add("RESULT", 1);
    RunCommand(handle, state, 0x03);
  }
  auto queued = [](uintptr_t handle) {
    return static_cast<TaPlugin*>(Instance(handle))->FindEngine(1)->RequestList->Count();
  };
  EXPECT_EQ(queued(handles[0]), 1);
  EXPECT_EQ(queued(handles[1]), 1);

  // The dialog stored two requests; showing it makes both instances take them.
  store("<MODBUSRTUQUERY>" + RequestXml("R", ItemXml("A", 1, false, false)) +
        RequestXml("S", ItemXml("B", 1, false, false)) + "</MODBUSRTUQUERY>");
  TPluginCallRec record = NewRecord(handles[0]);
  EXPECT_EQ(zorShowOptionsDialog(&record), 1);
  EXPECT_EQ(queued(handles[0]), 2);
  EXPECT_EQ(queued(handles[1]), 2);

  for (uintptr_t handle : handles) FreeInstance(handle);
  for (platform::TRegHive hive : {platform::TRegHive::CurrentUser, platform::TRegHive::LocalMachine}) {
    try {
      platform::DeleteRegistryKeyTree(hive, path);
    } catch (...) {
    }
  }
}

}  // namespace
