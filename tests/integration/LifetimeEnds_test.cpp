// The instance's and the engines' ends where the host re-enters the module: the instance freed
// from inside a log notification that a tick or a data call sent, and a replaced engine whose
// thread dispatches again afterwards (its timer then ends in that thread). The sanitizer preset
// watches each for a use after free; each prints the longest data call and command it saw.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "LiveRig.h"

using namespace livetest;

namespace {

const char kOneSource[] = "1;COM1;Press line 1";

// The host frees the instance inside the handler of a log notification (its posts fail, so the
// module sends the notification and the handler runs inside the module's call). The line comes
// from a handshake that timed out (a tick) or from an enquiry refused with NAK (a data call).
TEST(LifetimeEnds, TheInstanceFreedInsideALogNotificationOfATickOrADataCall) {
  TWatchdog watchdog(120000);
  TIniFile ini("lifetime-ends-log.ini");
  TRequestText polled = PolledRequest(kProtoCcmPeer, 20);
  polled.TimeoutMs = 200;
  ini.Store("Ends", ConfigXml({polled}), kProtoCcmPeer);
  TKeldaHost host(KELDA_LIBRARY_PATH);
  uint64_t longestData = 0, longestFree = 0;
  for (const bool fromTick : {true, false}) {
    SCOPED_TRACE(fromTick ? "a tick's log line" : "a data call's log line");
    const uintptr_t instance = host.Create(fromTick ? 11 : 12);
    ASSERT_NE(instance, 0u);
    int writes = 0;
    host.RouteWrites(instance, 1, [&](const std::string&) -> int32_t {
      ++writes;
      return 1;
    });
    ASSERT_EQ(host.Command(instance, "LOAD", LoadFromIni(host, ini, "Ends")).Code, 0);
    ASSERT_EQ(host.Command(instance, "SET-MODULE-PARAMETER",
                           {Param("PARAM", "LogFailedTransactions"), Param("VALUE", 1)})
                  .Code,
              0);
    ASSERT_EQ(SetState(host, instance, kOneSource, 1).Code, 0);
    bool freed = false;
    int freeCode = -99;
    host.OnLogNotification = [&](uintptr_t) {
      if (freed) return;
      freed = true;
      const uint64_t start = TKeldaHost::Now();
      freeCode = host.Free(instance);
      longestFree = std::max(longestFree, TKeldaHost::Now() - start);
    };
    host.RefusePosts(true);
    int answered = 0;
    const bool done = host.RunUntil(
        [&] {
          if (!fromTick && !freed)
            for (; answered < writes && !freed; ++answered) {
              const uint64_t start = TKeldaHost::Now();
              host.Data(instance, 1, kDataFlagPortBytes, "\x15");
              longestData = std::max(longestData, TKeldaHost::Now() - start);
            }
          return freed;
        },
        20000);
    host.RunFor(300);  // whatever the freed instance left behind would run now
    host.OnLogNotification = nullptr;
    host.RefusePosts(false);
    EXPECT_TRUE(done) << "no failed transaction was logged";
    EXPECT_EQ(freeCode, 0);
    EXPECT_EQ(host.Data(instance, 1, kDataFlagPortBytes, "\x15").Code, kResultRefused)
        << "the instance lives on";
  }
  std::printf("freed inside a log notification: longest data call %llu ms, longest free %llu ms\n",
              static_cast<unsigned long long>(longestData), static_cast<unsigned long long>(longestFree));
}

// Data source 2's engine is made by a thread that then stops dispatching for longer than a stall
// takes; the host's next command replaces it; then the old thread dispatches again. Its old
// timer ends there (in its own thread, inside its own message), the old engine writes nothing
// more, and the new engine polls from the host's thread.
TEST(LifetimeEnds, AReplacedEnginesThreadThatDispatchesAgainEndsItsTimerAndPollsNoMore) {
  TWatchdog watchdog(120000);
  TIniFile ini("lifetime-ends-resume.ini");
  ini.Store("Resume", ConfigXml({PolledRequest(kProtoSnp, 50)}), kProtoSnp);
  TKeldaHost host(KELDA_LIBRARY_PATH);
  const uintptr_t instance = host.Create(13);
  ASSERT_NE(instance, 0u);
  TSimulatedLine line(plcsim::Mode::Snp, "PLC1", 2, 5, 11);
  FillRegisters(line, 2);
  std::mutex writersLock;
  std::set<std::thread::id> writersAfter;  // threads that wrote to source 2 after the replacement
  std::atomic<bool> replaced{false};
  std::atomic<int> writesAfter{0};
  host.RouteWrites(instance, 2, [&](const std::string& bytes) -> int32_t {
    line.Write(bytes, TKeldaHost::Now());
    if (replaced.load()) {
      std::lock_guard guard(writersLock);
      writersAfter.insert(std::this_thread::get_id());
      ++writesAfter;
    }
    return static_cast<int32_t>(bytes.size());
  });
  ASSERT_EQ(host.Command(instance, "LOAD", LoadFromIni(host, ini, "Resume")).Code, 0);
  std::mutex lock;
  std::condition_variable changed;
  bool created = false, resume = false, resumed = false;
  std::thread other([&] {
    SetState(host, instance, kTwoSources, 1);
    std::unique_lock guard(lock);
    created = true;
    changed.notify_all();
    changed.wait(guard, [&] { return resume; });
    guard.unlock();
    // Dispatches again, as a host thread back from a long job does.
    const uint64_t until = TKeldaHost::Now() + 1500;
    while (TKeldaHost::Now() < until) {
      host.PumpMessages();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    guard.lock();
    resumed = true;
    changed.notify_all();
  });
  {
    std::unique_lock guard(lock);
    changed.wait(guard, [&] { return created; });
  }
  const std::thread::id otherId = other.get_id();
  host.RunFor(5500);  // the other thread dispatched no tick for 5 s: stopped
  const uint64_t start = TKeldaHost::Now();
  ASSERT_EQ(SetState(host, instance, kTwoSources, 1).Code, 0);
  const uint64_t commandMs = TKeldaHost::Now() - start;
  replaced = true;
  {
    std::lock_guard guard(lock);
    resume = true;
  }
  changed.notify_all();
  uint64_t longestData = 0;
  std::size_t rows = 0;
  const bool polls = host.RunUntil(
      [&] {
        for (const std::string& piece : line.Read(TKeldaHost::Now())) {
          const uint64_t t = TKeldaHost::Now();
          rows += host.Data(instance, 2, kDataFlagPortBytes, piece).Rows.size();
          longestData = std::max(longestData, TKeldaHost::Now() - t);
        }
        std::lock_guard guard(lock);
        return resumed && rows >= 3;
      },
      20000);
  other.join();
  EXPECT_TRUE(polls) << "data source 2 polls no more";
  {
    std::lock_guard guard(writersLock);
    EXPECT_EQ(writersAfter.count(otherId), 0u) << "the replaced engine still wrote from its old thread";
  }
  EXPECT_EQ(host.Free(instance), 0);
  std::printf("replaced engine's thread dispatches again: longest data call %llu ms, command %llu ms\n",
              static_cast<unsigned long long>(longestData), static_cast<unsigned long long>(commandMs));
}

}  // namespace

// The instance is made and translated by a thread that then stops dispatching (its timers are
// its own, as the engines' are); the host frees the instance from its own thread. The free must
// not wait for the thread that does not dispatch.
TEST(LifetimeEnds, FreeingATranslatedInstanceDoesNotWaitForTheThreadThatTranslatedIt) {
  TWatchdog watchdog(120000);
  TKeldaHost host(KELDA_LIBRARY_PATH);
  uint64_t longestFree = 0;
  for (const bool load : {false, true}) {
    SCOPED_TRACE(load ? "made and loaded in German" : "made");
    const int index = load ? 22 : 21;
    std::mutex lock;
    std::condition_variable changed;
    bool made = false, release = false;
    uintptr_t instance = 0;
    std::thread translator([&] {
      const uintptr_t madeHere = host.Create(index);
      if (madeHere != 0 && load) host.Command(madeHere, "LOAD", host.LoadParams({Param("LANGUAGE", "DE")}));
      std::unique_lock guard(lock);
      instance = madeHere;
      made = true;
      changed.notify_all();
      changed.wait(guard, [&] { return release; });
    });
    {
      std::unique_lock guard(lock);
      changed.wait(guard, [&] { return made; });
    }
    ASSERT_NE(instance, 0u);
    const uint64_t start = TKeldaHost::Now();
    EXPECT_EQ(host.Free(instance), 0);
    const uint64_t freeMs = TKeldaHost::Now() - start;
    longestFree = std::max(longestFree, freeMs);
    {
      std::lock_guard guard(lock);
      release = true;
    }
    changed.notify_all();
    translator.join();
    EXPECT_LT(freeMs, 2000u) << "the free waited for the thread that translated the instance";
  }
  std::printf("translated instance freed, its thread blocked: longest free %llu ms\n",
              static_cast<unsigned long long>(longestFree));
}
