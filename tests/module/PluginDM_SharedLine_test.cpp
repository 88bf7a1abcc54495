// One line shared by requests of which some fail: a dead station, repeats of its failed reads and
// a read-once request that never gets its answer must leave the healthy requests their turns;
// and an answer that takes longer on the wire than its time-out is still taken while it arrives.
#include <gtest/gtest.h>

#include "EngineFrames.h"
#include "EngineSimKit.h"
#include "tools/plcsim/TimedLine.h"

namespace kelda::enginetest {
namespace {

// The frame that opens one attempt of `request`: the one frame each attempt sends once, whatever
// else its exchange sends. Peer to peer every enquiry is the same ENQ, so the header names it.
std::string AttemptFrame(uint8_t protocol, const TRequestItem& request) {
  switch (protocol) {
    case protoCcmMasterSlave:
      return CcmEnquiryFrame(protocol, request);
    case protoCcmPeerToPeer:
      return CcmHeaderFrame(request, 1.0);
    case protoSnp:
      return SnpAttachFrame(request);
    default:
      return SnpXAttachFrame(request);
  }
}

// A request to a station that is not on the line; the simulated PLC ignores it.
TRequestItem& AddDeadRead(TSimRig& rig, int32_t pollMs) {
  const bool ccm = rig.Engine.Protocol <= protoCcmPeerToPeer;
  TRequestItem& request =
      ccm ? rig.AddRequest("9", kRegisters, 1, 4, pollMs) : rig.AddRequest("PLC9", kRegisters, 0, 2, pollMs);
  TEngineRig::AddItem(request, "DEAD", dtD16, 0, 1);
  return request;
}

// When each attempt of `request` went out.
struct TAttempts {
  std::vector<uint64_t> At;
  void Hook(TFakeOwner& owner, const std::string& frame) {
    owner.OnFrame = [this, frame](const std::string& sent) {
      if (sent == frame) At.push_back(gNow);
    };
  }
};

// The healthy request's rows over 60 s beside a dead station polled as often, with `retries`.
struct TSharedRun {
  size_t Rows = 0;
  size_t DeadAttempts = 0;
};

TSharedRun RunBesideDeadStation(uint8_t protocol, int32_t retries) {
  TSimRig rig(protocol);
  TSpeedSettings speed;
  speed.Retries = retries;
  rig.Engine.SetSpeed(speed);
  TRequestItem& dead = AddDeadRead(rig, 200);
  rig.AddRegisterRead(2, 200);
  TAttempts attempts;
  attempts.Hook(rig.Owner, AttemptFrame(protocol, dead));
  rig.Run(60000);
  rig.ExpectRegisterRows(2);
  return {rig.Owner.Delivered.size(), attempts.At.size()};
}

// Each failed attempt holds the line for one handshake time-out; a repeat then waits for its
// turn like any due request, so the healthy station gets a turn after every failed attempt,
// with or without repeats.
TEST(SharedLine, RepeatsOfADeadStationWaitTheirTurn) {
  for (uint8_t protocol : kProtocols) {
    SCOPED_TRACE(Name(protocol));
    const TSharedRun plain = RunBesideDeadStation(protocol, 0);
    ASSERT_GE(plain.Rows, 25u) << "one turn per handshake time-out of 2 s";
    for (int32_t retries : {3, 255}) {
      SCOPED_TRACE(std::to_string(retries) + " retries");
      const TSharedRun retrying = RunBesideDeadStation(protocol, retries);
      EXPECT_GE(retrying.Rows + 2, plain.Rows) << "repeats cost the healthy station its turns";
      EXPECT_GE(retrying.DeadAttempts + 2, plain.DeadAttempts);
      EXPECT_LE(retrying.DeadAttempts, plain.DeadAttempts + 2);
    }
  }
}

// Demotion counts attempts, repeats included: with "Demote after" 3 the dead station is set aside
// after its third failed attempt, not after three transactions of six attempts each; with two
// requests to it, a repeat still pending when the other request's failure set it aside is not
// sent either.
TEST(SharedLine, DemotionCountsEveryFailedAttempt) {
  for (uint8_t protocol : kProtocols) {
    for (int deadRequests : {1, 2}) {
      SCOPED_TRACE(Name(protocol) + ", " + std::to_string(deadRequests) + " requests to the dead station");
      TSimRig rig(protocol);
      TSpeedSettings speed;
      speed.Retries = 5;
      speed.DemoteAfter = 3;
      speed.DemoteFor = 60000;
      rig.Engine.SetSpeed(speed);
      TRequestItem& dead = AddDeadRead(rig, 200);
      if (deadRequests == 2) AddDeadRead(rig, 200);
      rig.AddRegisterRead(2, 200);
      TAttempts attempts;
      attempts.Hook(rig.Owner, AttemptFrame(protocol, dead));  // the same frame for both
      rig.Run(20000);
      EXPECT_EQ(attempts.At.size(), 3u);
      const TEngineStatistics s = rig.Engine.Statistics();
      EXPECT_EQ(s.Demotions, 1u);
      EXPECT_EQ(s.Demoted, 1u);
      EXPECT_EQ(s.Retries, 2u) << "the third failure demotes instead of repeating";
      if (deadRequests == 1) {
        EXPECT_EQ(rig.Owner.Failures.size(), 1u) << "one failed read, after its last attempt";
      }
      EXPECT_GE(rig.Owner.Delivered.size(), 60u) << "the healthy station polled on";
    }
  }
}

// A read-once request whose PLC never answers is tried again, but each pause is longer than the
// one before, starting at "Demote for": beside it a request polled every 200 ms loses a few
// handshake time-outs in a minute, not nine rows in ten.
TEST(SharedLine, AReadOnceRequestToADeadPlcBacksOff) {
  for (uint8_t protocol : kProtocols) {
    SCOPED_TRACE(Name(protocol));
    TSimRig alone(protocol);
    alone.AddRegisterRead(2, 200);
    alone.Run(60000);
    const size_t aloneRows = alone.Owner.Delivered.size();
    ASSERT_GE(aloneRows, 250u);

    TSimRig rig(protocol);
    TRequestItem& once = AddDeadRead(rig, 0);
    rig.AddRegisterRead(2, 200);
    TAttempts attempts;
    attempts.Hook(rig.Owner, AttemptFrame(protocol, once));
    rig.Run(60000);
    rig.ExpectRegisterRows(2);
    // Attempts at 0, after 10 s and after 20 s more: three handshake time-outs in all.
    ASSERT_EQ(attempts.At.size(), 3u);
    const uint64_t demoteFor = static_cast<uint64_t>(TSpeedSettings{}.DemoteFor);
    const uint64_t handshake = 2000;
    EXPECT_GE(attempts.At[1] - attempts.At[0], handshake + demoteFor);
    EXPECT_GE(attempts.At[2] - attempts.At[1], handshake + 2 * demoteFor);
    EXPECT_LE(attempts.At[2] - attempts.At[1], handshake + 2 * demoteFor + 200);
    EXPECT_GE(rig.Owner.Delivered.size() + 3 * handshake / 200 + 5, aloneRows);

    // A port opened anew sends it again at once.
    rig.Engine.RequestReset(2);
    rig.Run(200);
    EXPECT_EQ(attempts.At.size(), 4u);
  }
}

// The engine and the simulated PLC on a line at a real rate: every character takes its time on
// the wire, and the host hands over what has arrived every `HostMs`, as a port's reads do.
struct TTimedRig : TSimRig {
  sim::TimedLine Line;
  uint32_t HostMs = 20;
  size_t Written = 0;
  size_t DoubledFrame = SIZE_MAX;  // this frame (counted from 0) reaches the line twice

  TTimedRig(uint8_t protocol, uint32_t baud) : TSimRig(protocol), Line(Plc, Format(baud)) {}

  static sim::LineFormat Format(uint32_t baud) {
    sim::LineFormat format;
    format.baud = baud;
    return format;
  }

  // Runs for `ms` of module time: the scheduler ticks every 50 ms, frames go onto the line as
  // they are sent, and what arrived is handed over every HostMs.
  void RunTimed(uint64_t ms) {
    const uint64_t end = gNow + ms;
    for (; gNow < end; Advance(1)) {
      if (gNow % TSerialPortDM::kTickMs == 0) Tick();
      for (const std::string& frame : Owner.TakeSent()) {
        if (frame == kBreakCommand)
          Line.holdBreak(TSerialPortDM::kBreakMs, gNow * 1000);
        else
          for (int copy = Written++ == DoubledFrame ? 2 : 1; copy > 0; --copy)
            Line.write(reinterpret_cast<const uint8_t*>(frame.data()), frame.size(), gNow * 1000);
      }
      if (gNow % HostMs != 0) continue;
      const std::vector<uint8_t> bytes = Line.read(gNow * 1000);
      if (!bytes.empty()) Receive(std::string(bytes.begin(), bytes.end()));
    }
  }
};

// An answer longer on the wire than its request's time-out: the time-out runs out while the
// frame is visibly arriving, and the frame is given the time to finish. Each case takes well
// over its time-out: 1,015 bytes at 9600 baud (1.16 s) against 1 s; a text buffer of 8 KB at
// 4800 baud (18.8 s) against the default 10 s; a full CCM block at 1200 baud (2.4 s) against 1 s.
TEST(LongAnswer, AFrameStillArrivingWhenTheTimeOutRunsOutIsGivenTheTimeToFinish) {
  struct Case {
    uint8_t Protocol;
    uint32_t Baud;
    int32_t Registers;
    int32_t Timeout;
    uint64_t RunMs;
  };
  for (const Case& c :
       {Case{protoSnpX, 9600, 500, 1000, 3000}, Case{protoSnp, 4800, 4096, 10000, 25000},
        Case{protoCcmMasterSlave, 1200, 128, 1000, 4000}, Case{protoCcmPeerToPeer, 1200, 128, 1000, 4000}}) {
    SCOPED_TRACE(Name(c.Protocol));
    TTimedRig rig(c.Protocol, c.Baud);
    rig.Plc.setSnpDataSize(8192);
    for (uint32_t i = 1200; i < 4096; ++i) rig.Plc.setWord(kRegisters, i, RegisterValue(i));
    TRequestItem& request = rig.AddRegisterRead(c.Registers, 60000);
    request.Timeout = c.Timeout;
    // A second request is due as well: once the long read has timed out, its exchange starts and
    // the long answer is lost.
    rig.AddRegisterRead(2, 60000).ResponseItems[0]->Name = "S";
    rig.RunTimed(c.RunMs);
    ASSERT_EQ(rig.Owner.Delivered.size(), 2u) << rig.Owner.Failures.size() << " failures";
    ASSERT_TRUE(rig.Owner.Delivered[0].Values.count("R1"));
    rig.Owner.Delivered.pop_back();
    rig.ExpectRegisterRows(c.Registers);
    EXPECT_TRUE(rig.Owner.Failures.empty());
    EXPECT_EQ(rig.Engine.Statistics().Timeouts, 0u);
  }
}

// A line that hands the PLC one X-Request twice gets two answers to it, and SNP-X numbers
// neither. With the next read sent as soon as an answer is in, the copy must not be taken as that
// read's answer: two reads of the same length from different registers, each row must hold its
// own registers. Short reads (the copy comes as long after the answer as the request is longer)
// and long ones (the copy follows at once), every X-Request doubled in turn.
TEST(SnpXRepeatedRequest, TheSecondAnswerIsNeverTakenForTheNextRead) {
  for (int32_t registers : {1, 20}) {
    for (size_t doubled = 4; doubled < 14; ++doubled) {
      SCOPED_TRACE(std::to_string(registers) + " registers, frame " + std::to_string(doubled) + " doubled");
      TTimedRig rig(protoSnpX, 9600);
      rig.HostMs = 1;
      rig.DoubledFrame = doubled;
      TSpeedSettings speed;
      speed.KeepSession = true;
      speed.SendWhenReady = true;
      rig.Engine.SetSpeed(speed);
      rig.AddRegisterRead(registers, 1);
      TRequestItem& other = rig.AddRequest("PLC1", kRegisters, 100, registers, 1);
      other.Timeout = 1000;
      TEngineRig::AddItem(other, "S", dtD16, 0, registers).AppendCnt = true;
      other.ResponseItems[0]->LE = true;
      rig.RunTimed(1500);
      size_t rows[2] = {0, 0};
      for (const TDelivered& row : rig.Owner.Delivered) {
        const bool isOther = row.Values.count("S1") != 0;
        const std::string name = isOther ? "S" : "R";
        ++rows[isOther];
        for (int32_t k = 1; k <= registers; ++k)
          ASSERT_EQ(row.Int(name + std::to_string(k)),
                    RegisterValue(static_cast<uint32_t>((isOther ? 99 : -1) + k)))
              << name << k;
      }
      EXPECT_GE(rows[0], 5u);
      EXPECT_GE(rows[1], 5u);
    }
  }
}

// What only looks like a frame arriving defers a time-out by one frame's length at most: a forged
// SNP-X response start is waited for while its bytes come at a line's rate, until its announced
// length is in (it then fails its check, and no second forged frame defers the time-out again);
// one whose bytes stop for longer than the handshake time-out, or come slower than any line's
// rate (300 baud), is soon given up.
TEST(LongAnswer, NoiseThatLooksLikeAFrameDefersATimeOutByOneFrameAtMost) {
  // ESC "X", response code, status word, errors and a data length of 1000: 1,015 bytes in all.
  const std::string forgedStart = Bytes({0x1B, 'X', 0x81, 0, 0, 0, 0, 0xE8, 0x03});
  const size_t forgedLength = 1015;
  enum class Noise { FrameRate, Stops, Trickle };
  for (Noise noise : {Noise::FrameRate, Noise::Stops, Noise::Trickle}) {
    SCOPED_TRACE(noise == Noise::FrameRate ? "at a line's rate"
                 : noise == Noise::Stops   ? "stops"
                                           : "trickles");
    TEngineRig rig(protoSnpX);
    TRequestItem& request = rig.AddRequest("PLC1", kRegisters, 0, 2, 60000);
    request.Timeout = 1000;
    request.HandshakeTimeout = 300;
    rig.Tick();
    rig.Receive(SnpXAttachAnswer());
    ASSERT_EQ(request.Step, stAwaitingData);
    const uint64_t dataStepFrom = gNow;
    // The forged start comes 900 ms into the data step.
    rig.Advance(900);
    rig.Receive(forgedStart);
    size_t sent = forgedStart.size();
    bool second = false;
    uint64_t timedOutAfter = 0;
    for (int ms = 0; ms < 20000 && timedOutAfter == 0; ++ms) {
      rig.Advance(1);
      if (noise == Noise::FrameRate && ms % 10 == 9) {
        // Ten bytes every 10 ms (9600 baud); past the forged frame, a second forged start.
        std::string bytes(10, 'Z');
        if (sent >= forgedLength && !second) {
          bytes.replace(0, forgedStart.size(), forgedStart);
          second = true;
        }
        rig.Receive(bytes);
        sent += bytes.size();
      }
      if (noise == Noise::Trickle && ms % 100 == 99) rig.Receive("Z");  // 10 bytes a second
      if (ms % TSerialPortDM::kTickMs == 0) rig.Tick();
      if (!request.Busy) timedOutAfter = gNow - dataStepFrom;
    }
    ASSERT_NE(timedOutAfter, 0u);
    if (noise == Noise::FrameRate) {
      // The forged frame is whole 900 ms + 1,015 bytes at 1 ms each after the step began.
      EXPECT_GE(timedOutAfter, 1000u + 900u);
      EXPECT_LE(timedOutAfter, 900u + forgedLength + 100u) << "deferred past the one frame";
    } else {
      EXPECT_GE(timedOutAfter, 1000u);
      EXPECT_LE(timedOutAfter, 1600u);
    }
    EXPECT_EQ(rig.Engine.Statistics().Timeouts, 1u);
    EXPECT_TRUE(rig.Owner.Delivered.empty());
  }
}

}  // namespace
}  // namespace kelda::enginetest
