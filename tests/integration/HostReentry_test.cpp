// A host that answers from inside the module's send: DataLogger_SendDataEx writes to the port,
// and before it returns the host hands what the PLC answered to ProcessData, for the same data
// source directly or through a port thread that the send waits for, and makes a data call for the
// other data source as well. Meanwhile another thread changes the state, reloads the settings and
// opens the port in a loop, and a third frees the instance, at the moment when a data call made
// from inside a tick's send is still running. Nothing may hang (a watchdog ends the program),
// nothing may be used after it was freed (the sanitizer preset watches), and every row holds the
// PLC's memory. In each round the commands pause once, with the instance alive: both data sources
// must then deliver rows again, so a source that the churn left without a working exchange shows.
//
// And the data calls' view of slow work: while a change of state frees an engine whose timer
// belongs to a thread that does not dispatch, and while the INI file's lock is held elsewhere,
// data calls go on; the longest one is printed.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LiveRig.h"
#include "config/TWregistry.h"
#include "platform/NamedLock.h"

using namespace livetest;

namespace {

constexpr int kRounds = 12;
constexpr uint64_t kRowBoundMs = 10000;
constexpr int kQuietRows = 3;  // each data source, in each round's pause of the commands
constexpr uint64_t kQuietBoundMs = 20000;
const char kOneSource[] = "1;COM1;Press line 1";

// A port the test serves itself: the PLC's answers are handed to ProcessData piece by piece, one
// piece per data call; a send made from inside a data call hands over the next piece, so the
// pieces keep the line's order.
class TPort {
public:
  TPort(TKeldaHost& host, uintptr_t instance, int source)
      : FHost(host),
        FInstance(instance),
        FSource(source),
        FLine(plcsim::Mode::Snp, "PLC1", 2, 5, static_cast<uint32_t>(source * 31)) {
    FillRegisters(FLine, source);
  }
  void Write(const std::string& bytes) {
    std::lock_guard lock(FLock);
    FLine.Write(bytes, TKeldaHost::Now());
  }
  int Serve() {  // the pieces handed over
    for (int served = 0;; ++served) {
      std::string piece;
      {
        std::lock_guard lock(FLock);
        for (std::string& bytes : FLine.Read(TKeldaHost::Now())) FPending.push_back(std::move(bytes));
        if (FPending.empty()) return served;
        piece = std::move(FPending.front());
        FPending.pop_front();
      }
      TDataResult result = FHost.Data(FInstance, FSource, kDataFlagPortBytes, piece);
      std::lock_guard lock(FLock);
      for (TRow& row : result.Rows) Rows.push_back(std::move(row));
    }
  }
  std::size_t RowCount() {
    std::lock_guard lock(FLock);
    return Rows.size();
  }
  std::vector<TRow> Rows;  // under FLock once the round runs

private:
  TKeldaHost& FHost;
  uintptr_t FInstance;
  int FSource;
  std::mutex FLock;
  TSimulatedLine FLine;
  std::deque<std::string> FPending;
};

// The thread that reads a port for the host: a send hands it the work and waits until it is done.
class TPortThread {
public:
  explicit TPortThread(TPort& port) : FPort(port), FThread([this] { Run(); }) {}
  ~TPortThread() {
    {
      std::lock_guard lock(FLock);
      FStop = true;
    }
    FChanged.notify_all();
    FThread.join();
  }
  void ServeAndWait() {
    if (std::this_thread::get_id() == FThread.get_id()) {
      FPort.Serve();  // a send made by this thread's own data call
      return;
    }
    std::unique_lock lock(FLock);
    const uint64_t ticket = ++FAsked;
    FChanged.notify_all();
    FChanged.wait(lock, [&] { return FDone >= ticket || FStop; });
  }

private:
  void Run() {
    std::unique_lock lock(FLock);
    for (;;) {
      FChanged.wait(lock, [&] { return FAsked > FDone || FStop; });
      if (FStop) return;
      const uint64_t asked = FAsked;
      lock.unlock();
      FPort.Serve();
      lock.lock();
      FDone = asked;
      FChanged.notify_all();
    }
  }

  TPort& FPort;
  std::mutex FLock;
  std::condition_variable FChanged;
  uint64_t FAsked = 0, FDone = 0;
  bool FStop = false;
  std::thread FThread;
};

// The moment to free the instance: a send made from inside a data call that a tick's send made
// waits until the instance was freed, so that the data calls still running hold the last
// references to it.
struct TFreeMoment {
  std::mutex Lock;
  std::condition_variable Changed;
  bool Wanted = false, Waiting = false, Freed = false;

  bool IsWanted() {
    std::lock_guard lock(Lock);
    return Wanted && !Freed;
  }
  void WaitInSend() {
    std::unique_lock lock(Lock);
    if (!Wanted || Freed) return;
    Waiting = true;
    Changed.notify_all();
    Changed.wait_for(lock, std::chrono::seconds(5), [&] { return Freed; });
  }
};

thread_local int tSendDepth = 0;
thread_local bool tOuterSendFromTick = false;
thread_local bool tHostLoopServing = false;

struct TRoundFigures {
  int Rows[3] = {};
  int QuietRows[3] = {};  // delivered while the commands paused, the instance alive
  int Commands = 0;
  bool FreedInsideTheSend = false;
  bool RowsUnderChurn = false;  // both data sources delivered rows while the commands churned
  uint64_t MsToRows = 0;        // until both data sources had a row under the churn, or the bound
};

// A round: the commands churn until both data sources delivered rows (or the bound); then they
// pause, and with the instance alive each data source must deliver rows again; then they churn
// again and the instance is freed, at the moment a data call made inside a tick's send runs.
enum class TPhase { Churn, Pausing, Quiet, Freeing };

TRoundFigures RunRound(TKeldaHost& host, const TIniFile& ini, int round, std::vector<TRow> (&rows)[3]) {
  TRoundFigures figures;
  TWatchdog watchdog(120000);
  const int32_t hostIndex = 40 + round;
  const uintptr_t instance = host.Create(hostIndex);
  EXPECT_NE(instance, 0u);
  if (!instance) return figures;
  TPort port1(host, instance, 1), port2(host, instance, 2);
  TPortThread portThread(port2);
  TFreeMoment moment;
  const std::thread::id hostThread = std::this_thread::get_id();

  // Data source 1: the answer comes back from inside the send, in the sending thread.
  host.RouteWrites(instance, 1, [&](const std::string& bytes) -> int32_t {
    port1.Write(bytes);
    if (++tSendDepth == 1) tOuterSendFromTick = !tHostLoopServing;
    // This host reads the port right after writing to it, then hands over what the other port read.
    port1.Serve();
    port2.Serve();
    --tSendDepth;
    return static_cast<int32_t>(bytes.size());
  });
  // Data source 2: a data call for the other data source, then the port thread reads the answer
  // while the send waits for it.
  host.RouteWrites(instance, 2, [&](const std::string& bytes) -> int32_t {
    port2.Write(bytes);
    if (++tSendDepth == 1) tOuterSendFromTick = !tHostLoopServing;
    if (tSendDepth >= 2 && tOuterSendFromTick && std::this_thread::get_id() == hostThread)
      moment.WaitInSend();  // a data call for data source 2 made inside a tick's send runs
    host.Data(instance, 1, kDataFlagPortBytes, "");
    portThread.ServeAndWait();
    --tSendDepth;
    return static_cast<int32_t>(bytes.size());
  });

  EXPECT_EQ(host.Command(instance, "LOAD", LoadFromIni(host, ini, "Reentry")).Code, 0);
  EXPECT_EQ(SetState(host, instance, kTwoSources, 1).Code, 0);

  std::atomic<TPhase> phase{TPhase::Churn};
  std::atomic<bool> stop{false}, commandsPaused{false};
  std::atomic<int> commands{0};
  // Engine 2 goes with every SET-STATE of this thread and comes back with the host thread's.
  std::thread commandThread([&] {
    while (!stop.load()) {
      const TPhase now = phase.load();
      if (now == TPhase::Pausing || now == TPhase::Quiet) {
        commandsPaused = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        continue;
      }
      SetState(host, instance, kOneSource, 1);
      host.Command(instance, "LOAD-SETTINGS-NOW", {Param("INI-FILE", ini.Name), Param("NO-SAVE", 1)});
      host.Command(instance, "EVENT", {Param("EVENT-TYPE", "PORT-OPEN")});
      commands.fetch_add(3);
      // Paced: every reload and PORT-OPEN starts the exchanges afresh, and an SNP exchange takes
      // its line break and a few round trips.
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
  });
  std::thread freeThread([&] {
    // The instance goes once the commands churn again, not before a moment that differs from
    // round to round.
    while (phase.load() != TPhase::Freeing && !stop.load())
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const uint64_t earliest = TKeldaHost::Now() + 100 + 50 * round;
    while (TKeldaHost::Now() < earliest) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    {
      std::unique_lock lock(moment.Lock);
      moment.Wanted = true;
      figures.FreedInsideTheSend =
          moment.Changed.wait_for(lock, std::chrono::seconds(3), [&] { return moment.Waiting; });
    }
    TPluginCallRec record = TKeldaHost::NewRecord(instance, hostIndex);
    EXPECT_EQ(host.FreePluginInstance(&record), 0);
    {
      std::lock_guard lock(moment.Lock);
      moment.Freed = true;
    }
    moment.Changed.notify_all();
  });

  // Every SET-STATE rebuilds the queues and switches the engines' timers off and on, which starts
  // their 50 ms afresh: set again sooner than a tick after the last one ended, the state would
  // keep every tick from coming (the longer a SET-STATE takes, as under a memory checker, the
  // surer). So the next one waits for two ticks after the last one ended.
  const uint64_t start = TKeldaHost::Now();
  uint64_t nextSetState = start + 100;
  uint64_t quietEnd = 0, endAfterFree = 0;
  std::size_t quietFrom[3] = {};
  host.RunUntil(
      [&] {
        const uint64_t now = TKeldaHost::Now();
        const TPhase current = phase.load();
        const bool churning = current == TPhase::Churn || current == TPhase::Freeing;
        if (churning && now >= nextSetState) {
          SetState(host, instance, kTwoSources, 1);
          nextSetState = TKeldaHost::Now() + 100;
        }
        tHostLoopServing = true;
        port1.Serve();
        tHostLoopServing = false;
        portThread.ServeAndWait();
        const std::size_t rows1 = port1.RowCount(), rows2 = port2.RowCount();
        if (current == TPhase::Churn) {
          figures.RowsUnderChurn = rows1 > 0 && rows2 > 0;
          if ((figures.RowsUnderChurn && now >= start + 600) || now >= start + kRowBoundMs) {
            figures.MsToRows = now - start;
            phase = TPhase::Pausing;
          }
        } else if (current == TPhase::Pausing && commandsPaused.load()) {
          // The last command may have dropped engine 2: the host brings it back.
          EXPECT_EQ(SetState(host, instance, kTwoSources, 1).Code, 0);
          quietFrom[1] = port1.RowCount();
          quietFrom[2] = port2.RowCount();
          quietEnd = TKeldaHost::Now() + kQuietBoundMs;
          phase = TPhase::Quiet;
        } else if (current == TPhase::Quiet) {
          figures.QuietRows[1] = static_cast<int>(rows1 - quietFrom[1]);
          figures.QuietRows[2] = static_cast<int>(rows2 - quietFrom[2]);
          if ((figures.QuietRows[1] >= kQuietRows && figures.QuietRows[2] >= kQuietRows) || now >= quietEnd) {
            nextSetState = now;
            phase = TPhase::Freeing;
          }
        }
        std::lock_guard lock(moment.Lock);  // never held while the instance is freed
        if (moment.Freed && !endAfterFree) endAfterFree = TKeldaHost::Now() + 200;
        return endAfterFree && TKeldaHost::Now() >= endAfterFree;
      },
      60000);
  stop = true;
  commandThread.join();
  freeThread.join();
  EXPECT_EQ(host.Command(instance, "LOAD-SETTINGS-NOW").Code, kResultRefused) << "the instance is gone";
  host.RouteWrites(instance, 1, [](const std::string&) { return -1; });
  host.RouteWrites(instance, 2, [](const std::string&) { return -1; });
  EXPECT_GE(figures.QuietRows[1], kQuietRows) << "data source 1 delivers rows once the commands pause";
  EXPECT_GE(figures.QuietRows[2], kQuietRows) << "data source 2 delivers rows once the commands pause";
  figures.Commands = commands.load();
  for (TPort* port : {&port1, &port2}) {
    const int source = port == &port1 ? 1 : 2;
    figures.Rows[source] = static_cast<int>(port->Rows.size());
    for (TRow& row : port->Rows) rows[source].push_back(std::move(row));
  }
  return figures;
}

TEST(HostReentry, AnswersFromInsideTheSendWhileCommandsChurnAndTheInstanceIsFreed) {
  TIniFile ini("reentry.ini");
  std::string config = ConfigXml({PolledRequest(kProtoSnp, 20), OnceRequest(kProtoSnp)});
  for (std::size_t at; (at = config.find("<Timeout>1000<")) != std::string::npos;)
    config.replace(at, 14, "<Timeout>600000<");
  ini.Store("Reentry", config, kProtoSnp);
  TKeldaHost host(KELDA_LIBRARY_PATH);

  std::vector<TRow> rows[3];
  int freedInside = 0, commands = 0, roundsWithRows = 0, fewestQuietRows = -1;
  uint64_t longestToRows = 0;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const TRoundFigures figures = RunRound(host, ini, round, rows);
    freedInside += figures.FreedInsideTheSend ? 1 : 0;
    commands += figures.Commands;
    longestToRows = std::max(longestToRows, figures.MsToRows);
    roundsWithRows += figures.RowsUnderChurn ? 1 : 0;
    for (int source : {1, 2})
      if (fewestQuietRows < 0 || figures.QuietRows[source] < fewestQuietRows)
        fewestQuietRows = figures.QuietRows[source];
  }
  ExpectRowsMatchMemory(rows[1], 1, "COM1");
  ExpectRowsMatchMemory(rows[2], 2, "COM2");
  std::printf(
      "reentry: %d rounds, %d freed inside a tick's send; %zu + %zu rows; %d commands; %d rounds with "
      "rows on both data sources under the churn, the longest wait for them %llu ms; at least %d rows "
      "per data source in each pause\n",
      kRounds, freedInside, rows[1].size(), rows[2].size(), commands, roundsWithRows,
      static_cast<unsigned long long>(longestToRows), fewestQuietRows);
}

// The moment the churn above reaches by chance, played in order: engine 2's tick sends, the host
// hands engine 1's waiting answer to a data call inside that send, engine 1 answers with its next
// frame, and inside that nested send the host frees the instance and then hands over what the
// PLC answered. The data call and then the tick hold the last references: the instance must end
// when the tick returns, in the tick's thread, and send nothing after it.
TEST(HostReentry, InstanceFreedInsideADataCallInsideATicksSend) {
  TWatchdog watchdog(60000);
  TIniFile ini("reentry-free.ini");
  std::string config = ConfigXml({PolledRequest(kProtoSnp, 20)});
  for (std::size_t at; (at = config.find("<Timeout>1000<")) != std::string::npos;)
    config.replace(at, 14, "<Timeout>600000<");
  ini.Store("Free", config, kProtoSnp);
  TKeldaHost host(KELDA_LIBRARY_PATH);
  const int32_t hostIndex = 9;
  const uintptr_t instance = host.Create(hostIndex);
  ASSERT_NE(instance, 0u);
  TPort port1(host, instance, 1), port2(host, instance, 2);

  // Everything below runs in this thread: the loop, the engines' ticks and the sends.
  bool armed = false, loopServing = false, insideTickSend = false, freed = false;
  int writes = 0, handedBackAfterFree = 0;
  host.RouteWrites(instance, 1, [&](const std::string& bytes) -> int32_t {
    ++writes;
    port1.Write(bytes);
    if (insideTickSend && !freed) {
      TPluginCallRec record = TKeldaHost::NewRecord(instance, hostIndex);
      EXPECT_EQ(host.FreePluginInstance(&record), 0);
      freed = true;
      handedBackAfterFree = port1.Serve();  // what the PLC answered: no instance takes it now
    }
    return static_cast<int32_t>(bytes.size());
  });
  host.RouteWrites(instance, 2, [&](const std::string& bytes) -> int32_t {
    ++writes;
    port2.Write(bytes);
    if (armed && !loopServing && !insideTickSend) {  // a send of engine 2's tick
      insideTickSend = true;
      port1.Serve();  // engine 1's answer, held back since the arming
      insideTickSend = false;
    }
    return static_cast<int32_t>(bytes.size());
  });
  ASSERT_EQ(host.Command(instance, "LOAD", LoadFromIni(host, ini, "Free")).Code, 0);
  ASSERT_EQ(SetState(host, instance, kTwoSources, 1).Code, 0);

  auto serve = [&](bool both) {
    loopServing = true;
    if (both) port1.Serve();
    port2.Serve();
    loopServing = false;
  };
  ASSERT_TRUE(host.RunUntil(
      [&] {
        serve(true);
        return port1.RowCount() > 0 && port2.RowCount() > 0;
      },
      20000))
      << "both engines deliver rows";
  // From now on engine 1's answers wait on its line until a send of engine 2's tick hands them on.
  armed = true;
  int writesWhenTickReturned = 0;
  ASSERT_TRUE(host.RunUntil(
      [&] {
        if (freed) {  // the loop runs again: the tick that freed the instance has returned
          writesWhenTickReturned = writes;
          return true;
        }
        serve(false);
        return false;
      },
      20000))
      << "the instance was freed inside a data call inside a tick's send";
  EXPECT_GT(handedBackAfterFree, 0);
  host.RunFor(300);  // two engines polling every 20 ms would have sent by now
  EXPECT_EQ(writes, writesWhenTickReturned) << "the freed instance's engines still send";
  EXPECT_EQ(host.Command(instance, "LOAD-SETTINGS-NOW").Code, kResultRefused) << "the instance is gone";
  ExpectRowsMatchMemory(port1.Rows, 1, "COM1");
  ExpectRowsMatchMemory(port2.Rows, 2, "COM2");
  host.RouteWrites(instance, 1, [](const std::string&) { return -1; });
  host.RouteWrites(instance, 2, [](const std::string&) { return -1; });
}

// Data calls for data source 1 in a thread of their own while `slowWork` runs in this thread:
// how many of them ended while it ran, and the longest one.
struct TDataCallFigures {
  int EndedDuring = 0;
  uint64_t LongestMs = 0;
  uint64_t WorkMs = 0;
};

TDataCallFigures MeasureDataCalls(TKeldaHost& host, uintptr_t instance,
                                  const std::function<void()>& slowWork) {
  TDataCallFigures figures;
  std::atomic<bool> during{false}, stop{false};
  std::atomic<int> ended{0};
  std::atomic<uint64_t> longest{0};
  std::thread caller([&] {
    while (!stop.load()) {
      const uint64_t start = TKeldaHost::Now();
      host.Data(instance, 1, kDataFlagPortBytes, "\x15");
      const uint64_t took = TKeldaHost::Now() - start;
      if (took > longest.load()) longest = took;
      if (during.load()) ended.fetch_add(1);
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  during = true;
  const uint64_t start = TKeldaHost::Now();
  slowWork();
  figures.WorkMs = TKeldaHost::Now() - start;
  during = false;
  figures.EndedDuring = ended.load();
  stop = true;
  caller.join();
  figures.LongestMs = longest.load();
  return figures;
}

TEST(HostReentry, DataCallsGoOnWhileSlowWorkRuns) {
  TWatchdog watchdog(120000);
  TIniFile ini("reentry-slow.ini");
  ini.Store("Slow", ConfigXml({PolledRequest(kProtoSnp, 100)}), kProtoSnp);
  TKeldaHost host(KELDA_LIBRARY_PATH);
  const uintptr_t instance = host.Create(7);
  ASSERT_NE(instance, 0u);
  ASSERT_EQ(host.Command(instance, "LOAD", LoadFromIni(host, ini, "Slow")).Code, 0);
  ASSERT_EQ(SetState(host, instance, kOneSource, 1).Code, 0);

  {
    SCOPED_TRACE("an engine whose timer belongs to a thread that does not dispatch is freed");
    std::mutex lock;
    std::condition_variable changed;
    bool created = false, release = false;
    // The engine of data source 2 is made in this thread, which then waits without dispatching.
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
    const TDataCallFigures figures =
        MeasureDataCalls(host, instance, [&] { EXPECT_EQ(SetState(host, instance, kOneSource, 1).Code, 0); });
    {
      std::lock_guard guard(lock);
      release = true;
    }
    changed.notify_all();
    blocked.join();
    // Ending that engine here would wait 5 s for its thread, twice, and hold every command
    // meanwhile; its own thread ends it once it dispatches again.
    EXPECT_LT(figures.WorkMs, 4000u) << "SET-STATE waits for a thread that does not dispatch";
    std::printf(
        "slow work: SET-STATE freeing an engine of a blocked thread took %llu ms; %d data calls "
        "ended meanwhile, the longest took %llu ms\n",
        static_cast<unsigned long long>(figures.WorkMs), figures.EndedDuring,
        static_cast<unsigned long long>(figures.LongestMs));
  }
  {
    SCOPED_TRACE("a data call holds the engine that SET-STATE drops, of a thread that does not dispatch");
    TPort port2(host, instance, 2);
    std::mutex lock;
    std::condition_variable changed;
    int writes = 0;
    bool created = false, holding = false, dropped = false, release = false, freed = false;
    std::thread::id holderId;
    // Engine 2 answers the attach with its next frame inside the holder's data call; that send
    // waits until SET-STATE dropped the engine, so the data call holds the last reference to it.
    host.RouteWrites(instance, 2, [&](const std::string& bytes) -> int32_t {
      port2.Write(bytes);
      std::unique_lock guard(lock);
      ++writes;
      changed.notify_all();
      if (std::this_thread::get_id() == holderId) {
        holding = true;
        changed.wait_for(guard, std::chrono::seconds(30), [&] { return dropped; });
      }
      return static_cast<int32_t>(bytes.size());
    });
    // The engine of data source 2 is made in this thread, which runs its ticks until the attach
    // went out, then waits without dispatching; released, it dispatches again until told.
    std::thread owner([&] {
      SetState(host, instance, kTwoSources, 1);
      host.RunUntil(
          [&] {
            std::lock_guard guard(lock);
            return writes >= 2;  // the line break and the attach
          },
          20000);
      std::unique_lock guard(lock);
      created = true;
      changed.notify_all();
      changed.wait(guard, [&] { return release; });
      guard.unlock();
      host.RunUntil(
          [&] {
            std::lock_guard check(lock);
            return freed;
          },
          30000);
    });
    {
      std::unique_lock guard(lock);
      changed.wait(guard, [&] { return created; });
      ASSERT_GE(writes, 2) << "engine 2 opened its exchange";
    }
    uint64_t heldEnd = 0;
    std::thread holder([&] {
      {
        std::lock_guard guard(lock);
        holderId = std::this_thread::get_id();
      }
      port2.Serve();  // the attach's answer
      heldEnd = TKeldaHost::Now();
    });
    bool held = false;
    {
      std::unique_lock guard(lock);
      held = changed.wait_for(guard, std::chrono::seconds(20), [&] { return holding; });
    }
    EXPECT_TRUE(held) << "engine 2 answered the attach inside the data call";
    uint64_t heldMs = 0, setStateMs = 0;
    const TDataCallFigures figures = MeasureDataCalls(host, instance, [&] {
      const uint64_t start = TKeldaHost::Now();
      EXPECT_EQ(SetState(host, instance, kOneSource, 1).Code, 0);
      const uint64_t droppedAt = TKeldaHost::Now();
      setStateMs = droppedAt - start;
      {
        std::lock_guard guard(lock);
        dropped = true;
      }
      changed.notify_all();
      holder.join();
      heldMs = heldEnd - droppedAt;
    });
    {
      std::lock_guard guard(lock);
      release = true;
    }
    changed.notify_all();
    // The next command frees the dropped engine; its thread dispatches again by now.
    const uint64_t start = TKeldaHost::Now();
    EXPECT_EQ(host.Command(instance, "EVENT", {Param("EVENT-TYPE", "PORT-OPEN")}).Code, 0);
    const uint64_t commandMs = TKeldaHost::Now() - start;
    {
      std::lock_guard guard(lock);
      freed = true;
    }
    owner.join();
    host.RouteWrites(instance, 2, [](const std::string&) { return -1; });
    EXPECT_LT(heldMs, 5000u) << "the data call waited for the end of the engine it held";
    // The drop takes a few milliseconds, often less than one data call: count no calls in it,
    // but none may have waited for the engine's end (10 s).
    EXPECT_LT(figures.LongestMs, 5000u) << "data calls wait for the engine's end";
    std::printf(
        "slow work: SET-STATE dropping an engine a data call holds took %llu ms; the data call ended "
        "%llu ms after it; %d other data calls ended meanwhile, the longest took %llu ms; the next "
        "command took %llu ms\n",
        static_cast<unsigned long long>(setStateMs), static_cast<unsigned long long>(heldMs),
        figures.EndedDuring, static_cast<unsigned long long>(figures.LongestMs),
        static_cast<unsigned long long>(commandMs));
  }
  {
    SCOPED_TRACE("the INI file's lock is held elsewhere while the settings load");
    std::mutex lock;
    std::condition_variable changed;
    bool held = false;
    std::thread holder([&] {
      platform::TNamedLock iniLock(IniLockName(ini.Name));
      {
        std::lock_guard guard(lock);
        held = true;
      }
      changed.notify_all();
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // how long the other holds it
    });
    {
      std::unique_lock guard(lock);
      changed.wait(guard, [&] { return held; });
    }
    const TDataCallFigures figures = MeasureDataCalls(host, instance, [&] {
      host.Command(instance, "LOAD-SETTINGS-NOW", {Param("INI-FILE", ini.Name), Param("NO-SAVE", 1)});
    });
    holder.join();
    EXPECT_GE(figures.WorkMs, 1000u) << "the settings load waited for the INI file's lock";
    EXPECT_GE(figures.EndedDuring, 50) << "data calls wait for the INI file's lock";
    std::printf(
        "slow work: LOAD-SETTINGS-NOW waiting for the INI lock took %llu ms; %d data calls ended "
        "meanwhile, the longest took %llu ms\n",
        static_cast<unsigned long long>(figures.WorkMs), figures.EndedDuring,
        static_cast<unsigned long long>(figures.LongestMs));
  }
  EXPECT_EQ(host.Free(instance), 0);
}

}  // namespace
