#include "Common/zorTimerEx.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Common/Exceptions.h"
#include "platform/Debug.h"
#include "platform/Thread.h"

using namespace kelda;
using namespace std::chrono_literals;
namespace platform = kelda::platform;

namespace {

struct Box {
  std::string Text;
  std::string Caption;
};
std::mutex gBoxLock;
std::vector<Box> gBoxes;

void RecordBox(const std::string& text, const std::string& caption) {
  std::lock_guard<std::mutex> lock(gBoxLock);
  gBoxes.push_back({text, caption});
}

std::vector<Box> Boxes() {
  std::lock_guard<std::mutex> lock(gBoxLock);
  return gBoxes;
}

// Every test records error boxes: a real modal box would never be answered in a test run.
class TimerTest : public ::testing::Test {
protected:
  void SetUp() override {
    {
      std::lock_guard<std::mutex> lock(gBoxLock);
      gBoxes.clear();
    }
    FPrevious = platform::SetErrorBoxHook(&RecordBox);
  }
  void TearDown() override { platform::SetErrorBoxHook(FPrevious); }

private:
  platform::ErrorBoxHook FPrevious = nullptr;
};

// Counts the ticks of a timer and where they ran.
struct TickLog {
  std::atomic<int> Count{0};
  std::atomic<int> Depth{0};
  std::atomic<int> MaxDepth{0};
  std::atomic<bool> ForeignThread{false};
  uint32_t Owner = platform::CurrentThreadId();

  TzorTimerEx::TNotifyEvent Handler() {
    return [this](TzorTimerEx*) {
      int depth = ++Depth;
      if (depth > MaxDepth) MaxDepth = depth;
      if (platform::CurrentThreadId() != Owner) ForeignThread = true;
      ++Count;
      --Depth;
    };
  }
};

bool PumpUntil(const std::function<bool()>& done, uint32_t boundMs = 10000) {
  return platform::PumpMessages(done, boundMs);
}

void PumpFor(uint32_t ms) {
  platform::PumpMessages([] { return false; }, ms);
}

uint64_t MsSince(std::chrono::steady_clock::time_point start) {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
          .count());
}

}  // namespace

TEST_F(TimerTest, NewTimerWaitsForHandlerThenTicksOnlyInOwnerThreadWithoutOverlap) {
  auto root = std::make_unique<TComponent>(nullptr);
  auto* timer = new TzorTimerEx(root.get());
  EXPECT_TRUE(timer->Enabled());
  EXPECT_EQ(timer->Interval(), 1000u);
  EXPECT_EQ(timer->OwnerThread(), platform::CurrentThreadId());
  EXPECT_FALSE(timer->OnTimer());
  EXPECT_TRUE(platform::IsWindowAlive(timer->WindowHandle()));

  TickLog log;
  timer->SetInterval(20);
  PumpFor(100);
  timer->SetOnTimer(log.Handler());
  ASSERT_TRUE(PumpUntil([&] { return log.Count >= 3; }));

  // Another thread that dispatches its own messages never gets a tick.
  std::thread other([] { PumpFor(300); });
  PumpFor(300);
  other.join();
  EXPECT_FALSE(log.ForeignThread);

  // A handler that runs a message loop of its own (as an error box does) does not start a
  // second tick inside the first.
  std::atomic<int> inner{0};
  std::atomic<int> depth{0};
  std::atomic<int> maxDepth{0};
  timer->SetInterval(10);
  timer->SetOnTimer([&](TzorTimerEx*) {
    int d = ++depth;
    if (d > maxDepth) maxDepth = d;
    ++inner;
    if (d == 1) PumpFor(60);  // a nested tick returns at once, so a missing guard fails fast
    --depth;
  });
  ASSERT_TRUE(PumpUntil([&] { return inner >= 3; }));
  EXPECT_EQ(maxDepth, 1);

  // The owner destroys the timer together with its window.
  platform::WindowHandle window = timer->WindowHandle();
  root.reset();
  EXPECT_FALSE(platform::IsWindowAlive(window));
}

TEST_F(TimerTest, IntervalZeroStopsTicksWhileEnabledAndNoBacklogAfterBusySpell) {
  TzorTimerEx* timer = new TzorTimerEx(nullptr);
  TickLog log;
  timer->SetInterval(20);
  timer->SetOnTimer(log.Handler());
  ASSERT_TRUE(PumpUntil([&] { return log.Count >= 2; }));

  timer->SetInterval(0);
  EXPECT_TRUE(timer->Enabled());
  int stopped = log.Count;
  PumpFor(500);
  EXPECT_EQ(log.Count, stopped);

  timer->SetInterval(20);
  ASSERT_TRUE(PumpUntil([&] { return log.Count >= stopped + 2; }));

  // Blocked for 20 periods: dispatching afterwards finds one tick, not the missed ones. A period
  // that ends while the dispatch itself runs (a slow or busy machine) may add one tick of its own.
  std::this_thread::sleep_for(400ms);
  int beforeDispatch = log.Count;
  const auto dispatched = std::chrono::steady_clock::now();
  platform::ProcessPendingMessages();
  EXPECT_LE(log.Count, beforeDispatch + 1 + static_cast<int>(MsSince(dispatched) / 20));
  FreeTimer(timer);
  EXPECT_EQ(timer, nullptr);
}

TEST_F(TimerTest, SwitchingFromAnotherThreadReturnsAtOnceAndActsWhenOwnerDispatches) {
  TzorTimerEx* timer = new TzorTimerEx(nullptr);
  TickLog log;
  timer->SetInterval(20);
  timer->SetOnTimer(log.Handler());
  ASSERT_TRUE(PumpUntil([&] { return log.Count >= 2; }));

  // The owner is not dispatching while the other thread switches: the call must not wait.
  auto off = std::async(std::launch::async, [timer] { timer->SetEnabled(false); });
  ASSERT_EQ(off.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(timer->Enabled());
  ASSERT_TRUE(PumpUntil([&] { return !timer->Enabled(); }));
  int stopped = log.Count;
  PumpFor(400);
  EXPECT_EQ(log.Count, stopped);

  auto on = std::async(std::launch::async, [timer] { timer->SetEnabled(true); });
  ASSERT_EQ(on.wait_for(10s), std::future_status::ready);
  EXPECT_FALSE(timer->Enabled());
  ASSERT_TRUE(PumpUntil([&] { return log.Count >= stopped + 2; }));
  EXPECT_TRUE(timer->Enabled());
  EXPECT_FALSE(log.ForeignThread);
  FreeTimer(timer);
}

// A data thread that wants the next tick sooner posts the interval; the owner thread applies
// it when it dispatches, and the timer's window is never touched from the other thread.
TEST_F(TimerTest, IntervalSetFromAnotherThreadActsWhenOwnerDispatches) {
  TzorTimerEx* timer = new TzorTimerEx(nullptr);
  TickLog log;
  timer->SetInterval(60000);
  timer->SetOnTimer(log.Handler());
  auto shorter = std::async(std::launch::async, [timer] { timer->SetInterval(20); });
  ASSERT_EQ(shorter.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(timer->Interval(), 60000u) << "not before the owner dispatches";
  ASSERT_TRUE(PumpUntil([&] { return log.Count >= 2; }));
  EXPECT_EQ(timer->Interval(), 20u);
  EXPECT_FALSE(log.ForeignThread);
  FreeTimer(timer);
}

// A tick asked for at once comes with the next dispatch, long before the period ends, in the
// owner thread whoever asked; requests made before it runs give one tick, and a timer that is
// off does not tick. The period is long, so any tick seen here is the one asked for.
TEST_F(TimerTest, TickSoonTicksAtTheNextDispatchOnceAndOnlyWhileOn) {
  TzorTimerEx* timer = new TzorTimerEx(nullptr);
  TickLog log;
  timer->SetInterval(60000);
  timer->SetOnTimer(log.Handler());
  timer->TickSoon();
  EXPECT_EQ(log.Count, 0) << "never inside the call";
  timer->TickSoon();
  timer->TickSoon();
  platform::ProcessPendingMessages();
  EXPECT_EQ(log.Count, 1);
  platform::ProcessPendingMessages();
  EXPECT_EQ(log.Count, 1);

  // A tick that asks again every time (a host that answers inside the send) gets its next tick
  // from the period: one dispatch ends, and another timer of the thread still ticks. The period
  // is still long while the one dispatch runs, so that no tick of the period joins it however
  // slowly the machine dispatches.
  std::atomic<int> depth{0}, maxDepth{0}, ticks{0};
  timer->SetOnTimer([&](TzorTimerEx* self) {
    const int d = ++depth;
    if (d > maxDepth) maxDepth = d;
    if (++ticks < 1000) self->TickSoon();  // bounded, so that a chain fails rather than hangs
    --depth;
  });
  TzorTimerEx* neighbour = new TzorTimerEx(nullptr);
  TickLog neighbourLog;
  neighbour->SetInterval(20);
  neighbour->SetOnTimer(neighbourLog.Handler());
  timer->TickSoon();
  platform::ProcessPendingMessages();
  EXPECT_EQ(ticks, 1) << "a tick that asks again chains ticks without end";
  timer->SetInterval(20);
  ASSERT_TRUE(PumpUntil([&] { return ticks >= 3 && neighbourLog.Count >= 3; }, 5000))
      << ticks << " ticks, the other timer " << neighbourLog.Count;
  EXPECT_EQ(maxDepth, 1);
  FreeTimer(neighbour);
  timer->SetInterval(60000);
  timer->SetOnTimer(log.Handler());

  auto other = std::async(std::launch::async, [timer] { timer->TickSoon(); });
  ASSERT_EQ(other.wait_for(10s), std::future_status::ready);
  ASSERT_TRUE(PumpUntil([&] { return log.Count >= 2; }, 5000));
  EXPECT_FALSE(log.ForeignThread);

  timer->SetEnabled(false);
  timer->TickSoon();
  PumpFor(100);
  EXPECT_EQ(log.Count, 2);
  timer->SetEnabled(true);
  timer->TickSoon();
  platform::ProcessPendingMessages();
  EXPECT_EQ(log.Count, 3) << "a request ignored while off does not block the next";
  FreeTimer(timer);
}

// Long periods, so that "no tick yet" never depends on how fast the machine is: a timer
// does not fire early, and the checks leave seconds for a late tick.
TEST_F(TimerTest, SameIntervalKeepsThePeriodWhileAssigningTheHandlerRestartsIt) {
  constexpr uint32_t kPeriod = 6000;
  TzorTimerEx* sameInterval = new TzorTimerEx(nullptr);
  TzorTimerEx* newHandler = new TzorTimerEx(nullptr);
  TickLog a, b;
  sameInterval->SetInterval(kPeriod);
  newHandler->SetInterval(kPeriod);
  auto handlerB = b.Handler();
  sameInterval->SetOnTimer(a.Handler());
  newHandler->SetOnTimer(handlerB);

  PumpFor(4500);
  EXPECT_EQ(a.Count, 0);
  EXPECT_EQ(b.Count, 0);
  auto reassigned = std::chrono::steady_clock::now();
  sameInterval->SetInterval(kPeriod);
  newHandler->SetOnTimer(handlerB);

  // The unchanged period ends about 1.5 s after the reassignment; the restarted one 6 s after.
  PumpFor(4500);
  EXPECT_EQ(a.Count, 1);
  EXPECT_EQ(b.Count, 0);
  ASSERT_TRUE(PumpUntil([&] { return b.Count >= 1; }, 15000));
  EXPECT_GE(MsSince(reassigned), kPeriod - 100);
  FreeTimer(sameInterval);
  FreeTimer(newHandler);
}

TEST_F(TimerTest, FailingHandlerIsReportedAndTheTimerKeepsTicking) {
  TzorTimerEx* timer = new TzorTimerEx(nullptr);
  std::atomic<int> ticks{0};
  timer->SetInterval(20);
  timer->SetOnTimer([&](TzorTimerEx*) {
    ++ticks;
    throw EInOutError("tick failed");
  });
  ASSERT_TRUE(PumpUntil([&] { return ticks >= 3; }));
  std::vector<Box> boxes = Boxes();
  ASSERT_EQ(boxes.size(), static_cast<std::size_t>(ticks.load()));
  for (const Box& box : boxes) {
    EXPECT_EQ(box.Caption, "Application Error");
    EXPECT_EQ(box.Text, "tick failed");
  }
  EXPECT_TRUE(timer->Enabled());
  FreeTimer(timer);
}

TEST_F(TimerTest, DestructionFromAnotherThreadWithOwnerDispatchingOrNot) {
  // Owner dispatching: both requests are handled and the window goes.
  TzorTimerEx* timer = new TzorTimerEx(nullptr);
  TickLog log;
  timer->SetInterval(20);
  timer->SetOnTimer(log.Handler());
  ASSERT_TRUE(PumpUntil([&] { return log.Count >= 1; }));
  platform::WindowHandle window = timer->WindowHandle();
  std::atomic<bool> freed{false};
  std::thread killer([&] {
    FreeTimer(timer);
    freed = true;
  });
  EXPECT_TRUE(PumpUntil([&] { return freed.load(); }));
  killer.join();
  EXPECT_EQ(timer, nullptr);
  EXPECT_FALSE(platform::IsWindowAlive(window));
  int stopped = log.Count;
  PumpFor(300);
  EXPECT_EQ(log.Count, stopped);

  // Owner not dispatching: each wait ends after its bound, and what the window receives later
  // no longer reaches the freed timer.
  timer = new TzorTimerEx(nullptr);
  timer->SetOwnerWaitMs(300);
  TickLog late;
  timer->SetInterval(20);
  timer->SetOnTimer(late.Handler());
  ASSERT_TRUE(PumpUntil([&] { return late.Count >= 1; }));
  window = timer->WindowHandle();
  auto destroyed = std::async(std::launch::async, [&] { FreeTimer(timer); });
  ASSERT_EQ(destroyed.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(timer, nullptr);
  int before = late.Count;
  EXPECT_TRUE(PumpUntil([&] { return !platform::IsWindowAlive(window); }));
  PumpFor(200);
  EXPECT_EQ(late.Count, before);
}

TEST_F(TimerTest, RefusedTimerAndFreeRoutine) {
  TzorTimerEx* none = nullptr;
  FreeTimer(none);
  EXPECT_EQ(none, nullptr);

  // Without its window the timer cannot run: a restart fails with the resource error, and the
  // free routine still gets rid of the timer.
  TzorTimerEx* timer = new TzorTimerEx(nullptr);
  intptr_t result = 0;
  ASSERT_TRUE(platform::SendMessageWithTimeout(timer->WindowHandle(), TzorTimerEx::kReleaseWindowMessage, 0,
                                               0, 1000, &result));
  EXPECT_EQ(timer->WindowHandle(), platform::kNoWindow);
  try {
    timer->SetOnTimer([](TzorTimerEx*) {});
    ADD_FAILURE() << "no error";
  } catch (const EOutOfResources& e) {
    EXPECT_EQ(e.Message, "Not enough timers available");
  }
  timer->SetEnabled(false);  // stopping needs no platform timer
  FreeTimer(timer);
  EXPECT_EQ(timer, nullptr);
}
