// The real library polling a simulated GE PLC through a host whose DataLogger_SendDataEx hands the
// PLC's answer to ProcessData before it returns: in the sending thread itself, or from the line's
// reader thread that the send waits for. Such a host's answer arrives while the module is still
// inside its send, so every frame's step, stopwatch and emptied receive buffer must be in place
// before the frame goes out, and the engine's locks must be free for the data call. Then, in
// every protocol, every complete answer gives exactly one row holding the PLC's memory, and no
// answer is ever half taken in when the host's loop looks.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "LiveRig.h"

using namespace livetest;

namespace {

using TAnswers = TKeldaHost::TAnswers;

constexpr uint32_t kBoundMs = 8000;  // only reached when something is wrong
constexpr int kPolledRows = 6;
const char kOneSource[] = "1;COM1;Press line 1";

const char* AnswersName(TAnswers answers) {
  return answers == TAnswers::HandedBackInSend ? "handed back in the sending thread"
                                               : "handed back by a reader thread the send waits for";
}

void PollWithAnswersDuringSend(int protocol, TAnswers answers) {
  TIniFile ini(std::string("during_send_") + ProtocolName(protocol) + ".ini");
  ini.Store("DuringSend", ConfigXml({PolledRequest(protocol, 5), OnceRequest(protocol)}), protocol);
  TKeldaHost host(KELDA_LIBRARY_PATH);
  const uintptr_t instance = host.Create(7);
  ASSERT_NE(instance, 0u);
  TKeldaHost::TLineOptions options;
  options.Mode = ModeOf(protocol);
  options.MaxChunk = 5;  // an answer comes in several data calls, its frames split anywhere
  options.Seed = static_cast<uint32_t>(23 + protocol);
  options.Answers = answers;
  TSimulatedLine& line = host.AttachLine(instance, 1, options);
  FillRegisters(line, 1);
  ASSERT_EQ(host.Command(instance, "LOAD", LoadFromIni(host, ini, "DuringSend")).Code, 0);
  ASSERT_EQ(SetState(host, instance, kOneSource, 1).Code, 0);

  // The loop never reads this line: every row comes from a data call made inside a send. When
  // the loop looks, each send has returned, so every answer the PLC completed is a row already.
  std::vector<TRow> rows;
  int looks = 0, looksBehind = 0;
  const bool polled = host.RunUntil(
      [&] {
        for (TRow& row : host.TakeRows(instance, 1)) rows.push_back(std::move(row));
        ++looks;
        if (static_cast<int>(rows.size()) != ValidAnswers(line.Plc(), protocol)) ++looksBehind;
        // A lost answer or a send that waited for the reader in vain ends the run at once.
        if (looksBehind > 0 || host.AbandonedHandBacks() > 0) return true;
        return CountRows(rows, "R1") >= kPolledRows && CountRows(rows, "ONCE0") >= 1;
      },
      kBoundMs);
  EXPECT_TRUE(polled && CountRows(rows, "R1") >= kPolledRows)
      << CountRows(rows, "R1") << " rows of the polled request and " << CountRows(rows, "ONCE0")
      << " of the once request";
  EXPECT_EQ(looksBehind, 0) << "looks (of " << looks << ") at which a complete answer was no row yet";
  EXPECT_EQ(static_cast<int>(rows.size()), ValidAnswers(line.Plc(), protocol))
      << "one row per complete valid answer";
  EXPECT_EQ(CountRows(rows, "ONCE0"), 1) << "a once request runs once";
  ExpectRowsMatchMemory(rows, 1, "COM1");
  EXPECT_EQ(line.Plc().counters().sequenceErrors, 0) << "a frame went out ahead of its step";
  EXPECT_EQ(host.RefusedDataCalls(), 0);
  EXPECT_EQ(host.AbandonedHandBacks(), 0) << "a data call in the reader thread did not return";
  if (::testing::Test::HasFailure())
    for (const std::string& event : line.Plc().log()) std::printf("  plc: %s\n", event.c_str());

  EXPECT_EQ(host.Command(instance, "UNLOAD", {Param("INI-FILE", ini.Name)}).Code, 0);
  EXPECT_EQ(host.Free(instance), 0);
}

TEST(AnswersDuringSend, EveryAnswerGivesOneRowInEveryProtocol) {
  for (TAnswers answers : {TAnswers::HandedBackInSend, TAnswers::HandedBackByReader}) {
    for (int protocol : {kProtoCcmMasterSlave, kProtoCcmPeer, kProtoSnp, kProtoSnpX}) {
      SCOPED_TRACE(std::string(ProtocolName(protocol)) + ", answers " + AnswersName(answers));
      const uint64_t started = TKeldaHost::Now();
      PollWithAnswersDuringSend(protocol, answers);
      std::printf("%s, answers %s: %d ms\n", ProtocolName(protocol), AnswersName(answers),
                  static_cast<int>(TKeldaHost::Now() - started));
    }
  }
}

}  // namespace
