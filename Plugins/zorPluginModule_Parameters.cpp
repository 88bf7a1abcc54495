// Module parameters: what "GET-MODULE-PARAMETER" and "SET-MODULE-PARAMETER" read and write,
// the custom parameters and the folders derived from the settings location.
#include <cstring>
#include <mutex>

#include "Common/Exceptions.h"
#include "Common/TextUtils.h"
#include "Plugins/zorPluginModule.h"
#include "Plugins/zorPluginModule_Helpers.h"
#include "platform/CodePage.h"
#include "platform/File.h"
#include "platform/Module.h"

namespace kelda {

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

static TVariant IntValue(int64_t value) {
  if (value >= INT32_MIN && value <= INT32_MAX)
    return TVariant::Adopt(VariantFromInt(static_cast<int32_t>(value)));
  return TVariant::Adopt(VariantFromInt64(value));
}
// A handle as the host keeps it: its 32-bit pattern as a 32-bit integer, whatever half of the
// address space it lies in.
static TVariant HandleParam(uintptr_t handle) {
  return TVariant::Adopt(VariantFromInt(static_cast<int32_t>(static_cast<uint32_t>(handle))));
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
  const std::string description = DescriptionText();
  std::string firstLine = description.substr(0, description.find_first_of("\r\n"));
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

std::string TzorPlugin::DescriptionText() const {
  std::lock_guard guard(FTextsMutex);
  return Description;
}

std::string TzorPlugin::LogTitleText() const {
  std::lock_guard guard(FTextsMutex);
  return LogTitle;
}

std::string TzorPlugin::CustomCommandsText() const {
  std::lock_guard guard(FTextsMutex);
  return CustomCommands->Text();
}

TVariant TzorPlugin::GetModuleParameter(const std::string& name) {
  if (SameText(name, "LogTitle")) return TextValue(LogTitleText());
  if (SameText(name, "Description")) return TextValue(DescriptionText());
  if (SameText(name, "EventsSupported")) return TextValue(EventsSupported);
  if (SameText(name, "CustomCommands")) return TextValue(CustomCommandsText());
  if (SameText(name, "TranslatorComponentProperties"))
    return TextValue(Translator ? JoinLines(Translator->ComponentProperties()) : std::string());
  if (SameText(name, "ModuleType")) return IntValue(ModuleType);
  if (SameText(name, "ModuleEnabled")) {
    int mask = 0;
    for (int bit = 0; bit < 8; ++bit)
      if (StateFlags[bit]) mask |= 1 << bit;
    return IntValue(mask);
  }
  if (SameText(name, "ModuleDllHandle")) return HandleParam(DllHandle);
  if (SameText(name, "ModuleLoadCount")) return IntValue(LoadCount.load());
  if (SameText(name, "ModuleIndex")) return IntValue(ModuleIndex);
  if (SameText(name, "ModulePluginHandle")) return HandleParam(SelfHandle);
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
  if (SameText(name, "ParentApp")) return HandleParam(ParentApp);
  if (SameText(name, "OWNER-FORM")) return HandleParam(OwnerForm);
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
  TVariant own;
  if (GetOwnModuleParameter(name, own)) return own;
  return TVariant();
}

bool TzorPlugin::SetModuleParameter(const std::string& name, const VARIANT& value) {
  TVariant v(value);
  if (SameText(name, "LogTitle")) {
    std::string text = v.IsEmptyOrNull() ? std::string() : v.ToText();
    std::lock_guard guard(FTextsMutex);
    LogTitle = std::move(text);
    return true;
  }
  if (SameText(name, "Description")) {
    std::string text = v.IsEmptyOrNull() ? std::string() : v.ToText();
    std::lock_guard guard(FTextsMutex);
    Description = std::move(text);
    return true;
  }
  if (SameText(name, "EventsSupported")) {
    EventsSupported = v.IsEmptyOrNull() ? std::string() : v.ToText();
    return true;
  }
  if (SameText(name, "CustomCommands")) {
    std::string text = v.IsEmptyOrNull() ? std::string() : v.ToText();
    std::lock_guard guard(FTextsMutex);
    CustomCommands->AddFromText(text);
    return true;
  }
  if (SameText(name, "ParserItems")) {
    SetParserItemsText(v.IsEmptyOrNull() ? std::string() : v.ToText(), true);
    return true;
  }
  if (SameText(name, "ModuleType")) {
    if (v.IsEmptyOrNull()) return false;  // no number, not type 0
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
  bool taken = false;
  if (SetOwnModuleParameter(name, value, taken)) return taken;
  return false;
}

bool TzorPlugin::GetOwnModuleParameter(const std::string&, TVariant&) {
  return false;
}

bool TzorPlugin::SetOwnModuleParameter(const std::string&, const VARIANT&, bool&) {
  return false;
}
}  // namespace kelda
