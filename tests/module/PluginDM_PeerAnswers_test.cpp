// What real peers send beyond the letter of the protocols (an SNP-X answer one byte longer than
// the read, a CCM block check over the data alone, a pad byte after an odd byte count, bit reads
// off a byte boundary), and step rules that only a real line exercises: the handshake time-outs
// of every step, stale bytes of an abandoned exchange, a settings reload in the middle of an
// answer.
#include <gtest/gtest.h>

#include "EngineFrames.h"
#include "EngineSimKit.h"

using namespace kelda;
using namespace kelda::enginetest;

namespace {

// --- SNP-X: one byte more than asked -------------------------------------------------------------

TEST(PeerAnswers, SnpXAnswerOneByteLongerGivesOnlyTheBytesAsked) {
  struct Case {
    uint8_t Memory;
    int32_t Size;
    std::string Data;  // as the slave sends it
    bool Row;
  };
  const Case cases[] = {
      {0x08, 2, Bytes({0x34, 0x12, 0x78, 0x56}), true},        // exact
      {0x08, 2, Bytes({0x34, 0x12, 0x78, 0x56, 0xEE}), true},  // one more
      {0x08, 2, Bytes({0x34, 0x12, 0x78, 0x56, 0xEE, 0xEE}), false},
      {0x08, 2, Bytes({0x34, 0x12, 0x78}), false},
      {0x46, 16, Bytes({0x34, 0x12, 0xEE}), true},  // bits: one byte more than the two that hold them
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.Memory) + ", " + std::to_string(c.Data.size()) + " bytes");
    TEngineRig rig(protoSnpX);
    TRequestItem& request = rig.AddRequest("PLC1", c.Memory, 0, c.Size);
    TEngineRig::AddItem(request, "W", dtD16, 0).LE = true;
    TEngineRig::AddItem(request, "X", dtD16, 2).LE = true;
    rig.Tick();
    rig.Receive(SnpXAttachAnswer());
    rig.Receive(SnpXReadAnswer(c.Data));
    ASSERT_EQ(rig.Owner.Delivered.size(), c.Row ? 1u : 0u);
    if (!c.Row) continue;
    const TDelivered& row = rig.Owner.Delivered[0];
    EXPECT_EQ(row.Int("W"), 0x1234);
    // The extra byte is never taken: a value past the read's bytes gets its default.
    if (c.Memory == 0x08) {
      EXPECT_EQ(row.Int("X"), 0x5678);
    } else {
      EXPECT_EQ(row.Int("X"), 0);
    }
    EXPECT_EQ(rig.Engine.ResponseData.size(), 0u);
  }
}

// Bits %I5..%I12 (offset 4, 8 bits) lie in two memory bytes: the PLC sends both, and the items
// count from the first whole byte (%I1).
TEST(PeerAnswers, BitReadOffAByteBoundary) {
  for (uint8_t protocol : {protoSnp, protoSnpX}) {
    SCOPED_TRACE(Name(protocol));
    TSimRig rig(protocol);
    const bool pattern[8] = {true, false, true, true, false, false, true, true};
    for (uint32_t k = 0; k < 16; ++k) rig.Plc.setBit(0x46, k, k >= 4 && k < 12 ? pattern[k - 4] : true);
    TRequestItem& request = rig.AddRequest("PLC1", 0x46, 4, 8, 200);
    TResponseItem& item = TEngineRig::AddItem(request, "B", dtBIT, 0, 16);
    item.AppendCnt = true;
    rig.Run(500);
    ASSERT_GE(rig.Owner.Delivered.size(), 1u);
    for (const TDelivered& row : rig.Owner.Delivered) {
      for (int k = 1; k <= 16; ++k) {
        const bool requested = k >= 5 && k <= 12;
        EXPECT_EQ(row.Int("B" + std::to_string(k)) != 0, requested && pattern[k - 5]) << "B" << k;
      }
    }
  }
}

// --- CCM ---------------------------------------------------------------------------------------

TEST(PeerAnswers, CcmBlockCheckOverTheDataAloneIsTaken) {
  for (uint8_t protocol : {protoCcmMasterSlave, protoCcmPeerToPeer}) {
    SCOPED_TRACE(Name(protocol));
    TSimRig rig(protocol);
    rig.Plc.setCcmLrcIncludesFraming(false);
    rig.AddRegisterRead(150, 200);  // a full block and a last one
    rig.Run(2000);
    EXPECT_GE(rig.Owner.Delivered.size(), 5u);
    EXPECT_EQ(static_cast<int>(rig.Owner.Delivered.size()), rig.Plc.counters().completeReads);
    EXPECT_EQ(rig.Engine.Statistics().Checks, 0u);
    rig.ExpectRegisterRows(150);
  }
}

std::string DataOnlyBlock(const std::string& data, bool last) {
  const std::string block = "\x02" + data + (last ? "\x03" : "\x17");
  return block + static_cast<char>(Lrc(U(data), data.size()));
}

TEST(PeerAnswers, AnEmptyLastBlockPassesEitherReading) {
  // A read that fills whole blocks may end with an empty last block.
  for (const std::string& block : {Bytes({STX, ETX, 0x01}), Bytes({STX, ETX, 0x00})}) {
    int32_t length = 2;
    const TFrameMatch m = FindSizedFrameIn(
        U(block), 3, STX, {ETX},
        [](const uint8_t*, int32_t, int32_t, const void* c) {
          TFrameLengths l;
          l.Count = 1;
          l.Length[0] = *static_cast<const int32_t*>(c);
          return l;
        },
        &length, TCheckKind::LrcEither);
    EXPECT_TRUE(m.Found());
  }
}

TEST(PeerAnswers, CcmLastBlockPaddedToAWholeRegister) {
  for (uint8_t protocol : {protoCcmMasterSlave, protoCcmPeerToPeer}) {
    for (bool dataOnlyCheck : {false, true}) {
      SCOPED_TRACE(Name(protocol) + (dataOnlyCheck ? ", data-only LRC" : ""));
      TEngineRig rig(protocol);
      TRequestItem& request = rig.AddRequest("2", 8, 1, 5);  // five bytes
      TEngineRig::AddItem(request, "B", dtD8, 0, 6).AppendCnt = true;
      rig.Tick();
      if (protocol == protoCcmMasterSlave)
        rig.Receive(Bytes({'N', 0x22, ACK}));
      else
        rig.Receive(kAck1);
      rig.Receive(kAck1);
      ASSERT_EQ(request.Step, stAwaitingData);
      const std::string data = Bytes({1, 2, 3, 4, 5, 0});  // and the pad byte
      const std::string block = dataOnlyCheck ? DataOnlyBlock(data, true) : CcmBlock(data, true);
      rig.Receive(block);
      // A station's data-only reading is taken once it sent the same block twice.
      if (dataOnlyCheck) rig.Receive(block);
      ASSERT_EQ(rig.Owner.Delivered.size(), 1u);
      const TDelivered& row = rig.Owner.Delivered[0];
      for (int k = 1; k <= 5; ++k) EXPECT_EQ(row.Int("B" + std::to_string(k)), k);
      EXPECT_EQ(row.Text("B6"), "0") << "the pad byte is no value: B6 has its default";
    }
  }
}

TEST(PeerAnswers, CcmReadOfExactlyOneFullBlock) {
  for (uint8_t protocol : {protoCcmMasterSlave, protoCcmPeerToPeer}) {
    SCOPED_TRACE(Name(protocol));
    TSimRig rig(protocol);
    rig.AddRegisterRead(128, 200);  // 256 bytes
    rig.HostChunk = 100;
    rig.Run(1000);
    EXPECT_GE(rig.Owner.Delivered.size(), 3u);
    EXPECT_EQ(static_cast<int>(rig.Owner.Delivered.size()), rig.Plc.counters().completeReads);
    rig.ExpectRegisterRows(128);
  }
}

// --- handshake time-outs of every step ---------------------------------------------------------

TEST(StepTimeOuts, EveryHandshakeStepGivesUpAfterTheHandshakeTime) {
  struct Case {
    const char* What;
    uint8_t Protocol;
    std::vector<std::string> Answers;
    uint8_t Step;
  };
  const Case cases[] = {
      {"CCM header", protoCcmMasterSlave, {Bytes({'N', 0x22, ACK})}, stHeaderSent},
      {"CCM peer header", protoCcmPeerToPeer, {kAck1}, stHeaderSent},
      {"SNP mailbox", protoSnp, {SnpAttachAnswer()}, stMailboxSent},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    TEngineRig rig(c.Protocol);
    const bool ccm = c.Protocol <= protoCcmPeerToPeer;
    TRequestItem& request = rig.AddRequest(ccm ? "2" : "PLC1", 8, ccm ? 1 : 0, ccm ? 2 : 1, 60000);
    request.Timeout = 5000;  // the data time-out must not be the one that applies
    rig.Tick();
    for (const std::string& answer : c.Answers) rig.Receive(answer);
    ASSERT_EQ(request.Step, c.Step);
    rig.Advance(1990);
    rig.Tick();
    EXPECT_TRUE(request.Busy) << "still waiting before the handshake time";
    rig.Advance(20);
    rig.Tick();
    EXPECT_FALSE(request.Busy);
    EXPECT_EQ(rig.Engine.Statistics().Timeouts, 1u);
  }
}

TEST(StepTimeOuts, AMissingEotHoldsTheQueueOnlyForTheHandshakeTime) {
  // The row is delivered with the last block. The next enquiry, to any slave on the line, waits
  // for the slave's EOT, so that it never meets it on the line nor finds a slave still waiting
  // for the master's; but not for ever: after the handshake time-out the master ends the
  // transaction with its own EOT, and the next due request goes out.
  TEngineRig rig(protoCcmMasterSlave);
  TRequestItem& first = rig.AddRequest("2", 8, 1, 2, 60000);
  TRequestItem& second = rig.AddRequest("3", 8, 1, 2, 60000);
  rig.Tick();
  rig.Receive(Bytes({'N', 0x22, ACK}));
  rig.Receive(kAck1);
  rig.Receive(CcmBlock(Bytes({1, 2}), true));
  EXPECT_EQ(first.Step, stAwaitingEot);
  EXPECT_FALSE(first.Busy);
  rig.Owner.TakeSent();
  rig.Advance(50);
  rig.Tick();
  EXPECT_FALSE(second.Busy);
  EXPECT_TRUE(rig.Owner.TakeSent().empty());
  rig.Advance(1949);
  rig.Tick();
  EXPECT_TRUE(rig.Owner.TakeSent().empty());
  rig.Advance(1);
  rig.Tick();
  EXPECT_TRUE(second.Busy);
  EXPECT_EQ(rig.Owner.TakeSent(),
            (std::vector<std::string>{Bytes({EOT}), CcmEnquiryFrame(protoCcmMasterSlave, second)}));
  EXPECT_EQ(first.Step, stIdle);
  EXPECT_TRUE(rig.Owner.Failures.empty()) << "its answer was taken";
}

// --- stale bytes and reloads -------------------------------------------------------------------

TEST(StaleBytes, AnAbandonedExchangeNeverAnswersTheNextOpening) {
  // CCM peer to peer: a block cut short, a time-out, then an ACK that belonged to the old
  // exchange. The next enquiry must wait for an ACK of its own.
  TEngineRig rig(protoCcmPeerToPeer);
  TRequestItem& request = rig.AddRequest("2", 8, 1, 4, 5000);
  request.Timeout = 1000;
  rig.Tick();
  rig.Receive(kAck1);
  rig.Receive(kAck1);
  rig.Receive(Bytes({STX, 1, 2}));
  rig.Advance(1001);
  rig.Tick();  // times out; not due again before 5 s
  EXPECT_FALSE(request.Busy);
  rig.Receive(kAck1);  // the old exchange's
  rig.Owner.TakeSent();
  rig.Advance(5000);
  rig.Tick();
  EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{Bytes({ENQ})});
  EXPECT_EQ(request.Step, stOpeningSent) << "the stale ACK did not answer the new enquiry";
  rig.Receive(kAck1);
  EXPECT_EQ(request.Step, stHeaderSent);
}

TEST(StaleBytes, SettingsReloadBetweenTwoDataCallsOfOneAnswer) {
  // The loader's steps run between the two halves of an answer, as a reload from another thread
  // may interleave: the rest of the answer must not be taken for the new queue's request.
  TEngineRig rig(protoSnpX);
  TRequestItem& old = rig.AddRequest("PLC1", 8, 0, 2);
  TEngineRig::AddItem(old, "W", dtD16, 0);
  rig.Tick();
  rig.Receive(SnpXAttachAnswer());
  const std::string answer = SnpXReadAnswer(Bytes({1, 2, 3, 4}));
  rig.Receive(answer.substr(0, 12));
  IRequestQueueEngine& loader = rig.Engine;
  loader.StopQueueTimer();
  loader.ClearLastRequest();
  rig.Engine.RequestList->Clear();  // frees the old request
  TRequestItem& fresh = rig.AddRequest("PLC1", 8, 0, 2);
  TEngineRig::AddItem(fresh, "W", dtD16, 0);
  loader.QueueLoaded();
  loader.Restart();
  rig.Receive(answer.substr(12));
  EXPECT_TRUE(rig.Owner.Delivered.empty());
  EXPECT_EQ(rig.Engine.FLastReq, nullptr);
  rig.Tick();
  rig.Receive(SnpXAttachAnswer());
  rig.Receive(answer);
  ASSERT_EQ(rig.Owner.Delivered.size(), 1u);
  EXPECT_EQ(rig.Owner.Delivered[0].Int("W"), 0x0102);
}

}  // namespace
