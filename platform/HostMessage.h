// Window messages between the module and its host.
//
// Module side: PostHostMessage queues a message for a window of the host and returns at once;
// SendHostMessage hands it over and waits for the answer at most timeoutMs, giving up at once
// when the receiving thread hangs (a message not handled in time may still be handled later or
// be dropped; its answer is lost). Both answer false when the message did not get through.
// On Windows the window is a real window handle. On POSIX there are no system windows: the
// host program offers the exported functions KeldaHost_PostMessage and KeldaHost_SendMessage
// (found by name in the host program), and a host without them receives nothing. Nor is there
// a system message loop that would run the module's timers: a host program that exports
// KeldaHost_AddMessagePump(void (*)()) and KeldaHost_RemoveMessagePump(void (*)()) is handed
// the module's pump when the module makes its first window (and told to forget it when the
// module is unloaded); the host's message loop calls every pump it holds, in the loop's thread,
// which dispatches that thread's messages and timers of the module.
//
// Host side (the host harness): THostWindow is a window owned by the thread that made it; its
// handler runs in that thread only, inside ProcessMessages (or, on Windows, any message loop
// of the thread), and for a message sent from the owner thread itself, directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/MessageWindow.h"

namespace kelda::platform {

bool PostHostMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam);
bool SendHostMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                     uint32_t timeoutMs);

class THostWindow {
public:
  using Handler = std::function<intptr_t(uint32_t message, uintptr_t wParam, intptr_t lParam)>;

  explicit THostWindow(Handler handler);  // throws EOutOfResources when the system refuses
  ~THostWindow();
  THostWindow(const THostWindow&) = delete;
  THostWindow& operator=(const THostWindow&) = delete;

  WindowHandle Handle() const { return FHandle; }

  // Dispatches the messages waiting for the calling thread's host windows; returns how many.
  static int ProcessMessages();

  // Delivery into a window of this process (what the host's exported functions call on POSIX).
  static bool Post(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam);
  static bool Send(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                   uint32_t timeoutMs);

  intptr_t Dispatch(uint32_t message, uintptr_t wParam, intptr_t lParam) const {
    return FHandler(message, wParam, lParam);
  }

private:
  Handler FHandler;
  WindowHandle FHandle = kNoWindow;
};

}  // namespace kelda::platform

namespace kelda::platform {

// Dispatches the messages waiting for the calling thread: its message windows and timers and
// the host windows it owns.
void ServeThreadMessages();

// Memory that the module and its host both free: the process heap on Windows
// (HeapAlloc/HeapReAlloc/HeapFree on GetProcessHeap), the C heap on POSIX (malloc/realloc/free).
void* HostHeapAlloc(std::size_t size);
void* HostHeapRealloc(void* buffer, std::size_t size);  // a null buffer allocates
void HostHeapFree(void* buffer);

}  // namespace kelda::platform
