#include "platform/Console.h"

#include <windows.h>

#include <atomic>

namespace kelda::platform {

static std::atomic<InterruptHandler> gHandler{nullptr};

// Called by the system in a thread of its own; TRUE keeps the process alive so that the
// program can finish its files.
static BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  InterruptHandler handler = gHandler.load();
  if (!handler) return FALSE;
  handler();
  return TRUE;
}

bool OnInterrupt(InterruptHandler handler) {
  const bool wasSet = gHandler.exchange(handler) != nullptr;
  if (handler && !wasSet) return ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != 0;
  if (!handler && wasSet) return ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE) != 0;
  return true;
}

bool StdoutIsTerminal() {
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == INVALID_HANDLE_VALUE || out == nullptr || !::GetConsoleMode(out, &mode)) return false;
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
  return ::SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

}  // namespace kelda::platform
