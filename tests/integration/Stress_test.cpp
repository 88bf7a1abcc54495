// Four threads on one instance with two engines, as a busy host drives it: the host thread runs
// the message loop (the engines' ticks, the log notifications, the PLCs' answers on both data
// sources) and sets the state again now and then; one thread runs commands (module parameters,
// ITEMS, PORT-OPEN), one makes data calls that log a line each and fetches the log, one asks for
// the module's information. At the end the instance is freed.
//
// The run lasts KELDA_STRESS_SECONDS seconds (3 when unset); the long run is
//   KELDA_STRESS_SECONDS=60 build/native-asan/tests/integration/test_integration --gtest_filter='Stress.*'
// A watchdog ends the program when a phase overruns its bound by far: a deadlock fails the run
// instead of hanging it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
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

// Ends the program when Disarm is not called within the bound: joins cannot time out.
class TWatchdog {
public:
  explicit TWatchdog(uint32_t boundMs)
      : FThread([this, boundMs] {
          std::unique_lock lock(FLock);
          if (!FDone.wait_for(lock, std::chrono::milliseconds(boundMs), [this] { return FDisarmed; })) {
            std::fprintf(stderr, "stress: no progress within %u ms, a thread is stuck\n", boundMs);
            std::fflush(stderr);
            std::_Exit(3);
          }
        }) {}
  ~TWatchdog() {
    {
      std::lock_guard lock(FLock);
      FDisarmed = true;
    }
    FDone.notify_all();
    FThread.join();
  }

private:
  std::mutex FLock;
  std::condition_variable FDone;
  bool FDisarmed = false;
  std::thread FThread;
};

// How many times a log line arrived: a line repeated right after itself comes once, with " x"
// and the count appended.
int Arrivals(const TLogLine& line, const std::string& text) {
  if (line.Text.find(text) == std::string::npos) return 0;
  const std::size_t suffix = line.Text.rfind(" x");
  if (suffix == std::string::npos || suffix < line.Text.find(text)) return 1;
  return std::atoi(line.Text.c_str() + suffix + 2);
}

struct TStressFigures {
  std::atomic<int> Commands{0}, PortOpens{0}, LogWrites{0}, LogFetches{0}, InfoCalls{0}, SetStates{0};
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

void RunCommands(TKeldaHost& host, uintptr_t instance, const std::atomic<bool>& stop, TStressFigures& f) {
  uint64_t nextPortOpen = TKeldaHost::Now() + 700;
  for (int n = 0; !stop.load(); ++n) {
    const std::string events = "PORT-OPEN;E" + std::to_string(n);
    const TCommandResult set = host.Command(instance, "SET-MODULE-PARAMETER",
                                            {Param("PARAM", "EventsSupported"), Param("VALUE", events)});
    if (set.Code != 0 || !set.Result.ToBool()) f.Fault("EventsSupported not taken");
    if (host.Command(instance, "GET-MODULE-PARAMETER", {Param("PARAM", "EventsSupported")}).Result.ToText() !=
        events)
      f.Fault("EventsSupported read back differs");
    const TCommandResult items = host.Command(instance, "ITEMS");
    if (items.Code != 0 || items.Result.ToText().find("|R1|") == std::string::npos)
      f.Fault("ITEMS lost an item");
    // Opening the port again starts every exchange afresh: often enough to cross the others,
    // rarely enough to let the engines answer in between.
    if (TKeldaHost::Now() >= nextPortOpen) {
      nextPortOpen = TKeldaHost::Now() + 700;
      if (host.Command(instance, "EVENT", {Param("EVENT-TYPE", "PORT-OPEN")}).Code != 0)
        f.Fault("PORT-OPEN failed");
      f.PortOpens.fetch_add(1);
    }
    f.Commands.fetch_add(4);
  }
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

void RunInfo(TKeldaHost& host, uintptr_t instance, const std::atomic<bool>& stop, TStressFigures& f) {
  while (!stop.load()) {
    const TModuleInfoResult info = host.ModuleInfo(instance);
    if (!info.FillCallResult || info.Description != "Korvane") f.Fault("GetModuleInfo answered otherwise");
    f.InfoCalls.fetch_add(1);
  }
}

TEST(Stress, FourThreadsOnOneInstanceWithTwoEngines) {
  const uint32_t seconds = StressSeconds();
  const int protocol = kProtoSnp;
  TIniFile ini("stress.ini");
  ini.Store("Stress", ConfigXml({PolledRequest(protocol, 20), OnceRequest(protocol)}), protocol);
  TKeldaHost host(KELDA_LIBRARY_PATH);
  const uintptr_t instance = host.Create(6);
  ASSERT_NE(instance, 0u);
  for (int source : {1, 2}) {
    TKeldaHost::TLineOptions options;
    options.Mode = ModeOf(protocol);
    options.MaxChunk = 5;
    options.Seed = static_cast<uint32_t>(source * 17);
    FillRegisters(host.AttachLine(instance, source, options), source);
  }
  ASSERT_EQ(host.Command(instance, "LOAD", LoadFromIni(host, ini, "Stress")).Code, 0);
  ASSERT_EQ(SetState(host, instance, kTwoSources, 1).Code, 0);

  TStressFigures f;
  std::vector<TRow> rows[3];
  std::vector<TLogLine> received;
  auto collect = [&] {
    for (int s : {1, 2})
      for (TRow& row : host.TakeRows(instance, s)) rows[s].push_back(std::move(row));
    for (TLogLine& line : host.Received()) received.push_back(std::move(line));
  };
  {
    TWatchdog watchdog(seconds * 1000 * 20 + 60000);
    std::atomic<bool> stop{false};
    std::thread commands(RunCommands, std::ref(host), instance, std::cref(stop), std::ref(f));
    std::thread log(RunLog, std::ref(host), instance, std::cref(stop), std::ref(f));
    std::thread info(RunInfo, std::ref(host), instance, std::cref(stop), std::ref(f));
    // The host thread: the message loop, and the state set again as a host does after a change.
    const uint64_t end = TKeldaHost::Now() + seconds * 1000ull;
    while (TKeldaHost::Now() < end) {
      host.RunFor(100);
      if (SetState(host, instance, kTwoSources, 1).Code != 0) f.Fault("SET-STATE failed");
      f.SetStates.fetch_add(1);
      collect();
    }
    stop = true;
    commands.join();
    log.join();
    info.join();
  }

  // Left alone, both engines poll again (bounded: a loaded machine, or a memory checker, is slow).
  const int polledBefore[3] = {0, CountRows(rows[1], "R1"), CountRows(rows[2], "R1")};
  EXPECT_TRUE(host.RunUntil(
      [&] {
        collect();
        return CountRows(rows[1], "R1") > polledBefore[1] && CountRows(rows[2], "R1") > polledBefore[2];
      },
      60000))
      << "both engines poll again after the stress";

  // Polling stops; the answers under way still arrive and are delivered.
  ASSERT_EQ(SetState(host, instance, kTwoSources, 0).Code, 0);
  host.RunFor(1500);
  collect();
  for (TLogLine& line : host.FetchLog(instance)) received.push_back(std::move(line));

  for (const std::string& text : f.FaultTexts) ADD_FAILURE() << text;
  EXPECT_EQ(f.Faults.load(), 0);
  EXPECT_EQ(host.RefusedDataCalls(), 0);

  int logged = 0;
  for (const TLogLine& line : received) logged += Arrivals(line, kNoDataLine);
  for (const TLogLine& line : f.FetchedLines) logged += Arrivals(line, kNoDataLine);
  EXPECT_EQ(logged, f.LogWrites.load()) << "every line written reaches the host once";

  int delivered[3] = {};
  for (int s : {1, 2}) {
    ExpectRowsMatchMemory(rows[s], s, s == 1 ? "COM1" : "COM2");
    delivered[s] = static_cast<int>(rows[s].size());
    const int answered = host.Line(instance, s)->Plc().counters().completeReads;
    EXPECT_LE(delivered[s], answered) << "data source " << s << ": a row without an answer";
    // Rows short of the answers are exchanges the engine gave up (PORT-OPEN restarts them, a late
    // answer under load outlives its request's time-out): printed, not judged here.
    std::printf("stress: data source %d: %d answers, %d rows, %d exchanges given up\n", s, answered,
                delivered[s], answered - delivered[s]);
  }
  std::printf(
      "stress: %u s, %d commands, %d PORT-OPEN, %d SET-STATE, %d log lines written, %d fetches by "
      "the log thread, %d log notifications, %d GetModuleInfo\n",
      seconds, f.Commands.load(), f.PortOpens.load(), f.SetStates.load(), f.LogWrites.load(),
      f.LogFetches.load(), host.Notifications(), f.InfoCalls.load());

  TWatchdog watchdog(60000);
  EXPECT_EQ(host.Free(instance), 0);
}

}  // namespace
