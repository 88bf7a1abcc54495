// Owner-thread message dispatch on real Win32 windows: message-only windows of one private
// window class, thread timers of user32, PostMessage and SendMessageTimeout.
#include "platform/MessageWindow.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/Exceptions.h"
#include "platform/Debug.h"
#include "platform/SystemError.h"
#include "platform/Tick.h"

namespace kelda::platform {

namespace {

// Wakes the owner thread of a handed-over window so that it frees the window.
constexpr UINT kReleaseOrphanMessage = WM_APP + 0x3FF0;

// What each window carries: the handler it dispatches to. A window whose handler was taken
// away by DetachHiddenWindow frees itself the next time its owner thread dispatches for it.
struct WindowRecord {
  std::atomic<IMessageHandler*> Handler;
  std::atomic<bool> Orphaned{false};
};

// The window class is shared by every window of this module and registered under a name that
// carries the module's load address, so two loaded copies of the module never share (and
// unregister) each other's class. Registration, creation and the live count are serialised by
// this lock; it is re-entrant because destroying a window re-enters through WM_NCDESTROY.
struct ClassState {
  std::recursive_mutex Lock;
  bool Registered = false;
  int LiveWindows = 0;
  std::string ClassName;
};

ClassState& State() {
  static ClassState* state = new ClassState;  // outlives every window, also at process exit
  return *state;
}

HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&ThisModule), &module);
  return module;
}

std::string LastErrorText() {
  return SystemErrorText(::GetLastError());
}

std::string Format(const char* pattern, const std::string& reason) {
  std::string text = pattern;
  std::size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, reason);
  return text;
}

WindowRecord* RecordOf(HWND hwnd) {
  return reinterpret_cast<WindowRecord*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
}

LRESULT Dispatch(IMessageHandler* handler, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  // An exception cannot unwind through user32's frames; the handlers catch their own, and
  // whatever still escapes is reported here instead of tearing down the host.
  try {
    return handler->HandleMessage(reinterpret_cast<WindowHandle>(hwnd), message, wParam, lParam);
  } catch (const std::exception& e) {
    DebugOutput(std::string("Unhandled exception in a window handler: ") + e.what());
  } catch (...) {
    DebugOutput("Unhandled exception in a window handler");
  }
  return 0;
}

LRESULT CALLBACK HiddenWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
    ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    return ::DefWindowProcA(hwnd, message, wParam, lParam);
  }
  WindowRecord* record = RecordOf(hwnd);
  if (message == WM_NCDESTROY) {
    std::lock_guard<std::recursive_mutex> lock(State().Lock);  // DetachHiddenWindow reads the record
    ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
    delete record;
    --State().LiveWindows;
    return ::DefWindowProcA(hwnd, message, wParam, lParam);
  }
  if (!record) return ::DefWindowProcA(hwnd, message, wParam, lParam);
  if (record->Orphaned.exchange(false)) {  // once: destroying sends further messages
    FreeHiddenWindow(reinterpret_cast<WindowHandle>(hwnd));
    return 0;
  }
  IMessageHandler* handler = record->Handler.load();
  if (!handler) return ::DefWindowProcA(hwnd, message, wParam, lParam);
  return Dispatch(handler, hwnd, message, wParam, lParam);
}

// Under the class lock.
void RegisterClassOnce(ClassState& state) {
  if (state.Registered) return;
  char name[64];
  std::snprintf(name, sizeof name, "DSiWin32HiddenWindow.%p", static_cast<void*>(ThisModule()));
  WNDCLASSA wc{};
  wc.lpfnWndProc = &HiddenWindowProc;
  wc.hInstance = ThisModule();
  wc.lpszClassName = name;
  if (!::RegisterClassA(&wc) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
    throw EOutOfResources(Format("Unable to register DSiWin32 hidden window class. %s", LastErrorText()));
  state.ClassName = name;
  state.Registered = true;
}

// Under the class lock.
void UnregisterClassWhenUnused(ClassState& state) {
  if (!state.Registered || state.LiveWindows > 0) return;
  if (::UnregisterClassA(state.ClassName.c_str(), ThisModule())) state.Registered = false;
}

}  // namespace

intptr_t DefaultWindowResult(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  return ::DefWindowProcA(reinterpret_cast<HWND>(window), message, wParam, lParam);
}

WindowHandle AllocateHiddenWindow(IMessageHandler* handler) {
  ClassState& state = State();
  std::lock_guard<std::recursive_mutex> lock(state.Lock);
  RegisterClassOnce(state);
  auto* record = new WindowRecord{};
  record->Handler.store(handler);
  HWND hwnd = ::CreateWindowExA(0, state.ClassName.c_str(), "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                ThisModule(), record);
  if (!hwnd) {
    std::string reason = LastErrorText();
    delete record;
    UnregisterClassWhenUnused(state);
    throw EOutOfResources(Format("Unable to create DSiWin32 hidden window. %s", reason));
  }
  ++state.LiveWindows;
  return reinterpret_cast<WindowHandle>(hwnd);
}

void FreeHiddenWindow(WindowHandle window) {
  if (window == kNoWindow) return;
  ClassState& state = State();
  std::lock_guard<std::recursive_mutex> lock(state.Lock);
  HWND hwnd = reinterpret_cast<HWND>(window);
  if (::IsWindow(hwnd) && RecordOf(hwnd)) ::DestroyWindow(hwnd);  // WM_NCDESTROY counts it down
  UnregisterClassWhenUnused(state);
}

void DetachHiddenWindow(WindowHandle window) {
  HWND hwnd = reinterpret_cast<HWND>(window);
  if (window == kNoWindow || !::IsWindow(hwnd)) return;
  std::lock_guard<std::recursive_mutex> lock(State().Lock);  // the record lives while we hold it
  WindowRecord* record = RecordOf(hwnd);
  if (!record) return;
  record->Handler.store(nullptr);
  record->Orphaned.store(true);
  ::PostMessageA(hwnd, kReleaseOrphanMessage, 0, 0);
}

bool SetWindowTimer(WindowHandle window, uint32_t id, uint32_t intervalMs) {
  if (window == kNoWindow) return false;  // a thread timer is not what the caller asked for
  return ::SetTimer(reinterpret_cast<HWND>(window), id, intervalMs, nullptr) != 0;
}

void KillWindowTimer(WindowHandle window, uint32_t id) {
  if (window != kNoWindow) ::KillTimer(reinterpret_cast<HWND>(window), id);
}

bool PostWindowMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  if (window == kNoWindow) return false;
  return ::PostMessageA(reinterpret_cast<HWND>(window), message, wParam, lParam) != 0;
}

bool SendMessageWithTimeout(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                            uint32_t timeoutMs, intptr_t* result) {
  if (window == kNoWindow) return false;
  DWORD_PTR answer = 0;
  if (!::SendMessageTimeoutA(reinterpret_cast<HWND>(window), message, wParam, lParam, SMTO_NORMAL, timeoutMs,
                             &answer))
    return false;
  if (result) *result = static_cast<intptr_t>(answer);
  return true;
}

// A timer whose handler takes longer than its period is due again after every tick; the
// second tick of one timer ends the call, so that it does not keep the caller busy for ever.
void ProcessPendingMessages() {
  std::vector<std::pair<HWND, WPARAM>> ticked;
  MSG msg;
  while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    bool again = false;
    if (msg.message == WM_TIMER) {
      std::pair<HWND, WPARAM> key{msg.hwnd, msg.wParam};
      again = std::find(ticked.begin(), ticked.end(), key) != ticked.end();
      if (!again) ticked.push_back(key);
    }
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
    if (again) return;
  }
}

bool PumpMessages(const std::function<bool()>& done, uint32_t timeoutMs) {
  const uint64_t deadline = SystemTick64() + timeoutMs;
  for (;;) {
    if (done()) return true;
    MSG msg;
    if (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageA(&msg);
      continue;
    }
    uint64_t now = SystemTick64();
    if (now >= deadline) return done();
    DWORD wait = static_cast<DWORD>(deadline - now < 10 ? deadline - now : 10);
    ::MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

bool IsWindowAlive(WindowHandle window) {
  return window != kNoWindow && ::IsWindow(reinterpret_cast<HWND>(window));
}

}  // namespace kelda::platform
