// The engine's scheduler and receive path with hand-made PLC answers: which request is sent
// when, time-outs, the minimum interval, resets, and the step rules of each protocol.
#include <gtest/gtest.h>

#include <chrono>

#include <thread>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "Common/zorTimerEx.h"
#include "EngineFrames.h"
#include "platform/MessageWindow.h"
#include "platform/Tick.h"

using namespace kelda;
using namespace kelda::enginetest;

namespace {

// --- timeout record -------------------------------------------------------------------------

TEST(Timeout, ExpiresByTheModuleClockAcrossTheThirtyTwoBitWrap) {
  ClockScope clock;
  TzorTimeout t;
  EXPECT_TRUE(t.Expired(1000000)) << "a clear record is expired for any interval";
  t.StartPlain();
  EXPECT_FALSE(t.Expired(1000));
  gNow += 999;
  EXPECT_FALSE(t.Expired(1000));
  gNow += 1;
  EXPECT_TRUE(t.Expired(1000));

  for (bool tick64 : {true, false}) {
    SetTimeoutUsesTick64(tick64);
    gNow = (uint64_t{1} << 32) - 256;
    TzorTimeout w;
    w.StartPlain();
    gNow = (uint64_t{1} << 32) + 16;
    EXPECT_TRUE(w.Expired(100)) << (tick64 ? "64-bit tick" : "32-bit tick with wrap counting");
    gNow = (uint64_t{1} << 32) - 256;
    w.StartPlain();
    gNow = (uint64_t{1} << 32) + 16;
    EXPECT_FALSE(w.Expired(300)) << "272 ms have passed, not 300";
    EXPECT_EQ(w.Now(), (uint64_t{1} << 32) + 16);
  }
}

TEST(Timeout, ArmedRecordsKeepTheirIntervalAndRestartWithIt) {
  ClockScope clock;
  TzorTimeout t;
  t.StartFor(500);
  EXPECT_TRUE(t.Armed);
  gNow += 400;
  EXPECT_FALSE(t.Expired(10)) << "an armed record keeps its own deadline";
  t.Restart();
  gNow += 499;
  EXPECT_FALSE(t.Expired());
  gNow += 1;
  EXPECT_TRUE(t.Expired());
  t.Clear();
  EXPECT_TRUE(t.IsClear());
  t.StartPlain();
  EXPECT_FALSE(t.Armed);
  EXPECT_EQ(t.Deadline, 0u);
}

// --- scheduler ------------------------------------------------------------------------------

TEST(Scheduler, OneRequestAtATimeInQueueOrder) {
  TEngineRig rig(protoSnpX);
  TRequestItem& first = rig.AddRequest("PLC1", 8, 0, 1);
  TRequestItem& second = rig.AddRequest("PLC1", 8, 10, 1);
  rig.Tick();
  EXPECT_EQ(rig.Owner.TakeSent(), (std::vector<std::string>{kBreakCommand, SnpXAttachFrame(first)}));
  EXPECT_TRUE(first.Busy);
  rig.Advance(100);
  rig.Tick();
  EXPECT_TRUE(rig.Owner.TakeSent().empty()) << "the second waits while the first is busy";
  rig.Receive(SnpXAttachAnswer());
  EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{SnpXReadFrame(first)});
  rig.Receive(SnpXReadAnswer(Bytes({0x12, 0x34})));
  EXPECT_FALSE(first.Busy);
  ASSERT_EQ(rig.Owner.Delivered.size(), 1u);
  rig.Tick();
  EXPECT_EQ(rig.Owner.TakeSent(), (std::vector<std::string>{kBreakCommand, SnpXAttachFrame(second)}));
  EXPECT_EQ(rig.Engine.Queue->Tag, 1);
}

TEST(Scheduler, TimeOutsUseTheHandshakeLimitThenTheRequestTimeout) {
  TEngineRig rig(protoSnpX);
  TRequestItem& first = rig.AddRequest("PLC1", 8, 0, 1);
  TRequestItem& second = rig.AddRequest("PLC1", 8, 10, 1);
  first.Timeout = 5000;
  rig.Tick();
  rig.Owner.TakeSent();
  rig.Advance(1999);
  rig.Tick();
  EXPECT_TRUE(first.Busy);
  EXPECT_TRUE(rig.Owner.TakeSent().empty());
  rig.Advance(1);
  rig.Tick();  // the attach went unanswered for 2000 ms: on to the next request
  EXPECT_FALSE(first.Busy);
  EXPECT_EQ(first.Step, stOpeningSent) << "a time-out leaves the step as it was";
  EXPECT_EQ(rig.Owner.TakeSent(), (std::vector<std::string>{kBreakCommand, SnpXAttachFrame(second)}));
  EXPECT_EQ(rig.Engine.FLastReq, &second);

  // In the data step the request's own time-out applies.
  rig.Receive(SnpXAttachAnswer());
  rig.Owner.TakeSent();
  second.Timeout = 5000;
  rig.Advance(4999);
  rig.Tick();
  EXPECT_TRUE(second.Busy);
  rig.Advance(1);
  rig.Tick();
  EXPECT_FALSE(second.Busy);
  EXPECT_TRUE(rig.Owner.Delivered.empty());
}

TEST(Scheduler, MinimumIntervalHoldsEveryRequestAfterAnAnswer) {
  TEngineRig rig(protoSnpX);
  rig.Engine.SetMinInterval(500);
  TRequestItem& first = rig.AddRequest("PLC1", 8, 0, 1, 10);
  rig.AddRequest("PLC1", 8, 10, 1, 10);
  rig.Tick();
  rig.Receive(SnpXAttachAnswer());
  rig.Receive(SnpXReadAnswer(Bytes({1, 2})));
  EXPECT_FALSE(first.Busy);
  rig.Owner.TakeSent();
  rig.Advance(499);
  rig.Tick();
  EXPECT_TRUE(rig.Owner.TakeSent().empty()) << "both requests are due, the gate holds them";
  rig.Advance(1);
  rig.Tick();
  EXPECT_EQ(rig.Owner.TakeSent().size(), 2u);
}

TEST(Scheduler, OnceRequestsRunOnceUntilThePortIsOpenedAgain) {
  TEngineRig rig(protoSnpX);
  TRequestItem& once = rig.AddRequest("PLC1", 8, 0, 1, 0);
  rig.Tick();
  rig.Receive(SnpXAttachAnswer());
  rig.Receive(SnpXReadAnswer(Bytes({1, 2})));
  rig.Owner.TakeSent();
  rig.Advance(60000);
  rig.Tick();
  EXPECT_TRUE(rig.Owner.TakeSent().empty());
  rig.Engine.RequestReset(2);
  rig.Tick();  // the reset itself
  rig.Tick();
  EXPECT_EQ(rig.Owner.TakeSent(), (std::vector<std::string>{kBreakCommand, SnpXAttachFrame(once)}));

  // A once request that times out has not been read: it goes out again until an answer is
  // taken, each time after a rest ("Demote for", 10 s, after the first failure; twice as long
  // after each further one).
  rig.Advance(2000);
  rig.Tick();
  EXPECT_TRUE(rig.Owner.TakeSent().empty());
  rig.Advance(9999);
  rig.Tick();
  EXPECT_TRUE(rig.Owner.TakeSent().empty());
  rig.Advance(1);
  rig.Tick();
  EXPECT_EQ(rig.Owner.TakeSent(), (std::vector<std::string>{kBreakCommand, SnpXAttachFrame(once)}));
  rig.Advance(2000);
  rig.Tick();
  rig.Advance(19999);
  rig.Tick();
  EXPECT_TRUE(rig.Owner.TakeSent().empty());
  rig.Advance(1);
  rig.Tick();
  EXPECT_EQ(rig.Owner.TakeSent(), (std::vector<std::string>{kBreakCommand, SnpXAttachFrame(once)}));
  rig.Receive(SnpXAttachAnswer());
  rig.Receive(SnpXReadAnswer(Bytes({1, 2})));
  rig.Owner.TakeSent();
  rig.Advance(60000);
  rig.Tick();
  EXPECT_TRUE(rig.Owner.TakeSent().empty());
}

TEST(Scheduler, PortOpenedDuringAnExchangeEndsIt) {
  // The port was opened anew while the second request waited for its answer: after the reset
  // the first request goes out, and only one request is ever under way.
  TEngineRig rig(protoSnpX);
  TRequestItem& first = rig.AddRequest("PLC1", 8, 0, 1, 60000);
  TRequestItem& second = rig.AddRequest("PLC1", 8, 5, 1, 60000);
  rig.Tick();
  rig.Receive(SnpXAttachAnswer());
  rig.Receive(SnpXReadAnswer(Bytes({1, 2})));
  rig.Advance(50);
  rig.Tick();
  ASSERT_TRUE(second.Busy);
  rig.Engine.RequestReset(2);
  rig.Tick();  // the reset itself
  EXPECT_FALSE(second.Busy);
  EXPECT_EQ(rig.Engine.FLastReq, nullptr);
  rig.Tick();
  EXPECT_TRUE(first.Busy);
  EXPECT_FALSE(second.Busy);
  rig.Advance(2001);
  rig.Tick();
  EXPECT_EQ(rig.Engine.Statistics().Timeouts, 1u) << "only the exchange under way times out";
}

TEST(Scheduler, FailedSendsAreRetriedAtTheNextTick) {
  TEngineRig rig(protoSnpX);
  TRequestItem& once = rig.AddRequest("PLC1", 8, 0, 1, 0);
  rig.Owner.FailSends = -1;
  for (int i = 0; i < 3; ++i) {
    rig.Tick();
    EXPECT_FALSE(once.Busy);
    EXPECT_TRUE(once.Timer.IsClear());
  }
  rig.Owner.FailSends = 0;
  rig.Tick();
  EXPECT_TRUE(once.Busy);
  EXPECT_EQ(rig.Owner.TakeSent().size(), 2u);
}

TEST(Scheduler, DisabledAndUnfitRequestsAreNeverSent) {
  TEngineRig rig(protoCcmMasterSlave);
  TRequestItem& disabled = rig.AddRequest("2", 8, 0, 4);
  disabled.Enabled = false;
  TRequestItem& unfit = rig.AddRequest("2", 8, -1, 4);
  rig.Engine.Restart();
  EXPECT_TRUE(rig.Engine.Queue->Enabled()) << "the queue is not empty, so the timer runs";
  for (int i = 0; i < 5; ++i) {
    rig.Tick();
    rig.Advance(1000);
  }
  EXPECT_TRUE(rig.Owner.TakeSent().empty());
  EXPECT_FALSE(unfit.Busy);

  // Nothing runs while the plug-in is stopped.
  disabled.Enabled = true;
  rig.Owner.StateFlags[0] = false;
  rig.Tick();
  EXPECT_TRUE(rig.Owner.TakeSent().empty());
  EXPECT_FALSE(rig.Engine.Queue->Enabled());
}

TEST(Scheduler, ResetTakesTheSmallestPollIntervalAsTickAndNeverStopsTheTimer) {
  TEngineRig rig(protoSnpX);
  rig.AddRequest("PLC1", 8, 0, 1, 20);
  rig.Engine.RequestReset(2);
  rig.Tick();
  EXPECT_EQ(rig.Engine.TimerInterval.load(), 20u);
  rig.AddRequest("PLC1", 8, 0, 1, 0).MethodPoll = true;  // polling with interval 0
  rig.Engine.RequestReset(2);
  rig.Tick();
  EXPECT_EQ(rig.Engine.TimerInterval.load(), 1u);
  EXPECT_EQ(rig.Engine.Queue->Interval(), 1u);
}

// --- receive path ---------------------------------------------------------------------------

TEST(ReceivePath, IgnoresBytesItMustNotTake) {
  TEngineRig rig(protoSnpX);
  rig.AddRequest("PLC1", 8, 0, 1);
  EXPECT_EQ(rig.Receive("xyz"), kResultDone);
  EXPECT_EQ(rig.Engine.RxBuffer->DataSize(), 0) << "no request outstanding: dropped";
  rig.Tick();
  EXPECT_EQ(rig.Receive("abc", 8), kResultDone) << "a data source without an engine";
  EXPECT_EQ(rig.Receive("abc", 7, 0), kResultDone) << "not port bytes";
  rig.Owner.StateFlags[1] = false;
  rig.Receive("abc");
  rig.Owner.StateFlags[1] = true;
  EXPECT_EQ(rig.Engine.RxBuffer->DataSize(), 0);
  rig.Owner.Settings = false;
  EXPECT_EQ(rig.Receive("abc"), kResultRefused);
  rig.Owner.Settings = true;

  rig.Receive("abc");
  EXPECT_EQ(rig.Engine.RxBuffer->DataSize(), 3);
  rig.Advance(63999);
  rig.Receive("d");
  EXPECT_EQ(rig.Engine.RxBuffer->DataSize(), 4);
  rig.Advance(64000);
  rig.Receive("e");
  EXPECT_EQ(rig.Engine.RxBuffer->DataSize(), 1) << "64 s after the last block the old bytes go";
}

TEST(ReceivePath, FullBufferDropsTheOldestBytesAndStillFindsTheAnswer) {
  TEngineRig rig(protoSnpX);
  rig.AddRequest("PLC1", 8, 0, 1);
  rig.Tick();
  rig.Receive(std::string(5000, '\x55'));
  EXPECT_LE(rig.Engine.RxBuffer->DataSize(), TSerialPortDM::kRxBufferSize);
  rig.Receive(SnpXAttachAnswer());
  EXPECT_EQ(rig.Engine.FLastReq->Step, stAwaitingData);
}

TEST(ReceivePath, LateAnswerAfterATimeOutIsStillTaken) {
  TEngineRig rig(protoSnpX);
  TRequestItem& request = rig.AddRequest("PLC1", 8, 0, 1, 60000);
  request.Timeout = 1000;
  rig.Tick();
  rig.Receive(SnpXAttachAnswer());
  rig.Advance(1000);
  rig.Tick();
  EXPECT_FALSE(request.Busy);
  rig.Receive(SnpXReadAnswer(Bytes({9, 8})));
  ASSERT_EQ(rig.Owner.Delivered.size(), 1u);
  EXPECT_EQ(rig.Engine.FLastReq, nullptr);
}

TEST(ReceivePath, AnswersOfAnEarlierTransactionNeverAnswerTheNextOne) {
  TEngineRig rig(protoSnpX);
  TRequestItem& request = rig.AddRequest("PLC1", 8, 0, 1, 100);
  rig.Tick();
  rig.Receive(SnpXAttachAnswer());
  std::string answer = SnpXReadAnswer(Bytes({1, 2}));
  rig.Receive(answer + answer);  // the PLC repeated its answer
  EXPECT_EQ(rig.Owner.Delivered.size(), 1u);
  rig.Advance(100);
  rig.Tick();
  rig.Receive(SnpXAttachAnswer());
  EXPECT_EQ(request.Step, stAwaitingData);
  EXPECT_EQ(rig.Owner.Delivered.size(), 1u) << "the repeated answer was not taken as the next one";
}

// --- CCM steps ------------------------------------------------------------------------------

TEST(CcmSteps, MasterToSlaveExchange) {
  TEngineRig rig(protoCcmMasterSlave);
  TRequestItem& request = rig.AddRequest("2", 8, 0, 258);
  TEngineRig::AddItem(request, "W", dtD16, 0);
  TEngineRig::AddItem(request, "V", dtD16, 256);
  const std::string first = Bytes({0x12, 0x34}) + std::string(254, '\x03');
  rig.Tick();
  EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{Bytes({'N', 0x22, 0x05})});
  rig.Receive(Bytes({'N', 0x22, 0x41, 0x06}));
  EXPECT_EQ(request.Step, stOpeningSent) << "the ACK stands three places after the N";
  rig.Receive(Bytes({'N', 0x22, 0x06}));
  EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{CcmHeaderFrame(request, 1.0)});
  EXPECT_EQ(request.Step, stHeaderSent);
  rig.Receive(kAck1);
  EXPECT_EQ(request.Step, stAwaitingData);
  rig.Receive(CcmBlock(first, false));
  rig.Receive(CcmBlock(Bytes({0x03, 0x17}), true));
  EXPECT_EQ(rig.Owner.TakeSent(), (std::vector<std::string>{kAck1, kAck1}));
  EXPECT_EQ(request.Step, stAwaitingEot);
  ASSERT_EQ(rig.Owner.Delivered.size(), 1u);
  EXPECT_EQ(rig.Owner.Delivered[0].Int("W"), 0x1234);
  EXPECT_EQ(rig.Owner.Delivered[0].Int("V"), 0x0317);
  EXPECT_EQ(rig.Owner.Delivered[0].PacketText, CcmBlock(Bytes({0x03, 0x17}), true));
  rig.Receive(Bytes({0x04}));
  EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{Bytes({0x04})});
  EXPECT_EQ(request.Step, stIdle);
  EXPECT_EQ(rig.Engine.FLastReq, nullptr);
}

TEST(CcmSteps, RefusalAndBrokenBlocks) {
  TEngineRig rig(protoCcmMasterSlave);
  TRequestItem& request = rig.AddRequest("2", 8, 0, 2);
  rig.Tick();
  rig.Receive(Bytes({'N', 0x22, 0x15}));
  EXPECT_EQ(request.Step, stRefused);
  EXPECT_FALSE(request.Busy);
  EXPECT_EQ(rig.Engine.FLastReq, nullptr);

  rig.Advance(1000);
  rig.Tick();
  rig.Receive(Bytes({'N', 0x22, 0x06}));
  rig.Receive(Bytes({0x06}));
  EXPECT_EQ(request.Step, stAwaitingData);
  rig.Owner.TakeSent();
  // A whole block whose LRC fails is dropped without an answer.
  rig.Receive(Bytes({0x02, 0x41, 0x42, 0x03, 0x00}));
  EXPECT_EQ(rig.Engine.RxBuffer->DataSize(), 0);
  EXPECT_TRUE(rig.Owner.TakeSent().empty());
  // A block still arriving is kept, although its data holds ETX and ETB; it is taken once whole.
  // (The check of the shorter "block" that ends at the data's ETX would pass: 02 03 01.)
  std::string awkward = CcmBlock(Bytes({0x03, 0x01}), true);
  rig.Receive(awkward.substr(0, 3));
  EXPECT_EQ(rig.Engine.RxBuffer->DataSize(), 3);
  EXPECT_TRUE(rig.Owner.TakeSent().empty());
  rig.Receive(awkward.substr(3));
  EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{kAck1});
  ASSERT_EQ(rig.Owner.Delivered.size(), 1u);
  EXPECT_EQ(rig.Owner.Delivered[0].PacketText, awkward);
}

TEST(CcmSteps, PeerToPeerExchange) {
  TEngineRig rig(protoCcmPeerToPeer);
  TRequestItem& request = rig.AddRequest("2", 8, 0, 2);
  TEngineRig::AddItem(request, "W", dtD16, 0);
  rig.Tick();
  EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{Bytes({0x05})});
  rig.Receive(kAck1);
  EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{CcmHeaderFrame(request, 1.0)});
  rig.Receive(kAck1);
  EXPECT_EQ(request.Step, stAwaitingData);
  rig.ReceiveBytewise(CcmBlock(Bytes({0xAB, 0xCD}), true));
  EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{kAck1}) << "no EOT from the peer side";
  EXPECT_EQ(request.Step, stIdle);
  ASSERT_EQ(rig.Owner.Delivered.size(), 1u);
  EXPECT_EQ(rig.Owner.Delivered[0].Int("W"), 0xABCD);

  rig.Advance(1000);
  rig.Tick();
  rig.Receive(Bytes({0x15}));
  EXPECT_EQ(request.Step, stRefused);
}

// --- SNP and SNP-X steps --------------------------------------------------------------------

TEST(SnpSteps, AttachAnswerIsSearchedOnlyOnceItCanBeWhole) {
  TEngineRig rig(protoSnp);
  TRequestItem& request = rig.AddRequest("PLC1", 8, 0, 1);
  rig.Tick();
  rig.Owner.TakeSent();
  std::string answer = SnpAttachAnswer();
  rig.Receive(answer.substr(0, 23));
  EXPECT_EQ(request.Step, stOpeningSent);
  EXPECT_EQ(rig.Engine.RxBuffer->DataSize(), 23);
  rig.Receive(answer.substr(23));
  EXPECT_EQ(request.Step, stMailboxSent);
  EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{SnpMailboxReadFrame(request, 1)});
  EXPECT_EQ(request.Sequence, 1);

  rig.Receive(Bytes({0x06, 0x41, 0x00}));
  EXPECT_EQ(request.Step, stMailboxSent) << "the zero byte must follow the ACK directly";
  EXPECT_EQ(rig.Engine.RxBuffer->DataSize(), 0);
  rig.Receive(kSnpAck);
  EXPECT_EQ(request.Step, stAwaitingData);
}

TEST(SnpSteps, AnAttachAnswerOfAnotherTypeIsDropped) {
  TEngineRig rig(protoSnp);
  TRequestItem& request = rig.AddRequest("PLC1", 8, 0, 1);
  rig.Tick();
  rig.Owner.TakeSent();
  rig.Receive(SnpAttachAnswer('Q'));
  EXPECT_EQ(request.Step, stOpeningSent);
  EXPECT_TRUE(rig.Owner.TakeSent().empty());
  EXPECT_EQ(rig.Engine.RxBuffer->DataSize(), 0);
}

TEST(SnpSteps, MailboxAndTextBufferDataWithoutTheirEndMarks) {
  TEngineRig rig(protoSnp);
  TRequestItem& request = rig.AddRequest("PLC1", 8, 0, 3);
  TEngineRig::AddItem(request, "A", dtD16, 0);
  TEngineRig::AddItem(request, "B", dtD16, 2);
  TEngineRig::AddItem(request, "C", dtD16, 4);
  TEngineRig::AddItem(request, "D", dtD16, 6);
  // A completion mailbox carries the data of a read that fits it: three registers.
  rig.Tick();
  rig.Receive(SnpAttachAnswer());
  rig.Receive(kSnpAck);
  rig.Owner.TakeSent();
  rig.Receive(Mailbox(0xD4, Bytes({0x11, 0x22, 0x33, 0x44, 0x55, 0x66})));
  EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{kSnpAck});
  ASSERT_EQ(rig.Owner.Delivered.size(), 1u);
  EXPECT_EQ(rig.Owner.Delivered[0].Int("A"), 0x1122);
  EXPECT_EQ(rig.Owner.Delivered[0].Int("C"), 0x5566);

  // Text buffers: the 0x94 mailbox announces them; each is acknowledged; the ETB of the first is
  // not data, so the second buffer's values stay in place. 22 registers: a buffer of 40 bytes
  // (the least data size a PLC may have) and one of 4.
  request.Size = 22;
  TEngineRig::AddItem(request, "E", dtD16, 40);
  TEngineRig::AddItem(request, "F", dtD16, 42);
  rig.Advance(1000);
  rig.Tick();
  rig.Receive(SnpAttachAnswer());
  rig.Receive(kSnpAck);
  rig.Owner.TakeSent();
  rig.Receive(Mailbox(0x94, std::string(6, '\0'), 48));
  EXPECT_EQ(request.Step, stAwaitingData);
  rig.Receive(TextBuffer(Bytes({0x17, 0x03, 0x1B, 0x02}) + std::string(36, '\x55'), 12));
  EXPECT_EQ(rig.Owner.Delivered.size(), 1u) << "another buffer is announced";
  rig.ReceiveBytewise(TextBuffer(Bytes({0xAA, 0xBB, 0xCC, 0xDD}), 0));
  EXPECT_EQ(rig.Owner.TakeSent(), (std::vector<std::string>{kSnpAck, kSnpAck, kSnpAck}));
  ASSERT_EQ(rig.Owner.Delivered.size(), 2u);
  EXPECT_EQ(rig.Owner.Delivered[1].Int("A"), 0x1703);
  EXPECT_EQ(rig.Owner.Delivered[1].Int("B"), 0x1B02);
  EXPECT_EQ(rig.Owner.Delivered[1].Int("E"), 0xAABB);
  EXPECT_EQ(rig.Owner.Delivered[1].Int("F"), 0xCCDD);
  EXPECT_EQ(request.Step, stIdle);
}

// A 0x94 mailbox that gives the length of the data in its text buffers.
std::string TextMailbox(size_t total, size_t nextLength) {
  std::string frame = std::string("\x1B\x4D") + std::string(6, '\0') + "\x01\x94" +
                      std::string("\x10\x0A\x00\x00\x10\x3A\x00\x00\x00\x01", 10) +
                      static_cast<char>(total & 0xFF) + static_cast<char>(total >> 8) +
                      std::string(12, '\0') + "\x17" + Next(nextLength);
  return WithBcc(frame);
}

TEST(SnpSteps, ACompletionOfAnotherReadIsNeitherAcknowledgedNorTaken) {
  TEngineRig rig(protoSnp);
  TRequestItem& request = rig.AddRequest("PLC1", 8, 0, 4);  // eight bytes: text buffers
  TEngineRig::AddItem(request, "A", dtD16, 0);
  TEngineRig::AddItem(request, "D", dtD16, 6);
  rig.Tick();
  rig.Receive(SnpAttachAnswer());
  rig.Receive(kSnpAck);
  rig.Owner.TakeSent();
  rig.Receive(Mailbox(0xD4, Bytes({0x11, 0x22, 0x33, 0x44, 0x55, 0x66})));
  rig.Receive(TextMailbox(6, 14));
  EXPECT_TRUE(rig.Owner.TakeSent().empty());
  EXPECT_TRUE(rig.Owner.Delivered.empty());
  EXPECT_EQ(request.Step, stAwaitingData);
  rig.Receive(TextMailbox(8, 16));
  rig.Receive(TextBuffer(Bytes({1, 2, 3, 4, 5, 6, 7, 8}), 0));
  EXPECT_EQ(rig.Owner.TakeSent(), (std::vector<std::string>{kSnpAck, kSnpAck}));
  ASSERT_EQ(rig.Owner.Delivered.size(), 1u);
  EXPECT_EQ(rig.Owner.Delivered[0].Int("A"), 0x0102);
  EXPECT_EQ(rig.Owner.Delivered[0].Int("D"), 0x0708);

  // Bits come in the bytes that hold them: 12 bits in two bytes or three, inline.
  rig.Advance(1000);
  request.Memory = 0x46;
  request.Size = 12;
  rig.Tick();
  rig.Receive(SnpAttachAnswer());
  rig.Receive(kSnpAck);
  rig.Receive(Mailbox(0xD4, Bytes({0x11, 0x22, 0x33, 0, 0, 0})));
  EXPECT_EQ(rig.Owner.Delivered.size(), 2u);
}

TEST(SnpSteps, SnpXDataHoldingTheEndMarkIsFoundWhenWhole) {
  TEngineRig rig(protoSnpX);
  TRequestItem& request = rig.AddRequest("PLC1", 8, 0, 2);
  TEngineRig::AddItem(request, "A", dtD16, 0);
  TEngineRig::AddItem(request, "B", dtD16, 2);
  rig.Tick();
  rig.Receive(SnpXAttachAnswer());
  std::string answer = SnpXReadAnswer(Bytes({0x17, 0x17, 0x03, 0x1B}), 0x2054);
  rig.ReceiveBytewise(answer);
  ASSERT_EQ(rig.Owner.Delivered.size(), 1u);
  const TDelivered& row = rig.Owner.Delivered[0];
  EXPECT_EQ(row.Int("A"), 0x1717);
  EXPECT_EQ(row.Int("B"), 0x031B);
  EXPECT_EQ(row.Int("PLC_STATUS"), 0x2054);
  EXPECT_EQ(row.Int("STATUS_CODE"), 0);
  EXPECT_EQ(row.PacketText, answer);
}

TEST(ReceivePath, RequestThatLeftTheQueueIsForgotten) {
  TEngineRig rig(protoSnpX);
  rig.AddRequest("PLC1", 8, 0, 1);
  rig.Tick();
  ASSERT_NE(rig.Engine.FLastReq, nullptr);
  rig.Engine.RequestList->Clear();  // refilled by a path that did not clear the outstanding request
  rig.Receive(SnpXAttachAnswer());
  EXPECT_EQ(rig.Engine.FLastReq, nullptr);
  EXPECT_TRUE(rig.Owner.Delivered.empty());
}

TEST(SnpSteps, AHostWithoutBreaksStillReads) {
  TEngineRig rig(protoSnpX);
  rig.Owner.RefuseBreak = true;
  TRequestItem& request = rig.AddRequest("PLC1", 8, 0, 1);
  rig.Tick();
  EXPECT_TRUE(request.Busy) << "the attach went out";
  std::string answer = SnpXAttachAnswer();
  rig.Receive(answer.substr(0, 10));
  rig.Advance(50);
  rig.Tick();  // the next tick must not start the transaction again
  rig.Receive(answer.substr(10));
  EXPECT_EQ(request.Step, stAwaitingData);
  rig.Receive(SnpXReadAnswer(Bytes({1, 2})));
  EXPECT_EQ(rig.Owner.Delivered.size(), 1u);
}

TEST(SnpSteps, TextBufferLengthReadEitherWay) {
  for (size_t announced : {size_t{14}, size_t{6}}) {  // whole message, or data alone
    TEngineRig rig(protoSnp);
    TRequestItem& request = rig.AddRequest("PLC1", 8, 0, 3);
    TEngineRig::AddItem(request, "A", dtD8, 5);
    rig.Tick();
    rig.Receive(SnpAttachAnswer());
    rig.Receive(kSnpAck);
    rig.Receive(Mailbox(0x94, std::string(6, '\0'), announced));
    rig.Receive(TextBuffer(Bytes({1, 2, 3, 4, 5, 0x17}), 0));
    ASSERT_EQ(rig.Owner.Delivered.size(), 1u) << announced;
    EXPECT_EQ(rig.Owner.Delivered[0].Int("A"), 0x17);
  }
}

// A plug-in that takes the engine out of service while the engine's Restart asks for its state:
// that Restart read the engine as in service a moment before.
class TRetiringOwner : public TFakeOwner {
public:
  bool IsStateFlagSet(int index) const override {
    if (RetireOnNextRead && Engine) {
      RetireOnNextRead = false;
      Engine->Retire();
    }
    return TFakeOwner::IsStateFlagSet(index);
  }
  mutable bool RetireOnNextRead = false;
  TSerialPortDM* Engine = nullptr;
};

TEST(Scheduler, ARetiredEngineStopsATimerThatARacingRestartLeftOnAndNeverSends) {
  ClockScope clock;
  TRetiringOwner owner;
  TSerialPortDM engine(nullptr, &owner);
  owner.Engine = &engine;
  owner.Engines[0] = &engine;
  engine.SetProtocol(protoSnpX);
  auto* request = new TRequestItem;
  request->Enabled = true;
  request->MethodPoll = true;
  request->PollInterval = 100;
  engine.RequestList->Add(request);
  engine.Restart();
  ASSERT_TRUE(engine.Queue->Enabled());

  owner.RetireOnNextRead = true;
  engine.Restart();
  ASSERT_TRUE(engine.Queue->Enabled()) << "the Restart that raced the retirement switched the timer on";
  for (int tick = 0; tick < 3; ++tick) {
    engine.QueueTick();
    gNow += 200;  // the request is due at every tick
  }
  EXPECT_FALSE(engine.Queue->Enabled()) << "a retired engine's timer keeps ticking";
  EXPECT_TRUE(owner.Sent.empty()) << "a retired engine sends";
  engine.Restart();
  EXPECT_FALSE(engine.Queue->Enabled()) << "a retired engine is switched on again";
}

// Rule: an engine's end never waits for another thread. The engine of a thread that does not
// dispatch, let go by another thread, ends there at once; its timer goes when its own thread
// dispatches again, and never ticks into the ended engine.
TEST(EngineLife, TheEngineOfAThreadThatDoesNotDispatchEndsWithoutWaitingForIt) {
  TFakeOwner owner;
  std::shared_ptr<TSerialPortDM> engine;
  std::mutex lock;
  std::condition_variable changed;
  bool created = false, released = false;
  std::thread timerThread([&] {
    std::unique_lock guard(lock);
    engine = TSerialPortDM::MakeShared(&owner);
    auto* request = new TRequestItem;
    request->Enabled = true;
    request->MethodPoll = true;
    request->PollInterval = 1;
    engine->RequestList->Add(request);
    engine->Restart();  // ticks are due from now on, and this thread does not dispatch them
    created = true;
    changed.notify_all();
    changed.wait(guard, [&] { return released; });
    guard.unlock();
    platform::PumpMessages([] { return false; }, 300);  // the ticks that were due, and the timer's end
  });
  std::weak_ptr<TSerialPortDM> watch;
  uint64_t tookMs = 0;
  {
    std::unique_lock guard(lock);
    changed.wait(guard, [&] { return created; });
    watch = engine;
    engine->Retire();
    const uint64_t start = platform::SystemTick64();
    engine.reset();
    tookMs = platform::SystemTick64() - start;
    released = true;
  }
  changed.notify_all();
  timerThread.join();
  EXPECT_TRUE(watch.expired());
  EXPECT_LT(tookMs, 2000u) << "the end waited for the timer's thread";
  EXPECT_TRUE(owner.Sent.empty()) << "the ended engine's timer ticked into it";
}

// Rule: a tick holds its engine for its run. The last other reference let go while the tick
// waits in the host's send ends the engine when the tick returns, in the tick's thread; the
// thread that let it go does not wait for the tick (the sanitizer preset watches the tick).
TEST(EngineLife, AnEngineLetGoDuringItsTickEndsWhenTheTickReturns) {
  TFakeOwner owner;
  std::shared_ptr<TSerialPortDM> engine;
  std::mutex lock;
  std::condition_variable changed;
  bool created = false, inSend = false, letGo = false, endedAfterTick = false;
  std::thread::id tickThread;
  owner.OnSend = [&] {
    std::unique_lock guard(lock);
    inSend = true;
    changed.notify_all();
    changed.wait(guard, [&] { return letGo; });
  };
  std::weak_ptr<TSerialPortDM> watch;
  std::thread timerThread([&] {
    {
      std::lock_guard guard(lock);
      engine = TSerialPortDM::MakeShared(&owner);
      engine->SetProtocol(protoSnpX);
      auto* request = new TRequestItem;
      request->Enabled = true;
      request->MethodPoll = true;
      request->PollInterval = 100;
      engine->RequestList->Add(request);
      engine->Restart();
      watch = engine;
      tickThread = std::this_thread::get_id();
      created = true;
    }
    changed.notify_all();
    platform::PumpMessages(
        [&] {
          std::lock_guard guard(lock);
          return letGo;
        },
        30000);
    endedAfterTick = watch.expired();
  });
  uint64_t tookMs = 0;
  {
    std::unique_lock guard(lock);
    changed.wait(guard, [&] { return created; });
    ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(20), [&] { return inSend; })) << "no tick sent";
    const uint64_t start = platform::SystemTick64();
    engine.reset();
    tookMs = platform::SystemTick64() - start;
    EXPECT_FALSE(watch.expired()) << "the tick holds its engine";
    letGo = true;
  }
  changed.notify_all();
  timerThread.join();
  EXPECT_LT(tookMs, 2000u);
  EXPECT_TRUE(endedAfterTick) << "the engine outlived the tick that held it last";
  EXPECT_TRUE(watch.expired());
}

// Rule: no host callback under a lock. A plug-in that records, at every failure report and
// packet delivery (both reach the host: its log notification, its list), whether the engine's
// queue or receive buffer was locked by the calling thread; and that then does what a host's
// log handler may do from inside the call: refill the engine's queue.
class TLockCheckingOwner : public TFakeOwner {
public:
  void TransactionFailed(int32_t dataSourceId, const std::string& dataSourceName, const TRequestItem& request,
                         TTransactionFailure cause, uint16_t plcError) override {
    Note();
    TFakeOwner::TransactionFailed(dataSourceId, dataSourceName, request, cause, plcError);
    if (RefillOnFailure) Engine->RequestList->Clear();
  }
  void DeliverPacket(TPluginCallRecIntft& record, TParsedDataList& list) override {
    Note();
    TFakeOwner::DeliverPacket(record, list);
  }
  void Note() {
    ++Calls;
    if (Engine->RequestList->HeldByCallingThread() || Engine->RxBuffer->HeldByCallingThread())
      ++CallsUnderLock;
  }
  TSerialPortDM* Engine = nullptr;
  bool RefillOnFailure = false;
  int Calls = 0;
  int CallsUnderLock = 0;
};

TEST(EngineLife, FailuresAndPacketsReachThePlugInWithNoLockOfTheEngineHeld) {
  for (const bool refill : {false, true}) {
    SCOPED_TRACE(refill ? "the plug-in refills the queue from inside the report" : "reports only");
    ClockScope clock;
    TLockCheckingOwner owner;
    TSerialPortDM engine(nullptr, &owner);
    owner.Engine = &engine;
    owner.Engines[7] = &engine;
    owner.RefillOnFailure = refill;
    engine.DataSourceId = 7;
    engine.SetProtocol(protoCcmPeerToPeer);
    auto add = [&] {
      auto* request = new TRequestItem;
      request->Enabled = true;
      request->Name = "Q";
      request->Address = "2";
      request->Memory = 8;
      request->Size = 1;
      request->MethodPoll = false;  // a "once" request: its failure rests it
      request->HandshakeTimeout = 100;
      engine.RequestList->Add(request);
    };
    add();
    // A refused opening (NAK) in the receive path, then a time-out in the tick.
    engine.QueueTick();
    TPluginCallRec rec{};
    rec.Size = kCallRecSize;
    rec.DataSourceId = 7;
    rec.Flags = kDataFlagPortBytes;
    const std::string nak(1, static_cast<char>(0x15));
    rec.DataIn.Size = 1;
    rec.DataIn.Value = reinterpret_cast<uintptr_t>(nak.data());
    {
      TPluginCallRecIntft record(&rec);
      engine.ReceiveData(record);
    }
    if (engine.RequestList->Count() == 0) add();
    gNow += 1000;
    engine.QueueTick();
    gNow += 10000;
    engine.QueueTick();
    if (engine.RequestList->Count() == 0) add();
    gNow += 10000;
    engine.QueueTick();
    EXPECT_GE(static_cast<int>(owner.Failures.size()), 2);
    EXPECT_EQ(owner.CallsUnderLock, 0) << owner.Calls << " calls";
  }
}

}  // namespace
