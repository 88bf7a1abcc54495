#include "platform/MessageWindow.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Thread.h"

using namespace kelda::platform;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kPing = kUserMessage + 1;
constexpr uint32_t kRelay = kUserMessage + 2;

struct Call {
  uint32_t Message;
  uintptr_t WParam;
  uint32_t Thread;
};

// Records every message and answers 2 * wParam + 1.
class Recorder : public IMessageHandler {
public:
  intptr_t HandleMessage(WindowHandle, uint32_t message, uintptr_t wParam, intptr_t) override {
    std::lock_guard<std::mutex> lock(FLock);
    FCalls.push_back({message, wParam, CurrentThreadId()});
    return static_cast<intptr_t>(2 * wParam + 1);
  }
  std::vector<Call> Calls() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FCalls;
  }
  // Only the given message: Windows also passes its own messages (creation, destruction).
  std::vector<Call> Of(uint32_t message) const {
    std::vector<Call> out;
    for (const Call& c : Calls())
      if (c.Message == message) out.push_back(c);
    return out;
  }
  int Count(uint32_t message) const { return static_cast<int>(Of(message).size()); }

private:
  mutable std::mutex FLock;
  std::vector<Call> FCalls;
};

// A thread that owns one window and dispatches its messages; with pumpAtOnce false it sits
// blocked (dispatching nothing) until Start().
class OwnerThread {
public:
  explicit OwnerThread(IMessageHandler* handler, bool pumpAtOnce = true) {
    FStarted = FStart.get_future().share();
    std::promise<WindowHandle> created;
    auto window = created.get_future();
    FThread = std::thread([this, handler, &created] {
      FId = CurrentThreadId();
      WindowHandle w = AllocateHiddenWindow(handler);
      created.set_value(w);
      FStarted.wait();
      PumpMessages([this] { return FStop.load(); }, 60000);
      FreeHiddenWindow(w);
    });
    Window = window.get();
    if (pumpAtOnce) Start();
  }
  ~OwnerThread() {
    FStop = true;
    Start();
    FThread.join();
  }
  void Start() {
    if (FStartedOnce) return;
    FStartedOnce = true;
    FStart.set_value();
  }
  uint32_t Id() const { return FId; }

  WindowHandle Window = kNoWindow;

private:
  std::promise<void> FStart;
  std::shared_future<void> FStarted;
  bool FStartedOnce = false;
  std::atomic<bool> FStop{false};
  std::atomic<uint32_t> FId{0};
  std::thread FThread;
};

template <class Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds bound = 10s) {
  auto deadline = std::chrono::steady_clock::now() + bound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

bool PumpUntil(const std::function<bool()>& done, uint32_t boundMs = 10000) {
  return PumpMessages(done, boundMs);
}

}  // namespace

TEST(MessageWindow, PostAndSendRunInTheOwnerThread) {
  Recorder remote;
  OwnerThread owner(&remote);
  EXPECT_TRUE(IsWindowAlive(owner.Window));

  EXPECT_TRUE(PostWindowMessage(owner.Window, kPing, 7, 0));
  intptr_t result = 0;
  EXPECT_TRUE(SendMessageWithTimeout(owner.Window, kPing, 20, 0, 10000, &result));
  EXPECT_EQ(result, 41);
  ASSERT_TRUE(WaitUntil([&] { return remote.Count(kPing) == 2; }));
  for (const Call& c : remote.Calls()) EXPECT_EQ(c.Thread, owner.Id());

  // Sending to a window of the calling thread runs the handler at once, without pumping;
  // posting to it waits for the pump.
  Recorder local;
  WindowHandle own = AllocateHiddenWindow(&local);
  EXPECT_TRUE(SendMessageWithTimeout(own, kPing, 3, 0, 0, &result));
  EXPECT_EQ(result, 7);
  EXPECT_EQ(local.Count(kPing), 1);
  EXPECT_TRUE(PostWindowMessage(own, kPing, 4, 0));
  EXPECT_EQ(local.Count(kPing), 1);
  ProcessPendingMessages();
  ASSERT_EQ(local.Count(kPing), 2);
  EXPECT_EQ(local.Of(kPing).back().WParam, 4u);
  EXPECT_EQ(local.Of(kPing).back().Thread, CurrentThreadId());
  FreeHiddenWindow(own);
}

TEST(MessageWindow, FreedWindowDropsAndRefusesMessages) {
  Recorder handler;
  WindowHandle window = AllocateHiddenWindow(&handler);
  EXPECT_TRUE(PostWindowMessage(window, kPing, 1, 0));
  EXPECT_TRUE(SetWindowTimer(window, 1, 10));
  FreeHiddenWindow(window);
  EXPECT_FALSE(IsWindowAlive(window));
  PumpMessages([] { return false; }, 200);
  EXPECT_EQ(handler.Count(kPing) + handler.Count(kTimerMessage), 0);

  intptr_t result = 0;
  EXPECT_FALSE(PostWindowMessage(window, kPing, 1, 0));
  EXPECT_FALSE(SendMessageWithTimeout(window, kPing, 1, 0, 1000, &result));
  EXPECT_FALSE(SetWindowTimer(window, 1, 10));
  EXPECT_FALSE(PostWindowMessage(kNoWindow, kPing, 1, 0));
  EXPECT_EQ(handler.Count(kPing), 0);

  // Another thread's freed window refuses too.
  WindowHandle gone = kNoWindow;
  {
    OwnerThread owner(&handler);
    gone = owner.Window;
  }
  EXPECT_FALSE(SendMessageWithTimeout(gone, kPing, 1, 0, 1000, &result));
  EXPECT_FALSE(PostWindowMessage(gone, kPing, 1, 0));

  // A window detached from another thread while its owner does not dispatch: what was queued
  // never reaches the handler, and the window goes once the owner dispatches again.
  Recorder idle;
  OwnerThread sleeper(&idle, /*pumpAtOnce=*/false);
  EXPECT_TRUE(PostWindowMessage(sleeper.Window, kPing, 1, 0));
  DetachHiddenWindow(sleeper.Window);
  EXPECT_FALSE(SendMessageWithTimeout(sleeper.Window, kPing, 1, 0, 200, &result));
  sleeper.Start();
  EXPECT_TRUE(WaitUntil([&] { return !IsWindowAlive(sleeper.Window); }));
  EXPECT_EQ(idle.Count(kPing), 0);
}

// A handler that, asked to relay, sends to another window and answers with that answer + 1.
class Relay : public IMessageHandler {
public:
  WindowHandle Target = kNoWindow;
  intptr_t HandleMessage(WindowHandle, uint32_t message, uintptr_t wParam, intptr_t) override {
    if (message != kRelay) return 0;
    intptr_t answer = -1;
    if (!SendMessageWithTimeout(Target, kPing, wParam, 0, 10000, &answer)) return -1;
    return answer + 1;
  }
};

TEST(MessageWindow, SendsBetweenTwoThreadsDoNotDeadlockAndWaitsAreBounded) {
  // The main thread sends to the owner, whose handler sends back to the main thread's window
  // while the main thread waits: the waiting sender must answer it.
  Recorder local;
  WindowHandle own = AllocateHiddenWindow(&local);
  Relay relay;
  relay.Target = own;
  OwnerThread owner(&relay);
  intptr_t result = 0;
  ASSERT_TRUE(SendMessageWithTimeout(owner.Window, kRelay, 10, 0, 10000, &result));
  EXPECT_EQ(result, 22);
  ASSERT_EQ(local.Count(kPing), 1);
  EXPECT_EQ(local.Of(kPing)[0].Thread, CurrentThreadId());

  // An owner that does not dispatch: the send gives up after its bound, and the owner still
  // works once it dispatches again (whether the late message arrives is up to the system).
  Recorder idle;
  OwnerThread sleeper(&idle, /*pumpAtOnce=*/false);
  auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(SendMessageWithTimeout(sleeper.Window, kPing, 5, 0, 200, &result));
  EXPECT_GE(std::chrono::steady_clock::now() - started, 150ms);
  EXPECT_EQ(idle.Count(kPing), 0);
  sleeper.Start();
  EXPECT_TRUE(SendMessageWithTimeout(sleeper.Window, kPing, 6, 0, 10000, &result));
  EXPECT_EQ(result, 13);
  EXPECT_LE(idle.Count(kPing), 2);
  FreeHiddenWindow(own);
}

TEST(MessageWindow, TimerTicksOnlyInOwnerThreadWithoutBacklog) {
  Recorder handler;
  WindowHandle window = AllocateHiddenWindow(&handler);
  ASSERT_TRUE(SetWindowTimer(window, 5, 20));

  // Nothing arrives while the thread does not dispatch; after a busy spell of 20 periods at
  // most one tick is waiting (a backlog would deliver about 20). On a loaded machine another
  // period may end while the waiting messages are being dispatched, hence up to 2.
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(handler.Count(kTimerMessage), 0);
  ProcessPendingMessages();
  EXPECT_LE(handler.Count(kTimerMessage), 2);

  ASSERT_TRUE(PumpUntil([&] { return handler.Count(kTimerMessage) >= 4; }));
  for (const Call& c : handler.Of(kTimerMessage)) {
    EXPECT_EQ(c.WParam, 5u);
    EXPECT_EQ(c.Thread, CurrentThreadId());
  }

  // Killing a timer drops the tick that became due meanwhile.
  KillWindowTimer(window, 5);
  int before = handler.Count(kTimerMessage);
  ASSERT_TRUE(SetWindowTimer(window, 6, 20));
  std::this_thread::sleep_for(200ms);
  KillWindowTimer(window, 6);
  PumpMessages([] { return false; }, 300);
  EXPECT_EQ(handler.Count(kTimerMessage), before);

  // A handler slower than its period does not keep ProcessPendingMessages busy for ever (the
  // timer stops itself after 50 ticks, so a fault fails instead of hanging).
  struct Slow : IMessageHandler {
    int Ticks = 0;
    intptr_t HandleMessage(WindowHandle w, uint32_t message, uintptr_t wParam, intptr_t) override {
      if (message != kTimerMessage) return 0;
      std::this_thread::sleep_for(30ms);
      if (++Ticks == 50) KillWindowTimer(w, static_cast<uint32_t>(wParam));
      return 0;
    }
  } slow;
  WindowHandle busy = AllocateHiddenWindow(&slow);
  ASSERT_TRUE(SetWindowTimer(busy, 1, 10));
  ASSERT_TRUE(PumpUntil([&] { return slow.Ticks >= 1; }));
  slow.Ticks = 0;
  ProcessPendingMessages();
  EXPECT_LE(slow.Ticks, 2);
  FreeHiddenWindow(busy);
  FreeHiddenWindow(window);
}
