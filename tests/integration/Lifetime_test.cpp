// The instance's lifetime and locks as a host sees them, each test named after the rule it
// guards: no host callback under a lock of the module; an engine's end never waits for another
// thread; an engine whose polling thread stopped is taken over by the next command's thread; a
// data call that comes after UNLOAD waits for a data call that waits for the host no longer than
// a log notification may. Each prints the longest data call and the longest command it saw.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LiveRig.h"

using namespace livetest;

namespace {

const char kOneSource[] = "1;COM1;Press line 1";

struct TLongest {
  std::atomic<uint64_t> DataCallMs{0}, CommandMs{0};
  void Data(uint64_t ms) { Raise(DataCallMs, ms); }
  void Command(uint64_t ms) { Raise(CommandMs, ms); }
  static void Raise(std::atomic<uint64_t>& at, uint64_t ms) {
    uint64_t seen = at.load();
    while (ms > seen && !at.compare_exchange_weak(seen, ms)) {
    }
  }
  void Print(const char* probe) const {
    std::printf("%s: longest data call %llu ms, longest command %llu ms\n", probe,
                static_cast<unsigned long long>(DataCallMs.load()),
                static_cast<unsigned long long>(CommandMs.load()));
  }
};

template <class F>
auto Timed(std::atomic<uint64_t>& longest, F call) {
  const uint64_t start = TKeldaHost::Now();
  auto result = call();
  TLongest::Raise(longest, TKeldaHost::Now() - start);
  return result;
}

// Rule: no host callback under a lock. The host's posts fail, so every log notification is sent
// and its handler runs inside the module's call; the handler answers with commands that reload
// the settings and rebuild the queues. The lines come from a command (a request that cannot be
// sent, logged at every load) and from the engine (every opening refused with NAK, logged as a
// failed transaction). A handler's command that found the command lock taken by its own thread
// would be refused as nested; one that rebuilt the queue under the engine's lock would free the
// request the engine still works on (the sanitizer preset watches).
TEST(Lifetime, ALogHandlerThatSendsCommandsFindsNoLockOfTheModuleHeld) {
  TWatchdog watchdog(120000);
  TIniFile ini("lifetime-log.ini");
  TRequestText polled = PolledRequest(kProtoCcmPeer, 20);
  TRequestText unsendable = PolledRequest(kProtoCcmPeer, 1000);
  unsendable.Caption = "Far";
  unsendable.First = 70000;  // outside the wire's 16 bits: logged at every load
  ini.Store("Log", ConfigXml({polled, unsendable}), kProtoCcmPeer);
  TKeldaHost host(KELDA_LIBRARY_PATH);
  const uintptr_t instance = host.Create(3);
  ASSERT_NE(instance, 0u);
  TLongest longest;
  int writes = 0;
  host.RouteWrites(instance, 1, [&](const std::string&) -> int32_t {
    ++writes;
    return 1;
  });
  ASSERT_EQ(host.Command(instance, "LOAD", LoadFromIni(host, ini, "Log")).Code, 0);
  ASSERT_EQ(host.Command(instance, "SET-MODULE-PARAMETER",
                         {Param("PARAM", "LogFailedTransactions"), Param("VALUE", 1)})
                .Code,
            0);
  ASSERT_EQ(SetState(host, instance, kOneSource, 1).Code, 0);

  int inHandler = 0, handlerCommands = 0, refused = 0;
  host.OnLogNotification = [&](uintptr_t) {
    if (inHandler > 0) return;  // the handler's own commands log too
    ++inHandler;
    const int code = Timed(longest.CommandMs, [&] {
      return (handlerCommands % 2 ? host.Command(instance, "LOAD-SETTINGS-NOW",
                                                 {Param("INI-FILE", ini.Name), Param("NO-SAVE", 1)})
                                  : SetState(host, instance, kOneSource, 1))
          .Code;
    });
    ++handlerCommands;
    if (code == kResultFailed) ++refused;  // LOAD-SETTINGS-NOW answers -2, SET-STATE 0
    --inHandler;
  };
  host.RefusePosts(true);
  int naks = 0;
  uint64_t nextLoad = 0;
  const bool enough = host.RunUntil(
      [&] {
        // Every frame the engine wrote (its enquiry) is refused at once.
        for (; naks < writes; ++naks) {
          const uint64_t start = TKeldaHost::Now();
          host.Data(instance, 1, kDataFlagPortBytes, "\x15");
          longest.Data(TKeldaHost::Now() - start);
        }
        // Paced: every reload restarts the engine's timer, and a tick must come between them.
        if (TKeldaHost::Now() >= nextLoad) {
          Timed(longest.CommandMs, [&] {
            return host.Command(instance, "LOAD-SETTINGS-NOW",
                                {Param("INI-FILE", ini.Name), Param("NO-SAVE", 1)});
          });
          nextLoad = TKeldaHost::Now() + 300;
        }
        return handlerCommands >= 20 && naks >= 10;
      },
      60000);
  host.OnLogNotification = nullptr;
  host.RefusePosts(false);
  EXPECT_TRUE(enough) << handlerCommands << " commands from the handler, " << naks << " refusals";
  EXPECT_EQ(refused, 0) << "a command from the log handler found the module's command lock held";
  EXPECT_EQ(host.Free(instance), 0);
  longest.Print("log handler sends commands");
}

// Rule: an engine's end never waits for another thread. The engine of data source 2 is made by a
// thread that then stops dispatching; freeing the instance (from the host's thread, and from
// inside a data call's send) goes on without it.
TEST(Lifetime, FreeingTheInstanceDoesNotWaitForAThreadThatDoesNotDispatch) {
  TWatchdog watchdog(120000);
  TIniFile ini("lifetime-free.ini");
  ini.Store("Free", ConfigXml({PolledRequest(kProtoSnp, 50)}), kProtoSnp);
  TKeldaHost host(KELDA_LIBRARY_PATH);
  TLongest longest;
  for (const bool insideSend : {false, true}) {
    SCOPED_TRACE(insideSend ? "freed inside a data call's send" : "freed by the host's thread");
    const uintptr_t instance = host.Create(insideSend ? 5 : 4);
    ASSERT_NE(instance, 0u);
    ASSERT_EQ(host.Command(instance, "LOAD", LoadFromIni(host, ini, "Free")).Code, 0);
    // Engine 1 belongs to this thread, engine 2 to a thread that stops dispatching.
    ASSERT_EQ(SetState(host, instance, kOneSource, 1).Code, 0);
    std::mutex lock;
    std::condition_variable changed;
    bool created = false, release = false;
    std::thread blocked([&] {
      SetState(host, instance, kTwoSources, 1);
      std::unique_lock guard(lock);
      created = true;
      changed.notify_all();
      changed.wait(guard, [&] { return release; });
    });
    {
      std::unique_lock guard(lock);
      changed.wait(guard, [&] { return created; });
    }
    uint64_t freeMs = 0, freedAt = 0;
    auto freeInstance = [&] {
      TPluginCallRec record = TKeldaHost::NewRecord(instance, insideSend ? 5 : 4);
      const uint64_t start = TKeldaHost::Now();
      EXPECT_EQ(host.FreePluginInstance(&record), 0);
      freedAt = TKeldaHost::Now();
      freeMs = freedAt - start;
    };
    if (insideSend) {
      // Engine 1 belongs to this thread: its tick sends, and inside the send the host hands it
      // an answer, and inside that data call's send the instance is freed.
      bool freed = false;
      host.RouteWrites(instance, 1, [&](const std::string&) -> int32_t {
        if (!freed) {
          freed = true;
          const uint64_t start = TKeldaHost::Now();
          host.Data(instance, 1, kDataFlagPortBytes, "");
          longest.Data(TKeldaHost::Now() - start);
          freeInstance();
        }
        return 1;
      });
      host.RunUntil([&] { return freed; }, 20000);
      EXPECT_TRUE(freed);
      // The tick held the instance: it ended when the tick returned, before the loop went on.
      freeMs = std::max(freeMs, TKeldaHost::Now() - freedAt);
    } else {
      freeInstance();
    }
    longest.Command(freeMs);
    {
      std::lock_guard guard(lock);
      release = true;
    }
    changed.notify_all();
    blocked.join();
    host.RunFor(100);  // the released thread is gone; nothing of the instance is left to tick
    EXPECT_LT(freeMs, 2000u) << "the free waited for the thread that made an engine";
  }
  longest.Print("instance freed, an engine's thread blocked");
}

// Rule: an engine whose timer's thread stopped is replaced by the next command's thread. Data
// source 2's engine is made by a thread that then ends (or stays but never dispatches); the
// host's next SET-STATE from its own thread brings the polling back, and the log says so once.
TEST(Lifetime, AnEngineWhoseThreadStoppedPollsAgainAfterTheNextCommand) {
  TWatchdog watchdog(120000);
  TIniFile ini("lifetime-stopped.ini");
  ini.Store("Stop", ConfigXml({PolledRequest(kProtoSnp, 50)}), kProtoSnp);
  TKeldaHost host(KELDA_LIBRARY_PATH);
  TLongest longest;
  for (const bool ends : {true, false}) {
    SCOPED_TRACE(ends ? "the thread ended" : "the thread never dispatches");
    const uintptr_t instance = host.Create(ends ? 6 : 7);
    ASSERT_NE(instance, 0u);
    TKeldaHost::TLineOptions options;
    options.SnpId = "PLC1";
    host.AttachLine(instance, 2, options);
    ASSERT_EQ(host.Command(instance, "LOAD", LoadFromIni(host, ini, "Stop")).Code, 0);
    std::mutex lock;
    std::condition_variable changed;
    bool created = false, release = false;
    std::thread other([&] {
      SetState(host, instance, kTwoSources, 1);
      std::unique_lock guard(lock);
      created = true;
      changed.notify_all();
      if (!ends) changed.wait(guard, [&] { return release; });
    });
    {
      std::unique_lock guard(lock);
      changed.wait(guard, [&] { return created; });
    }
    if (ends) other.join();
    host.FetchLog(instance);
    host.Received();
    // The old engine gets a chance to show that it polls no more; then the host's command.
    host.RunFor(ends ? 200 : 5500);  // a thread that dispatched no tick for 5 s has stopped
    const std::size_t before = host.RowCount(instance, 2);
    Timed(longest.CommandMs, [&] { return SetState(host, instance, kTwoSources, 1); });
    const bool polls = host.RunUntil([&] { return host.RowCount(instance, 2) >= before + 3; }, 20000);
    EXPECT_TRUE(polls) << "data source 2 polls no more";
    int moved = 0;
    std::vector<TLogLine> lines = host.Received();  // fetched by the notifications
    for (TLogLine& line : host.FetchLog(instance)) lines.push_back(std::move(line));
    for (const TLogLine& line : lines)
      if (line.Text.find("the thread that polled it stopped") != std::string::npos) ++moved;
    EXPECT_EQ(moved, 2) << "the log says once for each engine that its polling thread stopped";
    Timed(longest.CommandMs, [&] { return SetState(host, instance, kTwoSources, 1); });
    if (!ends) {
      {
        std::lock_guard guard(lock);
        release = true;
      }
      changed.notify_all();
      other.join();
    }
    EXPECT_EQ(host.Free(instance), 0);
  }
  longest.Print("an engine's thread stopped");
}

// Rule: after UNLOAD, a data call waits for a data call that waits for the host (in its send)
// no longer than a log notification may wait (1 s). The host unloads the instance from inside
// the send of a data call and then has its port thread hand over what it read, waiting for it.
TEST(Lifetime, ADataCallAfterUnloadWaitsForADataCallInItsSendAtMostOneSecond) {
  TWatchdog watchdog(120000);
  TIniFile ini("lifetime-unload.ini");
  ini.Store("Unload", ConfigXml({PolledRequest(kProtoSnp, 50)}), kProtoSnp);
  TKeldaHost host(KELDA_LIBRARY_PATH);
  TLongest longest;
  const uintptr_t instance = host.Create(8);
  ASSERT_NE(instance, 0u);
  ASSERT_EQ(host.Command(instance, "LOAD", LoadFromIni(host, ini, "Unload")).Code, 0);
  TSimulatedLine line(plcsim::Mode::Snp, "PLC1", 2, 5, 11);
  FillRegisters(line, 1);
  bool unloaded = false, inDataCall = false;
  uint64_t portCallMs = 0;
  int portCallCode = 0;
  host.RouteWrites(instance, 1, [&](const std::string& bytes) -> int32_t {
    line.Write(bytes, TKeldaHost::Now());
    if (unloaded || !inDataCall) return static_cast<int32_t>(bytes.size());
    // A frame sent from inside a data call: the host unloads, then waits for its port thread.
    unloaded = true;
    std::thread unloader([&] { Timed(longest.CommandMs, [&] { return host.Command(instance, "UNLOAD"); }); });
    unloader.join();
    std::thread port([&] {
      const uint64_t start = TKeldaHost::Now();
      portCallCode = host.Data(instance, 1, kDataFlagPortBytes, "x").Code;
      portCallMs = TKeldaHost::Now() - start;
    });
    port.join();
    return static_cast<int32_t>(bytes.size());
  });
  ASSERT_EQ(SetState(host, instance, kOneSource, 1).Code, 0);
  ASSERT_TRUE(host.RunUntil(
      [&] {
        for (const std::string& piece : line.Read(TKeldaHost::Now())) {
          if (unloaded) break;
          inDataCall = true;
          const uint64_t start = TKeldaHost::Now();
          host.Data(instance, 1, kDataFlagPortBytes, piece);
          longest.Data(TKeldaHost::Now() - start);
          inDataCall = false;
        }
        return unloaded;
      },
      20000));
  longest.Data(portCallMs);
  EXPECT_EQ(portCallCode, kResultRefused) << "the instance is unloaded";
  EXPECT_LT(portCallMs, 3000u) << "the port's data call waited for the data call in its send";
  EXPECT_EQ(host.Free(instance), 0);
  longest.Print("UNLOAD while a data call waits in its send");
}

}  // namespace
