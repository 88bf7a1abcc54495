// Requests that are all due at every tick, each polled every 1 ms, take turns: through the exports,
// in every protocol, two and four such requests each get one row per round, so whenever the host
// looks their row counts differ by at most one. An engine that starts the first due request again
// as soon as its answer is in would starve the others. The answers reach the module both ways a
// host may hand them over: from its loop after the send returned, and inside the send.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "LiveRig.h"

using namespace livetest;

namespace {

using TAnswers = TKeldaHost::TAnswers;

constexpr uint32_t kBoundMs = 10000;  // only reached when something is wrong
constexpr int kRounds = 6;
constexpr uint32_t kFirstRegister = 30;
const char kOneSource[] = "1;COM1;Press line 1";

std::string TurnItem(int k) {
  return "T" + std::to_string(k);
}

// Request k reads one register of its own as the item Tk.
TRequestText TurnRequest(int protocol, int k) {
  TRequestText r{"Turn " + std::to_string(k),
                 protocol,
                 kRegisters,
                 kFirstRegister + k,
                 1,
                 true,
                 true,
                 1,
                 ItemXml(TurnItem(k), 0, 1, "D16", false)};
  r.TimeoutMs = 10000;  // a slow machine must not cost a request its turn
  return r;
}

void TakeTurns(int protocol, int requests, TAnswers answers) {
  std::vector<TRequestText> config;
  for (int k = 0; k < requests; ++k) config.push_back(TurnRequest(protocol, k));
  TIniFile ini(std::string("turns_") + ProtocolName(protocol) + ".ini");
  ini.Store("Turns", ConfigXml(config), protocol);
  TKeldaHost host(KELDA_LIBRARY_PATH);
  const uintptr_t instance = host.Create(8);
  ASSERT_NE(instance, 0u);
  TKeldaHost::TLineOptions options;
  options.Mode = ModeOf(protocol);
  options.MaxChunk = 5;
  options.Seed = static_cast<uint32_t>(41 + protocol);
  options.Answers = answers;
  FillRegisters(host.AttachLine(instance, 1, options), 1);
  ASSERT_EQ(host.Command(instance, "LOAD", LoadFromIni(host, ini, "Turns")).Code, 0);
  ASSERT_EQ(SetState(host, instance, kOneSource, 1).Code, 0);
  // The port opened again: the engine resets and ticks as often as its fastest request asks.
  ASSERT_EQ(host.Command(instance, "EVENT", {Param("EVENT-TYPE", "PORT-OPEN")}).Code, 0);

  std::vector<int> rows(static_cast<std::size_t>(requests), 0);
  int widest = 0;
  const bool done = host.RunUntil(
      [&] {
        for (const TRow& row : host.TakeRows(instance, 1)) {
          int request = -1;
          for (int k = 0; k < requests; ++k)
            if (Has(row, TurnItem(k))) request = k;
          if (request < 0) {
            ADD_FAILURE() << "a row of no configured request";
            continue;
          }
          EXPECT_EQ(Value(row, TurnItem(request)),
                    std::to_string(RegisterValue(1, kFirstRegister + request)));
          ++rows[static_cast<std::size_t>(request)];
        }
        const auto [fewest, most] = std::minmax_element(rows.begin(), rows.end());
        widest = std::max(widest, *most - *fewest);
        return *fewest >= kRounds || widest > 1;  // a request left out fails the run at once
      },
      kBoundMs);
  std::string counts;
  for (int n : rows) counts += " " + std::to_string(n);
  EXPECT_TRUE(done && *std::min_element(rows.begin(), rows.end()) >= kRounds)
      << "every request answered " << kRounds << " times; rows per request:" << counts;
  EXPECT_LE(widest, 1) << "rows per request drifted apart by " << widest << "; at the end:" << counts;
  EXPECT_EQ(host.RefusedDataCalls(), 0);

  EXPECT_EQ(host.Command(instance, "UNLOAD", {Param("INI-FILE", ini.Name)}).Code, 0);
  EXPECT_EQ(host.Free(instance), 0);
}

TEST(RequestTurns, RequestsPolledEveryMillisecondTakeTurnsInEveryProtocol) {
  for (TAnswers answers : {TAnswers::ReadByLoop, TAnswers::HandedBackInSend}) {
    for (int protocol : {kProtoCcmMasterSlave, kProtoCcmPeer, kProtoSnp, kProtoSnpX}) {
      for (int requests : {2, 4}) {
        SCOPED_TRACE(
            std::string(ProtocolName(protocol)) + ", " + std::to_string(requests) + " requests" +
            (answers == TAnswers::ReadByLoop ? ", answers read by the loop" : ", answers in the send"));
        const uint64_t started = TKeldaHost::Now();
        TakeTurns(protocol, requests, answers);
        std::printf("%s, %d requests%s: %d ms\n", ProtocolName(protocol), requests,
                    answers == TAnswers::ReadByLoop ? "" : ", answers in the send",
                    static_cast<int>(TKeldaHost::Now() - started));
      }
    }
  }
}

}  // namespace
