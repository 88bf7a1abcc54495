#include "Plugins/zorPluginModule.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>

#include "Common/Exceptions.h"
#include "Common/TextUtils.h"
#include "platform/CodePage.h"
#include "platform/Debug.h"
#include "platform/File.h"
#include "platform/HostMessage.h"
#include "platform/Thread.h"
#include "platform/Tick.h"

namespace kelda {

static constexpr char kSourcePath[] = "Plugins/zorPluginModule";
static constexpr int kLineNestedCommand = 3418;
static constexpr int kLogMaxLines = 51200;
static constexpr uint64_t kTerminateWaitMs = 30000;
static constexpr uint32_t kNotifySendTimeoutMs = 1000;

// ---------------------------------------------------------------------------------------------
// Small text helpers

// Trims blanks and control characters at both ends.
static std::string Trim(const std::string& text) {
  std::size_t first = 0, last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= 32) ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= 32) --last;
  return text.substr(first, last - first);
}

static std::string AnsiToUtf8(const std::string& text) {
  return platform::WideToUtf8(platform::AnsiToWide(text));
}

static bool SameText(const std::string& a, const char* b) {
  return platform::AnsiCompareText(a, b) == 0;
}

static std::string IncludeTrailingDelimiter(const std::string& path) {
  char delimiter = platform::PathDelimiter();
  if (!path.empty() && (path.back() == delimiter || path.back() == '/' || path.back() == '\\')) return path;
  return path + delimiter;
}

// A name that the file system accepts: every character it refuses becomes replacement, and the
// device names of the system get a "_" in front.
static std::string SafeFileName(const std::string& name, char replacement) {
  std::string safe;
  for (char c : name) {
    bool refused = static_cast<unsigned char>(c) < 32 || std::strchr("<>:\"/\\|?*", c) != nullptr;
    safe += refused ? replacement : c;
  }
  std::string upper = platform::AnsiUpperCase(safe);
  bool device = upper.rfind("COM", 0) == 0 || upper.rfind("LPT", 0) == 0 || upper == "CON" ||
                upper == "AUX" || upper == "PRN" || upper == "NUL";
  return device ? "_" + safe : safe;
}

static bool TryParseInt(const std::string& text, int64_t& value) {
  return !text.empty() && TryTextToInt64(text, value);
}

// ---------------------------------------------------------------------------------------------
// Buffers handed to the host

void* AllocPluginBuffer(std::size_t size) {
  return platform::HostHeapAlloc(size);
}
void* ReallocPluginBuffer(void* buffer, std::size_t size) {
  return platform::HostHeapRealloc(buffer, size);
}
void FreePluginBuffer(void* buffer) {
  platform::HostHeapFree(buffer);
}

// ---------------------------------------------------------------------------------------------
// The converted call record

TPluginCallRecIntft::TPluginCallRecIntft(TPluginCallRec* record) : Rec(record) {
  std::memcpy(&Saved, record, sizeof(Saved));
  if (record->Params) {
    if (IsParamsListObject(record->Params)) {
      Params = ParamsListFromPointerA(record->Params);
      FParamsReference = Params;
      record->Params = &FParamsReference;
      ParamsReplaced = true;
    } else {
      record->CallFlags |= kCallFlagInterface;
      Params = ParamsListFromPointerA(record->Params);
    }
  }
  DataInList = ConvertBlock(record->DataIn, FDataInReference);
  DataOutList = ConvertBlock(record->DataOut, FDataOutReference);
}

// A block that holds a list object is shown to the handlers as an interface; one that already
// holds an interface variable is used as it is.
IzorParamsListW* TPluginCallRecIntft::ConvertBlock(TPluginCallData& block, IzorParamsListW*& reference) {
  void* value = reinterpret_cast<void*>(block.Value);
  if (!value) return nullptr;
  if (block.Kind == kDataKindListInterface) return ParamsListFromPointerW(value);
  if (block.Kind != kDataKindList && block.Kind != kDataKindListObject) return nullptr;
  if (!IsParamsListObject(value)) return nullptr;
  IzorParamsListW* list = ParamsListFromPointerW(value);
  reference = list;
  block.Kind = kDataKindListInterface;
  block.Value = reinterpret_cast<uintptr_t>(&reference);
  return list;
}

// A block still pointing at this record's interface variable would dangle once the call
// returns: it gets its list object back.
void TPluginCallRecIntft::RestoreBlock(TPluginCallData& block, const TPluginCallData& saved,
                                       IzorParamsListW* const& reference) {
  if (block.Kind == kDataKindListInterface && block.Value == reinterpret_cast<uintptr_t>(&reference)) {
    block.Kind = saved.Kind;
    block.Value = saved.Value;
  }
}

TPluginCallRecIntft::~TPluginCallRecIntft() {
  Rec->CallFlags = Saved.CallFlags;
  if (ParamsReplaced) Rec->Params = Saved.Params;
  RestoreBlock(Rec->DataIn, Saved.DataIn, FDataInReference);
  RestoreBlock(Rec->DataOut, Saved.DataOut, FDataOutReference);
  if (Params) Params->Release();
  if (DataInList) DataInList->Release();
  if (DataOutList) DataOutList->Release();
}

bool TPluginCallRecIntft::Has(const char* name) const {
  if (!Params) return false;
  int32_t index = -1;
  return Params->IndexOf(name, 0, -1, &index) == S_OK && index >= 0;
}

TVariant TPluginCallRecIntft::Value(const char* name) const {
  TVariant value;
  if (Params && Params->GetValue(name, 0, -1, value.Ptr()) != S_OK) value = TVariant();
  return value;
}

std::string TPluginCallRecIntft::Text(const char* name) const {
  TVariant value = Value(name);
  return value.IsEmptyOrNull() ? std::string() : value.ToText();
}

bool TPluginCallRecIntft::SetValue(const char* name, const VARIANT& value) {
  if (!Params) return false;
  TInterfaceRef<IzorParamsListItemA> item;
  return Params->SetValue(name, value, 0, item.Receive()) == S_OK && item;
}

// ---------------------------------------------------------------------------------------------
// The module log

int TLogDataList::RepeatCount(const TStringList& list, int index) {
  return static_cast<int>(reinterpret_cast<uintptr_t>(list.Objects(index)));
}

void TLogDataList::SetRepeatCount(TStringList& list, int index, int count) {
  std::string text = list.Strings(index);
  list.Delete(index);
  list.Insert(index, std::move(text), reinterpret_cast<TObject*>(static_cast<uintptr_t>(count)));
}

// Writes the repeats into the line itself (" x" and how many times it arrived) and starts the
// count afresh, so that a later fold never adds a second suffix.
void TLogDataList::FoldRepeats(TStringList& list, int index) {
  int count = RepeatCount(list, index);
  if (count <= 0) return;
  std::string text = list.Strings(index) + " x" + std::to_string(count + 1);
  list.Delete(index);
  list.Insert(index, std::move(text), nullptr);
}

void TLogDataList::AddLine(const std::string& line) {
  platform::WriteGuard guard(*this);
  TStringList& list = *FList;
  int count = list.Count();
  if (count > 0 && list.Strings(count - 1) == line) {
    SetRepeatCount(list, count - 1, RepeatCount(list, count - 1) + 1);
  } else {
    if (count > 0) FoldRepeats(list, count - 1);
    list.Add(line, nullptr);
  }
  if (KeepAll.load() > 0) return;
  int excess = list.Count() - MaxLines;
  for (int i = 0; i < excess; ++i) list.Delete(0);
}

int32_t TLogDataList::HandOver(void* buffer, int32_t capacity, uint32_t& length) {
  platform::WriteGuard guard(*this);
  TStringList& list = *FList;
  if (list.Count() > 0) FoldRepeats(list, list.Count() - 1);
  std::string text = list.Text();
  length = static_cast<uint32_t>(text.size());
  if (text.empty()) return 0;
  if (capacity == 0) {
    list.Clear();
    return 0;
  }
  if (capacity < 0 || static_cast<uint32_t>(capacity) < length || !buffer) return 0;
  std::memcpy(buffer, text.data(), text.size());
  list.Clear();
  return static_cast<int32_t>(length);
}

// ---------------------------------------------------------------------------------------------
// Parser items

const std::vector<std::string>& ParserItemTypeNames() {
  static const std::vector<std::string> names = SplitAt(
      "String|Memo|Bytes|Blob|Boolean|Float|Smallint|Word|Integer|Date|Time|DateTime|DWord|Byte|"
      "Shortint|Int64|Currency|",
      "|");
  return names;
}

uint8_t ParserItemTypeFromName(const std::string& name) {
  const auto& names = ParserItemTypeNames();
  for (std::size_t i = 0; i < kParserItemNoType; ++i)
    if (platform::AnsiCompareText(names[i], name) == 0) return static_cast<uint8_t>(i);
  return kParserItemNoType;
}

static const char* TypeName(uint8_t type) {
  const auto& names = ParserItemTypeNames();
  return type < names.size() ? names[type].c_str() : "";
}

// ---------------------------------------------------------------------------------------------
// Globals of the library

static std::atomic<TTranslatorFactory> gTranslatorFactory{nullptr};
static std::atomic<int> gCommandCount{0};
static std::atomic<TCallStackTextHook> gCallStackHook{nullptr};

TTranslatorFactory SetTranslatorFactory(TTranslatorFactory factory) {
  return gTranslatorFactory.exchange(factory);
}

int PluginCommandCount() {
  return gCommandCount.load();
}

TCallStackTextHook SetCallStackTextHook(TCallStackTextHook hook) {
  return gCallStackHook.exchange(hook);
}

std::string CurrentCallStackText() {
  TCallStackTextHook hook = gCallStackHook.load();
  if (hook) return hook();
  return "Thread " + std::to_string(platform::CurrentThreadId());
}

// ---------------------------------------------------------------------------------------------
// The instance

TzorPlugin::TzorPlugin(TPluginCallRecIntft* record, platform::ModuleHandle dllHandle) : TComponent(nullptr) {
  DllHandle = dllHandle;
  if (record) {
    IsTemporaryLoad = record->Saved.Params == nullptr;
    TVariant temporary = record->Value("TEMPORARY-LOAD");
    if (!temporary.IsEmptyOrNull()) IsTemporaryLoad = temporary.ToBool();
  }
  if (!Designing()) {
    TTranslatorFactory factory = gTranslatorFactory.load();
    if (factory) Translator = factory(this);
  }
  CustomCommands = std::make_unique<TzorPluginCustomCmdList>();
  FLog = std::make_unique<TLogDataList>(kLogMaxLines);

  std::string path = platform::ModuleFileName(dllHandle);
  if (auto version = platform::ModuleFileVersion(dllHandle)) {
    DisplayFullVersion = std::to_string(version->Major) + "." + std::to_string(version->Minor) + "." +
                         std::to_string(version->Release) + "." + std::to_string(version->Build);
  }
  std::size_t slash = path.find_last_of("/\\");
  ModuleName = slash == std::string::npos ? path : path.substr(slash + 1);
  ModulePath = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);

  if (Translator) {
    std::string program = platform::HostProgramFileName();
    std::size_t programSlash = program.find_last_of("/\\");
    std::string programDir =
        programSlash == std::string::npos ? std::string() : program.substr(0, programSlash + 1);
    std::string ownFile = ModulePath + ModuleName;
    std::size_t dot = ownFile.find_last_of('.');
    if (dot != std::string::npos && dot > ModulePath.size()) ownFile.resize(dot);
    ownFile += ".lng";
    Translator->SetLanguageFiles(programDir + "plugins.lng|" + ownFile);
    Translator->SetLanguage("EN");
    Language = "EN";
    if (platform::FileExists(ownFile)) {
      std::string fileLanguage = Translator->LanguageOfFile(ownFile);
      if (!fileLanguage.empty()) Language = fileLanguage;
    } else {
      Translator->SetLanguageFiles("");
    }
    Translator->AddComponentProperty("MsgNoData");
    Translator->AddComponentProperty("MsgWriteComplete");
    Translator->AddComponentProperty("MsgWriteCompleteError");
  }
  OwnerForm = 0;
}

TzorPlugin::~TzorPlugin() {
  FDestroying = true;
  // Owned components may log, lock or use the translator while they go: they go first.
  DestroyComponents();
}

namespace {

const TPropertyInfo PluginProperties[] = {
    TextField<TzorPlugin, &TzorPlugin::MsgNoData>("MsgNoData"),
    TextField<TzorPlugin, &TzorPlugin::MsgWriteComplete>("MsgWriteComplete"),
    TextField<TzorPlugin, &TzorPlugin::MsgWriteCompleteError>("MsgWriteCompleteError"),
};
const TPropertyTable PluginTable{nullptr, PluginProperties};

}  // namespace

const TPropertyTable& TzorPlugin::PublishedProperties() const {
  return PluginTable;
}

// A message of the data path, read under the instance lock that a translation writes it under.
static std::string DataMessage(TzorPlugin& plugin, const std::string TzorPlugin::*message) {
  platform::ReadGuard guard(plugin.InstanceLock);
  return plugin.*message;
}

void TzorPlugin::AfterConstruction() {
  if (!Translator || !Translator->HasLanguageFile() || Translated || Language.empty()) return;
  Translator->TranslateComponent(this, Language);
  Translated = true;
}

void TzorPlugin::ReleaseUse() {
  if (FUses.fetch_sub(1) == 1) delete this;
}

TzorThreadParamsList* TzorPlugin::CustomParams() {
  platform::CriticalSectionGuard guard(FCustomParamsCreation);
  if (!FCustomParams) FCustomParams = std::make_unique<TzorThreadParamsList>();
  return FCustomParams.get();
}

const TConfigDataSource* TzorPlugin::FindDataSource(int32_t id) const {
  for (TObject* object : ConfigDataSources) {
    auto* source = static_cast<const TConfigDataSource*>(object);
    if (source->Id == id) return source;
  }
  return nullptr;
}

// --- log

void TzorPlugin::AddLog(int level, const std::string& message, bool mark) {
  if (FDestroying || !FLog) return;
  try {
    if (level < 0) level = 0;
    if (level > 126) level = 126;
    std::string line(1, static_cast<char>((level + 1) | (mark ? 0x80 : 0)));
    if (!LogTitle.empty()) line += LogTitle + ". ";
    for (char c : message) line += (c == '\r' || c == '\n') ? ' ' : c;
    FLog->AddLine(line);
    NotifyHost();
  } catch (...) {
    // The log is where failures go; a failure of the log itself has nowhere left to go.
  }
}

void TzorPlugin::LogFailure(const std::string& context, const std::string& message) {
  std::string line = "{" + context + "} " + message;
  AddLog(0, line);
  try {
    for (char& c : line)
      if (c == '\r' || c == '\n') c = ' ';
    platform::DebugOutput(CurrentCallStackText() + ": " + line);
  } catch (...) {
  }
}

void TzorPlugin::NotifyHost() {
  platform::WindowHandle window = MsgProcHandle.load();
  if (window == platform::kNoWindow) return;
  auto index = static_cast<uintptr_t>(static_cast<uint32_t>(ModuleIndex));
  if (platform::PostHostMessage(window, kLogNotifyMessage, index, 0)) return;
  platform::SendHostMessage(window, kLogNotifyMessage, index, 0, kNotifySendTimeoutMs);
}

// --- host callbacks

void TzorPlugin::FindHostCallbacks() {
  DataLogger_SendNotify = platform::FindExport(ParentApp, "DataLogger_SendNotify");
  DataLogger_SendDataEx =
      reinterpret_cast<TDataLoggerSendDataEx>(platform::FindExport(ParentApp, "DataLogger_SendDataEx"));
  DataLogger_DataSourceData = platform::FindExport(ParentApp, "DataLogger_DataSourceData");
  DataLogger_DataSourceState = platform::FindExport(ParentApp, "DataLogger_DataSourceState");
  DataLogger_ManageDynForm = platform::FindExport(ParentApp, "DataLogger_ManageDynForm");
}

int32_t TzorPlugin::SendDataToHost(int32_t dataSourceId, const void* data, int32_t count) {
  TDataLoggerSendDataEx send = DataLogger_SendDataEx;
  if (!send) return -1;
  return send(ModuleIndex, dataSourceId, 0, 0, kSendDataCode, data, count);
}

// --- commands

namespace {

// CommandDepth for the duration of one command.
class TCommandDepth {
public:
  explicit TCommandDepth(std::atomic<int32_t>& depth) : FDepth(depth), Value(depth.fetch_add(1) + 1) {}
  ~TCommandDepth() { FDepth.fetch_sub(1); }

private:
  std::atomic<int32_t>& FDepth;

public:
  const int32_t Value;
};

}  // namespace

// A handle given as a number; an empty or null value is no handle.
static uintptr_t HandleValue(const TVariant& value) {
  if (value.IsEmptyOrNull()) return 0;
  return static_cast<uintptr_t>(value.ToInt64());
}

int TzorPlugin::RunCommand(const std::string& word, TPluginCallRecIntft& record) {
  platform::CriticalSectionGuard lock(CommandLock);
  TCommandDepth depth(CommandDepth);
  if (depth.Value != 1) {
    // A handler reached this instance again through the host: refused without a log line, so
    // that the outer command's own log is not disturbed.
    EAssertionFailed failure("Nested plugin commands are not allowed", kSourcePath, kLineNestedCommand);
    platform::DebugOutput(CurrentCallStackText() + ": " + failure.Message);
    return kResultFailed;
  }
  try {
    if (word == "LOAD") HandleLanguageRequest(record);
    if (record.Has("MSG-PROC-HANDLE")) MsgProcHandle = HandleValue(record.Value("MSG-PROC-HANDLE"));
    if (record.Has("OWNER-FORM")) OwnerForm = HandleValue(record.Value("OWNER-FORM"));
    return DispatchCommand(word, record);
  } catch (const std::exception& failure) {
    LogFailure(word, failure.what());
    return kResultFailed;
  }
}

int TzorPlugin::DispatchCommand(const std::string& word, TPluginCallRecIntft& record) {
  if (word == "EVENT") return CommandEvent(record);
  if (word == "LOAD") return CommandLoad(record);
  if (word == "UNLOAD") return CommandUnload(record);
  if (word == "SET-ITEMS") return CommandSetItems(record);
  if (word == "SET-STATE") return CommandSetState(record);
  if (word == "ITEMS") return CommandItems(record);
  if (word == "EVENTS-SUPPORT") {
    record.SetValue("RESULT", TVariant::Adopt(VariantFromText(EventsSupported)).Raw());
    return kResultDone;
  }
  if (word == "GET-MODULE-PARAMETER" || word == "SET-MODULE-PARAMETER")
    return CommandModuleParameter(word, record);
  if (word == "SAVE-SETTINGS-NOW" || word == "LOAD-SETTINGS-NOW") return CommandSettingsNow(word, record);
  if (!OnCommand) return kResultNotHandled;
  int result = kResultNotHandled;
  OnCommand(this, word, result, record);
  return result;
}

// A language other than the instance's own (compared without regard to case) makes the
// instance translate itself; the same language changes nothing. Without a translator only the
// language code and the handler follow the request.
void TzorPlugin::HandleLanguageRequest(TPluginCallRecIntft& record) {
  std::string requested = record.Text("LANGUAGE");
  if (requested.empty() || Language.empty()) return;
  if (platform::AnsiCompareText(requested, Language) == 0) return;
  Translated = false;
  if (Translator) {
    Translator->SetLanguage(requested);
    Translator->TranslateComponent(this, requested);
    Translated = true;
  }
  Language = requested;
  try {
    if (OnLanguageChanged) OnLanguageChanged(this);
  } catch (const std::exception& failure) {
    LogFailure("TRANSL", failure.what());
  }
  Language = requested;
}

int TzorPlugin::CommandEvent(TPluginCallRecIntft& record) {
  if (!record.Has("EVENT-TYPE")) return kResultRefused;
  if (!OnEvent) return kResultDone;
  int result = kResultRefused;
  try {
    OnEvent(this, record.Text("EVENT-TYPE"), result, record);
  } catch (const std::exception& failure) {
    LogFailure("EVENT", failure.what());
    return kResultFailed;
  }
  return result;
}

int TzorPlugin::CommandLoad(TPluginCallRecIntft& record) {
  OptionsDialogOpen = false;
  if (LoadCount.fetch_add(1) + 1 != 1) return kResultDone;
  {
    std::lock_guard location(FLoadLocationMutex);
    LoadThreadId = platform::CurrentThreadId();
    ModuleIndex = record.Saved.HostIndex;
    ModuleRegistryPath = record.Text("REGISTRY-PATH");
  }
  INISectionPrefix = record.Text("INI-SECTION-PREFIX");
  if (record.Has("HANDLE")) ParentApp = HandleValue(record.Value("HANDLE"));
  ApplicationFullName = record.Text("APPLICATION-NAME");
  if (!ParentApp && !ApplicationFullName.empty()) ParentApp = platform::FindLoadedModule(ApplicationFullName);
  ModuleLoadForConfig = 0;
  if ((ModuleOptions & 0x04) && record.Has("CONFIG-ID"))
    ModuleLoadForConfig = record.Value("CONFIG-ID").ToInt();
  INIFile = record.Text("INI-FILE");
  if (ParentApp) FindHostCallbacks();
  TerminateNow = false;
  if (FLog->Count() > 0) NotifyHost();
  if (OnLoad) {
    int result = kResultDone;
    OnLoad(this, record, result);
  }
  return kResultDone;
}

int TzorPlugin::CommandUnload(TPluginCallRecIntft& record) {
  OptionsDialogOpen = false;
  try {
    int32_t count = LoadCount.load();
    do {
      if (count <= 0) {
        LoadCount = 0;
        return kResultDone;
      }
    } while (!LoadCount.compare_exchange_weak(count, count - 1));
    if (count - 1 > 0) return kResultDone;
    TerminateNow = true;
    std::memset(StateFlags, 0, sizeof(StateFlags));
    std::string iniFile = record.Text("INI-FILE");
    if (iniFile != INIFile) {
      INIFile = iniFile;
      try {
        if (OnSaveSettingsNow) OnSaveSettingsNow(this);
      } catch (...) {
      }
    }
    try {
      int result = kResultDone;
      if (OnUnload) OnUnload(this, record, result);
    } catch (...) {
    }
    ParentApp = 0;
    MsgProcHandle = 0;
    return kResultDone;
  } catch (...) {
    return kResultFailed;
  }
}

int TzorPlugin::CommandSetItems(TPluginCallRecIntft& record) {
  TVariant items = record.Value("ITEMS");
  if (!VariantIsText(items.Raw())) return kResultRefused;
  SetParserItemsText(items.ToText(), true);
  if (OnItemsSet) OnItemsSet(this);
  return kResultDone;
}

int TzorPlugin::CommandSetState(TPluginCallRecIntft& record) {
  int result = kResultRefused;
  if (record.Has("DATA-SOURCES-IN-CFG")) {
    std::string text = record.Text("DATA-SOURCES-IN-CFG");
    platform::WriteGuard guard(InstanceLock);
    ConfigDataSources.Clear();
    for (const std::string& line : SplitLines(text)) {
      try {
        std::vector<std::string> fields = SplitAt(line, ";");
        int64_t id = 0;
        // A number the data source's id cannot hold names no data source of this host: keeping
        // it cut to 32 bits would file the line under another source's id.
        if (!TryParseInt(Trim(fields[0]), id) || id < std::numeric_limits<int32_t>::min() ||
            id > std::numeric_limits<int32_t>::max())
          continue;
        auto source = std::make_unique<TConfigDataSource>();
        source->Text = line;
        source->Id = static_cast<int32_t>(id);
        if (fields.size() > 1) source->Name = Trim(fields[1]);
        if (fields.size() > 2) source->FullName = Trim(fields[2]);
        ConfigDataSources.Add(source.release());
      } catch (const std::exception& failure) {
        result = kResultFailed;
        LogFailure("SETSTATE", failure.what());
      }
    }
  }
  if (record.Has("DATA-SOURCE-LOAD")) DataSourceLoadFor = record.Text("DATA-SOURCE-LOAD");
  if (record.Has("RESULT")) {
    int32_t value = record.Value("RESULT").ToInt();
    uint8_t flags = record.Saved.Flags;
    for (int bit = 0; bit < 8; ++bit)
      if (flags & (1u << bit)) StateFlags[bit] = value == 1 ? 1 : 0;
    if (OnChangeState) OnChangeState(this, flags);
    result = kResultDone;
  }
  return result;
}

int TzorPlugin::CommandItems(TPluginCallRecIntft& record) {
  if (!record.Has("RESULT")) return kResultRefused;
  if (OnBeforeGetParserItems) OnBeforeGetParserItems(this);
  std::string text = ParserItemsText();
  record.SetValue("RESULT", TVariant::Adopt(VariantFromText(text)).Raw());
  LastItemsText = text;
  return kResultDone;
}

int TzorPlugin::CommandModuleParameter(const std::string& word, TPluginCallRecIntft& record) {
  if (!record.Has("PARAM")) return kResultNotHandled;
  std::string name = record.Text("PARAM");
  if (word == "GET-MODULE-PARAMETER") {
    record.SetValue("RESULT", GetModuleParameter(name).Raw());
    return kResultDone;
  }
  TVariant value = record.Has("VALUE") ? record.Value("VALUE") : TVariant::Adopt(VariantNull());
  bool taken = SetModuleParameter(name, value.Raw());
  record.SetValue("RESULT", TVariant::Adopt(VariantFromBool(taken)).Raw());
  return kResultDone;
}

int TzorPlugin::CommandSettingsNow(const std::string& word, TPluginCallRecIntft& record) {
  struct TRestoreIniFile {
    std::string& Field;
    std::string Saved;
    ~TRestoreIniFile() { Field = Saved; }
  } restore{INIFile, INIFile};
  INIFile = record.Text("INI-FILE");
  if (word == "LOAD-SETTINGS-NOW") {
    if (OnLoadSettingsNow) OnLoadSettingsNow(this);
    INIFile = restore.Saved;
  }
  if (OnSaveSettingsNow) {
    TVariant noSave = record.Value("NO-SAVE");
    bool save = noSave.IsEmptyOrNull();
    if (!save) {
      int64_t number = 0;
      save = VariantIsText(noSave.Raw()) ? (TryTextToInt64(noSave.ToText(), number) && number == 0)
                                         : noSave.ToInt64() == 0;
    }
    if (save) OnSaveSettingsNow(this);
  }
  return kResultNotHandled;
}

// --- data path

bool TzorPlugin::WaitWhileTerminatingBusy(uint64_t timeoutMs) {
  uint64_t start = platform::Now();
  std::unique_lock lock(FProcessMutex);
  while (ProcessBusy() && TerminateNow.load()) {
    if (platform::Now() - start >= timeoutMs) return false;
    FProcessDone.wait_for(lock, std::chrono::milliseconds(50));
    lock.unlock();
    platform::ServeThreadMessages();
    lock.lock();
  }
  return true;
}

void TzorPlugin::EnterDataCall() {
  FProcessCalls.fetch_add(1);
}

void TzorPlugin::LeaveDataCall() {
  {
    std::lock_guard lock(FProcessMutex);
    FProcessCalls.fetch_sub(1);
  }
  FProcessDone.notify_all();
}

static bool EndsWithRowMarker(IzorParamsListW* list) {
  int32_t count = list->GetCount();
  if (count <= 0) return false;
  TInterfaceRef<IzorParamsListItemW> item;
  return list->GetItem(count - 1, item.Receive()) == S_OK && item && item->IsNewRow();
}

int TzorPlugin::RunDataCall(TPluginCallRec* callRecord) {
  TPluginCallRecIntft record(callRecord);
  TPluginCallRec* rec = record.Rec;
  const uintptr_t remembered = rec->DataIn.Value;
  const uint8_t flags = rec->Flags;
  int result = kResultDone;
  bool skip = flags == 0;
  if (!skip && !(flags & kDataFlagKeepEmptyList) && record.DataInList && record.DataInList->GetCount() == 0)
    rec->DataIn.Value = 0;
  if (!skip && (flags & kDataFlagWrite)) {
    if (rec->DataIn.Value == 0) {
      if (std::string message = DataMessage(*this, &TzorPlugin::MsgNoData); !message.empty())
        AddLog(1, message);
      skip = true;
    } else if (record.Saved.DataIn.Kind == kDataKindList && record.DataInList &&
               record.DataInList->GetCount() > 0 && !EndsWithRowMarker(record.DataInList)) {
      record.DataInList->AddNewRow();
    }
  }
  if (!skip && OnProcessData) {
    try {
      OnProcessData(this, record, result);
      if (result > 0 && rec->DataIn.Value == 0) result = kResultDone;
      if (flags & (kDataFlagWrite | kDataFlagWriteReport)) {
        const std::string error = DataMessage(*this, &TzorPlugin::MsgWriteCompleteError);
        const std::string complete = DataMessage(*this, &TzorPlugin::MsgWriteComplete);
        if (result < 0 && !error.empty()) AddLog(1, error);
        if (result >= 0 && !complete.empty()) AddLog(2, complete);
      }
    } catch (const std::exception& failure) {
      result = kResultFailed;
      const std::string error = DataMessage(*this, &TzorPlugin::MsgWriteCompleteError);
      if (!error.empty()) AddLog(1, error + ": " + failure.what());
    }
  } else if (!skip && (flags & kDataFlagEcho)) {
    // The echo hands the host its own block back, never this call's temporary interface.
    bool converted =
        rec->DataIn.Kind == kDataKindListInterface && record.Saved.DataIn.Kind != kDataKindListInterface;
    rec->DataOut = converted ? record.Saved.DataIn : rec->DataIn;
  }
  if (rec->DataIn.Value == remembered) rec->DataIn.Value = 0;
  return result;
}

void TzorPlugin::AddParserItem(const std::string& name, const std::string& description,
                               const std::string& extra, uint8_t type) {
  ParserItems.push_back(TParserItem{name, description, type, extra});
}

void TzorPlugin::SetParserItem(int index, const TParserItem& item) {
  if (index < 0) return;
  if (static_cast<std::size_t>(index) >= ParserItems.size())
    ParserItems.resize(static_cast<std::size_t>(index) + 1);
  ParserItems[static_cast<std::size_t>(index)] = item;
}

void TzorPlugin::AddStandardParserItems(bool withClientId) {
  static const struct {
    const char* Name;
    const char* Description;
    uint8_t Type;
  } kStandard[] = {
      {"FULL_DATA_PACKET", "Full data packet", 0},
      {"DATA_PACKET", "Data packet", 0},
      {"DATE_TIME_STAMP", "Datetime stamp", 11},
      {"DATA_SOURCE_ID", "Data source ID", 8},
      {"DATA_SOURCE_NAME", "Data source name", 0},
      {"DATA_SOURCE_FULL_NAME", "Data source long name", 0},
      {"CLIENTID", "Client ID", 8},
  };
  std::size_t count = withClientId ? 7 : 6;
  for (std::size_t i = 0; i < count; ++i)
    AddParserItem(kStandard[i].Name, kStandard[i].Description, "", kStandard[i].Type);
}

std::string TzorPlugin::ParserItemsText() const {
  std::string text;
  for (std::size_t i = 0; i < ParserItems.size(); ++i) {
    const TParserItem& item = ParserItems[i];
    if (i > 0) text += "\r\n";
    text += item.Description + "|" + item.Name + "|" + TypeName(item.Type) + "|" + item.Extra;
  }
  return text;
}

// A line with fewer than two fields ends the reading; the items read before it are kept.
void TzorPlugin::SetParserItemsText(const std::string& text, bool replace) {
  if (replace) ParserItems.clear();
  for (const std::string& line : SplitLines(text)) {
    if (line.empty()) continue;
    std::vector<std::string> fields = SplitAt(line, "|");
    if (fields.size() < 2) break;
    TParserItem item;
    item.Description = fields[0];
    item.Name = fields[1];
    item.Type = fields.size() > 2 ? ParserItemTypeFromName(fields[2]) : kParserItemNoType;
    if (fields.size() > 3) item.Extra = fields[3];
    ParserItems.push_back(std::move(item));
  }
}

// The local date and time as an OLE date: days since 1899-12-30, the fraction the time of day.
static double LocalOleDateNow() {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t seconds = system_clock::to_time_t(now);
  auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  {
    static std::mutex localTimeLock;  // std::localtime shares one result between threads
    std::lock_guard guard(localTimeLock);
    if (std::tm* result = std::localtime(&seconds)) local = *result;
  }
  // Days from the civil date (proleptic Gregorian), then the offset of 1899-12-30.
  int y = local.tm_year + 1900, m = local.tm_mon + 1, d = local.tm_mday;
  y -= m <= 2;
  int era = (y >= 0 ? y : y - 399) / 400;
  int yoe = y - era * 400;
  int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  int daysSince1970 = era * 146097 + doe - 719468;
  double days = daysSince1970 + 25569.0;
  double dayFraction =
      (local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + millis / 1000.0) / 86400.0;
  return days + dayFraction;
}

int TzorPlugin::AddStandardFields(TzorParamsList* list, const std::string* fullPacket,
                                  const std::string& clientName, const std::string& fullName,
                                  const std::string& name, int32_t clientId, int32_t dataSourceId,
                                  const std::string* dataPacket) {
  if (!list) return 0;
  int added = 0;
  auto add = [&](const char* field, VARIANT value) {
    TVariant owned = TVariant::Adopt(value);
    if (list->Add(field, owned.Raw())) ++added;
  };
  if (fullPacket) add("FULL_DATA_PACKET", VariantFromText(*fullPacket));
  if (dataPacket) add("DATA_PACKET", VariantFromText(*dataPacket));
  VARIANT stamp = VariantEmpty();
  stamp.vt = VT_DATE;
  stamp.date = LocalOleDateNow();
  add("DATE_TIME_STAMP", stamp);
  add("DATA_SOURCE_ID", VariantFromInt(dataSourceId));
  add("DATA_SOURCE_FULL_NAME", VariantFromText(fullName));
  if (clientId != 0) {
    add("CLIENTID", VariantFromInt(clientId));
    add("DATA_SOURCE_NAME", VariantFromText(clientName));
  } else {
    add("DATA_SOURCE_NAME", VariantFromText(name));
  }
  return added;
}

static constexpr std::size_t kSeparatorLength = sizeof(kPacketSeparator) - 1;

// Puts the packet text into DataIn: a buffer the module made (kind 4) grows by the text, joined
// to what it holds by the separator; any other block gets a new buffer.
static void StorePacketText(TPluginCallData& in, const std::string& text, bool append) {
  auto* present = reinterpret_cast<char*>(in.Value);
  if (in.Kind == kDataKindModuleBuffer && in.Size > 0 && present) {
    std::size_t presentSize = append ? static_cast<std::size_t>(in.Size) : 0;
    // Every packet after the first is preceded by the separator, short ones too, so the host
    // can always split the texts again.
    bool separate = presentSize > 0 && !(presentSize >= kSeparatorLength &&
                                         std::memcmp(present + presentSize - kSeparatorLength,
                                                     kPacketSeparator, kSeparatorLength) == 0);
    std::string added = (separate ? std::string(kPacketSeparator) : std::string()) + text;
    auto* buffer = static_cast<char*>(ReallocPluginBuffer(present, presentSize + added.size()));
    if (!buffer) throw EOutOfMemory("Out of memory");
    std::memcpy(buffer + presentSize, added.data(), added.size());
    in.Value = reinterpret_cast<uintptr_t>(buffer);
    in.Size = static_cast<int32_t>(presentSize + added.size());
    return;
  }
  auto* buffer = static_cast<char*>(AllocPluginBuffer(text.size()));
  if (!buffer) throw EOutOfMemory("Out of memory");
  std::memcpy(buffer, text.data(), text.size());
  in.Kind = kDataKindModuleBuffer;
  in.Value = reinterpret_cast<uintptr_t>(buffer);
  in.Size = static_cast<int32_t>(text.size());
}

void TzorPlugin::SendParsedData(TPluginCallRecIntft& record, TParsedDataList* parsed, bool append) {
  IzorParamsListW* out = record.DataOutList;
  if (!out || !parsed) return;
  TPluginCallRec* rec = record.Rec;
  if (!parsed->PacketText.empty()) StorePacketText(rec->DataIn, parsed->PacketText, append);
  rec->DataOut.Count += 1;
  if (!append) out->Clear();
  for (int32_t i = 0; i < parsed->Count(); ++i) {
    TzorParamsListItem* item = parsed->Items(i);
    std::u16string name = platform::AnsiToWide(item->Name);
    TInterfaceRef<IzorParamsListItemW> added;
    if (out->Add(reinterpret_cast<const WideChar*>(name.c_str()), item->Value.Raw(), added.Receive()) !=
            S_OK ||
        !added)
      throw Exception("The packet list refused the item " + item->Name);
    added->SetDataType(item->DataType);
    added->SetState(item->State);
  }
}

// --- module parameters

static TVariant IntValue(int64_t value) {
  if (value >= INT32_MIN && value <= INT32_MAX)
    return TVariant::Adopt(VariantFromInt(static_cast<int32_t>(value)));
  return TVariant::Adopt(VariantFromInt64(value));
}
static TVariant TextValue(const std::string& text) {
  return TVariant::Adopt(VariantFromText(text));
}
static TVariant BoolValue(bool value) {
  return TVariant::Adopt(VariantFromBool(value));
}

// The key of a custom parameter name ("Custom" + key, one leading " ", ":" or "_" dropped), or
// nothing when the name does not name one.
static bool CustomKey(const std::string& name, std::string& key) {
  if (name.rfind("Custom", 0) != 0) return false;
  key = name.substr(6);
  if (!key.empty() && (key[0] == ' ' || key[0] == ':' || key[0] == '_')) key.erase(0, 1);
  return !key.empty();
}

static bool CustomIndex(const std::string& key, int& index) {
  if (key.size() >= 3) return false;
  int64_t value = 0;
  if (!TryParseInt(key, value) || value < 0) return false;
  index = static_cast<int>(value);
  return true;
}

TVariant TzorPlugin::GetCustomParameter(const std::string& key) {
  TzorThreadParamsList* params = CustomParams();
  TzorParamsList* list = params->LockRead();
  struct TUnlock {
    TzorThreadParamsList* P;
    ~TUnlock() { P->UnlockRead(); }
  } unlock{params};
  if (key == "COUNT") return IntValue(list->Count());
  int index = 0;
  if (CustomIndex(key, index) && index < list->Count()) return TVariant(list->Items(index)->Value.Raw());
  if (list->IndexOf(key) < 0) return TVariant::Adopt(VariantNull());
  return list->GetValue(key);
}

bool TzorPlugin::SetCustomParameter(const std::string& key, const VARIANT& value) {
  TzorThreadParamsList* params = CustomParams();
  TzorParamsList* list = params->LockWrite();
  struct TUnlock {
    TzorThreadParamsList* P;
    ~TUnlock() { P->UnlockWrite(); }
  } unlock{params};
  if (key == "COUNT") {
    list->Clear();
    return true;
  }
  int index = 0;
  if (CustomIndex(key, index) && index < list->Count()) {
    list->Items(index)->SetValue(value);
    return true;
  }
  return list->SetValue(key, value, true) != nullptr;
}

std::string TzorPlugin::AppDataPath() const {
  std::string folder = platform::CommonAppDataFolder();
  if (folder.empty()) folder = platform::EnvironmentVariable("CommonProgramFiles");
  std::vector<std::string> parts = SplitAt(ModuleRegistryPath, "\\");
  std::string part = parts.size() > 3 ? SafeFileName(parts[3], ' ') : std::string();
  return IncludeTrailingDelimiter(IncludeTrailingDelimiter(folder) + part);
}

std::string TzorPlugin::ModuleConfigId() const {
  std::string id = INISectionPrefix;
  std::size_t close = id.find('}');
  if (close != std::string::npos) id.resize(close);
  std::size_t open = id.find('{');
  if (open != std::string::npos) id.erase(0, open + 1);
  std::size_t colon = id.find(':');
  if (colon != std::string::npos) id.erase(0, colon + 1);
  return id;
}

std::string TzorPlugin::ModuleDataPath() const {
  std::string firstLine = Description.substr(0, Description.find_first_of("\r\n"));
  std::string name = firstLine.empty() ? std::string() : SafeFileName(firstLine, '-');
  if (name.empty()) {
    name = ModuleName.substr(0, ModuleName.find_last_of('.'));
    name = platform::AnsiLowerCase(name);
  }
  return IncludeTrailingDelimiter(AppDataPath() + ModuleConfigId() + platform::PathDelimiter() + name);
}

static std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) text += (i ? "\r\n" : "") + lines[i];
  return text;
}

TVariant TzorPlugin::GetModuleParameter(const std::string& name) {
  if (SameText(name, "LogTitle")) return TextValue(LogTitle);
  if (SameText(name, "Description")) return TextValue(Description);
  if (SameText(name, "EventsSupported")) return TextValue(EventsSupported);
  if (SameText(name, "CustomCommands")) return TextValue(CustomCommands->Text());
  if (SameText(name, "TranslatorComponentProperties"))
    return TextValue(Translator ? JoinLines(Translator->ComponentProperties()) : std::string());
  if (SameText(name, "ModuleType")) return IntValue(ModuleType);
  if (SameText(name, "ModuleEnabled")) {
    int mask = 0;
    for (int bit = 0; bit < 8; ++bit)
      if (StateFlags[bit]) mask |= 1 << bit;
    return IntValue(mask);
  }
  if (SameText(name, "ModuleDllHandle")) return IntValue(static_cast<int64_t>(DllHandle));
  if (SameText(name, "ModuleLoadCount")) return IntValue(LoadCount.load());
  if (SameText(name, "ModuleIndex")) return IntValue(ModuleIndex);
  if (SameText(name, "ModulePluginHandle")) return IntValue(static_cast<int64_t>(SelfHandle));
  if (SameText(name, "ModulePath")) return TextValue(ModulePath);
  if (SameText(name, "ModuleName")) return TextValue(ModuleName);
  if (SameText(name, "ApplicationFullName")) return TextValue(ApplicationFullName);
  if (SameText(name, "INIFile")) return TextValue(INIFile);
  if (SameText(name, "ModuleRegistryPath")) return TextValue(ModuleRegistryPath);
  if (SameText(name, "INISectionPrefix")) return TextValue(INISectionPrefix);
  if (SameText(name, "DisplayFullVersion")) return TextValue(DisplayFullVersion);
  if (SameText(name, "DataSourceLoadFor")) return TextValue(DataSourceLoadFor);
  if (SameText(name, "ModuleDataPath")) return TextValue(ModuleDataPath());
  if (SameText(name, "AppDataPath")) return TextValue(AppDataPath());
  if (SameText(name, "ModuleConfigId")) return TextValue(ModuleConfigId());
  if (SameText(name, "ModuleLoadForConfig")) return IntValue(ModuleLoadForConfig);
  if (SameText(name, "ModuleRegistryRoot1")) return IntValue(ModuleRegistryRoot1);
  if (SameText(name, "ModuleRegistryRoot2")) return IntValue(ModuleRegistryRoot2);
  if (SameText(name, "ParserItems")) return TextValue(ParserItemsText());
  if (SameText(name, "ParserItemsCount")) return IntValue(ParserItemCount());
  if (SameText(name, "TerminateNow")) return BoolValue(TerminateNow.load());
  if (SameText(name, "IsTemporaryLoad")) return BoolValue(IsTemporaryLoad);
  if (SameText(name, "ParentApp")) return IntValue(static_cast<int64_t>(ParentApp));
  if (SameText(name, "OWNER-FORM")) return IntValue(static_cast<int64_t>(OwnerForm));
  if (SameText(name, "TESTTRANSL")) {
    for (const std::string& argument : platform::ProgramArguments())
      if (argument == "/TESTTRANSL") return BoolValue(true);
    return BoolValue(false);
  }
  std::string prefix = name.substr(0, 14);
  if (prefix == "ParserItemName" || prefix == "ParserItemDesc" || prefix == "ParserItemType") {
    int64_t index = 0;
    if (!TryParseInt(name.substr(14, 3), index) || index < 0 || index >= ParserItemCount()) return TVariant();
    const TParserItem& item = ParserItems[static_cast<std::size_t>(index)];
    if (prefix == "ParserItemName") return TextValue(item.Name);
    if (prefix == "ParserItemDesc") return TextValue(item.Description);
    return IntValue(item.Type);
  }
  std::string key;
  if (CustomKey(name, key)) return GetCustomParameter(key);
  return TVariant();
}

bool TzorPlugin::SetModuleParameter(const std::string& name, const VARIANT& value) {
  TVariant v(value);
  if (SameText(name, "LogTitle")) {
    LogTitle = v.IsEmptyOrNull() ? std::string() : v.ToText();
    return true;
  }
  if (SameText(name, "Description")) {
    Description = v.IsEmptyOrNull() ? std::string() : v.ToText();
    return true;
  }
  if (SameText(name, "EventsSupported")) {
    EventsSupported = v.IsEmptyOrNull() ? std::string() : v.ToText();
    return true;
  }
  if (SameText(name, "CustomCommands")) {
    CustomCommands->AddFromText(v.IsEmptyOrNull() ? std::string() : v.ToText());
    return true;
  }
  if (SameText(name, "ParserItems")) {
    SetParserItemsText(v.IsEmptyOrNull() ? std::string() : v.ToText(), true);
    return true;
  }
  if (SameText(name, "ModuleType")) {
    try {
      ModuleType = static_cast<uint8_t>(v.ToInt64() & 0xFF);
      return true;
    } catch (const EConvertError&) {
      return false;
    }
  }
  if (SameText(name, "OWNER-FORM")) {
    OwnerForm = HandleValue(v);
    return true;
  }
  if (SameText(name, "SUBSCRIBE-FOR-DATA")) {
    SubscribeForData = !v.IsEmptyOrNull() && v.ToBool();
    return true;
  }
  if (SameText(name, "TranslatorComponentProperties")) {
    if (!Translator) return false;
    for (const std::string& piece : SplitAt(v.IsEmptyOrNull() ? std::string() : v.ToText(), ";|"))
      if (!piece.empty()) Translator->AddComponentProperty(piece);
    return true;
  }
  std::string key;
  if (CustomKey(name, key)) return SetCustomParameter(key, value);
  return false;
}

// ---------------------------------------------------------------------------------------------
// The registry, the class reference and the library's life

static TzorPlugin* NewTzorPlugin(TPluginCallRecIntft* record, platform::ModuleHandle dllHandle) {
  return new TzorPlugin(record, dllHandle);
}

static std::atomic<TzorPluginClass> gPluginClass{&NewTzorPlugin};
static std::atomic<TThreadObjectList*> gRegistry{new TThreadObjectList(false)};
static std::atomic<std::vector<TShutdownProc>*> gShutdownProcs{new std::vector<TShutdownProc>()};

TzorPluginClass PluginClass() {
  return gPluginClass.load();
}
TzorPluginClass SetPluginClass(TzorPluginClass pluginClass) {
  return gPluginClass.exchange(pluginClass);
}

TThreadObjectList* PluginInstances() {
  return gRegistry.load();
}

void AddShutdownProc(TShutdownProc proc) {
  std::vector<TShutdownProc>* procs = gShutdownProcs.load();
  if (procs && proc) procs->push_back(proc);
}

TzorPlugin* FindPluginInstance(uintptr_t handle) {
  TThreadObjectList* registry = gRegistry.load();
  if (!handle || !registry) return nullptr;
  TObjectList* list = registry->LockListRead();
  struct TUnlock {
    TThreadObjectList* R;
    ~TUnlock() { R->UnlockRead(); }
  } unlock{registry};
  for (TObject* object : *list) {
    auto* plugin = static_cast<TzorPlugin*>(object);
    if (plugin->SelfHandle == handle) {
      plugin->AddUse();
      return plugin;
    }
  }
  return nullptr;
}

namespace {

// A counted reference to an instance for the duration of one export call.
class TInstanceUse {
public:
  explicit TInstanceUse(uintptr_t handle) : FPlugin(FindPluginInstance(handle)) {}
  ~TInstanceUse() {
    if (FPlugin) FPlugin->ReleaseUse();
  }
  TInstanceUse(const TInstanceUse&) = delete;
  TInstanceUse& operator=(const TInstanceUse&) = delete;
  TzorPlugin* operator->() const { return FPlugin; }
  explicit operator bool() const { return FPlugin != nullptr; }
  TzorPlugin* get() const { return FPlugin; }

private:
  TzorPlugin* FPlugin;
};

// Marks a data call in progress.
class TDataCallMark {
public:
  explicit TDataCallMark(TzorPlugin* plugin) : FPlugin(plugin) { FPlugin->EnterDataCall(); }
  ~TDataCallMark() { FPlugin->LeaveDataCall(); }

private:
  TzorPlugin* FPlugin;
};

}  // namespace

static void ReleaseInstances(std::vector<TzorPlugin*>& plugins) {
  for (TzorPlugin* plugin : plugins) {
    try {
      plugin->ReleaseUse();
    } catch (...) {
    }
  }
}

void FreeAllPluginInstances() {
  TThreadObjectList* registry = gRegistry.load();
  if (!registry) return;
  std::vector<TzorPlugin*> plugins;
  {
    TObjectList* list = registry->LockList();
    for (TObject* object : *list) plugins.push_back(static_cast<TzorPlugin*>(object));
    list->Clear();
    registry->UnlockWrite();
  }
  ReleaseInstances(plugins);
}

static void RunLibraryShutdown() {
  std::vector<TShutdownProc>* procs = gShutdownProcs.exchange(nullptr);
  if (!procs) return;
  std::unique_ptr<std::vector<TShutdownProc>> owned(procs);
  // The crash reporter keeps no background work in this build; its procedures run below.
  for (TShutdownProc proc : *owned) {
    try {
      proc();
    } catch (...) {
    }
  }
}

namespace {

// Finalisation when the library is unloaded (or the program ends).
struct TLibraryFinalisation {
  ~TLibraryFinalisation() {
    delete gShutdownProcs.exchange(nullptr);
    FreeAllPluginInstances();
    delete gRegistry.exchange(nullptr);
  }
} gLibraryFinalisation;

}  // namespace

// --- entry points

int32_t zorCreatePluginInstance(TPluginCallRec* callRecord) {
  try {
    if (!callRecord || callRecord->Instance != 0) return kResultRefused;
    TPluginCallRecIntft record(callRecord);
    TThreadObjectList* registry = gRegistry.load();
    if (!registry) return kResultRefused;
    TzorPlugin* plugin = PluginClass()(&record, 0);
    if (!plugin) return kResultRefused;
    try {
      plugin->AfterConstruction();
    } catch (...) {
      delete plugin;
      throw;
    }
    plugin->SelfHandle = reinterpret_cast<uintptr_t>(plugin);
    registry->Add(plugin);
    callRecord->Instance = plugin->SelfHandle;
    return kResultDone;
  } catch (const std::exception& failure) {
    // No instance exists that could log it: the reason goes to the debug output.
    platform::DebugOutput(CurrentCallStackText() + ": {CREATE} " + failure.what());
    return kResultRefused;
  } catch (...) {
    return kResultRefused;
  }
}

int32_t zorFreePluginInstance(TPluginCallRec* callRecord) {
  try {
    if (!callRecord) return kResultRefused;
    if (callRecord->DataIn.Kind == kDataKindMarker && callRecord->DataIn.Value == kShutdownMarker) {
      RunLibraryShutdown();
      return kResultDone;
    }
    TThreadObjectList* registry = gRegistry.load();
    if (!callRecord->Instance || !registry) return kResultRefused;
    TzorPlugin* found = nullptr;
    {
      TObjectList* list = registry->LockListRead();
      for (TObject* object : *list) {
        auto* plugin = static_cast<TzorPlugin*>(object);
        if (plugin->SelfHandle == callRecord->Instance) {
          registry->LockList();
          list->Extract(plugin);
          registry->UnlockWrite();
          found = plugin;
          break;
        }
      }
      registry->UnlockRead();
    }
    if (!found) return kResultRefused;
    try {
      found->ReleaseUse();
    } catch (...) {
    }
    return kResultDone;
  } catch (...) {
    return kResultRefused;
  }
}

bool zorGetModuleInfo(TPluginCallRec* callRecord, TPluginModuleInfo* info, uint32_t* requiredSize) {
  try {
    if (requiredSize) *requiredSize = 0;
    if (!callRecord) return false;
    TInstanceUse plugin(callRecord->Instance);
    if (!plugin) return false;
    std::string description = AnsiToUtf8(plugin->Description);
    std::string commands = AnsiToUtf8(plugin->CustomCommands->Text());
    uint32_t required = kModuleInfoHeaderSize + static_cast<uint32_t>(description.size() + commands.size());
    if (requiredSize) *requiredSize = required;
    if (!info || info->BufferSize < kModuleInfoHeaderSize) return false;
    uint32_t size = info->BufferSize;
    std::memset(info, 0, kModuleInfoHeaderSize);
    info->BufferSize = size;
    info->ModuleKind = plugin->ModuleType | (static_cast<uint32_t>(plugin->ModuleOptions & 0x07) << 16);
    info->InterfaceVersionNumber = 4;
    info->InterfaceVersion = plugin->InterfaceVersion;
    info->InfoKind = plugin->InfoKind;
    if (size < required) return false;
    char* text = reinterpret_cast<char*>(info) + kModuleInfoHeaderSize;
    if (!description.empty()) {
      info->DescriptionLength = static_cast<uint32_t>(description.size());
      info->DescriptionAddress = reinterpret_cast<uintptr_t>(text);
      std::memcpy(text, description.data(), description.size());
      text += description.size();
    }
    if (!commands.empty()) {
      info->CustomCommandsLength = static_cast<uint32_t>(commands.size());
      info->CustomCommandsAddress = reinterpret_cast<uintptr_t>(text);
      std::memcpy(text, commands.data(), commands.size());
    }
    return true;
  } catch (...) {
    return false;
  }
}

int32_t zorExecutePluginCommand(TPluginCallRec* callRecord) {
  gCommandCount.fetch_add(1);
  try {
    if (!callRecord || callRecord->Size != kCallRecSize || !callRecord->Params) return kResultRefused;
    TInstanceUse plugin(callRecord->Instance);
    if (!plugin) return kResultRefused;
    std::string word;
    try {
      TPluginCallRecIntft record(callRecord);
      TVariant temporary = record.Value("TEMPORARY-LOAD");
      if (!temporary.IsEmptyOrNull()) plugin->IsTemporaryLoad = temporary.ToBool();
      TVariant command = record.Value("COMMAND");
      if (command.IsEmptyOrNull()) return kResultRefused;
      word = command.ToText();
      if (word.empty()) return kResultRefused;
      return plugin->RunCommand(word, record);
    } catch (const std::exception& failure) {
      plugin->LogFailure(word.empty() ? "CMD?" : word, failure.what());
      return kResultFailed;
    }
  } catch (...) {
    return kResultFailed;
  }
}

int32_t zorProcessData(TPluginCallRec* callRecord) {
  try {
    if (!callRecord || callRecord->Size != kCallRecSize || !callRecord->Params) return kResultRefused;
    TInstanceUse plugin(callRecord->Instance);
    if (!plugin) return kResultRefused;
    if (!plugin->WaitWhileTerminatingBusy(kTerminateWaitMs)) return kResultRefused;
    if (plugin->TerminateNow.load() || !gRegistry.load()) return kResultRefused;
    TDataCallMark mark(plugin.get());
    try {
      return plugin->RunDataCall(callRecord);
    } catch (const std::exception& failure) {
      plugin->LogFailure("PROCESS", failure.what());
      return kResultFailed;
    }
  } catch (...) {
    return kResultFailed;
  }
}

int32_t zorGetLogEx(TPluginCallRec* callRecord) {
  try {
    if (!callRecord) return 0;
    callRecord->DataOut.Kind = kDataKindInteger;
    callRecord->DataOut.Value = 0;
    TInstanceUse plugin(callRecord->Instance);
    if (!plugin || !plugin->Log()) return 0;
    uint32_t length = 0;
    int32_t copied = plugin->Log()->HandOver(reinterpret_cast<void*>(callRecord->DataIn.Value),
                                             callRecord->DataIn.Size, length);
    callRecord->DataOut.Value = length;
    return copied;
  } catch (...) {
    return 0;
  }
}

}  // namespace kelda
