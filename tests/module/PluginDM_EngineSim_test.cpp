// The engine against the GE PLC simulator, for each protocol: frames go to the simulated PLC,
// its answers come back through the receive path in chunks of any size, and every complete valid
// answer must give exactly one row with the PLC's values, whatever faults the line shows.
#include <gtest/gtest.h>

#include <algorithm>

#include "EngineSimKit.h"

using namespace kelda;
using namespace kelda::enginetest;

namespace {

TEST(EngineWithPlc, ReadsRegistersHoldingControlBytesInEveryChunking) {
  for (uint8_t protocol : kProtocols) {
    for (size_t chunk : {size_t{0}, size_t{1}, size_t{2}, size_t{7}}) {
      SCOPED_TRACE(Name(protocol) + ", host chunk " + std::to_string(chunk));
      TSimRig rig(protocol);
      rig.HostChunk = chunk;
      rig.AddRegisterRead(10);
      rig.Run(1000);
      EXPECT_EQ(static_cast<int>(rig.Owner.Delivered.size()), rig.Plc.counters().completeReads);
      EXPECT_GE(rig.Owner.Delivered.size(), 4u);
      rig.ExpectRegisterRows(10);
    }
  }
}

TEST(EngineWithPlc, LongReadsOverSeveralBuffersAndBlocks) {
  for (uint8_t protocol : kProtocols) {
    SCOPED_TRACE(Name(protocol));
    TSimRig rig(protocol);
    rig.Plc.setSnpDataSize(64);      // SNP: 300 bytes come in five text buffers
    rig.AddRegisterRead(150, 1000);  // CCM: 300 bytes, one full block and 44 bytes
    rig.Run(2000);
    ASSERT_GE(rig.Owner.Delivered.size(), 1u);
    EXPECT_EQ(static_cast<int>(rig.Owner.Delivered.size()), rig.Plc.counters().completeReads);
    rig.ExpectRegisterRows(150);
  }
}

TEST(EngineWithPlc, TwoRequestsTakeTurns) {
  for (uint8_t protocol : kProtocols) {
    SCOPED_TRACE(Name(protocol));
    TSimRig rig(protocol);
    rig.AddRegisterRead(2, 100);
    TRequestItem& second = rig.AddRegisterRead(5, 100);
    second.ResponseItems[0]->Name = "S";
    rig.Run(2000);
    size_t first = 0, other = 0;
    for (const TDelivered& row : rig.Owner.Delivered) (row.Values.count("R1") ? first : other)++;
    EXPECT_GE(first, 3u);
    EXPECT_GE(other, 3u);
    EXPECT_LE(first > other ? first - other : other - first, 1u) << "the requests alternate";
  }
}

struct FaultCase {
  const char* What;
  void (*Apply)(sim::Faults&);
};

const FaultCase kFaults[] = {
    {"noise before frames", [](sim::Faults& f) { f.noiseBeforeFrames = -1; }},
    {"noise of any byte",
     [](sim::Faults& f) {
       f.noiseBeforeFrames = -1;
       f.noiseSafe = false;
     }},
    {"corrupted checks", [](sim::Faults& f) { f.corruptCheck = 3; }},
    {"NAK", [](sim::Faults& f) { f.nak = 3; }},
    {"silence", [](sim::Faults& f) { f.silent = 3; }},
    {"late answers", [](sim::Faults& f) { f.lateMs = 300; }},
    {"repeated frames", [](sim::Faults& f) { f.repeatFrame = -1; }},
    {"one-byte chunks", [](sim::Faults& f) { f.chunkSize = 1; }},
    {"2 KB chunks", [](sim::Faults& f) { f.chunkSize = 2048; }},
    // What less polite PLCs and lines do; each acts in its own protocol only.
    {"steady noise", [](sim::Faults& f) { f.noiseEveryMs = 30; }},
    {"endless text-buffer chain", [](sim::Faults& f) { f.endlessChain = 3; }},
    {"error nack", [](sim::Faults& f) { f.errorNack = 3; }},
    {"one byte more", [](sim::Faults& f) { f.extraByte = -1; }},
};

bool Passing(const sim::Faults& f) {
  return f.corruptCheck > 0 || f.nak > 0 || f.silent > 0 || f.endlessChain > 0 || f.errorNack > 0;
}

TEST(EngineWithPlc, EveryValidAnswerGivesOneRowWhateverTheLineDoes) {
  for (uint8_t protocol : kProtocols) {
    for (const FaultCase& fault : kFaults) {
      SCOPED_TRACE(Name(protocol) + ", " + fault.What);
      TSimRig rig(protocol);
      sim::Faults faults;
      fault.Apply(faults);
      rig.Plc.setFaults(faults);
      rig.AddRegisterRead(8, 100);
      rig.Run(6000);
      rig.Drain();
      int valid = rig.Plc.counters().completeReads;
      if (protocol == protoSnpX) valid += rig.Plc.counters().naks;  // error answers
      EXPECT_EQ(static_cast<int>(rig.Owner.Delivered.size()), valid) << "no row lost, none invented";
      rig.ExpectRegisterRows(8);
      // The faults that end by themselves leave a link that works again.
      if (Passing(faults)) {
        size_t before = rig.Owner.Delivered.size();
        rig.Run(3000);
        EXPECT_GT(rig.Owner.Delivered.size(), before) << "the scheduler recovered";
      } else {
        EXPECT_GE(valid, 5) << "the fault does not stop the link";
      }
    }
  }
}

TEST(EngineWithPlc, FaultsThatEndTheReadAtOnceCostNoTimeOut) {
  // An endless text-buffer chain and an error nack end their read at once: the next read goes
  // out at the next tick, never after a time-out.
  for (const FaultCase& fault : {FaultCase{"endless chain", [](sim::Faults& f) { f.endlessChain = -1; }},
                                 FaultCase{"error nack", [](sim::Faults& f) { f.errorNack = -1; }}}) {
    SCOPED_TRACE(fault.What);
    TSimRig rig(protoSnp);
    sim::Faults faults;
    fault.Apply(faults);
    rig.Plc.setFaults(faults);
    rig.AddRegisterRead(8, 100);
    rig.Run(3000);
    EXPECT_TRUE(rig.Owner.Delivered.empty());
    EXPECT_EQ(rig.Engine.Statistics().Timeouts, 0u);
    EXPECT_GE(rig.Engine.Statistics().Requests, 25u) << "one read per poll interval";
    EXPECT_LE(rig.Engine.ResponseData.size(), 16u);
  }
}

TEST(EngineWithPlc, PaddedLastBlock) {
  for (uint8_t protocol : {protoCcmMasterSlave, protoCcmPeerToPeer}) {
    SCOPED_TRACE(Name(protocol) + ", pad byte");
    TSimRig rig(protocol);
    sim::Faults faults;
    faults.ccmPad = -1;
    rig.Plc.setFaults(faults);
    TRequestItem& request = rig.AddRequest("2", kRegisters, 1, 7, 200);  // 7 bytes: a pad byte follows
    TEngineRig::AddItem(request, "B", dtD8, 0, 8).AppendCnt = true;
    rig.Run(1000);
    ASSERT_GE(rig.Owner.Delivered.size(), 3u);
    EXPECT_EQ(static_cast<int>(rig.Owner.Delivered.size()), rig.Plc.counters().completeReads);
    for (const TDelivered& row : rig.Owner.Delivered) {
      EXPECT_EQ(row.Int("B1"), RegisterValue(0) & 0xFF);
      EXPECT_EQ(row.Int("B7"), RegisterValue(3) & 0xFF);
      EXPECT_EQ(row.Text("B8"), "0") << "the pad byte is no value";
    }
  }
}

TEST(EngineWithPlc, SilentPlcAndFailingSendsNeverBlockOtherRequests) {
  for (uint8_t protocol : kProtocols) {
    SCOPED_TRACE(Name(protocol));
    TSimRig rig(protocol);
    sim::Faults faults;
    faults.silent = -1;
    rig.Plc.setFaults(faults);
    rig.AddRegisterRead(2, 100);
    rig.Run(10000);
    EXPECT_TRUE(rig.Owner.Delivered.empty());
    faults.silent = 0;
    rig.Plc.setFaults(faults);
    rig.Run(3000);
    EXPECT_FALSE(rig.Owner.Delivered.empty());

    rig.Owner.FailSends = -1;
    rig.Run(1000);
    rig.Owner.FailSends = 0;
    size_t before = rig.Owner.Delivered.size();
    rig.Run(2000);
    EXPECT_GT(rig.Owner.Delivered.size(), before);
  }
}

TEST(EngineWithPlc, BusyPlcThatRefusesForeverDeliversNothing) {
  for (uint8_t protocol : {protoCcmMasterSlave, protoCcmPeerToPeer}) {
    SCOPED_TRACE(Name(protocol));
    TSimRig rig(protocol);
    sim::Faults faults;
    faults.nak = -1;
    rig.Plc.setFaults(faults);
    TRequestItem& request = rig.AddRegisterRead(2, 100);
    rig.Run(3000);
    EXPECT_TRUE(rig.Owner.Delivered.empty());
    EXPECT_EQ(request.Step, stRefused);
    EXPECT_GE(rig.Plc.counters().naks, 10) << "refused requests are sent again when due";
  }
}

}  // namespace
