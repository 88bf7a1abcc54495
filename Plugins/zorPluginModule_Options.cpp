// The options dialog exports of the plug-in framework. The module never shows the dialog: it
// hands the host the form definition and the packed form script from its own resources, and
// once the host has shown it and stored the values, every instance that shares the settings
// reloads them, each on the thread that loaded it.
#include <cstring>
#include <vector>

#include "Plugins/zorPluginModule.h"
#include "platform/CodePage.h"
#include "platform/HostMessage.h"
#include "platform/Module.h"
#include "platform/Thread.h"

namespace kelda {

namespace {

constexpr uint32_t kPackedHeaderSize = 24;  // six 32-bit offsets and lengths
constexpr uint32_t kReloadSendTimeoutMs = 1000;
constexpr int32_t kOptionsNoInstance = 1;
constexpr int32_t kOptionsNothingToGive = 2;
constexpr int32_t kOptionsBufferTooSmall = 3;
constexpr int32_t kShowNoInstance = 2;
constexpr int32_t kShowNoHandler = 3;
constexpr int32_t kShowRunning = 4;

// A counted reference to an instance for the duration of one export call.
class TInstanceRef {
public:
  explicit TInstanceRef(TzorPlugin* plugin) : FPlugin(plugin) {}
  ~TInstanceRef() {
    if (FPlugin) FPlugin->ReleaseUse();
  }
  TInstanceRef(const TInstanceRef&) = delete;
  TInstanceRef& operator=(const TInstanceRef&) = delete;
  TInstanceRef(TInstanceRef&& other) noexcept : FPlugin(other.FPlugin) { other.FPlugin = nullptr; }
  TzorPlugin* operator->() const { return FPlugin; }
  TzorPlugin& operator*() const { return *FPlugin; }
  explicit operator bool() const { return FPlugin != nullptr; }

private:
  TzorPlugin* FPlugin;
};

struct TOptionsForm {
  std::string Definition;
  std::string Extra;  // this module never gives one
  std::string Code;
};

std::string Resource(const std::string& name) {
  return platform::ModuleResource(name).value_or(std::string());
}

// The name the host asks for: the bytes up to a zero byte or the buffer's capacity, so that a
// buffer without a terminator is never read past its end.
std::string RequestedFormName(const TPluginCallData& in) {
  const int32_t capacity = in.Size;
  const uintptr_t address = in.Value;
  if (!address || capacity <= 0) return {};
  const char* text = reinterpret_cast<const char*>(address);
  const void* end = std::memchr(text, 0, static_cast<std::size_t>(capacity));
  std::size_t length = end ? static_cast<std::size_t>(static_cast<const char*>(end) - text)
                           : static_cast<std::size_t>(capacity);
  return std::string(text, length);
}

std::string TrimResourceText(std::string text) {
  while (!text.empty() && (text.back() == '\0' || static_cast<unsigned char>(text.back()) <= ' '))
    text.pop_back();
  return text;
}

TOptionsForm FindOptionsForm(const std::string& requested) {
  TOptionsForm form;
  if (!requested.empty()) {
    std::string name = platform::AnsiUpperCase(requested);
    form.Definition = Resource(name);
    form.Code = Resource(name + "_CODE");
    return form;
  }
  form.Code = Resource("FORM_DATA");
  std::string formName = platform::AnsiUpperCase(TrimResourceText(Resource("FORM_NAME")));
  if (!formName.empty()) form.Definition = Resource(formName);
  return form;
}

void PutLittle32(unsigned char* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

void WritePackedForm(unsigned char* out, const TOptionsForm& form) {
  const auto definition = static_cast<uint32_t>(form.Definition.size());
  const auto extra = static_cast<uint32_t>(form.Extra.size());
  const auto code = static_cast<uint32_t>(form.Code.size());
  const uint32_t header[6] = {kPackedHeaderSize,
                              definition,
                              kPackedHeaderSize + definition,
                              extra,
                              kPackedHeaderSize + definition + extra,
                              code};
  for (int i = 0; i < 6; ++i) PutLittle32(out + 4 * i, header[i]);
  unsigned char* text = out + kPackedHeaderSize;
  std::memcpy(text, form.Definition.data(), definition);
  std::memcpy(text + definition, form.Extra.data(), extra);
  std::memcpy(text + definition + extra, form.Code.data(), code);
}

// A handle given as a number; an empty or null value is no handle.
uintptr_t HandleValue(const TVariant& value) {
  if (value.IsEmptyOrNull()) return 0;
  return static_cast<uintptr_t>(value.ToInt64());
}

// The instances to reload: every registered one with the same registry path and a reload
// handler, each counted so that it outlives the walk even when freed meanwhile. The registry
// lock is not held while they reload.
std::vector<TInstanceRef> InstancesSharingSettings(const std::string& registryPath) {
  std::vector<TInstanceRef> found;
  TThreadObjectList* registry = PluginInstances();
  if (!registry) return found;
  platform::ReadGuard guard(*registry);
  for (TObject* object : *static_cast<TObjectList*>(registry->GuardedObject())) {
    auto* plugin = static_cast<TzorPlugin*>(object);
    if (!plugin->OnLoadSettingsNow || plugin->LoadLocation().RegistryPath != registryPath) continue;
    plugin->AddUse();
    found.emplace_back(plugin);
  }
  return found;
}

// An instance loaded on this thread reloads at once; one loaded on another thread is asked
// through its host window to reload there. A hung receiver costs at most the send's time-out.
void ReloadInstance(TzorPlugin& plugin) {
  TzorPlugin::TLoadLocation location = plugin.LoadLocation();
  if (location.ThreadId == platform::CurrentThreadId()) {
    plugin.ReloadSettingsNow();
    return;
  }
  platform::WindowHandle window = plugin.MsgProcHandle.load();
  auto index = static_cast<uintptr_t>(static_cast<uint32_t>(location.ModuleIndex));
  if (platform::PostHostMessage(window, kReloadSettingsMessage, index, 0)) return;
  platform::SendHostMessage(window, kReloadSettingsMessage, index, 0, kReloadSendTimeoutMs);
}

void ReloadInstancesSharingSettings(TzorPlugin& origin) {
  for (TInstanceRef& plugin : InstancesSharingSettings(origin.LoadLocation().RegistryPath)) {
    try {
      ReloadInstance(*plugin);
    } catch (...) {
      // One instance that cannot reload does not keep the others from it.
    }
  }
}

// OptionsDialogOpen for the duration of ShowOptionsDialog, cleared on every way out.
class TOptionsDialogOpenMark {
public:
  explicit TOptionsDialogOpenMark(TzorPlugin& plugin) : FPlugin(plugin) { FPlugin.OptionsDialogOpen = true; }
  ~TOptionsDialogOpenMark() { FPlugin.OptionsDialogOpen = false; }
  TOptionsDialogOpenMark(const TOptionsDialogOpenMark&) = delete;
  TOptionsDialogOpenMark& operator=(const TOptionsDialogOpenMark&) = delete;

private:
  TzorPlugin& FPlugin;
};

}  // namespace

// --- TzorPlugin

TzorPlugin::TLoadLocation TzorPlugin::LoadLocation() const {
  std::lock_guard lock(FLoadLocationMutex);
  return TLoadLocation{ModuleRegistryPath, LoadThreadId, ModuleIndex};
}

bool TzorPlugin::RunShowOptionsDialog(TPluginCallRec* callRecord) {
  const THostCallsDeferred deferred(*this);
  platform::CriticalSectionGuard lock(CommandLock);
  TPluginCallRecIntft record(callRecord);
  if (record.Params) {
    if (record.Has("INI-FILE")) INIFile = record.Text("INI-FILE");
    HandleLanguageRequest(record);
    if (record.Has("OWNER-FORM")) OwnerForm = HandleValue(record.Value("OWNER-FORM"));
  }
  int answer = 0;
  try {
    if (OnShowOptionsDialog) OnShowOptionsDialog(this, record, answer);
  } catch (const std::exception& failure) {
    AddLog(0, std::string(failure.what()) + " {SHOWOPTIONS}");
    return false;
  }
  return answer != 0;
}

bool TzorPlugin::ReloadSettingsNow() {
  const THostCallsDeferred deferred(*this);
  platform::CriticalSectionGuard lock(CommandLock);
  if (!OnLoadSettingsNow) return false;
  int32_t depth = CommandDepth.fetch_add(1) + 1;
  struct TLeave {
    std::atomic<int32_t>& Depth;
    ~TLeave() { Depth.fetch_sub(1); }
  } leave{CommandDepth};
  // Inside a command of this instance the settings are in use: no reload under its feet.
  if (depth != 1) return false;
  OnLoadSettingsNow(this);
  return true;
}

// --- entry points

int32_t zorGetOptionsDialog(TPluginCallRec* callRecord) {
  if (!callRecord) return 0;
  try {
    callRecord->DataOut.Kind = kDataKindInteger;
    callRecord->DataOut.Size = 0;
    callRecord->DataOut.Value = kOptionsNoInstance;
    TInstanceRef plugin(FindPluginInstance(callRecord->Instance));
    if (!plugin) return kOptionsNoInstance;
    TOptionsForm form = FindOptionsForm(RequestedFormName(callRecord->DataIn));
    if (form.Definition.empty() && form.Extra.empty() && form.Code.empty()) {
      callRecord->DataOut.Value = kOptionsNothingToGive;
      return kOptionsNothingToGive;
    }
    const uint64_t needed =
        uint64_t{kPackedHeaderSize} + form.Definition.size() + form.Extra.size() + form.Code.size();
    const int32_t capacity = callRecord->DataIn.Size;
    // A buffer the module cannot write (none, or smaller than the form) only learns the size.
    if (!callRecord->DataIn.Value || capacity < 0 || static_cast<uint64_t>(capacity) < needed) {
      callRecord->DataOut.Value = kOptionsBufferTooSmall;
      callRecord->DataOut.Size = static_cast<int32_t>(needed);
      return kOptionsBufferTooSmall;
    }
    WritePackedForm(reinterpret_cast<unsigned char*>(callRecord->DataIn.Value), form);
    callRecord->DataOut.Kind = kDataKindBytesWritten;
    callRecord->DataOut.Size = 0;
    callRecord->DataOut.Value = static_cast<uintptr_t>(needed);
    return static_cast<int32_t>(needed);
  } catch (...) {
    return static_cast<int32_t>(callRecord->DataOut.Value);
  }
}

int32_t zorShowOptionsDialog(TPluginCallRec* callRecord) {
  if (!callRecord) return 0;
  try {
    callRecord->DataOut.Kind = kDataKindInteger;
    callRecord->DataOut.Size = 4;
    callRecord->DataOut.Value = kShowNoInstance;
    TInstanceRef plugin(FindPluginInstance(callRecord->Instance));
    if (!plugin) return kShowNoInstance;
    if (!plugin->OnShowOptionsDialog) {
      callRecord->DataOut.Value = kShowNoHandler;
      return kShowNoHandler;
    }
    callRecord->DataOut.Value = kShowRunning;
    TOptionsDialogOpenMark open(*plugin);
    bool answer = plugin->RunShowOptionsDialog(callRecord);
    callRecord->DataOut.Value = answer ? 1 : 0;
    if (answer) ReloadInstancesSharingSettings(*plugin);
    return answer ? 1 : 0;
  } catch (...) {
    return static_cast<int32_t>(callRecord->DataOut.Value);
  }
}

}  // namespace kelda
