// A periodic millisecond timer whose ticks always run in one thread: the thread that created it
// (its owner thread). The ticks come from the platform's message timer on a hidden window of
// that thread, so a tick never overlaps another tick or other message handling of the thread,
// ticks pause while the thread does not dispatch messages, and missed ticks are not queued up.
// Other threads may switch the timer on and off; the change is handed to the owner thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "Common/Component.h"
#include "platform/MessageWindow.h"

namespace kelda {

class TzorTimerEx : public TComponent {
public:
  // The tick handler. A method reference (object and method) is assigned as a lambda or a
  // std::bind that captures the object: OnTimer = [this](TzorTimerEx*) { Tick(); }.
  using TNotifyEvent = std::function<void(TzorTimerEx* sender)>;

  // Messages between threads: switch on (wParam 1) or off (any other value), and release the
  // hidden window.
  static constexpr uint32_t kSetEnabledMessage = 0x0810;
  static constexpr uint32_t kReleaseWindowMessage = 0x0811;
  static constexpr uint32_t kSetIntervalMessage = 0x0812;  // wParam: the new interval
  static constexpr uint32_t kTickSoonMessage = 0x0813;
  static constexpr uint32_t kEndMessage = 0x0814;  // an ended timer frees itself in its owner thread
  static constexpr uint32_t kTimerId = 1;
  static constexpr uint32_t kDefaultOwnerWaitMs = 5000;

  explicit TzorTimerEx(TComponent* owner);
  ~TzorTimerEx() override;

  // From the owner thread the change takes effect at once. From any other thread the request is
  // posted to the owner thread and the call returns at once; Enabled() in the calling thread
  // may show the old value until the owner thread has dispatched it.
  bool Enabled() const { return FEnabled.load(); }
  void SetEnabled(bool value);

  // Changing the interval restarts the period; writing the same value changes nothing.
  // 0 stops the ticks. From another thread the change is posted to the owner thread, like
  // SetEnabled.
  uint32_t Interval() const { return FInterval.load(); }
  void SetInterval(uint32_t value);

  // Asks for one tick as soon as the owner thread dispatches its messages, without waiting for
  // the period, whose shortest length is the platform's timer grain (10 ms or more). Any thread
  // may ask, the owner thread too: the tick never runs inside the call. Requests made before
  // the tick runs give one tick; a timer that is off by then does not tick. The period goes on
  // as it was. Asked by the owner thread inside one of its ticks, it asks nothing: the period
  // brings the next tick. A tick that asked every time would keep a message in the thread's
  // queue for ever, and the thread's timers, input and its own loop come only once the queue
  // has emptied.
  void TickSoon();

  uint32_t OwnerThread() const { return FOwnerThread; }

  // Whether freeing the timer in the calling thread goes without waiting for the owner thread:
  // in the owner thread itself, or once the owner thread's window is gone (the thread ended).
  bool FreesWithoutWaiting() const;

  // Assigning a handler (also the same one again) restarts the period. Written in the owner
  // thread only, apart from clearing it when the timer is freed.
  TNotifyEvent OnTimer() const;
  void SetOnTimer(TNotifyEvent handler);

  // The hidden window that receives the ticks; kNoWindow after it was released.
  platform::WindowHandle WindowHandle() const { return FWindowHandle.load(); }

  // How long destruction from another thread waits for the owner thread, for each of its two
  // requests (5000 ms unless a test shortens it).
  void SetOwnerWaitMs(uint32_t ms) { FOwnerWaitMs = ms; }

private:
  friend void EndTimer(TzorTimerEx*& timer);

  class WindowProc : public platform::IMessageHandler {
  public:
    explicit WindowProc(TzorTimerEx& timer) : FTimer(timer) {}
    intptr_t HandleMessage(platform::WindowHandle window, uint32_t message, uintptr_t wParam,
                           intptr_t lParam) override;

  private:
    TzorTimerEx& FTimer;
  };

  bool InOwnerThread() const;
  void UpdateTimer();
  void Tick();
  void ReleaseWindow();

  const uint32_t FOwnerThread;
  std::atomic<uint32_t> FInterval{1000};
  std::atomic<platform::WindowHandle> FWindowHandle{platform::kNoWindow};
  mutable std::mutex FOnTimerLock;  // a destroying thread clears the handler the owner may read
  TNotifyEvent FOnTimer;
  std::atomic<bool> FEnabled{true};
  std::atomic<bool> FTickSoonPosted{false};  // a TickSoon request waits in the owner's queue
  bool FInTick = false;                      // owner thread only
  bool* FDestroyedInTick = nullptr;          // set while a tick runs, so the tick sees its timer freed
  uint32_t FOwnerWaitMs = kDefaultOwnerWaitMs;
  WindowProc FWindowProc{*this};
};

// Switches the timer off and clears its handler (failures of either step are ignored), clears
// the reference and destroys the timer. Does nothing when the reference is empty.
void FreeTimer(TzorTimerEx*& timer);

// Ends a timer without waiting for its owner thread, and clears the reference: in the owner
// thread, or once that thread is gone, the timer is destroyed at once; otherwise its handler is
// cleared here (it never ticks again) and the owner thread destroys it the next time it
// dispatches its messages. A timer whose owner thread ends without dispatching again is
// destroyed by a later EndTimer call. The handler must not need its object for a tick that was
// already under way when the handler was cleared (it holds what it uses by a counted reference).
void EndTimer(TzorTimerEx*& timer);

}  // namespace kelda
