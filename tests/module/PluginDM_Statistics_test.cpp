// The engine's counters and its reports of failed transactions, in every protocol, against the
// PLC simulator on the test's clock: what a clean transaction, a silent PLC, a spoiled check, a
// refusal and a failed send each count, and the round-trip times.
#include <gtest/gtest.h>

#include "EngineSimKit.h"

using namespace kelda;
using namespace kelda::enginetest;

namespace {

constexpr int32_t kOnce = 600000;  // a poll interval no test reaches: one transaction per request

struct TExpected {
  uint64_t Requests, Answers, Timeouts, Checks, Naks;
};

void ExpectCounts(const TEngineStatistics& s, const TExpected& e) {
  EXPECT_EQ(s.Requests, e.Requests) << "requests";
  EXPECT_EQ(s.Answers, e.Answers) << "answers";
  EXPECT_EQ(s.Timeouts, e.Timeouts) << "time-outs";
  EXPECT_EQ(s.Checks, e.Checks) << "failed checks";
  EXPECT_EQ(s.Naks, e.Naks) << "NAKs";
}

// The failure the engine reported for the rig's only request, as the test kit writes it.
std::string Failure(const char* cause) {
  return std::string("7 COM1 \"Q1\": ") + cause;
}

std::unique_ptr<TSimRig> RigWithFaults(uint8_t protocol, void (*apply)(sim::Faults&)) {
  auto rig = std::make_unique<TSimRig>(protocol);
  rig->AddRegisterRead(4, kOnce);
  sim::Faults faults;
  apply(faults);
  rig->Plc.setFaults(faults);
  return rig;
}

TEST(EngineStatistics, EachOutcomeCountedOnceInEveryProtocol) {
  for (uint8_t protocol : kProtocols) {
    SCOPED_TRACE(Name(protocol));
    const bool snp = protocol == protoSnp || protocol == protoSnpX;
    {
      SCOPED_TRACE("clean");
      auto rig = RigWithFaults(protocol, [](sim::Faults&) {});
      ExpectCounts(rig->Engine.Statistics(), {0, 0, 0, 0, 0});
      rig->Run(3000);
      ASSERT_EQ(rig->Owner.Delivered.size(), 1u);
      const TEngineStatistics s = rig->Engine.Statistics();
      ExpectCounts(s, {1, 1, 0, 0, 0});
      EXPECT_GT(rig->WireOut, 0u);
      EXPECT_EQ(s.BytesOut, rig->WireOut) << "every frame, acknowledgements included; the break is no byte";
      EXPECT_EQ(s.BytesIn, rig->WireIn);
      EXPECT_TRUE(rig->Owner.Failures.empty());
    }
    {
      SCOPED_TRACE("silent PLC");
      auto rig = RigWithFaults(protocol, [](sim::Faults& f) { f.silent = 1; });
      rig->Run(3000);
      ExpectCounts(rig->Engine.Statistics(), {1, 0, 1, 0, 0});
      EXPECT_EQ(rig->Owner.Failures, std::vector<std::string>{Failure("handshake time-out")});
    }
    {
      SCOPED_TRACE("corrupted check");
      auto rig = RigWithFaults(protocol, [](sim::Faults& f) { f.corruptCheck = 1; });
      rig->Run(3000);
      ASSERT_EQ(rig->Plc.counters().corrupted, 1);
      ExpectCounts(rig->Engine.Statistics(), {1, 0, 1, 1, 0});
      EXPECT_EQ(rig->Owner.Failures, std::vector<std::string>{Failure("check failed")})
          << "the spoiled answer names the failure, not the time-out it led to";
    }
    {
      SCOPED_TRACE("NAK");
      auto rig = RigWithFaults(protocol, [](sim::Faults& f) { f.nak = 1; });
      rig->Run(3000);
      ASSERT_EQ(rig->Plc.counters().naks, 1);
      if (protocol == protoSnpX) {
        // The error answer is still a row for the host, with its status code.
        ExpectCounts(rig->Engine.Statistics(), {1, 1, 0, 0, 1});
      } else if (protocol == protoSnp) {
        // The refused mailbox goes out again at once and is answered: no failure.
        ExpectCounts(rig->Engine.Statistics(), {1, 1, 0, 0, 1});
      } else {
        ExpectCounts(rig->Engine.Statistics(), {1, 0, 0, 0, 1});
      }
      // An SNP-X error answer names the PLC's error (the simulator's is "queue full").
      if (protocol == protoSnp)
        EXPECT_TRUE(rig->Owner.Failures.empty());
      else
        EXPECT_EQ(rig->Owner.Failures,
                  std::vector<std::string>{
                      protocol == protoSnpX
                          ? Failure("PLC error major 0F (SNP-X request error), minor 07 (queue full)")
                          : Failure("NAK")});
    }
    {
      SCOPED_TRACE("failed send");
      auto rig = RigWithFaults(protocol, [](sim::Faults&) {});
      rig->Owner.FailSends = snp ? 2 : 1;  // SNP: the break and the attach
      rig->Tick();
      ExpectCounts(rig->Engine.Statistics(), {0, 0, 0, 0, 0});
      EXPECT_EQ(rig->Engine.Statistics().BytesOut, 0u);
      EXPECT_EQ(rig->Owner.Failures, std::vector<std::string>{Failure("send failed")});
      rig->Run(3000);  // tried again at the next tick
      ExpectCounts(rig->Engine.Statistics(), {1, 1, 0, 0, 0});
      EXPECT_EQ(rig->Engine.Statistics().BytesOut, rig->WireOut);
    }
  }
}

TEST(EngineStatistics, RoundTripsRunFromTheFirstSendToTheDecodedRow) {
  TSimRig rig(protoSnpX);
  TRequestItem& request = rig.AddRegisterRead(4, kOnce);
  sim::Faults late;
  late.lateMs = 35;
  rig.Plc.setFaults(late);
  EXPECT_EQ(rig.Engine.Statistics().RoundTripMs, 0u) << "none before the first round trip";

  // Attach and read, each answered 35 ms after it went out.
  rig.Tick();
  rig.Pump();
  rig.Advance(35);
  rig.Pump();
  rig.Advance(35);
  rig.Pump();
  ASSERT_EQ(rig.Owner.Delivered.size(), 1u);
  EXPECT_EQ(rig.Engine.Statistics().RoundTripMs, 70u);
  EXPECT_EQ(rig.Engine.Statistics().RoundTripAverageMs, 70u);

  // The next transaction: the read's answer is taken 38 ms after it went out.
  request.Timer.Clear();
  rig.Tick();
  rig.Pump();
  rig.Advance(35);
  rig.Pump();
  rig.Advance(38);
  rig.Pump();
  ASSERT_EQ(rig.Owner.Delivered.size(), 2u);
  EXPECT_EQ(rig.Engine.Statistics().RoundTripMs, 73u);
  EXPECT_EQ(rig.Engine.Statistics().RoundTripAverageMs, 72u) << "71.5 rounded";

  // A transaction whose data never come counts a data time-out and no round trip.
  request.Timer.Clear();
  rig.Tick();
  rig.Pump();
  sim::Faults silentRead = late;
  silentRead.silent = 1;
  rig.Plc.setFaults(silentRead);  // the attach is already with the PLC; the read goes unanswered
  rig.Advance(35);
  rig.Pump();
  ASSERT_EQ(request.Step, stAwaitingData);
  rig.Advance(static_cast<uint64_t>(request.Timeout));
  rig.Tick();
  const TEngineStatistics s = rig.Engine.Statistics();
  ExpectCounts(s, {3, 2, 1, 0, 0});
  EXPECT_EQ(s.RoundTripMs, 73u);
  EXPECT_EQ(s.RoundTripAverageMs, 72u);
  EXPECT_EQ(rig.Owner.Failures, std::vector<std::string>{Failure("data time-out")});
}

TEST(EngineStatistics, LineFormThePollerParses) {
  TEngineStatistics s;
  EXPECT_EQ(
      StatisticsLine(3, s),
      "3;requests=0;answers=0;timeouts=0;checks=0;naks=0;out=0;in=0;rtt=0;rtt_avg=0;retries=0;demotions=0;"
      "demoted=0");
  s = {12, 11, 1, 2, 3, 5000000000ull, 560, 35, 36, 4, 2, 1};
  EXPECT_EQ(StatisticsLine(-1, s),
            "-1;requests=12;answers=11;timeouts=1;checks=2;naks=3;out=5000000000;in=560;rtt=35;rtt_avg=36;"
            "retries=4;demotions=2;demoted=1")
      << "counters beyond 32 bits";
}

}  // namespace
