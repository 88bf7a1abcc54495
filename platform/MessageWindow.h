// Owner-thread message dispatch: hidden message-only windows, thread-bound timers, and
// messages posted or sent to a window from any thread.
//
// Contract (both backends):
//  - A window belongs to the thread that allocated it (its owner thread). Its handler runs only
//    in that thread, and only while that thread dispatches messages: inside PumpMessages /
//    ProcessPendingMessages (or, on Windows, any message loop of that thread), or while that
//    thread waits in SendMessageWithTimeout.
//  - Handler calls of one thread never overlap: a timer tick never runs at the same time as
//    another tick or another message of that thread.
//  - Timers: SetWindowTimer(window, id, ms) (re)starts a periodic timer; its ticks arrive as
//    kTimerMessage with wParam = id. Missed ticks are not queued: after a busy spell at most one
//    tick per timer is pending. KillWindowTimer stops it; a tick already pending is dropped.
//  - PostWindowMessage queues a message for the owner thread and returns at once.
//  - SendMessageWithTimeout runs the handler directly when called in the owner thread;
//    otherwise it hands the message to the owner thread and waits at most timeoutMs for the
//    result, dispatching messages sent to the caller's own windows meanwhile (so two threads
//    that send to each other do not deadlock). A message not yet handled when the wait ends
//    may or may not be delivered later (Windows and the POSIX backend deliver it, Wine drops
//    it); its result is lost either way, so callers must not rely on either.
//  - After FreeHiddenWindow, messages and ticks for that window are dropped, and posting or
//    sending to it fails (returns false).
#pragma once

#include <cstdint>
#include <functional>

namespace kelda::platform {

using WindowHandle = uintptr_t;  // an HWND on Windows; 0 is no window
constexpr WindowHandle kNoWindow = 0;

constexpr uint32_t kTimerMessage = 0x0113;  // WM_TIMER
constexpr uint32_t kUserMessage = 0x0400;   // WM_USER

// Receives the messages of one window. The result is what a sender receives. Messages the
// handler does not know should return DefaultWindowResult(...); on Windows they include the
// system's own messages to the window (creation, destruction).
class IMessageHandler {
public:
  virtual ~IMessageHandler() = default;
  virtual intptr_t HandleMessage(WindowHandle window, uint32_t message, uintptr_t wParam,
                                 intptr_t lParam) = 0;
};

// The platform's default handling of a message (DefWindowProc on Windows, 0 on POSIX).
intptr_t DefaultWindowResult(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam);

// Creates a hidden message-only window for the calling thread. Throws EOutOfResources with
// "Unable to register DSiWin32 hidden window class. %s" or
// "Unable to create DSiWin32 hidden window. %s" (the system's reason for %s).
WindowHandle AllocateHiddenWindow(IMessageHandler* handler);
// Destroys a window; errors are swallowed. Call it in the owner thread.
void FreeHiddenWindow(WindowHandle window);
// Hands a window back to the platform from any thread, for an owner that must go away while
// its owner thread does not answer: the handler is not called for any later message (a call
// already running in the owner thread is not waited for), and the window is freed when its
// owner thread next dispatches messages (at once on POSIX). Unknown windows are ignored.
void DetachHiddenWindow(WindowHandle window);

// Call them in the owner thread; another thread may not be allowed to change its timers.
bool SetWindowTimer(WindowHandle window, uint32_t id, uint32_t intervalMs);
void KillWindowTimer(WindowHandle window, uint32_t id);

bool PostWindowMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam);
// True when the owner thread handled the message in time; *result then holds its answer.
bool SendMessageWithTimeout(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                            uint32_t timeoutMs, intptr_t* result);

// Dispatches every message of the calling thread that is due now, then returns. A timer that
// falls due again while the call runs is dispatched at most once more.
void ProcessPendingMessages();
// Dispatches messages of the calling thread until done() is true (checked after each
// message and at least every 10 ms) or timeoutMs passed; returns done().
bool PumpMessages(const std::function<bool()>& done, uint32_t timeoutMs);

// Whether the window exists (for assertions and tests).
bool IsWindowAlive(WindowHandle window);

}  // namespace kelda::platform
