// The options dialog exports: the packed form answer with its size protocol, and the reload of
// every instance that shares the settings after the dialog was shown.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Plugins/zorPluginModule.h"
#include "platform/HostMessage.h"
#include "platform/Module.h"
#include "platform/Thread.h"
#include "tests/Plugins/PluginTestKit.h"
#include "tests/support/Wait.h"

// On POSIX the module reaches host windows through these exports of the host program.
KELDA_EXPORT int KeldaHost_PostMessage(uintptr_t window, uint32_t message, uintptr_t wParam,
                                       intptr_t lParam) {
  return kelda::platform::THostWindow::Post(window, message, wParam, lParam) ? 1 : 0;
}
KELDA_EXPORT int KeldaHost_SendMessage(uintptr_t window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                                       uint32_t timeoutMs) {
  return kelda::platform::THostWindow::Send(window, message, wParam, lParam, timeoutMs) ? 1 : 0;
}

namespace kelda {
namespace {

using namespace kelda::test;

std::string Resource(const char* name) {
  return platform::ModuleResource(name).value_or(std::string());
}

uint32_t Header(const char* buffer, int field) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= uint32_t{static_cast<unsigned char>(buffer[4 * field + i])} << (8 * i);
  return value;
}

struct TAnswer {
  uint8_t Kind;
  int32_t Size;
  uintptr_t Value;
};

TAnswer GetOptions(uintptr_t instance, void* buffer, int32_t capacity) {
  TPluginCallRec record = NewRecord(instance);
  record.DataIn.Value = reinterpret_cast<uintptr_t>(buffer);
  record.DataIn.Size = capacity;
  int32_t result = zorGetOptionsDialog(&record);
  TAnswer answer{record.DataOut.Kind, record.DataOut.Size, record.DataOut.Value};  // copies: packed fields
  EXPECT_EQ(static_cast<uintptr_t>(result), answer.Value);
  return answer;
}

TEST(GetOptionsDialog, PackedFormAndSizeProtocol) {
  EXPECT_EQ(zorGetOptionsDialog(nullptr), 0);
  TAnswer none = GetOptions(0x1234, nullptr, 0);
  EXPECT_EQ(none.Kind, kDataKindInteger);
  EXPECT_EQ(none.Size, 0);
  EXPECT_EQ(none.Value, 1u) << "no instance";

  uintptr_t instance = CreateInstance();
  ASSERT_NE(instance, 0u);
  const std::string definition = Resource("TFRMOPTION"), code = Resource("FORM_DATA");
  ASSERT_FALSE(definition.empty());
  ASSERT_FALSE(code.empty());
  const std::size_t needed = 24 + definition.size() + code.size();

  std::vector<char> small(100, 'x');
  small[0] = '\0';
  TAnswer tooSmall = GetOptions(instance, small.data(), 100);
  EXPECT_EQ(tooSmall.Value, 3u);
  EXPECT_EQ(tooSmall.Size, static_cast<int32_t>(needed));
  EXPECT_EQ(std::string(small.begin() + 1, small.end()), std::string(99, 'x')) << "nothing written";
  EXPECT_EQ(GetOptions(instance, nullptr, 1 << 30).Value, 3u) << "no buffer: only the size";
  EXPECT_EQ(GetOptions(instance, small.data(), -5).Value, 3u);

  std::vector<char> buffer(needed, '\0');
  TAnswer filled = GetOptions(instance, buffer.data(), static_cast<int32_t>(needed));
  EXPECT_EQ(filled.Kind, kDataKindBytesWritten);
  EXPECT_EQ(filled.Size, 0);
  EXPECT_EQ(filled.Value, needed);
  EXPECT_EQ(Header(buffer.data(), 0), 24u);
  EXPECT_EQ(Header(buffer.data(), 1), definition.size());
  EXPECT_EQ(Header(buffer.data(), 2), 24 + definition.size());
  EXPECT_EQ(Header(buffer.data(), 3), 0u) << "no extra text";
  EXPECT_EQ(Header(buffer.data(), 4), 24 + definition.size());
  EXPECT_EQ(Header(buffer.data(), 5), code.size());
  EXPECT_EQ(std::string(buffer.data() + 24, definition.size()), definition);
  EXPECT_EQ(std::string(buffer.data() + 24 + definition.size(), code.size()), code);
  EXPECT_EQ(definition.substr(0, 4), "TPF0");
  for (const char* control : {"chkKeepSession", "chkSendWhenReady", "spHandshakeTimeout", "spRetries",
                              "spDemoteAfter", "spDemoteFor"})
    EXPECT_NE(definition.find(control), std::string::npos) << "the speed settings' control " << control;
  EXPECT_EQ(code.substr(0, 2), "\x1f\x8b");

  // A requested name, in any case, ended by the buffer's capacity rather than a zero byte:
  // the form definition of that name and no code, as there is no TFRMOPTION_CODE.
  auto exact = std::make_unique<char[]>(10);
  std::memcpy(exact.get(), "tfrmoption", 10);
  TAnswer named = GetOptions(instance, exact.get(), 10);
  EXPECT_EQ(named.Value, 3u);
  EXPECT_EQ(named.Size, static_cast<int32_t>(24 + definition.size()));
  std::vector<char> large(needed + 10, '\0');
  std::memcpy(large.data(), "TfrmOption", 10);
  EXPECT_EQ(GetOptions(instance, large.data(), static_cast<int32_t>(large.size())).Value,
            24 + definition.size());
  EXPECT_EQ(Header(large.data(), 1), definition.size());
  EXPECT_EQ(Header(large.data(), 5), 0u);

  std::memcpy(large.data(), "taplugin\0", 9);
  EXPECT_EQ(GetOptions(instance, large.data(), static_cast<int32_t>(large.size())).Value,
            24 + Resource("TAPLUGIN").size());
  std::memcpy(large.data(), "NOSUCHFORM\0", 11);
  EXPECT_EQ(GetOptions(instance, large.data(), static_cast<int32_t>(large.size())).Value, 2u)
      << "nothing to give";
  EXPECT_EQ(FreeInstance(instance), 0);
}

TAnswer ShowOptions(uintptr_t instance, THostList* list = nullptr) {
  TPluginCallRec record = NewRecord(instance);
  if (list) record.Params = list->Pointer();
  int32_t result = zorShowOptionsDialog(&record);
  TAnswer answer{record.DataOut.Kind, record.DataOut.Size, record.DataOut.Value};  // copies: packed fields
  void* params = record.Params;
  EXPECT_EQ(static_cast<uintptr_t>(result), answer.Value);
  if (list) EXPECT_EQ(params, list->Pointer()) << "the caller's list reference is restored";
  return answer;
}

int32_t Load(uintptr_t instance, const std::string& registryPath, int32_t hostIndex,
             platform::WindowHandle window = 0) {
  THostList list;
  list.Add("COMMAND", "LOAD").Add("REGISTRY-PATH", registryPath);
  if (window) list.Add("MSG-PROC-HANDLE", static_cast<int32_t>(window));
  TPluginCallRec record = NewRecord(instance);
  record.HostIndex = hostIndex;
  record.Params = list.Pointer();
  return zorExecutePluginCommand(&record);
}

TEST(ShowOptionsDialog, ResultsOwnerWindowAndFailingHandler) {
  EXPECT_EQ(zorShowOptionsDialog(nullptr), 0);
  TAnswer none = ShowOptions(0x1234);
  EXPECT_EQ(none.Kind, kDataKindInteger);
  EXPECT_EQ(none.Size, 4);
  EXPECT_EQ(none.Value, 2u);

  uintptr_t instance = CreateInstance();
  ASSERT_EQ(Load(instance, "Software\\Options\\One", 3), 0);
  EXPECT_EQ(ShowOptions(instance).Value, 3u) << "no handler";

  TzorPlugin* plugin = Instance(instance);
  bool openDuringCall = false;
  int answer = 1;
  plugin->OnShowOptionsDialog = [&](TzorPlugin* self, TPluginCallRecIntft&, int& result) {
    openDuringCall = self->OptionsDialogOpen;
    result = answer;
  };
  THostList list;
  list.Add("INI-FILE", "C:\\Logger\\plant.ini").Add("OWNER-FORM", 4660);
  TAnswer shown = ShowOptions(instance, &list);
  EXPECT_EQ(shown.Kind, kDataKindInteger);
  EXPECT_EQ(shown.Size, 4);
  EXPECT_EQ(shown.Value, 1u);
  EXPECT_TRUE(openDuringCall);
  EXPECT_FALSE(plugin->OptionsDialogOpen);
  EXPECT_EQ(plugin->INIFile, "C:\\Logger\\plant.ini");
  EXPECT_EQ(plugin->OwnerForm, 4660u);
  answer = 0;
  EXPECT_EQ(ShowOptions(instance).Value, 0u);
  EXPECT_EQ(plugin->INIFile, "C:\\Logger\\plant.ini") << "a call without a list keeps the INI file";

  plugin->OnShowOptionsDialog = [&](TzorPlugin*, TPluginCallRecIntft&, int&) {
    throw std::runtime_error("dialog broke");
  };
  FetchLog(instance);
  EXPECT_EQ(ShowOptions(instance).Value, 0u);
  EXPECT_FALSE(plugin->OptionsDialogOpen) << "cleared on the failure's way out too";
  auto log = FetchLog(instance);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].first, 0);
  EXPECT_EQ(log[0].second, "dialog broke {SHOWOPTIONS}");
  EXPECT_EQ(FreeInstance(instance), 0);
}

// Counts an instance's reloads and where they ran.
struct TReloads {
  std::atomic<int> Count{0};
  std::atomic<uint32_t> Thread{0};
  void Watch(uintptr_t instance) {
    Instance(instance)->OnLoadSettingsNow = [this](TzorPlugin*) {
      Thread = platform::CurrentThreadId();
      ++Count;
    };
  }
};

// A host thread with its own window: it loads an instance there and, like the host, answers
// message 1812 with "LOAD-SETTINGS-NOW" on that instance. It can be told to hang.
class THostThread {
public:
  THostThread(uintptr_t instance, const std::string& registryPath, int32_t hostIndex) : FInstance(instance) {
    FThread = std::thread([=, this] { Run(registryPath, hostIndex); });
    EXPECT_TRUE(WaitFor([this] { return FReady.load(); }));
  }
  ~THostThread() {
    {
      std::lock_guard lock(FMutex);
      FStop = true;
      FHung = false;
    }
    FChanged.notify_all();
    FThread.join();
  }

  void Hang() {
    {
      std::lock_guard lock(FMutex);
      FHung = true;
    }
    EXPECT_TRUE(WaitFor([this] { return FHanging.load(); }));
  }
  void Resume() {
    {
      std::lock_guard lock(FMutex);
      FHung = false;
    }
    FChanged.notify_all();
  }

  uint32_t ThreadId() const { return FThreadId; }
  std::atomic<int> Messages{0};
  std::atomic<uintptr_t> LastIndex{0};

private:
  void Run(const std::string& registryPath, int32_t hostIndex) {
    FThreadId = platform::CurrentThreadId();
    platform::THostWindow window([this](uint32_t message, uintptr_t wParam, intptr_t) -> intptr_t {
      if (message != kReloadSettingsMessage) return 0;
      LastIndex = wParam;
      THostList list;
      list.Add("COMMAND", "LOAD-SETTINGS-NOW").Add("NO-SAVE", 1);
      RunCommand(FInstance, list);
      ++Messages;
      return 0;
    });
    EXPECT_EQ(Load(FInstance, registryPath, hostIndex, window.Handle()), 0);
    FReady = true;
    for (;;) {
      {
        std::unique_lock lock(FMutex);
        if (FHung) {
          FHanging = true;
          FChanged.wait(lock, [this] { return !FHung; });
          FHanging = false;
        }
        if (FStop) break;
      }
      platform::ServeThreadMessages();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));  // the pump's idle pace
    }
    platform::ServeThreadMessages();
  }

  uintptr_t FInstance;
  std::thread FThread;
  std::mutex FMutex;
  std::condition_variable FChanged;
  bool FStop = false;
  bool FHung = false;
  std::atomic<bool> FHanging{false};
  std::atomic<bool> FReady{false};
  std::atomic<uint32_t> FThreadId{0};
};

TEST(ShowOptionsDialog, ReloadsEveryInstanceSharingTheRegistryPathOnItsOwnThread) {
  const std::string shared = "Software\\Logger\\Plant\\Kelda";
  uintptr_t here = CreateInstance(), there = CreateInstance(), other = CreateInstance(),
            silent = CreateInstance();
  TReloads hereReloads, thereReloads, otherReloads;
  hereReloads.Watch(here);
  thereReloads.Watch(there);
  otherReloads.Watch(other);
  ASSERT_EQ(Load(here, shared, 1), 0);
  ASSERT_EQ(Load(other, shared + "2", 2), 0);
  ASSERT_EQ(Load(silent, shared, 4), 0);  // no reload handler: passed by
  THostThread host(there, shared, 7);
  Instance(here)->OnShowOptionsDialog = [](TzorPlugin*, TPluginCallRecIntft&, int& result) { result = 1; };

  EXPECT_EQ(ShowOptions(here).Value, 1u);
  EXPECT_EQ(hereReloads.Count, 1) << "the calling thread's instance reloads before the call returns";
  EXPECT_EQ(hereReloads.Thread, platform::CurrentThreadId());
  ASSERT_TRUE(WaitFor([&] { return thereReloads.Count == 1; })) << "message 1812 reached the other thread";
  EXPECT_EQ(thereReloads.Thread, host.ThreadId());
  EXPECT_EQ(host.LastIndex, 7u) << "the message names the instance by its host index";
  EXPECT_EQ(otherReloads.Count, 0) << "another registry path";

  // Asked from the other instance, the reload goes the other way round.
  Instance(there)->OnShowOptionsDialog = [](TzorPlugin*, TPluginCallRecIntft&, int& result) { result = 1; };
  EXPECT_EQ(ShowOptions(there).Value, 1u);
  EXPECT_EQ(thereReloads.Count, 1) << "the host thread's instance is asked by message, not reloaded here";
  ASSERT_TRUE(WaitFor([&] { return thereReloads.Count == 2; }));
  EXPECT_EQ(hereReloads.Count, 2);
  EXPECT_EQ(otherReloads.Count, 0);

  // A reload that the host refuses inside a running command of the instance does not run.
  Instance(here)->OnCommand = [&](TzorPlugin* self, const std::string&, int& result, TPluginCallRecIntft&) {
    result = self->ReloadSettingsNow() ? 1 : 0;
  };
  EXPECT_EQ(RunCommand(here, "NESTED").Code, 0);
  EXPECT_EQ(hereReloads.Count, 2);

  for (uintptr_t instance : {here, there, other, silent}) EXPECT_EQ(FreeInstance(instance), 0);
}

TEST(ShowOptionsDialog, AHungOrVanishedHostWindowDoesNotHoldTheCallUp) {
  const std::string shared = "Software\\Logger\\Hung";
  uintptr_t here = CreateInstance(), hung = CreateInstance(), orphan = CreateInstance();
  TReloads hereReloads, hungReloads, orphanReloads;
  hereReloads.Watch(here);
  hungReloads.Watch(hung);
  orphanReloads.Watch(orphan);
  ASSERT_EQ(Load(here, shared, 1), 0);
  Instance(here)->OnShowOptionsDialog = [](TzorPlugin*, TPluginCallRecIntft&, int& result) { result = 1; };
  {
    // An instance whose thread and window are gone.
    THostThread gone(orphan, shared, 9);
  }
  THostThread host(hung, shared, 8);
  host.Hang();

  EXPECT_EQ(ShowOptions(here).Value, 1u);
  EXPECT_EQ(hereReloads.Count, 1);
  EXPECT_EQ(hungReloads.Count, 0) << "its thread is blocked";
  EXPECT_EQ(orphanReloads.Count, 0);
  host.Resume();
  EXPECT_TRUE(WaitFor([&] { return hungReloads.Count == 1; }))
      << "the message waits until the thread runs again";
  EXPECT_EQ(orphanReloads.Count, 0);
  for (uintptr_t instance : {here, hung, orphan}) EXPECT_EQ(FreeInstance(instance), 0);
}

}  // namespace
}  // namespace kelda
