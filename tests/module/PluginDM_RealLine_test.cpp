// The engine on a plant line that is less polite than our own simulator: endless or repeated SNP
// text buffers, steady noise, answers that arrive before the host's send returns, the PLC's error
// answers, read-once requests that fail at start-up, and requests polled faster than the tick.
#include <gtest/gtest.h>

#include <thread>

#include "EngineFrames.h"
#include "EngineSimKit.h"

using namespace kelda;
using namespace kelda::enginetest;

namespace {

// A mailbox reply with bytes 21 and 22 given: the 0x94 completion's length field, or the major and
// minor error status of an Error Nack.
std::string MailboxWith(uint8_t kind, uint8_t b21, uint8_t b22, size_t nextLength = 0) {
  std::string frame = std::string("\x1B\x4D") + std::string(6, '\0') + "\x01" + static_cast<char>(kind) +
                      std::string("\x10\x0A\x00\x00\x10\x3A\x00\x00\x01\x01", 10) + static_cast<char>(b21) +
                      static_cast<char>(b22) + std::string(12, '\0') + "\x17" + Next(nextLength);
  return WithBcc(frame);
}

std::string Completion94(uint16_t length, size_t nextLength) {
  return MailboxWith(0x94, length & 0xFF, length >> 8, nextLength);
}

std::string Pattern(size_t size, uint8_t seed) {
  std::string bytes(size, '\0');
  for (size_t k = 0; k < size; ++k) bytes[k] = static_cast<char>(((k * 7 + seed) & 0x7F) | 0x20);
  return bytes;
}

// An SNP read of `registers` registers brought to the point where its data is awaited.
TRequestItem& StartSnpRead(TEngineRig& rig, int32_t registers) {
  TRequestItem& request = rig.AddRequest("PLC1", 8, 0, registers);
  TResponseItem& item = TEngineRig::AddItem(request, "R", dtD16, 0, registers);
  item.LE = true;
  rig.Tick();
  rig.Receive(SnpAttachAnswer());
  rig.Receive(kSnpAck);
  EXPECT_EQ(request.Step, stAwaitingData);
  rig.Owner.TakeSent();
  return request;
}

// The tests against the simulated PLC run with the speed settings off (the plain engine), on,
// and on with retries: no combination may lose a row or take a wrong one.
struct TSpeedCase {
  std::string Name;
  TSpeedSettings Speed;
};

std::vector<TSpeedCase> SpeedCases() {
  TSpeedSettings fast;
  fast.KeepSession = true;
  fast.SendWhenReady = true;
  TSpeedSettings retrying = fast;
  retrying.Retries = 2;
  return {{"plain", TSpeedSettings{}}, {"fast", fast}, {"fast with retries", retrying}};
}

bool Contains(const std::vector<std::string>& lines, const std::string& part) {
  for (const std::string& line : lines)
    if (line.find(part) != std::string::npos) return true;
  return false;
}

// --- SNP text buffers ------------------------------------------------------------------------

TEST(TextBufferChain, NeverCollectsMoreThanTheReadAndFailsAtOnce) {
  // Four registers are 8 bytes: a 1000-byte buffer overruns them at once, and an endless chain
  // must neither be acknowledged nor grow the collected data.
  TEngineRig rig(protoSnp);
  TRequestItem& request = StartSnpRead(rig, 4);
  rig.Receive(Completion94(8, 1008));
  EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{kSnpAck});
  for (int k = 0; k < 50; ++k) rig.Receive(TextBuffer(Pattern(1000, static_cast<uint8_t>(k)), 1008));
  EXPECT_TRUE(rig.Owner.TakeSent().empty()) << "no buffer past the read is acknowledged";
  EXPECT_TRUE(rig.Engine.ResponseData.empty());
  EXPECT_FALSE(request.Busy);
  EXPECT_EQ(rig.Engine.FLastReq, nullptr);
  EXPECT_TRUE(rig.Owner.Delivered.empty());
  EXPECT_EQ(rig.Owner.Failures, std::vector<std::string>{"7 COM1 \"Q1\": bad answer"});
  EXPECT_EQ(rig.Engine.Statistics().Checks, 1u);
  EXPECT_EQ(rig.Engine.Statistics().Timeouts, 0u);
  rig.Advance(1000);
  rig.Tick();
  EXPECT_TRUE(request.Busy) << "the request is read again at its next poll";
}

TEST(TextBufferChain, OnlyBuffersThatAddUpToTheReadAndEndMarkedLastGiveARow) {
  // 1000 registers: two 1000-byte buffers.
  const std::string first = Pattern(1000, 1), second = Pattern(1000, 2);
  struct Case {
    const char* What;
    std::vector<std::string> Buffers;
    bool Row;
  };
  const Case cases[] = {
      {"in order", {TextBuffer(first, 1008), TextBuffer(second, 0)}, true},
      {"first repeated", {TextBuffer(first, 1008), TextBuffer(first, 1008), TextBuffer(second, 0)}, false},
      {"endless", {TextBuffer(first, 1008), TextBuffer(second, 1008), TextBuffer(first, 1008)}, false},
      {"last one short", {TextBuffer(first, 508), TextBuffer(second.substr(0, 500), 0)}, false},
      {"second lost", {TextBuffer(first, 0)}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    TEngineRig rig(protoSnp);
    TRequestItem& request = StartSnpRead(rig, 1000);
    rig.Receive(Completion94(2000, 1008));
    for (const std::string& buffer : c.Buffers) {
      rig.Receive(buffer);
      EXPECT_LE(rig.Engine.ResponseData.size(), 2000u);
    }
    EXPECT_FALSE(request.Busy) << "the transaction ended at once, without a time-out";
    ASSERT_EQ(rig.Owner.Delivered.size(), c.Row ? 1u : 0u);
    if (c.Row) {
      const std::string data = first + second;
      for (int k : {1, 500, 501, 1000}) {
        const uint16_t expected =
            static_cast<uint8_t>(data[2 * k - 2]) | static_cast<uint8_t>(data[2 * k - 1]) << 8;
        EXPECT_EQ(rig.Owner.Delivered[0].Int("R" + std::to_string(k)), expected) << k;
      }
    } else {
      EXPECT_EQ(rig.Owner.Failures, std::vector<std::string>{"7 COM1 \"Q1\": bad answer"});
    }
  }
}

TEST(TextBufferChain, ShortBuffersAndStrayCompletionsNeverHoldTheReadOpen) {
  {
    SCOPED_TRACE("empty buffers that announce one another");
    TEngineRig rig(protoSnp);
    TRequestItem& request = StartSnpRead(rig, 100);
    rig.Receive(Completion94(0, 8));
    rig.Owner.TakeSent();
    for (int k = 0; k < 20; ++k) rig.Receive(TextBuffer("", 8));
    EXPECT_FALSE(request.Busy) << "the read fails at the first short buffer of a chain";
    EXPECT_LE(rig.Owner.TakeSent().size(), 0u);
    EXPECT_EQ(rig.Owner.Failures, std::vector<std::string>{"7 COM1 \"Q1\": bad answer"});
  }
  {
    SCOPED_TRACE("a completion inside the chain");
    TEngineRig rig(protoSnp);
    StartSnpRead(rig, 100);  // 200 bytes: 100 and 100
    const std::string first = Pattern(100, 6), second = Pattern(100, 7);
    rig.Receive(Completion94(200, 108));
    rig.Receive(TextBuffer(first, 108));
    rig.Owner.TakeSent();
    rig.Receive(Mailbox(0xD4, Bytes({1, 2, 3, 4, 5, 6})));
    rig.Receive(Completion94(200, 108));
    EXPECT_TRUE(rig.Owner.TakeSent().empty()) << "stray completions are not acknowledged";
    EXPECT_TRUE(rig.Owner.Delivered.empty());
    rig.Receive(TextBuffer(second, 0));
    ASSERT_EQ(rig.Owner.Delivered.size(), 1u);
    EXPECT_EQ(rig.Owner.Delivered[0].Int("R51"),
              static_cast<uint8_t>(second[0]) | static_cast<uint8_t>(second[1]) << 8);
  }
}

TEST(TextBufferChain, CompletionLengthNamesTheTotalOrTheFirstBuffer) {
  const std::string first = Pattern(1000, 3), second = Pattern(1000, 4);
  for (uint16_t length : {uint16_t{2000}, uint16_t{1000}, uint16_t{1234}}) {
    SCOPED_TRACE(length);
    TEngineRig rig(protoSnp);
    StartSnpRead(rig, 1000);
    rig.Receive(Completion94(length, 1008));
    rig.Receive(TextBuffer(first, 1008));
    rig.Receive(TextBuffer(second, 0));
    EXPECT_EQ(rig.Owner.Delivered.size(), length == 1234 ? 0u : 1u);
  }
}

TEST(TextBufferChain, BufferAnnouncedByItsDataLengthAlone) {
  // Ten registers in one buffer whose length the completion gives as its 20 data bytes (not 28).
  TEngineRig rig(protoSnp);
  StartSnpRead(rig, 10);
  rig.Receive(Completion94(20, 20));
  const std::string data = Pattern(20, 5);
  rig.ReceiveBytewise(TextBuffer(data, 0));
  ASSERT_EQ(rig.Owner.Delivered.size(), 1u);
  EXPECT_EQ(rig.Owner.Delivered[0].Int("R10"), static_cast<uint8_t>(data[18]) | static_cast<uint8_t>(data[19])
                                                                                    << 8);
}

TEST(TextBufferChain, LongBuffersOfASeries90_70) {
  // 4000 data bytes in one text buffer, 8 KB in two: longer than the old receive buffer.
  for (size_t dataSize : {size_t{4000}, size_t{8192}}) {
    SCOPED_TRACE(dataSize);
    TSimRig rig(protoSnp);
    rig.Plc.setSnpDataSize(dataSize);
    for (uint32_t i = 0; i < 8192; ++i) rig.Plc.setWord(kRegisters, i, RegisterValue(i));
    rig.AddRegisterRead(dataSize == 4000 ? 2000 : 8192, 1000).Timeout = 5000;
    rig.HostChunk = 700;
    rig.Run(1000);
    ASSERT_GE(rig.Owner.Delivered.size(), 1u);
    EXPECT_EQ(static_cast<int>(rig.Owner.Delivered.size()), rig.Plc.counters().completeReads);
    rig.ExpectRegisterRows(dataSize == 4000 ? 2000 : 8192);
  }
}

// --- noise -----------------------------------------------------------------------------------

TEST(SteadyNoise, NeverDefersATimeOut) {
  // One byte of noise every 100 ms: the handshake step still times out after 2 s, the data step
  // after the request's time-out.
  for (uint8_t protocol : kProtocols) {
    for (bool dataStep : {false, true}) {
      SCOPED_TRACE(Name(protocol) + (dataStep ? ", data step" : ", opening step"));
      TEngineRig rig(protocol);
      const bool ccm = protocol <= protoCcmPeerToPeer;
      TRequestItem& request = rig.AddRequest(ccm ? "2" : "PLC1", 8, ccm ? 1 : 0, ccm ? 4 : 2, 60000);
      request.Timeout = 1000;
      rig.Tick();
      if (dataStep) {
        if (protocol == protoCcmMasterSlave) rig.Receive(Bytes({'N', 0x22, ACK}));
        if (protocol == protoCcmPeerToPeer) rig.Receive(kAck1);
        if (ccm) rig.Receive(kAck1);
        if (protocol == protoSnp) {
          rig.Receive(SnpAttachAnswer());
          rig.Receive(kSnpAck);
        }
        if (protocol == protoSnpX) rig.Receive(SnpXAttachAnswer());
        ASSERT_EQ(request.Step, stAwaitingData);
      }
      const uint64_t limit = dataStep ? 1000 : 2000;
      uint64_t elapsed = 0;
      while (request.Busy && elapsed < 10000) {
        rig.Advance(100);
        elapsed += 100;
        rig.Receive("Z");
        rig.Tick();
      }
      EXPECT_FALSE(request.Busy);
      EXPECT_LE(elapsed, limit + 100);
      EXPECT_EQ(rig.Engine.Statistics().Timeouts, 1u);
    }
  }
}

// --- answers before the send returns ---------------------------------------------------------

// The simulated PLC behind a host whose send hands the answer to a data call before it returns:
// in the sending thread, or in a reader thread the send waits for.
void AnswerBeforeSendReturns(TSimRig& rig, bool readerThread) {
  rig.Owner.OnFrame = [&rig, readerThread](const std::string& frame) {
    rig.Owner.Sent.clear();  // the answer comes from here, not from Pump
    if (frame == kBreakCommand) {
      rig.Plc.lineBreak(gNow);
      return;
    }
    rig.Plc.receive(reinterpret_cast<const uint8_t*>(frame.data()), frame.size(), gNow);
    auto deliver = [&rig] {
      for (const std::vector<uint8_t>& chunk : rig.Plc.takeOutput(gNow))
        rig.Receive(std::string(chunk.begin(), chunk.end()));
    };
    if (readerThread)
      std::thread(deliver).join();
    else
      deliver();
  };
}

TEST(AnswerBeforeSendReturns, EveryAnswerGivesItsRow) {
  for (const TSpeedCase& speed : SpeedCases()) {
    for (uint8_t protocol : kProtocols) {
      for (bool readerThread : {false, true}) {
        SCOPED_TRACE(Name(protocol) + (readerThread ? ", reader thread, " : ", same thread, ") + speed.Name);
        TSimRig rig(protocol);
        rig.Engine.SetSpeed(speed.Speed);
        AnswerBeforeSendReturns(rig, readerThread);
        rig.Plc.setSnpDataSize(64);
        rig.AddRegisterRead(10, 100);
        rig.AddRegisterRead(100, 100);  // over several SNP text buffers
        rig.Run(2000);
        EXPECT_GE(rig.Owner.Delivered.size(), 8u);
        EXPECT_EQ(static_cast<int>(rig.Owner.Delivered.size()), rig.Plc.counters().completeReads);
        EXPECT_EQ(rig.Engine.Statistics().Timeouts, 0u);
        rig.ExpectRegisterRows(10);
      }
    }
  }
}

TEST(AnswerBeforeSendReturns, AFailedSendUndoesItsStepUnlessTheAnswerMovedOn) {
  TEngineRig rig(protoSnpX);
  TRequestItem& request = rig.AddRequest("PLC1", 8, 0, 1);
  rig.Tick();
  rig.Owner.FailSends = 1;  // the read request cannot be written
  rig.Receive(SnpXAttachAnswer());
  EXPECT_FALSE(request.Busy);
  EXPECT_EQ(request.Step, stOpeningSent) << "the step the failed read began is undone";
  EXPECT_TRUE(request.Timer.IsClear());
  EXPECT_EQ(rig.Owner.Failures, std::vector<std::string>{"7 COM1 \"Q1\": send failed"});
  rig.Tick();
  EXPECT_TRUE(request.Busy) << "retried at the next tick";
}

// --- the PLC's error answers -----------------------------------------------------------------

TEST(PlcErrorAnswer, SnpErrorNackEndsTheTransactionAtOnce) {
  TEngineRig rig(protoSnp);
  TRequestItem& request = StartSnpRead(rig, 4);
  TRequestItem& next = rig.AddRequest("PLC1", 8, 10, 1);
  rig.Receive(MailboxWith(0xD1, 0x05, 0xF4));
  EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{kSnpAck}) << "the error nack is acknowledged";
  EXPECT_FALSE(request.Busy);
  EXPECT_EQ(rig.Engine.FLastReq, nullptr);
  EXPECT_TRUE(rig.Owner.Delivered.empty());
  ASSERT_EQ(rig.Owner.Failures.size(), 1u);
  EXPECT_EQ(rig.Owner.Failures[0],
            "7 COM1 \"Q1\": PLC error major 05 (service request error), minor F4 "
            "(invalid input parameter in request)");
  EXPECT_EQ(rig.Engine.Statistics().Naks, 1u);
  EXPECT_EQ(rig.Engine.Statistics().Timeouts, 0u);
  rig.Tick();
  const std::vector<std::string> sent = rig.Owner.TakeSent();
  EXPECT_FALSE(sent.empty()) << "the next request goes out at the next tick";
  EXPECT_EQ(rig.Engine.FLastReq, &next);
}

TEST(PlcErrorAnswer, SimulatedPlcWithoutPrivilegeIsNotWaitedOut) {
  for (const TSpeedCase& speed : SpeedCases()) {
    SCOPED_TRACE(speed.Name);
    TSimRig rig(protoSnp);
    rig.Engine.SetSpeed(speed.Speed);
    rig.Plc.setPrivilegeLevel(0);  // every read is answered with an error nack, major 02
    rig.AddRegisterRead(4, 100);
    rig.Run(3000);  // with GE's timing kept each read breaks, attaches and waits T1 anew
    EXPECT_GE(rig.Engine.Statistics().Naks, 8u) << "one error per poll, none waited out";
    EXPECT_EQ(rig.Engine.Statistics().Timeouts, 0u);
    EXPECT_EQ(rig.Engine.Statistics().Retries, 0u) << "an error answer is an answer";
    EXPECT_TRUE(rig.Owner.Delivered.empty());
    EXPECT_TRUE(Contains(rig.Owner.Failures, "major 02 (insufficient privilege)"));
  }
}

// --- read-once requests ----------------------------------------------------------------------

// Two failed attempts: with repeats the transaction's own repeats bring the answer; without, the
// request rests 10 s ("Demote for") after its first failure and 20 s after its second.
TEST(ReadOnce, FailedReadIsTriedAgainUntilAnAnswerIsTaken) {
  for (const TSpeedCase& speed : SpeedCases()) {
    for (uint8_t protocol : kProtocols) {
      for (const char* fault : {"silent", "corrupt", "nak"}) {
        SCOPED_TRACE(Name(protocol) + ", " + fault + ", " + speed.Name);
        TSimRig rig(protocol);
        rig.Engine.SetSpeed(speed.Speed);
        sim::Faults faults;
        if (std::string(fault) == "silent") faults.silent = 2;
        if (std::string(fault) == "corrupt") faults.corruptCheck = 2;
        if (std::string(fault) == "nak") faults.nak = 2;
        rig.Plc.setFaults(faults);
        rig.AddRegisterRead(4, 0);  // once, at start-up
        rig.Run(40000);
        rig.Drain();
        // The PLC's refusals for a full queue (SNP-X) pass: each gives its row with the status
        // code, then the request rests like an unanswered one and is read until the values come.
        const size_t errorRows = protocol == protoSnpX && std::string(fault) == "nak" ? 2u : 0u;
        ASSERT_EQ(rig.Owner.Delivered.size(), errorRows + 1);
        for (size_t k = 0; k < rig.Owner.Delivered.size(); ++k) {
          const TDelivered& row = rig.Owner.Delivered[k];
          EXPECT_EQ(row.Values.count("STATUS_CODE") && row.Int("STATUS_CODE") != 0, k < errorRows)
              << "row " << k;
        }
        rig.ExpectRegisterRows(4);
      }
    }
  }
}

// A PLC that lacks the privilege to serve the read refuses it for now; the same read may pass
// later, so the request is read again, after a rest, until its values come.
TEST(ReadOnce, ReadRefusedForNowIsReadAgainUntilItsValuesCome) {
  for (uint8_t protocol : {protoSnp, protoSnpX}) {
    SCOPED_TRACE(Name(protocol));
    TSimRig rig(protocol);
    rig.Plc.setPrivilegeLevel(0);
    rig.AddRegisterRead(4, 0);
    rig.Run(2000);
    EXPECT_GE(rig.Engine.Statistics().Naks, 1u);
    rig.Plc.setPrivilegeLevel(2);
    rig.Run(40000);
    rig.Drain();
    ASSERT_FALSE(rig.Owner.Delivered.empty());
    const TDelivered& last = rig.Owner.Delivered.back();
    EXPECT_FALSE(last.Values.count("STATUS_CODE") && last.Int("STATUS_CODE") != 0) << "the values came";
    EXPECT_TRUE(last.Values.count("R1"));
    rig.ExpectRegisterRows(4);
  }
}

// A read of memory the PLC does not have is refused whenever it is sent: one attempt, no more.
TEST(ReadOnce, ReadOfMemoryThePlcLacksIsNotSentAgain) {
  for (uint8_t protocol : {protoSnp, protoSnpX}) {
    SCOPED_TRACE(Name(protocol));
    TSimRig rig(protocol);
    TRequestItem& request = rig.AddRequest("PLC1", kRegisters, 40000, 4, 0);
    request.Timeout = 1000;
    rig.Run(60000);
    rig.Drain();
    EXPECT_EQ(rig.Engine.Statistics().Naks, 1u);
    EXPECT_EQ(rig.Owner.Failures.size(), 1u);
  }
}

// --- fair turns ------------------------------------------------------------------------------

TEST(FairTurns, RequestsPolledEveryMillisecondEachGetTheirTurn) {
  for (const TSpeedCase& speed : SpeedCases()) {
    for (uint8_t protocol : kProtocols) {
      for (int requests : {2, 4}) {
        SCOPED_TRACE(Name(protocol) + ", " + std::to_string(requests) + " requests, " + speed.Name);
        TSimRig rig(protocol);
        rig.Engine.SetSpeed(speed.Speed);
        for (int k = 0; k < requests; ++k)
          rig.AddRegisterRead(2 + k, 1).ResponseItems[0]->Name = std::string(1, static_cast<char>('A' + k));
        rig.Run(3000);
        std::vector<size_t> rows(static_cast<size_t>(requests));
        for (const TDelivered& row : rig.Owner.Delivered)
          for (int k = 0; k < requests; ++k)
            if (row.Values.count(std::string(1, static_cast<char>('A' + k)) + "1"))
              ++rows[static_cast<size_t>(k)];
        const auto [low, high] = std::minmax_element(rows.begin(), rows.end());
        EXPECT_GE(*low, 3u);
        EXPECT_LE(*high - *low, 1u) << "the rows per request differ by at most one turn";
      }
    }
  }
}

}  // namespace
