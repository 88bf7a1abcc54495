// The framework's core: buffers handed to the host, the converted call record and the plug-in
// instance's construction.
#include "Plugins/zorPluginModule.h"

#include <cstring>

#include "platform/File.h"
#include "platform/HostMessage.h"
#include "platform/Module.h"

namespace kelda {

static constexpr int kLogMaxLines = 51200;

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
  if (block.Kind == kDataKindListInterface) {
    // The address of the host's interface variable, which may be all the host owns there: the
    // list-object probe would read past it (and could mistake what follows for a list).
    IzorParamsListW* list = *static_cast<IzorParamsListW**>(value);
    if (list) list->AddRef();
    return list;
  }
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
// The translator class the instances use

static std::atomic<TTranslatorFactory> gTranslatorFactory{nullptr};

TTranslatorFactory SetTranslatorFactory(TTranslatorFactory factory) {
  return gTranslatorFactory.exchange(factory);
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

void TzorPlugin::AfterConstruction() {
  if (!Translator || !Translator->HasLanguageFile() || Translated || Language.empty()) return;
  Translator->TranslateComponent(this, Language);
  Translated = true;
}

bool TzorPlugin::TryAddUse() {
  int uses = FUses.load();
  do {
    if (uses <= 0) return false;
  } while (!FUses.compare_exchange_weak(uses, uses + 1));
  return true;
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

}  // namespace kelda
