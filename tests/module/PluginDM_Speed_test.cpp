// The engine's speed settings on the driven clock: kept SNP and SNP-X sessions and when they are
// given up, GE's T4 and T1, the next request as soon as the line is ready, retries, and the
// demotion of a PLC that keeps failing.
#include <gtest/gtest.h>

#include "EngineFrames.h"
#include "EngineSimKit.h"

namespace kelda::enginetest {
namespace {

TSpeedSettings Fast(bool keepSession, bool sendWhenReady) {
  TSpeedSettings speed;
  speed.KeepSession = keepSession;
  speed.SendWhenReady = sendWhenReady;
  return speed;
}

// Counts what the engine put on the line: breaks, attaches, and frames to one SNP ID.
struct TLineCount {
  int Breaks = 0;
  int Attaches = 0;
  std::map<std::string, int> ById;

  void Hook(TFakeOwner& owner) {
    owner.OnFrame = [this](const std::string& frame) {
      if (frame == kBreakCommand) {
        ++Breaks;
        return;
      }
      if (frame.size() < 11 || frame[0] != '\x1B') return;
      if (frame[1] == 'A' || (frame[1] == 'X' && frame[10] == '\0')) ++Attaches;
      if (frame[1] == 'A' || frame[1] == 'X') ++ById[std::string(frame.c_str() + 2)];
    };
  }
};

// Ticks whenever the engine's timer would: at once when the engine asked for a tick now, else
// after the interval it runs its timer at. Answers due by then come in first, as a host's data
// calls do meanwhile.
void RunByTimer(TSimRig& rig, uint64_t ms) {
  const uint64_t end = gNow + ms;
  int atOnce = 0;
  while (gNow < end) {
    const uint32_t next = rig.Engine.NextTickMs();
    if (next > 0 || ++atOnce > 2) {
      rig.Advance(std::max<uint32_t>(next, 1));
      atOnce = 0;
    }
    rig.Pump();
    rig.Tick();
    rig.Pump();
  }
}

// Ticks when the engine asks until `frames` frames have left, or 100 ticks; answers when each
// frame left, on the driven clock.
std::vector<uint64_t> TickUntilSent(TEngineRig& rig, size_t frames) {
  std::vector<uint64_t> sentAt;
  rig.Owner.OnFrame = [&sentAt](const std::string&) { sentAt.push_back(gNow); };
  for (int i = 0; i < 100 && sentAt.size() < frames; ++i) {
    rig.Advance(rig.Engine.NextTickMs());
    rig.Tick();
  }
  rig.Owner.OnFrame = nullptr;
  return sentAt;
}

// An SNP attach response that names `t1` ms (the larger of the two sides' T1).
std::string SnpAttachAnswerWithT1(uint16_t t1) {
  std::string frame = std::string("\x1BR") + std::string("PLC1\0\0\0\0", 8) + HexDigits(t1 & 0xFF, 2) +
                      HexDigits(t1 >> 8, 2) + "0   \x17" + std::string(3, '\0');
  return frame + HexDigits(SnpBcc(U(frame), frame.size()), 2);
}

// A mailbox reply carrying the sequence number `sequence`.
std::string MailboxWithSequence(uint8_t kind, const std::string& six, uint8_t sequence) {
  std::string frame = Mailbox(kind, six);
  frame.pop_back();
  frame[8] = static_cast<char>(sequence);
  return WithBcc(frame);
}

TEST(KeepSession, ReadsWithoutBreakAndAttachUntilTheLinkIdlesPastTheMarginOrThePortOpens) {
  for (uint8_t protocol : {protoSnp, protoSnpX}) {
    SCOPED_TRACE(Name(protocol));
    TSimRig rig(protocol);
    rig.Engine.SetSpeed(Fast(true, false));
    TRequestItem& request = rig.AddRegisterRead(4, 1000);
    TLineCount line;
    line.Hook(rig.Owner);

    rig.Run(5000);
    EXPECT_EQ(line.Breaks, 1);
    EXPECT_EQ(line.Attaches, 1);
    EXPECT_GE(rig.Owner.Delivered.size(), 4u);
    rig.ExpectRegisterRows(4);
    EXPECT_TRUE(rig.Engine.SessionKept());
    EXPECT_TRUE(rig.Plc.sessionOpen());

    // Read every 2.5 s the line idles well under the margin: the session stays.
    request.PollInterval = 2500;
    rig.Run(5000);
    EXPECT_EQ(line.Breaks, 1);

    // Every 3.5 s it idles past it: each read attaches again, though the PLC (10 s) would still
    // hold the session; a Series 90-70 (5 s) might not.
    request.PollInterval = 3500;
    const int breaksBefore = line.Breaks;
    const size_t rows = rig.Owner.Delivered.size();
    rig.Run(8000);
    const int reads = static_cast<int>(rig.Owner.Delivered.size() - rows);
    EXPECT_GE(reads, 2);
    EXPECT_GE(line.Breaks - breaksBefore, reads) << "every read attached";
    EXPECT_LE(line.Breaks - breaksBefore, reads + 1);
    EXPECT_EQ(line.Attaches, line.Breaks);

    // A port opened anew has no session.
    request.PollInterval = 1000;
    rig.Run(2000);
    const int breaks = line.Breaks;
    rig.Engine.RequestReset(2);
    rig.Run(3000);
    EXPECT_EQ(line.Breaks, breaks + 1);
    rig.ExpectRegisterRows(4);
    EXPECT_TRUE(rig.Owner.Failures.empty());
  }
}

TEST(KeepSession, AnyFailureAttachesAgainAndNoLateAnswerIsTakenForTheNextRead) {
  for (uint8_t protocol : {protoSnp, protoSnpX}) {
    SCOPED_TRACE(Name(protocol));
    TSimRig rig(protocol);
    rig.Engine.SetSpeed(Fast(true, true));
    rig.AddRegisterRead(4, 500);
    TLineCount line;
    line.Hook(rig.Owner);
    rig.Run(1000);
    ASSERT_EQ(line.Breaks, 1);
    ASSERT_TRUE(rig.Engine.SessionKept());

    // The PLC answers the next read only after its time-out: the session is given up, the next
    // read breaks and attaches, and the late answer gives no row.
    rig.Plc.faults().lateMs = 2500;  // past the data and the handshake time-out
    const size_t rows = rig.Owner.Delivered.size();
    rig.Run(2600);
    EXPECT_FALSE(rig.Engine.SessionKept());
    rig.Plc.faults().lateMs = 0;
    rig.Run(3000);
    EXPECT_GE(line.Breaks, 2);
    EXPECT_GT(rig.Owner.Delivered.size(), rows);
    rig.ExpectRegisterRows(4);
    ASSERT_FALSE(rig.Owner.Failures.empty());
    EXPECT_NE(rig.Owner.Failures[0].find("time-out"), std::string::npos) << rig.Owner.Failures[0];

    // A spoiled answer gives the session up too.
    rig.Plc.faults().corruptCheck = 1;
    const int breaks = line.Breaks;
    rig.Run(3000);
    EXPECT_EQ(line.Breaks, breaks + 1);
    rig.ExpectRegisterRows(4);
  }
}

// An SNP PLC repeats a reply whose acknowledgement it missed. In a kept session each read has
// its own sequence number, so the repeat of the last read's reply never answers the next one.
TEST(KeepSession, SnpRepeatedReplyOfTheLastReadIsNotTakenForTheNext) {
  TEngineRig rig(protoSnp);
  rig.Engine.SetSpeed(Fast(true, false));
  TRequestItem& request = rig.AddRequest("PLC1", 0x08, 0, 2);
  TEngineRig::AddItem(request, "V", dtD16, 0, 2);
  rig.Tick();
  rig.Advance(TSerialPortDM::kBreakMs + TSerialPortDM::kT4Ms);
  rig.Tick();
  rig.Receive(SnpAttachAnswer());
  rig.Advance(TSerialPortDM::kOwnT1Ms);
  rig.Tick();
  rig.Receive(kSnpAck);
  rig.Receive(MailboxWithSequence(0xD4, Bytes({1, 0, 2, 0, 0, 0}), 1));
  ASSERT_EQ(rig.Owner.Delivered.size(), 1u);
  rig.Advance(TSerialPortDM::kOwnT1Ms);
  rig.Tick();  // the acknowledgement
  rig.Owner.TakeSent();

  rig.Advance(1000);
  rig.Tick();
  std::vector<std::string> sent = rig.Owner.TakeSent();
  ASSERT_EQ(sent.size(), 1u) << "no break, no attach";
  ASSERT_EQ(sent[0].substr(0, 2), "\x1BM");
  EXPECT_EQ(static_cast<uint8_t>(sent[0][8]), 2);
  rig.Receive(kSnpAck);
  rig.Receive(MailboxWithSequence(0xD4, Bytes({1, 0, 2, 0, 0, 0}), 1));
  EXPECT_EQ(rig.Owner.Delivered.size(), 1u) << "the repeat of the first read's reply";
  rig.Receive(MailboxWithSequence(0xD4, Bytes({0, 3, 0, 4, 0, 0}), 2));
  ASSERT_EQ(rig.Owner.Delivered.size(), 2u);
  EXPECT_EQ(rig.Owner.Delivered[1].Int("V1"), 3);
  EXPECT_EQ(rig.Owner.Delivered[1].Int("V2"), 4);
}

TEST(LineTiming, AttachWaitsT4AfterTheBreakAndEverySnpFrameTheNegotiatedT1) {
  TEngineRig rig(protoSnp);
  rig.Engine.SetSpeed(Fast(false, true));
  TRequestItem& request = rig.AddRequest("PLC1", 0x08, 0, 2);
  TEngineRig::AddItem(request, "V", dtD16, 0, 2);
  rig.Tick();
  EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{kBreakCommand});
  // The break lasts 100 ms from its request, then the line stays quiet for T4.
  rig.Advance(100);
  rig.Tick();
  EXPECT_TRUE(rig.Owner.TakeSent().empty());
  EXPECT_EQ(rig.Engine.NextTickMs(), 50u);
  rig.Advance(49);
  rig.Tick();
  EXPECT_TRUE(rig.Owner.TakeSent().empty());
  rig.Advance(1);
  rig.Tick();
  EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{SnpAttachFrame(request)});

  // The PLC names a T1 of 20 ms: the mailbox request and each acknowledgement wait for it.
  rig.Receive(SnpAttachAnswerWithT1(20));
  EXPECT_EQ(rig.Engine.NegotiatedT1(), 20u);
  EXPECT_TRUE(rig.Owner.TakeSent().empty());
  EXPECT_EQ(rig.Engine.NextTickMs(), 20u);
  rig.Advance(19);
  rig.Tick();
  EXPECT_TRUE(rig.Owner.TakeSent().empty());
  rig.Advance(1);
  rig.Tick();
  std::vector<std::string> sent = rig.Owner.TakeSent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].substr(0, 2), "\x1BM");
  rig.Advance(3);
  rig.Receive(kSnpAck);
  rig.Advance(5);
  rig.Receive(Mailbox(0xD4, Bytes({1, 0, 2, 0, 0, 0})));
  EXPECT_EQ(rig.Owner.Delivered.size(), 1u);
  EXPECT_TRUE(rig.Owner.TakeSent().empty()) << "the acknowledgement waits T1 after the reply";
  rig.Advance(19);
  rig.Tick();
  EXPECT_TRUE(rig.Owner.TakeSent().empty());
  rig.Advance(1);
  rig.Tick();
  EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{kSnpAck});

  // Without the speed settings the attach follows the break at once, and nothing waits.
  TEngineRig plain(protoSnp);
  TRequestItem& other = plain.AddRequest("PLC1", 0x08, 0, 2);
  plain.Tick();
  EXPECT_EQ(plain.Owner.TakeSent(), (std::vector<std::string>{kBreakCommand, SnpAttachFrame(other)}));
  plain.Receive(SnpAttachAnswerWithT1(20));
  EXPECT_EQ(plain.Owner.TakeSent().size(), 1u);
  EXPECT_EQ(plain.Engine.NextTickMs(), TSerialPortDM::kTickMs);
}

// GE's gaps hold the attach back 150 ms after its break: a short handshake time-out must count
// from then, and frames of an exchange that ended while they waited (a time-out, PORT-OPEN) must
// never reach the line, or every new exchange finds an old attach in front of it.
TEST(LineTiming, HeldFramesOfAnEndedExchangeNeverLeaveAndTheHoldIsNotTheHandshakesTime) {
  TEngineRig rig(protoSnpX);
  rig.Engine.SetSpeed(Fast(true, false));
  TRequestItem& request = rig.AddRequest("PLC1", 0x08, 0, 2);
  TEngineRig::AddItem(request, "V", dtD16, 0, 2);
  request.HandshakeTimeout = 100;
  rig.Tick();
  EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{kBreakCommand});
  rig.Advance(120);
  rig.Tick();  // the attach still waits for T4; the handshake's 100 ms have not begun
  EXPECT_TRUE(rig.Owner.TakeSent().empty());
  rig.Advance(30);
  rig.Tick();
  EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{SnpXAttachFrame(request)});
  rig.Receive(SnpXAttachAnswer());
  rig.Receive(SnpXReadAnswer(Bytes({1, 2, 3, 4})));
  EXPECT_EQ(rig.Owner.Delivered.size(), 1u);

  // PORT-OPEN while the next exchange's attach waits for the line: the new port sees a break
  // first, and only one attach after it.
  rig.Owner.TakeSent();
  rig.Advance(60000);
  rig.Tick();
  EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{kBreakCommand});
  rig.Advance(100);
  rig.Engine.RequestReset(2);
  rig.Tick();  // the reset itself
  std::vector<std::string> sent;
  for (int k = 0; k < 10; ++k) {
    rig.Advance(50);
    rig.Tick();
    for (std::string& frame : rig.Owner.TakeSent()) sent.push_back(std::move(frame));
  }
  ASSERT_GE(sent.size(), 2u);
  EXPECT_EQ(sent[0], kBreakCommand) << "an attach held for the old port went out on the new one";
  EXPECT_EQ(sent[1], SnpXAttachFrame(request));
}

// The next request leaves the moment the exchange has ended: SNP-X after the response, CCM after
// the EOTs, SNP after its last acknowledgement and the negotiated T1 around it. Nothing leaves
// earlier or later, and the default mode keeps the tick's rhythm.
TEST(SendWhenReady, NextReadLeavesAsSoonAsTheExchangeHasEnded) {
  struct Case {
    uint8_t Protocol;
    size_t Frames;  // up to the next request's first: SNP acknowledges the reply first
    uint32_t Gap;   // from the end of the exchange to that frame
  };
  // GE mandates no gap after an SNP-X response or a CCM transaction's last EOT, and the engine
  // adds none; SNP keeps T1 before its acknowledgement and again before the next request.
  const uint32_t t1 = TSerialPortDM::kOwnT1Ms;
  for (const Case& c : {Case{protoSnpX, 1, 0}, Case{protoSnp, 2, 2 * t1}, Case{protoCcmMasterSlave, 1, 0},
                        Case{protoCcmPeerToPeer, 1, 0}}) {
    SCOPED_TRACE(Name(c.Protocol));
    TSimRig rig(c.Protocol);
    rig.Engine.SetSpeed(Fast(true, true));
    rig.AddRegisterRead(2).PollInterval = 0;  // as often as the line allows
    RunByTimer(rig, 1000);
    const size_t rows = rig.Owner.Delivered.size();
    ASSERT_GE(rows, 1u);
    rig.ExpectRegisterRows(2);

    // The PLC answers at once: the exchange ends, EOTs included, in the millisecond of the answer.
    while (rig.Owner.Delivered.size() == rows) {
      rig.Advance(1);
      rig.Tick();
      rig.Pump();
    }
    const uint64_t answered = gNow;
    const std::vector<uint64_t> sentAt = TickUntilSent(rig, c.Frames);
    ASSERT_EQ(sentAt.size(), c.Frames);
    if (c.Protocol == protoSnp) {
      EXPECT_EQ(sentAt[0], answered + t1) << "the acknowledgement waits T1";
    }
    EXPECT_EQ(sentAt.back(), answered + c.Gap);
    rig.Pump();

    // Over a second the fast engine reads at least twice as often as the plain one.
    TSimRig plain(c.Protocol);
    plain.AddRegisterRead(2).PollInterval = 0;
    RunByTimer(plain, 1000);
    EXPECT_EQ(plain.Engine.NextTickMs(), TSerialPortDM::kTickMs);
    EXPECT_GE(rows, 2 * plain.Owner.Delivered.size()) << rows << " against " << plain.Owner.Delivered.size();
  }
}

// A CCM exchange ends with its EOTs, not with the last block: the next enquiry waits for the
// slave's EOT (and, master to slave, the master's answer to it), then leaves at once. A slave
// whose EOT does not come is sent the master's EOT after the handshake time-out; a peer that
// sends none is given a short quiet line. The default mode waits for the EOTs too.
TEST(SendWhenReady, CcmNextEnquiryWaitsForTheEotsThenLeavesAtOnce) {
  for (bool fast : {true, false}) {
    for (uint8_t protocol : {protoCcmMasterSlave, protoCcmPeerToPeer}) {
      const bool master = protocol == protoCcmMasterSlave;
      if (!fast && !master) continue;  // peer to peer, the default mode does not wait for an EOT
      SCOPED_TRACE(Name(protocol) + (fast ? ", send when ready" : ", default"));
      TEngineRig rig(protocol);
      if (fast) rig.Engine.SetSpeed(Fast(false, true));
      TRequestItem& request = rig.AddRequest("2", kRegisters, 1, 2, 1);
      request.HandshakeTimeout = 300;
      const std::string enquiry = CcmEnquiryFrame(protocol, request);
      const std::string eot = Bytes({0x04});
      auto readLastBlock = [&] {
        rig.Receive(master ? Bytes({'N', 0x22, 0x06}) : kAck1);
        rig.Receive(kAck1);
        rig.Receive(CcmBlock(Bytes({0x12, 0x34}), true));
        EXPECT_EQ(rig.Owner.TakeSent(), (std::vector<std::string>{CcmHeaderFrame(request, 1.0), kAck1}));
      };
      rig.Tick();
      ASSERT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{enquiry});
      readLastBlock();
      ASSERT_EQ(rig.Owner.Delivered.size(), 1u);

      // The slave's EOT takes 15 ms: the ticks meanwhile send nothing.
      for (int ms = 1; ms <= 15; ++ms) {
        rig.Advance(1);
        rig.Tick();
        ASSERT_TRUE(rig.Owner.TakeSent().empty()) << ms << " ms after the last block";
      }
      rig.Receive(eot);
      EXPECT_EQ(rig.Owner.TakeSent(), master ? std::vector<std::string>{eot} : std::vector<std::string>{});
      EXPECT_EQ(rig.Engine.NextTickMs(), fast ? 0u : TSerialPortDM::kTickMs);
      rig.Tick();
      EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{enquiry});

      // No EOT at all.
      EXPECT_GE(TSerialPortDM::kCcmPeerEotWaitMs, 220u) << "a peer's EOT at 300 baud would be overtaken";
      readLastBlock();
      const uint32_t wait = master ? 300 : TSerialPortDM::kCcmPeerEotWaitMs;
      rig.Advance(wait - 1);
      rig.Tick();
      EXPECT_TRUE(rig.Owner.TakeSent().empty());
      rig.Advance(1);
      rig.Tick();
      EXPECT_EQ(rig.Owner.TakeSent(),
                master ? (std::vector<std::string>{eot, enquiry}) : std::vector<std::string>{enquiry});
      EXPECT_EQ(rig.Owner.Delivered.size(), 2u);
      EXPECT_TRUE(rig.Owner.Failures.empty());
    }
  }
}

// An error answer ends the exchange as an answer does: the next read follows at once (SNP: T1).
TEST(SendWhenReady, AnErrorAnswerEndsTheExchangeToo) {
  TSimRig rig(protoSnp);
  rig.Engine.SetSpeed(Fast(true, true));
  rig.AddRegisterRead(2).PollInterval = 0;
  rig.Plc.faults().errorNack = 1;
  for (int ms = 0; ms < 5000 && rig.Owner.Failures.empty(); ++ms) {
    rig.Advance(1);
    rig.Tick();
    rig.Pump();
  }
  ASSERT_EQ(rig.Owner.Failures.size(), 1u);
  EXPECT_LE(rig.Engine.NextTickMs(), TSerialPortDM::kOwnT1Ms) << "the next read waits for the plain tick";
}

// A slave slow to send its EOT (every answer 80 ms late, longer than a tick) is never overtaken
// by the next enquiry, in either mode.
TEST(SendWhenReady, SlowCcmSlaveIsNeverOvertakenByTheNextEnquiry) {
  for (bool fast : {false, true}) {
    SCOPED_TRACE(fast ? "send when ready" : "default");
    TSimRig rig(protoCcmMasterSlave);
    if (fast) rig.Engine.SetSpeed(Fast(false, true));
    rig.Plc.faults().lateMs = 80;
    rig.AddRegisterRead(2, 1);
    RunByTimer(rig, 3000);
    EXPECT_GE(rig.Owner.Delivered.size(), 5u);
    EXPECT_EQ(rig.Plc.counters().sequenceErrors, 0);
    EXPECT_TRUE(rig.Owner.Failures.empty());
    rig.ExpectRegisterRows(2);
  }
}

TEST(Retries, FailedTransactionIsRepeatedAtOnceAndCountsAsOneOutcome) {
  for (uint8_t protocol : kProtocols) {
    SCOPED_TRACE(Name(protocol));
    TSimRig rig(protocol);
    TSpeedSettings speed;
    speed.Retries = 2;
    rig.Engine.SetSpeed(speed);
    TRequestItem& request = rig.AddRegisterRead(2, 60000);
    request.HandshakeTimeout = 300;

    // Two openings go unanswered: the third attempt brings the row, and nothing failed.
    rig.Plc.faults().silent = 2;
    rig.Run(1200);
    EXPECT_EQ(rig.Owner.Delivered.size(), 1u);
    rig.ExpectRegisterRows(2);
    EXPECT_TRUE(rig.Owner.Failures.empty());
    TEngineStatistics s = rig.Engine.Statistics();
    EXPECT_EQ(s.Retries, 2u);
    EXPECT_EQ(s.Timeouts, 2u);
    EXPECT_EQ(s.Answers, 1u);
    EXPECT_EQ(s.Requests, 3u);

    // Three silent openings: the transaction fails once, after its two repeats.
    rig.Plc.faults().silent = 3;
    rig.Engine.RequestReset(2);
    rig.Run(1500);
    EXPECT_EQ(rig.Owner.Delivered.size(), 1u);
    ASSERT_EQ(rig.Owner.Failures.size(), 1u);
    EXPECT_NE(rig.Owner.Failures[0].find("handshake time-out"), std::string::npos);
    s = rig.Engine.Statistics();
    EXPECT_EQ(s.Retries, 4u);
    EXPECT_EQ(s.Timeouts, 5u);
  }
}

TEST(Retries, RefusalsAndSpoiledAnswersFromTheReceivePathAreRepeatedAtTheNextTick) {
  TSimRig rig(protoCcmPeerToPeer);
  TSpeedSettings speed;
  speed.Retries = 1;
  rig.Engine.SetSpeed(speed);
  rig.AddRegisterRead(2, 60000);
  rig.Plc.faults().nak = 1;
  rig.Tick();
  rig.Pump();  // refused
  EXPECT_TRUE(rig.Owner.Delivered.empty());
  EXPECT_LE(rig.Engine.NextTickMs(), 1u) << "repeated at once";
  rig.Advance(1);
  rig.Tick();
  rig.Pump();
  EXPECT_EQ(rig.Owner.Delivered.size(), 1u);
  EXPECT_TRUE(rig.Owner.Failures.empty());
  EXPECT_EQ(rig.Engine.Statistics().Retries, 1u);
}

TEST(Demotion, FailingPlcIsSkippedForItsTimeThenTriedOnceWhileOthersKeepTheirRhythm) {
  TSimRig rig(protoSnpX);
  TSpeedSettings speed;
  speed.DemoteAfter = 2;
  speed.DemoteFor = 10000;
  rig.Engine.SetSpeed(speed);
  TRequestItem& gone = rig.AddRequest("PLC9", kRegisters, 0, 2, 500);  // no such PLC on the line
  gone.HandshakeTimeout = 300;
  rig.AddRegisterRead(2, 500);
  TLineCount line;
  line.Hook(rig.Owner);

  rig.Run(1600);
  EXPECT_EQ(line.ById["PLC9"], 2);
  TEngineStatistics s = rig.Engine.Statistics();
  EXPECT_EQ(s.Demotions, 1u);
  EXPECT_EQ(s.Demoted, 1u);
  EXPECT_EQ(rig.Owner.Failures.size(), 2u);

  // Set aside: not one frame to it, and the other PLC is read every 500 ms.
  const size_t rows = rig.Owner.Delivered.size();
  rig.Run(9000);
  EXPECT_EQ(line.ById["PLC9"], 2);
  EXPECT_GE(rig.Owner.Delivered.size(), rows + 17);
  rig.ExpectRegisterRows(2);

  // Its time is up: one try, which fails and sets it aside again at once.
  rig.Run(1500);
  EXPECT_EQ(line.ById["PLC9"], 3);
  s = rig.Engine.Statistics();
  EXPECT_EQ(s.Demotions, 2u);
  EXPECT_EQ(s.Demoted, 1u);
  rig.Run(5000);
  EXPECT_EQ(line.ById["PLC9"], 3);
}

TEST(Demotion, EndsWithTheFirstAnswerAfterItsTime) {
  for (uint8_t protocol : kProtocols) {
    SCOPED_TRACE(Name(protocol));
    TSimRig rig(protocol);
    TSpeedSettings speed;
    speed.DemoteAfter = 2;
    speed.DemoteFor = 3000;
    speed.Retries = 3;  // a PLC on trial gets no repeat
    rig.Engine.SetSpeed(speed);
    TRequestItem& request = rig.AddRegisterRead(2, 200);
    request.HandshakeTimeout = 300;
    rig.Plc.faults().silent = 2 + 1;  // two failed attempts, with repeats left, then the trial
    rig.Run(2700);
    EXPECT_EQ(rig.Engine.Statistics().Demoted, 1u);
    EXPECT_TRUE(rig.Owner.Delivered.empty());

    rig.Run(3300);  // the trial fails: set aside again
    EXPECT_EQ(rig.Engine.Statistics().Demotions, 2u);
    EXPECT_EQ(rig.Plc.faults().silent, 0);
    EXPECT_TRUE(rig.Owner.Delivered.empty());

    rig.Run(3500);  // the next trial is answered: back to its rhythm
    EXPECT_EQ(rig.Engine.Statistics().Demoted, 0u);
    const size_t rows = rig.Owner.Delivered.size();
    EXPECT_GE(rows, 1u);
    rig.Run(2000);
    EXPECT_GE(rig.Owner.Delivered.size(), rows + 8);
    rig.ExpectRegisterRows(2);
  }
}

}  // namespace
}  // namespace kelda::enginetest
