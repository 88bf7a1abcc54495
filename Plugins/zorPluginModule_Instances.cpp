// The instance registry, the class the library instantiates, the library's life and its entry
// points.
#include <cstring>

#include "Plugins/zorPluginModule.h"
#include "Plugins/zorPluginModule_Helpers.h"
#include "platform/CodePage.h"
#include "platform/Debug.h"

namespace kelda {

static constexpr uint64_t kTerminateWaitMs = 30000;
// As long as a log notification may wait for the host.
static constexpr uint64_t kHostWaitMs = 1000;

static std::atomic<int> gCommandCount{0};

int PluginCommandCount() {
  return gCommandCount.load();
}

static std::string AnsiToUtf8(const std::string& text) {
  return platform::WideToUtf8(platform::AnsiToWide(text));
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
    std::string description = AnsiToUtf8(plugin->DescriptionText());
    std::string commands = AnsiToUtf8(plugin->CustomCommandsText());
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
    } catch (...) {
      plugin->LogFailure(word.empty() ? "CMD?" : word, kUnknownFailure);
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
    if (!plugin->WaitWhileTerminatingBusy(kTerminateWaitMs, kHostWaitMs)) return kResultRefused;
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
