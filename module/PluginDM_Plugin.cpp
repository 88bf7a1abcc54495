#include "module/PluginDM_Plugin.h"

#include <algorithm>
#include <exception>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <utility>

#include "Common/Variants.h"
#include "Common/zorParamLst.h"
#include "config/FormResources.h"
#include "Plugins/zorPluginSettings.h"
#include "module/PluginDM_ConfigCheck.h"
#include "module/PluginDM_PlcErrors.h"
#include "platform/CodePage.h"
#include "platform/Thread.h"

namespace kelda {

namespace {

// A value for "LogFailedTransactions": 1 or 0 as a number, the text "1" or "0", or a boolean.
bool ReadSwitch(const VARIANT& value, bool& on) {
  TVariant v(value);
  if (v.IsEmptyOrNull()) return false;
  if (VariantIsText(value)) {
    const std::string text = v.ToText();
    if (text != "0" && text != "1") return false;
    on = text == "1";
    return true;
  }
  if (v.Type() == VT_BOOL) {
    on = v.ToBool();
    return true;
  }
  try {
    const int64_t number = v.ToInt64();
    if (number != 0 && number != 1) return false;
    on = number == 1;
    return true;
  } catch (...) {
    return false;  // no number
  }
}

bool SameName(const std::string& name, const char* expected) {
  return platform::AnsiCompareText(name, expected) == 0;
}

constexpr uint8_t kTypeInteger = 8;

}  // namespace

TzorPlugin* NewTaPlugin(TPluginCallRecIntft* record, platform::ModuleHandle dllHandle) {
  return new TaPlugin(record, dllHandle);
}

TaPlugin::TaPlugin(TPluginCallRecIntft* record, platform::ModuleHandle dllHandle)
    : TzorPlugin(record, dllHandle) {
  Name = "aPlugin";
  Properties = new TzorStrHolder(this);
  const bool mapRead = LoadPluginPropertyMap(*Properties);
  zorPluginCreate();
  // Without its map the instance can neither load nor save settings: the host must hear of it.
  if (!mapRead) AddLog(0, Resources->MsgNoPropertyMap);
}

TaPlugin::~TaPlugin() {
  // The engines work for this object: they retire while all of it still exists. A tick that
  // still holds one (it could not take this object any more) ends it in the tick's thread.
  std::vector<std::shared_ptr<TSerialPortDM>> engines;
  {
    platform::WriteGuard guard(FEnginesLock);
    engines.swap(FEngines);
  }
  EndEngines(std::move(engines));
  DestroyComponents();
  Config = nullptr;
  Resources = nullptr;
  Properties = nullptr;
}

void TaPlugin::zorPluginCreate() {
  InterfaceVersion = 5.0f;
  Description = "Korvane";
  LogTitle = "Korvane";
  ModuleType = 0x03;  // the set {0, 1}

  OnLoad = [this](TzorPlugin*, TPluginCallRecIntft& record, int& result) { zorPluginLoad(record, result); };
  OnUnload = [this](TzorPlugin*, TPluginCallRecIntft& record, int& result) {
    zorPluginUnload(record, result);
  };
  OnChangeState = [this](TzorPlugin*, uint8_t flags) { zorPluginChangeState(flags); };
  OnBeforeGetParserItems = [this](TzorPlugin*) { zorPluginBeforeGetParserItems(); };
  OnSaveSettingsNow = [this](TzorPlugin*) { zorPluginSaveSettingsNow(); };
  OnLoadSettingsNow = [this](TzorPlugin*) { zorPluginLoadSettingsNow(); };
  OnShowOptionsDialog = [this](TzorPlugin*, TPluginCallRecIntft& record, int& result) {
    zorPluginShowOptionsDialog(record, result);
  };
  OnProcessData = [this](TzorPlugin*, TPluginCallRecIntft& record, int& result) {
    zorPluginProcessData(record, result);
  };
  OnEvent = [this](TzorPlugin*, const std::string& name, int& result, TPluginCallRecIntft& record) {
    zorPluginEvent(name, result, record);
  };

  Resources = new TTextResources(this);
  if (Translator && Translator->HasLanguageFile()) Translator->TranslateComponent(Resources, Language);
  Unloaded = true;
  if (Translator) Translator->AddComponentProperty("Filter");
}

void TaPlugin::zorPluginLoad(TPluginCallRecIntft&, int&) {
  if (!Config) Config = new TDataSourceCfg(this);
  FHasSettings = true;
  Unloaded = false;
  ApplySettings(false);
}

void TaPlugin::zorPluginUnload(TPluginCallRecIntft&, int&) {
  Unloaded = true;
  RebuildAllQueues(nullptr);
  FHasSettings = false;
  delete Config;
  Config = nullptr;
}

// Commands alone change the list, so the new list is made from a copy without the lock and put
// in place in one step. The engines left out end, with no lock held.
void TaPlugin::zorPluginChangeState(uint8_t) {
  ReplaceStoppedEngines();
  std::vector<std::shared_ptr<TSerialPortDM>> candidates = Engines();
  std::vector<std::shared_ptr<TSerialPortDM>> engines;
  auto found = [&engines](int32_t id) {
    return std::find_if(engines.rbegin(), engines.rend(),
                        [id](const auto& e) { return e->DataSourceId == id; });
  };
  bool anyFlag = std::any_of(std::begin(StateFlags), std::end(StateFlags), [](uint8_t f) { return f != 0; });
  if (anyFlag) {
    engines = candidates;  // the engines kept, in their order, then the new ones
    std::vector<bool> kept(candidates.size(), false);
    for (TObject* object : ConfigDataSources) {
      auto* source = static_cast<TConfigDataSource*>(object);
      if (!DataSourceLoadFor.empty() && platform::AnsiCompareText(source->Text, DataSourceLoadFor) != 0)
        continue;
      auto engine = found(source->Id);
      if (engine != engines.rend()) {
        const auto at = std::find(candidates.begin(), candidates.end(), *engine);
        if (at != candidates.end()) kept[static_cast<std::size_t>(at - candidates.begin())] = true;
        continue;
      }
      engines.push_back(NewEngine(source->Id, source->Name, source->FullName));
    }
    for (std::size_t i = candidates.size(); i-- > 0;)
      if (!kept[i]) engines.erase(engines.begin() + static_cast<std::ptrdiff_t>(i));
  }
  {
    platform::WriteGuard guard(FEnginesLock);
    FEngines = engines;
  }
  std::vector<std::shared_ptr<TSerialPortDM>> leftOut;
  for (std::shared_ptr<TSerialPortDM>& engine : candidates)
    if (std::find(engines.begin(), engines.end(), engine) == engines.end())
      leftOut.push_back(std::move(engine));
  engines.clear();
  candidates.clear();
  EndEngines(std::move(leftOut));
  if (Config) ApplySettings(true);
}

void TaPlugin::zorPluginBeforeGetParserItems() {
  ClearParserItems();
  AddStandardParserItems(false);
  AddParserItem("SOURCE_ADDRESS", Resources->ItemSourceAddress, "", kTypeInteger);
  AddParserItem("TARGET_ADDRESS", Resources->ItemTargetAddress, "", kTypeInteger);
  AddParserItem("MEMORY", Resources->ItemMemory, "", kTypeInteger);
  AddParserItem("MEMORY_ADDRESS", Resources->ItemMemoryAddress, "", kTypeInteger);

  // The items are those of the configuration as it stands; no engine's queue is involved.
  const TParsedRequests parsed = Config ? TParsedRequests(*Config) : TParsedRequests();
  for (int i = 0; i < parsed.Count(); ++i) {
    const TRequestItem* request = &parsed.Request(i);
    for (const TResponseItem* item : request->ResponseItems) {
      if (item->Name.empty()) continue;
      if (item->Count > 1 && item->AppendCnt) {
        for (int32_t k = 1; k <= item->Count; ++k) {
          std::string name = item->Name + std::to_string(item->ZeroBaseCnt ? k - 1 : k);
          AddParserItem(name, request->Name + " (" + name + ")", "0", kParserItemNoType);
        }
      } else {
        AddParserItem(item->Name, request->Name, "0", kParserItemNoType);
      }
    }
  }
}

void TaPlugin::zorPluginSaveSettingsNow() {
  if (Config) SaveSettings(*this, PropertyMap(), *Config);
}

void TaPlugin::zorPluginLoadSettingsNow() {
  ReplaceStoppedEngines();
  if (HasSettings()) ApplySettings(true);
}

// The host shows the dialog from the form resources; a true result makes the framework reload
// the settings of every instance that shares this one's settings.
void TaPlugin::zorPluginShowOptionsDialog(TPluginCallRecIntft&, int& result) {
  result = 1;
}

void TaPlugin::zorPluginProcessData(TPluginCallRecIntft& record, int& result) {
  if (!HasSettings()) {
    result = kResultRefused;
    return;
  }
  const int32_t dataSourceId = record.Rec->DataSourceId;  // a copy: the record is packed
  std::shared_ptr<TSerialPortDM> engine = EngineFor(dataSourceId);
  result = engine ? engine->ReceiveData(record) : kResultDone;
}

void TaPlugin::zorPluginEvent(const std::string& name, int& result, TPluginCallRecIntft& record) {
  if (platform::AnsiCompareText(name, "GetMemoryTypeList") == 0) {
    record.SetValue("RESULT", TVariant::Adopt(VariantFromText(MemoryTypeList(*Resources))));
    result = kResultDone;
    return;
  }
  // New engines get their queues; a PORT-OPEN below resets them with the others.
  for (const std::shared_ptr<TSerialPortDM>& engine : ReplaceStoppedEngines()) {
    if (!Config) break;
    try {
      LoadRequestQueue(this, Config, nullptr, *engine->RequestList, engine.get());
    } catch (const std::exception& failure) {
      AddLog(0, FillInMessage(Resources->MsgItemsFormationError, {failure.what()}));
    }
    engine->Restart();
  }
  if (!StateFlags[0]) return;
  result = kResultDone;
  if (name != "PORT-OPEN") return;
  std::vector<std::shared_ptr<TSerialPortDM>> engines = Engines();
  for (auto it = engines.rbegin(); it != engines.rend(); ++it) (*it)->RequestReset(2);
}

// ---------------------------------------------------------------------------------------------

std::vector<std::shared_ptr<TSerialPortDM>> TaPlugin::Engines() const {
  platform::ReadGuard guard(FEnginesLock);
  return FEngines;
}

std::shared_ptr<TSerialPortDM> TaPlugin::NewEngine(int32_t id, const std::string& name,
                                                   const std::string& fullName) {
  std::shared_ptr<TSerialPortDM> engine = TSerialPortDM::MakeShared(this);
  engine->DataSourceId = id;
  engine->DataSourceName = name;
  engine->DataSourceFullName = fullName;
  return engine;
}

// Retired first, while this object surely exists: a tick of the engine that comes later leaves
// this object alone. Nothing waits here for another thread: an engine whose timer belongs to a
// thread that does not dispatch ends without it (its timer goes when that thread dispatches or
// ends), and a data call or tick that still holds an engine ends it when it lets it go.
void TaPlugin::EndEngines(std::vector<std::shared_ptr<TSerialPortDM>> engines) {
  for (const std::shared_ptr<TSerialPortDM>& engine : engines) engine->Retire();
  engines.clear();
}

// A thread that made engines may end, or stop dispatching, while the host goes on sending
// commands from another: those engines would never poll again. The command's own thread takes
// them over; an engine of the command's own thread stays, whatever its state.
std::vector<std::shared_ptr<TSerialPortDM>> TaPlugin::ReplaceStoppedEngines() {
  std::vector<std::shared_ptr<TSerialPortDM>> engines = Engines();
  std::vector<std::shared_ptr<TSerialPortDM>> stopped, fresh;
  const uint32_t thread = platform::CurrentThreadId();
  for (std::shared_ptr<TSerialPortDM>& engine : engines) {
    if (engine->TimerThread() == thread || !engine->TimerThreadStopped()) continue;
    std::shared_ptr<TSerialPortDM> replacement =
        NewEngine(engine->DataSourceId, engine->DataSourceName, engine->DataSourceFullName);
    stopped.push_back(std::exchange(engine, replacement));
    fresh.push_back(std::move(replacement));
  }
  if (stopped.empty()) return fresh;
  {
    platform::WriteGuard guard(FEnginesLock);
    FEngines = engines;
  }
  engines.clear();
  for (const std::shared_ptr<TSerialPortDM>& engine : stopped) LogEngineMoved(*engine);
  EndEngines(std::move(stopped));
  return fresh;
}

void TaPlugin::LogEngineMoved(const TSerialPortDM& engine) {
  std::string source = std::to_string(engine.DataSourceId);
  if (!engine.DataSourceName.empty()) source += " (" + engine.DataSourceName + ")";
  std::string line;
  {
    platform::ReadGuard guard(InstanceLock);  // see LogRequestNotSent
    line = FillInMessage(Resources->MsgPollingThreadStopped, {source});
  }
  AddLog(1, line);
}

// The last engine of the data source, as a change of state finds it.
std::shared_ptr<TSerialPortDM> TaPlugin::EngineFor(int32_t id) const {
  platform::ReadGuard guard(FEnginesLock);
  for (auto engine = FEngines.rbegin(); engine != FEngines.rend(); ++engine)
    if ((*engine)->DataSourceId == id) return *engine;
  return nullptr;
}

TSerialPortDM* TaPlugin::FindEngine(int32_t id) {
  return EngineFor(id).get();
}

// Each queue is refilled with no lock of this object held: the refill waits for the engine's
// data calls to leave its queue. The configuration text is read once for all engines, and only
// when their queues are filled at all; a text that cannot be read (out of memory) leaves every
// queue as it was. Requests that cannot be sent, and a request the text ends inside, are the
// configuration's, logged once per load whatever the number of data sources.
void TaPlugin::RebuildAllQueues(TDataSourceCfg* settings) {
  const std::vector<std::shared_ptr<TSerialPortDM>> engines = Engines();
  std::optional<TParsedRequests> parsed;
  if (settings && !engines.empty() && EngineQueuesFill(this)) parsed.emplace(*settings);
  for (const std::shared_ptr<TSerialPortDM>& engine : engines)
    LoadRequestQueue(this, settings, parsed ? &*parsed : nullptr, *engine->RequestList, engine.get());
  if (!parsed) return;
  for (int i = 0; i < parsed->Count(); ++i)
    if (!RequestFitsWire(parsed->Request(i))) LogRequestNotSent(parsed->Request(i));
  if (!parsed->CutOffRequest().empty()) LogRequestCutOff(parsed->CutOffRequest());
}

void TaPlugin::RestartAllEngines() {
  for (const std::shared_ptr<TSerialPortDM>& engine : Engines()) engine->Restart();
}

void TaPlugin::ApplySettings(bool restart) {
  if (!Config) return;
  LoadConfig();
  LogConfigurationFindings();  // once per load, whatever the number of data sources
  try {
    RebuildAllQueues(Config);
  } catch (const std::exception& failure) {
    AddLog(0, FillInMessage(Resources->MsgItemsFormationError, {failure.what()}));
  }
  if (restart) RestartAllEngines();
}

void TaPlugin::LoadConfig() {
  LoadSettings(*this, PropertyMap(), *Config);
  platform::CriticalSectionGuard guard(FLocalAddressLock);
  FLocalAddress = Config->spLocalAddress_Value;
}

// The check only informs: the queues are built from the same text as before. The texts are
// read under the instance lock, which a change of language writes them under. A configuration
// is checked again only when its text or the protocol changed.
void TaPlugin::LogConfigurationFindings() {
  std::vector<std::string> lines;
  try {
    {
      const std::string checked =
          std::to_string(ProtocolOf(Config->comboProto_ItemIndex)) + ';' + Config->lblParams_Caption;
      platform::CriticalSectionGuard guard(FCheckedLock);
      if (checked == FCheckedConfiguration) return;
      FCheckedConfiguration = checked;
    }
    const std::vector<TConfigFinding> findings =
        CheckConfiguration(Config->lblParams_Caption, ProtocolOf(Config->comboProto_ItemIndex));
    platform::ReadGuard guard(InstanceLock);
    for (const TConfigFinding& finding : findings) lines.push_back(FindingText(finding, *Resources));
  } catch (const std::exception&) {
    // Advice only: a check that cannot run (out of memory) must not stop the load.
  }
  for (const std::string& line : lines) AddLog(1, line);
}

TStringList TaPlugin::PropertyMap() const {
  return Properties->Strings();
}

// ---------------------------------------------------------------------------------------------
// The engines' view

int32_t TaPlugin::SendToPort(int32_t dataSourceId, const uint8_t* data, int32_t count) {
  return SendDataToHost(dataSourceId, data, count);
}

int TaPlugin::AddStandardFields(TParsedDataList& list, const std::string& data, int32_t dataSourceId,
                                const std::string& name, const std::string& fullName) {
  return TzorPlugin::AddStandardFields(&list, &data, "", fullName, name, 0, dataSourceId, &data);
}

// The resource texts are read under the instance lock, which a change of language writes them
// under; the line is logged after the lock is released.
void TaPlugin::LogRequestNotSent(const TRequestItem& request) {
  std::string line;
  {
    platform::ReadGuard guard(InstanceLock);
    line = FillInMessage(Resources->MsgRequestNotSent, {request.Name});
  }
  AddLog(0, line);
}

void TaPlugin::LogRequestCutOff(const std::string& caption) {
  std::string line;
  {
    platform::ReadGuard guard(InstanceLock);  // see LogRequestNotSent
    line = FillInMessage(Resources->MsgRequestCutOff, {caption});
  }
  AddLog(0, line);
}

void TaPlugin::TransactionFailed(int32_t dataSourceId, const std::string& dataSourceName,
                                 const TRequestItem& request, TTransactionFailure cause, uint16_t plcError) {
  if (!FLogFailedTransactions.load()) return;
  std::string source = std::to_string(dataSourceId);
  if (!dataSourceName.empty()) source += " (" + dataSourceName + ")";
  std::string line;
  {
    platform::ReadGuard guard(InstanceLock);  // see LogRequestNotSent
    std::string causeText = FailureCauseText(cause);
    if (cause == TTransactionFailure::PlcError)
      causeText = FillInMessage(causeText, {PlcErrorText(static_cast<uint8_t>(plcError >> 8),
                                                         static_cast<uint8_t>(plcError & 0xFF))});
    line = FillInMessage(Resources->MsgTransactionFailed, {source, request.Name, causeText});
  }
  AddLog(1, line);
}

const std::string& TaPlugin::FailureCauseText(TTransactionFailure cause) const {
  const std::string* causeText = &Resources->CauseSendFailed;
  switch (cause) {
    case TTransactionFailure::HandshakeTimeout:
      causeText = &Resources->CauseHandshakeTimeout;
      break;
    case TTransactionFailure::DataTimeout:
      causeText = &Resources->CauseDataTimeout;
      break;
    case TTransactionFailure::CheckFailed:
      causeText = &Resources->CauseCheckFailed;
      break;
    case TTransactionFailure::Nak:
      causeText = &Resources->CauseNak;
      break;
    case TTransactionFailure::BadAnswer:
      causeText = &Resources->CauseBadAnswer;
      break;
    case TTransactionFailure::PlcError:
      causeText = &Resources->CausePlcError;
      break;
    case TTransactionFailure::SendFailed:
      break;
  }
  return *causeText;
}

std::string TaPlugin::StatisticsText() {
  std::vector<std::shared_ptr<TSerialPortDM>> engines = Engines();
  std::stable_sort(engines.begin(), engines.end(),
                   [](const auto& a, const auto& b) { return a->DataSourceId < b->DataSourceId; });
  std::string text;
  for (const auto& engine : engines)
    text += StatisticsLine(engine->DataSourceId, engine->Statistics()) + "\r\n";
  return text;
}

bool TaPlugin::GetOwnModuleParameter(const std::string& name, TVariant& value) {
  if (SameName(name, "Statistics")) {
    value = TVariant::Adopt(VariantFromText(StatisticsText()));
    return true;
  }
  if (SameName(name, "LogFailedTransactions")) {
    value = TVariant::Adopt(VariantFromInt(FLogFailedTransactions.load() ? 1 : 0));
    return true;
  }
  return false;
}

bool TaPlugin::SetOwnModuleParameter(const std::string& name, const VARIANT& value, bool& taken) {
  if (SameName(name, "Statistics")) {
    taken = false;  // counted by the engines, not set by the host
    return true;
  }
  if (SameName(name, "LogFailedTransactions")) {
    bool on = false;
    taken = ReadSwitch(value, on);
    if (taken) FLogFailedTransactions = on;
    return true;
  }
  return false;
}

void TaPlugin::DeliverPacket(TPluginCallRecIntft& record, TParsedDataList& list) {
  SendParsedData(record, &list, true);
}

}  // namespace kelda
