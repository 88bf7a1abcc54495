// A frame that reached the engine before the request it seems to answer was handed to the host
// cannot answer it: the PLC had not seen the request yet. The line repeats a frame of the PLC or
// doubles a byte; a host's thread hands bytes over while the scheduler's thread has started the
// next exchange and not yet handed its frame over; a frame waits for GE's line timing while
// bytes come in. Such bytes are noise to the exchange, also when they hold the start of a frame.
#include <gtest/gtest.h>

#include "EngineFrames.h"

namespace kelda::enginetest {
namespace {

TSpeedSettings Fast() {
  TSpeedSettings speed;
  speed.KeepSession = true;
  speed.SendWhenReady = true;
  return speed;
}

// What a tick does under the queue's lock when a request is due: the transaction starts and its
// frame is posted. Its hand-over to the host follows once the lock is released; a data call of
// the host's thread may come in between, and its own hand-over of the outbox then takes the frame.
void StartWithoutHandOver(TEngineRig& rig, TRequestItem& request) {
  platform::WriteGuard guard(*rig.Engine.RequestList);
  request.Busy = true;
  request.Timer.Restart();
  rig.Engine.Send(&request);
}

TEST(StaleFrames, RepeatedXResponseNeverAnswersTheNextReadOfAKeptSession) {
  TEngineRig rig(protoSnpX);
  rig.Engine.SetSpeed(Fast());
  TRequestItem& request = rig.AddRequest("PLC1", 0x08, 0, 1, 0);
  request.MethodPoll = true;  // polled without a pause: due again as soon as its answer is in
  TEngineRig::AddItem(request, "R1", dtD16, 0);
  rig.Tick();  // the break
  rig.Advance(TSerialPortDM::kBreakMs + TSerialPortDM::kT4Ms);
  rig.Tick();  // the attach
  rig.Receive(SnpXAttachAnswer());
  const std::string first = SnpXReadAnswer(Bytes({0x11, 0x11}));
  rig.Receive(first);
  ASSERT_EQ(rig.Owner.Delivered.size(), 1u);
  ASSERT_TRUE(rig.Engine.SessionKept());
  rig.Owner.TakeSent();

  // The line sends the answer again. Its first bytes come in after the next read of the session
  // was posted, before it was handed over; the rest follows after.
  rig.Advance(1);
  StartWithoutHandOver(rig, request);
  rig.Receive(first.substr(0, 5));
  ASSERT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{SnpXReadFrame(request)});
  rig.Receive(first.substr(5));
  EXPECT_EQ(rig.Owner.Delivered.size(), 1u) << "the copy gave a second row";

  // The PLC's answer to that read, and the next one's.
  rig.Receive(SnpXReadAnswer(Bytes({0x22, 0x22})));
  ASSERT_EQ(rig.Owner.Delivered.size(), 2u);
  EXPECT_EQ(rig.Owner.Delivered[1].Int("R1"), 0x2222);
  rig.Advance(1);
  rig.Tick();
  ASSERT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{SnpXReadFrame(request)});
  rig.Receive(SnpXReadAnswer(Bytes({0x33, 0x33})));
  ASSERT_EQ(rig.Owner.Delivered.size(), 3u);
  EXPECT_EQ(rig.Owner.Delivered[2].Int("R1"), 0x3333) << "every row one answer late";
}

// The attach waits for the break and T4. A frame that comes in meanwhile (the late answer to an
// attach given up, the line's copy of one) answers no attach of this exchange: the read goes
// out only after the PLC answered the attach that was sent.
TEST(StaleFrames, FrameArrivingWhileTheAttachWaitsForTheLineIsNotItsAnswer) {
  TEngineRig rig(protoSnpX);
  rig.Engine.SetSpeed(Fast());
  TRequestItem& request = rig.AddRequest("PLC1", 0x08, 0, 1, 1000);
  TEngineRig::AddItem(request, "R1", dtD16, 0);
  rig.Tick();
  ASSERT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{kBreakCommand});
  rig.Receive(SnpXAttachAnswer());
  rig.Advance(TSerialPortDM::kBreakMs + TSerialPortDM::kT4Ms);
  rig.Tick();
  EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{SnpXAttachFrame(request)});
  EXPECT_EQ(request.Step, stOpeningSent);

  rig.Receive(SnpXAttachAnswer());
  EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{SnpXReadFrame(request)});
  rig.Receive(SnpXReadAnswer(Bytes({0x44, 0x44})));
  ASSERT_EQ(rig.Owner.Delivered.size(), 1u);
  EXPECT_EQ(rig.Owner.Delivered[0].Int("R1"), 0x4444);
}

// Within an exchange: bytes that came in the same data call as the answer that made the engine
// send its next frame were on the line before that frame. A CCM slave's ACK doubled by the line
// is no acknowledgement of the header sent after it, so the slave's refusal of the header is
// still taken at once.
TEST(StaleFrames, DoubledAcknowledgementIsNoAnswerToTheFrameSentAfterIt) {
  TEngineRig rig(protoCcmMasterSlave);
  TRequestItem& request = rig.AddRequest("2", 8, 0, 2);
  rig.Tick();
  rig.Owner.TakeSent();
  rig.Receive(Bytes({'N', 0x22, ACK, ACK}));
  ASSERT_EQ(rig.Owner.TakeSent().size(), 1u) << "the header";
  EXPECT_EQ(request.Step, stHeaderSent);
  rig.Receive(Bytes({NAK}));
  EXPECT_EQ(request.Step, stRefused);
  EXPECT_FALSE(request.Busy);
  ASSERT_EQ(rig.Owner.Failures.size(), 1u);
  EXPECT_NE(rig.Owner.Failures[0].find("NAK"), std::string::npos) << rig.Owner.Failures[0];
}

}  // namespace
}  // namespace kelda::enginetest
