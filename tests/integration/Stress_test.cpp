// Four threads on one instance with two engines, as a busy host drives it: the host thread runs
// the message loop (the engines' ticks, the log notifications, the PLCs' answers on both data
// sources; the second port's answers reach the module inside its sends), one thread runs commands
// (module parameters, ITEMS, PORT-OPEN, LOAD-SETTINGS-NOW), one makes data calls
// that log a line each and fetches the log, one asks for the module's information. At the end the
// instance is freed.
//
// The first half of the run churns the request queues: the host thread sets the state again
// after every 100 ms of its loop, the command thread opens the port every 700 ms and reads the
// settings again every 500 ms; an answer under way then is dropped, at most one per data source
// and event. In the second half the
// engines only poll, the other threads go on, and every complete answer of a PLC must become
// exactly one row. Rows never outnumber the answers, every row holds the PLC's memory, and every
// log line written reaches the host exactly once.
//
// The run lasts KELDA_STRESS_SECONDS seconds (3 when unset); the long runs are
//   KELDA_STRESS_SECONDS=60 build/native-asan/tests/integration/test_integration --gtest_filter='Stress.*'
//   scripts/valgrind.sh helgrind
// A watchdog ends the program when a phase overruns its bound by far: a deadlock fails the run
// instead of hanging it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LiveRig.h"

using namespace livetest;

namespace {

const char kNoDataLine[] = "No data for processing";

uint32_t StressSeconds() {
  const char* text = std::getenv("KELDA_STRESS_SECONDS");
  const int seconds = text ? std::atoi(text) : 0;
  return seconds > 0 ? static_cast<uint32_t>(seconds) : 3;
}

// How much slower than a plain build every step runs (KELDA_TIME_SCALE, 1 when unset): the
// waits for the other threads and the watchdog grow with it. A memory checker that runs one
// thread at a time makes each step some 50 times slower; the phases themselves keep their
// length, so the run does the fewer steps instead.
uint32_t TimeScale() {
  const char* text = std::getenv("KELDA_TIME_SCALE");
  const int scale = text ? std::atoi(text) : 0;
  return scale > 0 ? static_cast<uint32_t>(scale) : 1;
}

// How many times a log line arrived: a line repeated right after itself comes once, with " x"
// and the count appended.
int Arrivals(const TLogLine& line, const std::string& text) {
  if (line.Text.find(text) == std::string::npos) return 0;
  const std::size_t suffix = line.Text.rfind(" x");
  if (suffix == std::string::npos || suffix < line.Text.find(text)) return 1;
  return std::atoi(line.Text.c_str() + suffix + 2);
}

struct TStressFigures {
  std::atomic<int> Commands{0}, PortOpens{0}, Reloads{0}, LogWrites{0}, LogFetches{0}, InfoCalls{0},
      SetStates{0};
  std::atomic<int> Faults{0};
  std::mutex Lock;
  std::vector<std::string> FaultTexts;  // the first few
  std::vector<TLogLine> FetchedLines;   // by the log thread

  void Fault(const std::string& text) {
    Faults.fetch_add(1);
    std::lock_guard lock(Lock);
    if (FaultTexts.size() < 10) FaultTexts.push_back(text);
  }
};

// The phases of a run. While the queues churn, the host thread sets the state again (every engine's
// queue is rebuilt) and the command thread opens the port (every exchange starts afresh): an
// answer under way then is dropped on purpose, at most one per data source each time. While the
// engines only poll, nothing is dropped: every complete answer must become exactly one row.
constexpr int kHandBackSource = 2;

struct TPhase {
  std::atomic<bool> Churn{true};
  std::atomic<bool> PortOpensOver{false};  // the command thread opens the port no more
  // Where the command thread is, for a report of a run that does not go on.
  std::atomic<const char*> Command{""};
  std::atomic<uint32_t> CommandSince{0};  // the clock's low 32 bits: a memory checker takes
                                          // 64-bit atomics on this platform for races
  void Doing(const char* command) {
    CommandSince = static_cast<uint32_t>(TKeldaHost::Now());
    Command = command;
  }
  uint32_t MsInCommand() const { return static_cast<uint32_t>(TKeldaHost::Now()) - CommandSince.load(); }
};

void RunCommands(TKeldaHost& host, uintptr_t instance, const std::string& ini, const std::atomic<bool>& stop,
                 TPhase& phase, TStressFigures& f) {
  uint64_t nextPortOpen = TKeldaHost::Now() + 700;
  uint64_t nextReload = TKeldaHost::Now() + 500;
  for (int n = 0; !stop.load(); ++n) {
    phase.Doing("SET-MODULE-PARAMETER");
    const std::string events = "PORT-OPEN;E" + std::to_string(n);
    const TCommandResult set = host.Command(instance, "SET-MODULE-PARAMETER",
                                            {Param("PARAM", "EventsSupported"), Param("VALUE", events)});
    if (set.Code != 0 || !set.Result.ToBool()) f.Fault("EventsSupported not taken");
    if (host.Command(instance, "GET-MODULE-PARAMETER", {Param("PARAM", "EventsSupported")}).Result.ToText() !=
        events)
      f.Fault("EventsSupported read back differs");
    phase.Doing("ITEMS");
    const TCommandResult items = host.Command(instance, "ITEMS");
    if (items.Code != 0 || items.Result.ToText().find("|R1|") == std::string::npos)
      f.Fault("ITEMS lost an item");
    f.Commands.fetch_add(3);
    phase.Doing("");
    if (!phase.Churn.load()) {
      phase.PortOpensOver = true;
      continue;
    }
    // Opening the port again starts every exchange afresh: often enough to cross the others,
    // rarely enough to let the engines answer in between.
    if (TKeldaHost::Now() >= nextPortOpen) {
      nextPortOpen = TKeldaHost::Now() + 700;
      phase.Doing("PORT-OPEN");
      if (host.Command(instance, "EVENT", {Param("EVENT-TYPE", "PORT-OPEN")}).Code != 0)
        f.Fault("PORT-OPEN failed");
      f.PortOpens.fetch_add(1);
      f.Commands.fetch_add(1);
    }
    // The settings read again (every queue rebuilt) while data calls come from inside the sends.
    if (TKeldaHost::Now() >= nextReload) {
      nextReload = TKeldaHost::Now() + 500;
      phase.Doing("LOAD-SETTINGS-NOW");
      // The command answers "not handled" (-2) by rule; refused or failed is a fault.
      const int code =
          host.Command(instance, "LOAD-SETTINGS-NOW", {Param("INI-FILE", ini), Param("NO-SAVE", 1)}).Code;
      if (code == -1 || code == -3) f.Fault("LOAD-SETTINGS-NOW failed: " + std::to_string(code));
      f.Reloads.fetch_add(1);
      f.Commands.fetch_add(1);
    }
    phase.Doing("");
  }
  phase.PortOpensOver = true;
}

void RunLog(TKeldaHost& host, uintptr_t instance, const std::atomic<bool>& stop, TStressFigures& f) {
  std::vector<TLogLine> fetched;
  for (int n = 0; !stop.load(); ++n) {
    // A write call without data writes one line to the log.
    host.Data(instance, 1 + n % 2, kDataFlagWrite, "");
    f.LogWrites.fetch_add(1);
    if (n % 3 == 0) {
      for (TLogLine& line : host.FetchLog(instance)) fetched.push_back(std::move(line));
      f.LogFetches.fetch_add(1);
    }
  }
  std::lock_guard lock(f.Lock);
  f.FetchedLines = std::move(fetched);
}

// A slow run reports how far each thread got, once a minute, so that a run that ends at its
// watchdog shows which thread stopped moving.
class TProgress {
public:
  TProgress(const TPhase& phase, const TStressFigures& f, const std::atomic<int>& turns)
      : FThread([&, this] {
          const uint64_t start = TKeldaHost::Now();
          std::unique_lock lock(FLock);
          while (!FChanged.wait_for(lock, std::chrono::seconds(60), [this] { return FStop; })) {
            const uint64_t now = TKeldaHost::Now();
            std::printf(
                "stress progress: %llu s; churn %d; host loop turns %d, SET-STATE %d; commands %d (in "
                "\"%s\" for %u ms); log lines %d; GetModuleInfo %d\n",
                static_cast<unsigned long long>((now - start) / 1000), phase.Churn.load() ? 1 : 0,
                turns.load(), f.SetStates.load(), f.Commands.load(), phase.Command.load(),
                phase.MsInCommand(), f.LogWrites.load(), f.InfoCalls.load());
            std::fflush(stdout);
          }
        }) {}
  ~TProgress() {
    {
      std::lock_guard lock(FLock);
      FStop = true;
    }
    FChanged.notify_all();
    FThread.join();
  }

private:
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FStop = false;
  std::thread FThread;
};

void RunInfo(TKeldaHost& host, uintptr_t instance, const std::atomic<bool>& stop, TStressFigures& f) {
  while (!stop.load()) {
    const TModuleInfoResult info = host.ModuleInfo(instance);
    if (!info.FillCallResult || info.Description != "Korvane") f.Fault("GetModuleInfo answered otherwise");
    f.InfoCalls.fetch_add(1);
  }
}

// What the PLCs answered and what reached the host, per data source, at one moment.
struct TTally {
  int Answers[3] = {};
  int Rows[3] = {};
};

// The host thread's side of the lines: the rows the data calls delivered, and the moments when
// the two sides can be compared. The host's loop reads everything the PLCs have sent and hands it
// to the module before it looks again; the PLCs answer at once, and they send the last frame of
// an answer only in reply to a frame the module sends while it takes an answer in, never to the
// opening frame of a tick. So every complete answer counted at one look has, by the next look,
// either become a row or been dropped by the module.
class TLines {
public:
  TLines(TKeldaHost& host, uintptr_t instance) : FHost(host), FInstance(instance) {}

  void Collect() {
    for (int s : {1, 2})
      for (TRow& row : FHost.TakeRows(FInstance, s)) Rows[s].push_back(std::move(row));
    for (TLogLine& line : FHost.Received()) Received.push_back(std::move(line));
  }
  // The answers at one turn of the host's loop and the rows at the next.
  TTally Settle() {
    TTally tally;
    int turn = 0;
    auto look = [&] {
      Collect();
      for (int s : {1, 2}) {
        // A port whose answers reach the module inside the send has no answer in flight between
        // two looks: a tick's send may run a whole exchange. Its answers and rows are counted at
        // the same look.
        if (turn == 0 || s == kHandBackSource) tally.Answers[s] = Plc(s).counters().completeReads;
        tally.Rows[s] = static_cast<int>(Rows[s].size());
      }
      return ++turn == 2;
    };
    EXPECT_TRUE(FHost.RunUntil(look, 60000 * TimeScale())) << "the host's loop is stuck";
    return tally;
  }
  int Breaks(int s) { return FHost.Line(FInstance, s)->Breaks(); }
  plcsim::Simulator& Plc(int s) { return FHost.Line(FInstance, s)->Plc(); }

  std::vector<TRow> Rows[3];
  std::vector<TLogLine> Received;

private:
  TKeldaHost& FHost;
  uintptr_t FInstance;
};

TEST(Stress, FourThreadsOnOneInstanceWithTwoEngines) {
  const uint32_t seconds = StressSeconds();
  const uint32_t churnMs = std::max(1u, seconds / 2) * 1000;
  const uint32_t pollMs = std::max(1u, seconds - seconds / 2) * 1000;
  const int protocol = kProtoSnp;
  TIniFile ini("stress.ini");
  // An answer is never given up for lateness: a memory checker slows the host's loop by far, and
  // an answer that outlived its request would count as lost.
  std::string config = ConfigXml({PolledRequest(protocol, 20), OnceRequest(protocol)});
  for (std::size_t at; (at = config.find("<Timeout>1000<")) != std::string::npos;)
    config.replace(at, 14, "<Timeout>600000<");
  ini.Store("Stress", config, protocol);
  TKeldaHost host(KELDA_LIBRARY_PATH);
  const uintptr_t instance = host.Create(6);
  ASSERT_NE(instance, 0u);
  for (int source : {1, 2}) {
    TKeldaHost::TLineOptions options;
    options.Mode = ModeOf(protocol);
    options.MaxChunk = 5;
    options.Seed = static_cast<uint32_t>(source * 17);
    // The second port's host hands the PLC's answers to the module inside its send.
    if (source == kHandBackSource) options.Answers = TKeldaHost::TAnswers::HandedBackInSend;
    FillRegisters(host.AttachLine(instance, source, options), source);
  }
  ASSERT_EQ(host.Command(instance, "LOAD", LoadFromIni(host, ini, "Stress")).Code, 0);
  ASSERT_EQ(SetState(host, instance, kTwoSources, 1).Code, 0);

  TStressFigures f;
  TLines lines(host, instance);
  TTally churned, polled;
  int loops = 0;
  {
    TWatchdog watchdog((seconds * 1000 * 20 + 120000) * TimeScale());
    std::atomic<bool> stop{false};
    TPhase phase;
    std::thread commands(RunCommands, std::ref(host), instance, std::cref(ini.Name), std::cref(stop),
                         std::ref(phase), std::ref(f));
    std::thread log(RunLog, std::ref(host), instance, std::cref(stop), std::ref(f));
    std::thread info(RunInfo, std::ref(host), instance, std::cref(stop), std::ref(f));
    std::atomic<int> turns{0};
    const auto turn = [&turns] {
      turns.fetch_add(1);
      return false;
    };
    std::unique_ptr<TProgress> progress;
    if (TimeScale() > 1) progress = std::make_unique<TProgress>(phase, f, turns);

    // The queues churn: the host thread's message loop, and the state set again as a host does
    // after a change.
    for (const uint64_t end = TKeldaHost::Now() + churnMs; TKeldaHost::Now() < end; ++loops) {
      host.RunUntil(turn, 100);
      if (SetState(host, instance, kTwoSources, 1).Code != 0) f.Fault("SET-STATE failed");
      f.SetStates.fetch_add(1);
      lines.Collect();
    }
    // Once the command thread has stopped opening the port, a transaction that a tick starts
    // (its break) comes after the last restart was taken: from then on nothing is dropped.
    phase.Churn = false;
    const uint64_t churnOver = TKeldaHost::Now();
    EXPECT_TRUE(host.RunUntil([&] { return turn() || phase.PortOpensOver.load(); }, 60000 * TimeScale()))
        << "the command thread is still in \"" << phase.Command.load() << "\", for " << phase.MsInCommand()
        << " ms";
    const uint64_t commandsLeftChurn = TKeldaHost::Now() - churnOver;
    const int breaks[3] = {0, lines.Breaks(1), lines.Breaks(2)};
    EXPECT_TRUE(
        host.RunUntil([&] { return turn() || (lines.Breaks(1) > breaks[1] && lines.Breaks(2) > breaks[2]); },
                      60000 * TimeScale()))
        << "both engines start a transaction after the churn";
    churned = lines.Settle();

    // The engines only poll, the other threads go on.
    for (const uint64_t end = TKeldaHost::Now() + pollMs; TKeldaHost::Now() < end; ++loops) {
      host.RunUntil(turn, 100);
      lines.Collect();
    }
    stop = true;
    commands.join();
    log.join();
    info.join();
    polled = lines.Settle();
    progress.reset();
    std::printf("stress: the command thread left the churn %llu ms after it ended\n",
                static_cast<unsigned long long>(commandsLeftChurn));
  }

  for (int s : {1, 2}) {
    SCOPED_TRACE("data source " + std::to_string(s));
    ExpectRowsMatchMemory(lines.Rows[s], s, s == 1 ? "COM1" : "COM2");
    // While the queues churned, each rebuild or restart drops at most the one answer under way.
    const int lost = churned.Answers[s] - churned.Rows[s];
    EXPECT_GE(lost, 0) << "a row without an answer";
    EXPECT_LE(lost, f.SetStates.load() + f.PortOpens.load() + f.Reloads.load())
        << "answers lost beyond those dropped on purpose";
    // While the engines only polled, every answer became exactly one row.
    const int answers = polled.Answers[s] - churned.Answers[s];
    const int rows = polled.Rows[s] - churned.Rows[s];
    EXPECT_GT(answers, 0) << "the engine polls after the churn";
    EXPECT_EQ(rows, answers) << "every complete answer becomes one row";
    std::printf(
        "stress: data source %d: churn %d answers, %d rows, %d dropped; polling %d answers, %d rows\n", s,
        churned.Answers[s], churned.Rows[s], lost, answers, rows);
  }

  // Polling stops; the state change may drop the answer under way, nothing is invented.
  ASSERT_EQ(SetState(host, instance, kTwoSources, 0).Code, 0);
  const TTally atEnd = lines.Settle();
  for (TLogLine& line : host.FetchLog(instance)) lines.Received.push_back(std::move(line));
  for (int s : {1, 2}) {
    EXPECT_GE(atEnd.Rows[s], polled.Rows[s]);
    EXPECT_LE(atEnd.Rows[s] - polled.Rows[s], atEnd.Answers[s] - polled.Answers[s]);
  }

  for (const std::string& text : f.FaultTexts) ADD_FAILURE() << text;
  EXPECT_EQ(f.Faults.load(), 0);
  EXPECT_EQ(host.RefusedDataCalls(), 0);

  int logged = 0;
  for (const TLogLine& line : lines.Received) logged += Arrivals(line, kNoDataLine);
  for (const TLogLine& line : f.FetchedLines) logged += Arrivals(line, kNoDataLine);
  EXPECT_EQ(logged, f.LogWrites.load()) << "every line written reaches the host once";

  std::printf(
      "stress: %u s (%u churn, %u polling); host thread: %d loops, %d SET-STATE; command thread: %d "
      "commands, %d PORT-OPEN, %d LOAD-SETTINGS-NOW; log thread: %d lines written, %d fetches; info thread: "
      "%d GetModuleInfo; %d log notifications\n",
      seconds, churnMs / 1000, pollMs / 1000, loops, f.SetStates.load(), f.Commands.load(),
      f.PortOpens.load(), f.Reloads.load(), f.LogWrites.load(), f.LogFetches.load(), f.InfoCalls.load(),
      host.Notifications());

  TWatchdog watchdog(60000 * TimeScale());
  EXPECT_EQ(host.Free(instance), 0);
}

}  // namespace
