#include "module/PluginDM_Plugin.h"

#include <algorithm>
#include <exception>
#include <initializer_list>

#include "Common/Variants.h"
#include "Common/zorParamLst.h"
#include "config/FormResources.h"
#include "Plugins/zorPluginSettings.h"
#include "module/PluginDM_PlcErrors.h"
#include "platform/CodePage.h"

namespace kelda {

namespace {

// "%s" in a message text replaced by the argument (the first occurrence).
std::string FormatMessage(const std::string& format, const std::string& argument) {
  std::string text = format;
  std::size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, argument);
  return text;
}

// Each "%s" of a message text replaced by the next argument, in one pass: a "%s" inside an
// argument (a caption may hold one) stays as it is.
std::string FormatMessage(const std::string& format, std::initializer_list<std::string> arguments) {
  std::string text;
  auto next = arguments.begin();
  std::size_t from = 0;
  for (std::size_t at = format.find("%s"); at != std::string::npos && next != arguments.end();
       at = format.find("%s", from)) {
    text.append(format, from, at - from);
    text += *next++;
    from = at + 2;
  }
  text.append(format, from, std::string::npos);
  return text;
}

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
  // The engines work for this object: they go while all of it still exists.
  FreeEngines();
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
  {
    platform::WriteGuard guard(FEnginesLock);
    if (!Config) Config = new TDataSourceCfg(this);
    Unloaded = false;
  }
  ApplySettings(false);
}

void TaPlugin::zorPluginUnload(TPluginCallRecIntft&, int&) {
  platform::WriteGuard guard(FEnginesLock);
  Unloaded = true;
  RebuildAllQueues(nullptr);
  delete Config;
  Config = nullptr;
}

void TaPlugin::zorPluginChangeState(uint8_t) {
  bool haveConfig = false;
  {
    platform::WriteGuard guard(FEnginesLock);
    std::vector<TSerialPortDM*> candidates = Engines();
    bool anyFlag =
        std::any_of(std::begin(StateFlags), std::end(StateFlags), [](uint8_t f) { return f != 0; });
    if (anyFlag) {
      for (TObject* object : ConfigDataSources) {
        auto* source = static_cast<TConfigDataSource*>(object);
        if (!DataSourceLoadFor.empty() && platform::AnsiCompareText(source->Text, DataSourceLoadFor) != 0)
          continue;
        if (TSerialPortDM* engine = FindEngine(source->Id)) {
          candidates.erase(std::remove(candidates.begin(), candidates.end(), engine), candidates.end());
          continue;
        }
        auto* engine = new TSerialPortDM(this, this);
        engine->DataSourceId = source->Id;
        engine->DataSourceName = source->Name;
        engine->DataSourceFullName = source->FullName;
      }
    }
    for (TSerialPortDM* engine : candidates) delete engine;
    haveConfig = Config != nullptr;
  }
  if (haveConfig) ApplySettings(true);
}

void TaPlugin::zorPluginBeforeGetParserItems() {
  ClearParserItems();
  AddStandardParserItems(false);
  AddParserItem("SOURCE_ADDRESS", Resources->ItemSourceAddress, "", kTypeInteger);
  AddParserItem("TARGET_ADDRESS", Resources->ItemTargetAddress, "", kTypeInteger);
  AddParserItem("MEMORY", Resources->ItemMemory, "", kTypeInteger);
  AddParserItem("MEMORY_ADDRESS", Resources->ItemMemoryAddress, "", kTypeInteger);

  platform::ReadGuard guard(FEnginesLock);
  TThreadObjectList queue(true);  // freed on every path
  LoadRequestQueue(this, Config, queue, nullptr);
  platform::ReadGuard queueGuard(queue);
  for (TObject* object : *static_cast<TObjectList*>(queue.GuardedObject())) {
    auto* request = static_cast<TRequestItem*>(object);
    for (const std::unique_ptr<TResponseItem>& item : request->ResponseItems) {
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
  platform::ReadGuard guard(FEnginesLock);
  if (Config) SaveSettings(*this, PropertyMap(), *Config);
}

void TaPlugin::zorPluginLoadSettingsNow() {
  if (HasSettings()) ApplySettings(true);
}

// The host shows the dialog from the form resources; a true result makes the framework reload
// the settings of every instance that shares this one's settings.
void TaPlugin::zorPluginShowOptionsDialog(TPluginCallRecIntft&, int& result) {
  result = 1;
}

void TaPlugin::zorPluginProcessData(TPluginCallRecIntft& record, int& result) {
  platform::ReadGuard guard(FEnginesLock);
  if (!Config) {
    result = kResultRefused;
    return;
  }
  const int32_t dataSourceId = record.Rec->DataSourceId;  // a copy: the record is packed
  TSerialPortDM* engine = FindEngine(dataSourceId);
  result = engine ? engine->ReceiveData(record) : kResultDone;
}

void TaPlugin::zorPluginEvent(const std::string& name, int& result, TPluginCallRecIntft& record) {
  if (platform::AnsiCompareText(name, "GetMemoryTypeList") == 0) {
    record.SetValue("RESULT", TVariant::Adopt(VariantFromText(MemoryTypeList(*Resources))));
    result = kResultDone;
    return;
  }
  if (!StateFlags[0]) return;
  result = kResultDone;
  if (name != "PORT-OPEN") return;
  platform::ReadGuard guard(FEnginesLock);
  std::vector<TSerialPortDM*> engines = Engines();
  for (auto it = engines.rbegin(); it != engines.rend(); ++it) (*it)->RequestReset(2);
}

// ---------------------------------------------------------------------------------------------

std::vector<TSerialPortDM*> TaPlugin::Engines() const {
  std::vector<TSerialPortDM*> engines;
  for (int i = 0; i < ComponentCount(); ++i)
    if (auto* engine = dynamic_cast<TSerialPortDM*>(Components(i))) engines.push_back(engine);
  return engines;
}

TSerialPortDM* TaPlugin::FindEngine(int32_t id) {
  for (int i = ComponentCount() - 1; i >= 0; --i) {
    auto* engine = dynamic_cast<TSerialPortDM*>(Components(i));
    if (engine && engine->DataSourceId == id) return engine;
  }
  return nullptr;
}

void TaPlugin::RebuildAllQueues(TDataSourceCfg* settings) {
  platform::WriteGuard guard(FEnginesLock);
  for (TSerialPortDM* engine : Engines()) LoadRequestQueue(this, settings, *engine->RequestList, engine);
}

void TaPlugin::RestartAllEngines() {
  platform::ReadGuard guard(FEnginesLock);
  for (TSerialPortDM* engine : Engines()) engine->Restart();
}

void TaPlugin::ApplySettings(bool restart) {
  platform::WriteGuard guard(FEnginesLock);
  if (!Config) return;
  LoadConfig();
  try {
    RebuildAllQueues(Config);
  } catch (const std::exception& failure) {
    AddLog(0, FormatMessage(Resources->MsgItemsFormationError, failure.what()));
  }
  if (restart) RestartAllEngines();
}

void TaPlugin::LoadConfig() {
  LoadSettings(*this, PropertyMap(), *Config);
  FLocalAddress = Config->spLocalAddress_Value;
}

TStringList TaPlugin::PropertyMap() const {
  return Properties->Strings();
}

void TaPlugin::FreeEngines() {
  platform::WriteGuard guard(FEnginesLock);
  for (TSerialPortDM* engine : Engines()) delete engine;
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
    line = FormatMessage(Resources->MsgRequestNotSent, request.Name);
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
      causeText = FormatMessage(causeText, PlcErrorText(static_cast<uint8_t>(plcError >> 8),
                                                        static_cast<uint8_t>(plcError & 0xFF)));
    line = FormatMessage(Resources->MsgTransactionFailed, {source, request.Name, causeText});
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
  platform::ReadGuard guard(FEnginesLock);
  std::vector<TSerialPortDM*> engines = Engines();
  std::stable_sort(engines.begin(), engines.end(), [](const TSerialPortDM* a, const TSerialPortDM* b) {
    return a->DataSourceId < b->DataSourceId;
  });
  std::string text;
  for (const TSerialPortDM* engine : engines)
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
