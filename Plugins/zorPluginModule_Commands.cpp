// The commands the host sends an instance.
#include <cstring>

#include "Common/Exceptions.h"
#include "Plugins/zorPluginModule.h"
#include "Plugins/zorPluginModule_Helpers.h"
#include "platform/CodePage.h"
#include "platform/Debug.h"
#include "platform/Thread.h"

namespace kelda {

static constexpr char kSourcePath[] = "Plugins/zorPluginModule";
static constexpr int kLineNestedCommand = 3418;

// Trims blanks and control characters at both ends.
static std::string Trim(const std::string& text) {
  std::size_t first = 0, last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= 32) ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= 32) --last;
  return text.substr(first, last - first);
}

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

int TzorPlugin::RunCommand(const std::string& word, TPluginCallRecIntft& record) {
  const THostCallsDeferred deferred(*this);
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
  } catch (...) {
    LogFailure(word, kUnknownFailure);
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
  } catch (...) {
    LogFailure("TRANSL", kUnknownFailure);
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
  } catch (...) {
    LogFailure("EVENT", kUnknownFailure);
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
    std::vector<std::string> failures;
    ReplaceConfigDataSources(record.Text("DATA-SOURCES-IN-CFG"), failures);
    // Logged once the data path may read the list again: a log line may wait for the host.
    for (const std::string& failure : failures) {
      result = kResultFailed;
      LogFailure("SETSTATE", failure);
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

// Replaces the data sources under the instance lock; a line that fails is left out and its
// failure handed back.
void TzorPlugin::ReplaceConfigDataSources(const std::string& text, std::vector<std::string>& failures) {
  platform::WriteGuard guard(InstanceLock);
  ConfigDataSources.Clear();
  for (const std::string& line : SplitLines(text)) {
    try {
      if (std::unique_ptr<TConfigDataSource> source = ReadConfigDataSource(line)) {
        ConfigDataSources.Add(source.get());
        source.release();
      }
    } catch (const std::exception& failure) {
      failures.push_back(failure.what());
    } catch (...) {
      failures.push_back(kUnknownFailure);
    }
  }
}

std::unique_ptr<TConfigDataSource> TzorPlugin::ReadConfigDataSource(const std::string& line) {
  std::vector<std::string> fields = SplitAt(line, ";");
  int64_t id = 0;
  // An identifier beyond 32 bits would wrap onto another data source: not a number.
  if (!TryParseInt(Trim(fields[0]), id) || id < INT32_MIN || id > INT32_MAX) return nullptr;
  auto source = std::make_unique<TConfigDataSource>();
  source->Text = line;
  source->Id = static_cast<int32_t>(id);
  if (fields.size() > 1) source->Name = Trim(fields[1]);
  if (fields.size() > 2) source->FullName = Trim(fields[2]);
  return source;
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
    if (!save && VariantIsText(noSave.Raw())) {
      // An empty text says nothing against saving, like an absent item.
      std::string text = noSave.ToText();
      int64_t number = 0;
      save = text.empty() || (TryTextToInt64(text, number) && number == 0);
    } else if (!save) {
      save = noSave.ToInt64() == 0;
    }
    if (save) OnSaveSettingsNow(this);
  }
  return kResultNotHandled;
}
}  // namespace kelda
