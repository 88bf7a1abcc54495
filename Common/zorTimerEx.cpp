#include "Common/zorTimerEx.h"

#include <algorithm>
#include <exception>
#include <string>
#include <vector>

#include "Common/Exceptions.h"
#include "platform/Debug.h"
#include "platform/Thread.h"

namespace kelda {

namespace {

// The runtime's display of an exception that no caller can take: an error box, after which the
// owner thread goes on dispatching.
void ShowException(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    platform::ShowErrorBox(e.what(), "Application Error");
  } catch (...) {
    platform::ShowErrorBox("Unknown exception", "Application Error");
  }
}

// Timers ended from another thread that wait for their owner thread to destroy them. A timer
// stays listed until that thread does so; once the thread is gone (its window with it), the
// next EndTimer call destroys it.
struct TEndedTimers {
  std::mutex Lock;
  std::vector<TzorTimerEx*> Timers;
};

TEndedTimers& EndedTimers() {
  static auto* ended = new TEndedTimers;  // outlives every timer, also at exit
  return *ended;
}

// Takes a listed timer out of the list; false when it was not listed.
bool Unlist(TzorTimerEx* timer) {
  TEndedTimers& ended = EndedTimers();
  std::lock_guard<std::mutex> lock(ended.Lock);
  const auto at = std::find(ended.Timers.begin(), ended.Timers.end(), timer);
  if (at == ended.Timers.end()) return false;
  ended.Timers.erase(at);
  return true;
}

// Destroys the listed timers whose owner thread is gone.
void DestroyOrphans() {
  std::vector<TzorTimerEx*> orphans;
  {
    TEndedTimers& ended = EndedTimers();
    std::lock_guard<std::mutex> lock(ended.Lock);
    const auto gone = std::stable_partition(ended.Timers.begin(), ended.Timers.end(), [](TzorTimerEx* timer) {
      return platform::IsWindowAlive(timer->WindowHandle());
    });
    orphans.assign(gone, ended.Timers.end());
    ended.Timers.erase(gone, ended.Timers.end());
  }
  for (TzorTimerEx* timer : orphans) delete timer;  // its window is gone: nothing is waited for
}

}  // namespace

TzorTimerEx::TzorTimerEx(TComponent* owner) : TComponent(owner), FOwnerThread(platform::CurrentThreadId()) {
  FWindowHandle = platform::AllocateHiddenWindow(&FWindowProc);
}

TzorTimerEx::~TzorTimerEx() {
  if (FDestroyedInTick) *FDestroyedInTick = true;
  const platform::WindowHandle window = FWindowHandle.load();
  const bool owner = InOwnerThread();
  intptr_t ignored = 0;
  if (window != platform::kNoWindow && !owner)
    platform::SendMessageWithTimeout(window, kSetEnabledMessage, 0, 0, FOwnerWaitMs, &ignored);

  {
    std::lock_guard<std::mutex> lock(FOnTimerLock);
    FOnTimer = nullptr;
  }
  FEnabled = false;
  try {
    UpdateTimer();
  } catch (...) {
  }

  if (FWindowHandle.load() == platform::kNoWindow || owner) {
    ReleaseWindow();
    return;
  }
  if (platform::SendMessageWithTimeout(window, kReleaseWindowMessage, 0, 0, FOwnerWaitMs, &ignored)) return;
  // The owner thread did not answer in time. Its window may still dispatch the requests above
  // (or a tick) later, and this object is about to go: take the window away from it.
  platform::WindowHandle orphan = FWindowHandle.exchange(platform::kNoWindow);
  if (orphan != platform::kNoWindow) platform::DetachHiddenWindow(orphan);
}

bool TzorTimerEx::InOwnerThread() const {
  return platform::CurrentThreadId() == FOwnerThread;
}

bool TzorTimerEx::FreesWithoutWaiting() const {
  const platform::WindowHandle window = FWindowHandle.load();
  return InOwnerThread() || window == platform::kNoWindow || !platform::IsWindowAlive(window);
}

void TzorTimerEx::SetEnabled(bool value) {
  const platform::WindowHandle window = FWindowHandle.load();
  if (window != platform::kNoWindow && !InOwnerThread()) {
    platform::PostWindowMessage(window, kSetEnabledMessage, value ? 1 : 0, 0);
    return;
  }
  if (value == FEnabled.load()) return;
  FEnabled = value;
  UpdateTimer();
}

void TzorTimerEx::SetInterval(uint32_t value) {
  const platform::WindowHandle window = FWindowHandle.load();
  if (window != platform::kNoWindow && !InOwnerThread()) {
    platform::PostWindowMessage(window, kSetIntervalMessage, value, 0);
    return;
  }
  if (value == FInterval.load()) return;
  FInterval = value;
  UpdateTimer();
}

void TzorTimerEx::TickSoon() {
  if (InOwnerThread() && FInTick) return;
  const platform::WindowHandle window = FWindowHandle.load();
  if (window == platform::kNoWindow || FTickSoonPosted.exchange(true)) return;
  if (!platform::PostWindowMessage(window, kTickSoonMessage, 0, 0)) FTickSoonPosted = false;
}

TzorTimerEx::TNotifyEvent TzorTimerEx::OnTimer() const {
  std::lock_guard<std::mutex> lock(FOnTimerLock);
  return FOnTimer;
}

void TzorTimerEx::SetOnTimer(TNotifyEvent handler) {
  {
    std::lock_guard<std::mutex> lock(FOnTimerLock);
    FOnTimer = std::move(handler);
  }
  UpdateTimer();
}

// Every change restarts the period from zero.
void TzorTimerEx::UpdateTimer() {
  const platform::WindowHandle window = FWindowHandle.load();
  platform::KillWindowTimer(window, kTimerId);
  if (FInterval.load() == 0 || !FEnabled.load() || !OnTimer()) return;
  if (window == platform::kNoWindow || !platform::SetWindowTimer(window, kTimerId, FInterval.load())) {
    FEnabled = false;  // off as it is, so that switching it on again tries again
    throw EOutOfResources("Not enough timers available");
  }
}

void TzorTimerEx::Tick() {
  // A message loop run inside the handler (an error box, a wait that pumps) dispatches this
  // timer's messages too; a second tick must not start inside the first.
  if (FInTick) return;
  TNotifyEvent handler = OnTimer();
  if (!handler) return;
  bool destroyed = false;
  FInTick = true;
  FDestroyedInTick = &destroyed;
  try {
    handler(this);
  } catch (...) {
    ShowException(std::current_exception());
  }
  if (destroyed) return;  // the handler freed its own timer
  FDestroyedInTick = nullptr;
  FInTick = false;
}

void TzorTimerEx::ReleaseWindow() {
  platform::WindowHandle window = FWindowHandle.exchange(platform::kNoWindow);
  if (window == platform::kNoWindow) return;
  try {
    platform::FreeHiddenWindow(window);
  } catch (...) {
  }
}

intptr_t TzorTimerEx::WindowProc::HandleMessage(platform::WindowHandle window, uint32_t message,
                                                uintptr_t wParam, intptr_t lParam) {
  try {
    switch (message) {
      case platform::kTimerMessage:
        FTimer.Tick();  // may have destroyed the timer: FTimer is not touched afterwards
        return 0;
      case kSetEnabledMessage:
        FTimer.SetEnabled(wParam == 1);
        return 0;
      case kSetIntervalMessage:
        FTimer.SetInterval(static_cast<uint32_t>(wParam));
        return 0;
      case kTickSoonMessage:
        FTimer.FTickSoonPosted = false;  // a request made during this tick asks for another
        if (FTimer.FEnabled.load() && FTimer.FInterval.load() != 0) FTimer.Tick();
        return 0;
      case kReleaseWindowMessage:
        FTimer.ReleaseWindow();
        return 0;
      case kEndMessage:
        // Ended by another thread: destroyed here, where nothing is waited for. FTimer (and this
        // handler with it) is gone afterwards.
        if (Unlist(&FTimer)) delete &FTimer;
        return 0;
      default:
        return platform::DefaultWindowResult(window, message, wParam, lParam);
    }
  } catch (...) {
    ShowException(std::current_exception());
  }
  return 0;
}

void FreeTimer(TzorTimerEx*& timer) {
  if (!timer) return;
  TzorTimerEx* doomed = timer;
  try {
    doomed->SetEnabled(false);
  } catch (...) {
  }
  try {
    doomed->SetOnTimer(nullptr);
  } catch (...) {
  }
  timer = nullptr;  // before the destruction, so a tick running meanwhile sees no timer
  delete doomed;
}

void EndTimer(TzorTimerEx*& timer) {
  DestroyOrphans();
  if (!timer) return;
  TzorTimerEx* ended = timer;
  timer = nullptr;
  if (ended->FreesWithoutWaiting()) {
    FreeTimer(ended);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(ended->FOnTimerLock);
    ended->FOnTimer = nullptr;
  }
  ended->FEnabled = false;
  ended->LeaveOwner();  // its owner goes now; the timer goes in its own thread
  // Read before the timer is listed: once listed, another thread's EndTimer may destroy it.
  const platform::WindowHandle window = ended->WindowHandle();
  {
    TEndedTimers& list = EndedTimers();
    std::lock_guard<std::mutex> lock(list.Lock);
    list.Timers.push_back(ended);
  }
  // A timer message already queued finds no handler; the owner thread destroys the timer at
  // this message. When the window went meanwhile (its thread ended), nobody else will.
  if (!platform::PostWindowMessage(window, TzorTimerEx::kEndMessage, 0, 0)) DestroyOrphans();
}

}  // namespace kelda
