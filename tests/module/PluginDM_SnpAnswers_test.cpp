// SNP and SNP-X answers that must not turn into wrong values or waits: the completion mailbox
// of a short read, which carries the PLC's status behind the data; a mailbox the PLC refused
// with a NAK for a spoiled check; a kept SNP-X session that the PLC has dropped meanwhile. And
// what the engine tells of an answer that is on its way.
#include <gtest/gtest.h>

#include "EngineFrames.h"
#include "EngineSimKit.h"

namespace kelda::enginetest {
namespace {

TSpeedSettings KeepSessions() {
  TSpeedSettings speed;
  speed.KeepSession = true;
  return speed;
}

// An X-Response that reports the PLC's error: no status word, no data.
std::string SnpXErrorAnswer(uint8_t major, uint8_t minor) {
  return WithBcc(std::string("\x1B\x58\x81\x00\x00", 5) + static_cast<char>(major) +
                 static_cast<char>(minor) + std::string("\x00\x00\x17\x00\x00\x00\x00", 7));
}

int ErrorRows(const TFakeOwner& owner) {
  int rows = 0;
  for (const TDelivered& row : owner.Delivered)
    rows += row.Values.count("STATUS_CODE") && row.Int("STATUS_CODE") != 0 ? 1 : 0;
  return rows;
}

// A read whose data fits the completion mailbox gets it there, followed by the PLC's piggy-back
// status (program, privilege, sweep time, status word). Items past the read's bytes take their
// Default, however the read is sized: words, bytes or bits, on and off byte boundaries.
TEST(SnpShortReads, ItemsPastTheReadTakeTheirDefaultNotThePlcStatus) {
  struct TCase {
    uint8_t Memory;
    int32_t Offset;
    int32_t Size;
    int32_t Bytes;  // what the PLC sends for it
  };
  const TCase cases[] = {
      {kRegisters, 0, 1, 2}, {kRegisters, 5, 2, 4}, {kRegisters, 0, 3, 6}, {0x10, 0, 1, 1},
      {0x10, 3, 5, 5},       {0x4C, 0, 8, 1},       {0x4C, 5, 6, 2},       {0x46, 7, 41, 6},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE("memory " + std::to_string(c.Memory) + " offset " + std::to_string(c.Offset) + " size " +
                 std::to_string(c.Size));
    TSimRig rig(protoSnp);
    rig.Plc.setPlcStatusWord(0x2054);
    for (uint32_t i = 0; i < 64; ++i) {
      rig.Plc.setBit(0x4C, i, i % 3 == 0);
      rig.Plc.setBit(0x46, i, i % 5 != 1);
    }
    TRequestItem& request = rig.AddRequest("PLC1", c.Memory, c.Offset, c.Size, 200);
    TResponseItem& item = TEngineRig::AddItem(request, "B", dtD8, 0, 12);
    item.DefaultValue = "77";
    rig.Run(500);
    ASSERT_GE(rig.Owner.Delivered.size(), 1u);
    const std::vector<uint8_t> plc =
        rig.Plc.readBytes(c.Memory, static_cast<uint32_t>(c.Offset), static_cast<uint32_t>(c.Size));
    ASSERT_EQ(static_cast<int32_t>(plc.size()), c.Bytes);
    for (const TDelivered& row : rig.Owner.Delivered) {
      for (int32_t k = 0; k < 12; ++k) {
        const int64_t expected = k < c.Bytes ? plc[static_cast<size_t>(k)] : 77;
        EXPECT_EQ(row.Int("B" + std::to_string(k + 1)), expected) << "byte " << k;
      }
    }
  }
}

// GE's rule for a NAK that reports a spoiled check (or an overrun): the same packet again at
// once, at most twice; then the exchange is over.
TEST(SnpMailboxNak, SpoiledMailboxIsSentAgainAtOnceAtMostTwice) {
  TEngineRig rig(protoSnp);
  TRequestItem& request = rig.AddRequest("PLC1", kRegisters, 0, 1);
  TEngineRig::AddItem(request, "R", dtD16, 0);
  rig.Tick();
  rig.Receive(SnpAttachAnswer());
  const std::vector<std::string> first = rig.Owner.TakeSent();
  ASSERT_EQ(first.size(), 3u);  // break, attach, mailbox
  const std::string mailbox = first.back();
  ASSERT_EQ(mailbox, SnpMailboxReadFrame(request, 1));

  rig.Receive(Bytes({NAK, 0x00}));
  EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{mailbox}) << "the same packet, sequence too";
  EXPECT_EQ(request.Step, stMailboxSent);
  rig.Receive(Bytes({NAK, 0x01}));
  EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{mailbox});
  EXPECT_TRUE(rig.Owner.Failures.empty());
  rig.Receive(kSnpAck);
  rig.Receive(Mailbox(0xD4, Bytes({0x12, 0x34, 0, 0, 0, 0})));
  ASSERT_EQ(rig.Owner.Delivered.size(), 1u);
  EXPECT_EQ(rig.Owner.Delivered[0].Int("R"), 0x1234);

  // Three NAKs in a row: two repeats, then the transaction ends without waiting for its time-out,
  // and the refusal is what the failure names.
  rig.Owner.TakeSent();
  rig.Advance(1000);
  rig.Tick();
  rig.Receive(SnpAttachAnswer());
  rig.Owner.TakeSent();
  rig.Receive(Bytes({NAK, 0x00}));
  rig.Receive(Bytes({NAK, 0x00}));
  EXPECT_EQ(rig.Owner.TakeSent().size(), 2u);
  EXPECT_TRUE(request.Busy);
  rig.Receive(Bytes({NAK, 0x00}));
  EXPECT_TRUE(rig.Owner.TakeSent().empty());
  EXPECT_FALSE(request.Busy);
  EXPECT_EQ(rig.Engine.FLastReq, nullptr);
  ASSERT_EQ(rig.Owner.Failures.size(), 1u);
  EXPECT_NE(rig.Owner.Failures[0].find("NAK"), std::string::npos) << rig.Owner.Failures[0];
  EXPECT_EQ(rig.Engine.Statistics().Naks, 5u) << "every NAK counts";
}

// Against the simulated PLC, which NAKs a mailbox whose check it finds spoiled: the read still
// gives its row well within the handshake time-out, with no repeat of the transaction configured.
TEST(SnpMailboxNak, RefusedMailboxCostsNoTimeOutAgainstThePlc) {
  TSimRig rig(protoSnp);
  rig.AddRegisterRead(2, 1000);
  rig.Plc.faults().nak = 2;
  rig.Run(200);
  ASSERT_EQ(rig.Owner.Delivered.size(), 1u);
  rig.ExpectRegisterRows(2);
  EXPECT_TRUE(rig.Owner.Failures.empty());
  EXPECT_EQ(rig.Plc.counters().naks, 2);
}

// A kept SNP-X session the PLC no longer holds (its link idle time ran out, it was switched off
// and on): it answers the read with "no session". That is no answer to report: the engine
// attaches again and repeats the read once, and only what that brings counts.
TEST(SnpXDroppedSession, IsAttachedAgainAndTheReadRepeatedBeforeAnythingIsReported) {
  TSimRig rig(protoSnpX);
  rig.Engine.SetSpeed(KeepSessions());
  rig.AddRegisterRead(4, 1000);
  int breaks = 0;
  rig.Owner.OnFrame = [&breaks](const std::string& frame) { breaks += frame == kBreakCommand ? 1 : 0; };
  rig.Run(2100);
  ASSERT_EQ(breaks, 1);
  ASSERT_TRUE(rig.Engine.SessionKept());
  const size_t rows = rig.Owner.Delivered.size();

  rig.Plc.lineBreak(gNow);  // the PLC's side of the session is gone; the engine does not know
  rig.Run(1000);
  EXPECT_EQ(ErrorRows(rig.Owner), 0) << "no error row for a session the engine could open again";
  EXPECT_TRUE(rig.Owner.Failures.empty()) << rig.Owner.Failures[0];
  EXPECT_EQ(breaks, 2);
  EXPECT_EQ(rig.Owner.Delivered.size(), rows + 1);
  rig.ExpectRegisterRows(4);
  EXPECT_TRUE(rig.Engine.SessionKept());
}

// What the engine sends within the next 200 ms, ticking as its timer would: frames that wait for
// GE's line timing (the attach after the break) leave meanwhile.
std::vector<std::string> SentWithin200Ms(TEngineRig& rig) {
  for (int i = 0; i < 4; ++i) {
    rig.Advance(TSerialPortDM::kTickMs);
    rig.Tick();
  }
  return rig.Owner.TakeSent();
}

// The read is repeated once only: a PLC that answers "no session" to the fresh attach too is
// reported as before, with its error row, and the engine does not attach again in a loop.
TEST(SnpXDroppedSession, TheRepeatedReadIsReportedWhateverItBrings) {
  TEngineRig rig(protoSnpX);
  rig.Engine.SetSpeed(KeepSessions());
  TRequestItem& request = rig.AddRequest("PLC1", kRegisters, 0, 1);
  TEngineRig::AddItem(request, "R", dtD16, 0);
  const std::vector<std::string> opening{kBreakCommand, SnpXAttachFrame(request)};
  const std::vector<std::string> read{SnpXReadFrame(request)};
  rig.Tick();
  ASSERT_EQ(SentWithin200Ms(rig), opening);
  rig.Receive(SnpXAttachAnswer());
  rig.Receive(SnpXReadAnswer(Bytes({1, 2})));
  ASSERT_EQ(rig.Owner.Delivered.size(), 1u);
  ASSERT_TRUE(rig.Engine.SessionKept());
  rig.Owner.TakeSent();

  rig.Advance(1000);
  rig.Tick();
  ASSERT_EQ(rig.Owner.TakeSent(), read) << "read in the kept session";
  rig.Receive(SnpXErrorAnswer(0x0F, 0x01));
  EXPECT_EQ(rig.Owner.Delivered.size(), 1u);
  EXPECT_TRUE(rig.Owner.Failures.empty());
  ASSERT_EQ(SentWithin200Ms(rig), opening);
  rig.Receive(SnpXAttachAnswer());
  EXPECT_EQ(SentWithin200Ms(rig), read);
  rig.Receive(SnpXErrorAnswer(0x0F, 0x01));
  ASSERT_EQ(rig.Owner.Delivered.size(), 2u);
  EXPECT_EQ(rig.Owner.Delivered[1].Int("STATUS_CODE"), 0x010F);
  EXPECT_EQ(rig.Owner.Failures.size(), 1u);
  EXPECT_FALSE(request.Busy);
  EXPECT_TRUE(SentWithin200Ms(rig).empty()) << "no attach in a loop";

  // An error that has nothing to do with the session is reported at once, kept session or not.
  rig.Advance(1000);
  rig.Tick();
  ASSERT_EQ(SentWithin200Ms(rig), opening);
  rig.Receive(SnpXAttachAnswer());
  rig.Receive(SnpXReadAnswer(Bytes({3, 4})));
  ASSERT_EQ(rig.Owner.Delivered.size(), 3u);
  rig.Owner.TakeSent();
  rig.Advance(1000);
  rig.Tick();
  ASSERT_EQ(rig.Owner.TakeSent(), read);
  rig.Receive(SnpXErrorAnswer(0x0F, 0x04));
  ASSERT_EQ(rig.Owner.Delivered.size(), 4u);
  EXPECT_EQ(rig.Owner.Delivered[3].Int("STATUS_CODE"), 0x040F);
  EXPECT_EQ(rig.Owner.Failures.size(), 2u);
}

// An answer arriving a byte at a time: from its start on, the engine knows how much of it is in
// and, once its length field has come, how long it is; nothing once it is taken.
TEST(SnpArrivingFrame, StartHaveAndLengthOfTheAnswerOnItsWay) {
  for (uint8_t protocol : {protoSnp, protoSnpX}) {
    SCOPED_TRACE(Name(protocol));
    TEngineRig rig(protocol);
    TRequestItem& request = rig.AddRequest("PLC1", kRegisters, 0, 40);
    rig.Tick();
    const std::string data(80, '\x1B');  // every data byte a start character
    std::string answer;
    if (protocol == protoSnpX) {
      rig.Receive(SnpXAttachAnswer());
      answer = SnpXReadAnswer(data);
    } else {
      rig.Receive(SnpAttachAnswer());
      rig.Receive(kSnpAck);
      rig.Receive(Mailbox(0x94, std::string(6, '\0'), data.size() + 8));
      answer = TextBuffer(data, 0);
    }
    ASSERT_EQ(request.Step, stAwaitingData);
    EXPECT_FALSE(rig.Engine.ArrivingFrame().Arriving());
    rig.Receive("\x42\x42");  // noise before it: no frame starts there
    for (size_t k = 0; k + 1 < answer.size(); ++k) {
      rig.Receive(answer.substr(k, 1));
      const TFrameProgress progress = rig.Engine.ArrivingFrame();
      ASSERT_TRUE(progress.Arriving()) << k;
      EXPECT_EQ(progress.Start, 2) << k;
      EXPECT_EQ(progress.Have, static_cast<int32_t>(k + 1)) << k;
      // SNP-X tells its length in the frame (from its ninth byte on); SNP's text buffer was
      // announced by the mailbox before it (known from its type, the second byte), as a whole
      // message or as its data alone: the longer reading counts until the shorter has failed.
      if (protocol == protoSnp)
        EXPECT_EQ(progress.Length, k >= 1 ? static_cast<int32_t>(answer.size()) + 8 : 0) << k;
      else
        EXPECT_EQ(progress.Length, k >= 8 ? static_cast<int32_t>(answer.size()) : 0) << k;
    }
    rig.Receive(answer.substr(answer.size() - 1));
    EXPECT_EQ(rig.Owner.Delivered.size(), 1u);
    EXPECT_FALSE(rig.Engine.ArrivingFrame().Arriving());
  }
}

}  // namespace
}  // namespace kelda::enginetest
