// The engine against the GE PLC simulator, for each protocol: frames go to the simulated PLC,
// its answers come back through the receive path in chunks of any size, and every complete valid
// answer must give exactly one row with the PLC's values, whatever faults the line shows.
#include <gtest/gtest.h>

#include <algorithm>

#include "EngineTestKit.h"
#include "tools/plcsim/PlcSim.h"

using namespace kelda;
using namespace kelda::enginetest;
namespace sim = kelda::plcsim;

namespace {

constexpr uint8_t kRegisters = 0x08;

// Register values that hold the protocols' control bytes in both halves.
uint16_t RegisterValue(uint32_t index) {
  static const uint16_t awkward[] = {0x0203, 0x1703, 0x1B17, 0x0602, 0x1504, 0x0317, 0x1B1B, 0x0000};
  if (index % 3 == 0) return awkward[(index / 3) % 8];
  return static_cast<uint16_t>(index * 257 + 11);
}

struct TSimRig : TEngineRig {
  sim::Simulator Plc;
  size_t HostChunk = 0;  // 0: the simulator's chunks as they come

  explicit TSimRig(uint8_t protocol)
      : TEngineRig(protocol), Plc(static_cast<sim::Mode>(protocol), "PLC1", 2) {
    for (uint32_t i = 0; i < 1200; ++i) Plc.setWord(kRegisters, i, RegisterValue(i));
  }

  // A request for `count` registers from the first; its items read them as R1..Rn.
  TRequestItem& AddRegisterRead(int32_t count, int32_t pollMs = 200) {
    const bool ccm = Engine.Protocol <= protoCcmPeerToPeer;
    // CCM addresses registers from 1 and counts bytes; SNP and SNP-X from 0 and count words.
    TRequestItem& request = ccm ? AddRequest("2", kRegisters, 1, count * 2, pollMs)
                                : AddRequest("PLC1", kRegisters, 0, count, pollMs);
    request.Timeout = 1000;
    TResponseItem& item = AddItem(request, "R", dtD16, 0, count);
    item.AppendCnt = true;
    item.LE = true;  // the PLC sends each register low byte first
    return request;
  }

  // Moves frames to the PLC and its answers back until both sides are quiet.
  void Pump() {
    for (int round = 0; round < 10000; ++round) {
      bool moved = false;
      for (const std::string& frame : Owner.TakeSent()) {
        moved = true;
        if (frame == kBreakCommand)
          Plc.lineBreak(gNow);
        else
          Plc.receive(reinterpret_cast<const uint8_t*>(frame.data()), frame.size(), gNow);
      }
      for (const std::vector<uint8_t>& chunk : Plc.takeOutput(gNow)) {
        moved = true;
        std::string bytes(chunk.begin(), chunk.end());
        size_t step = HostChunk ? HostChunk : std::max<size_t>(bytes.size(), 1);
        for (size_t at = 0; at < bytes.size(); at += step) Receive(bytes.substr(at, step));
      }
      if (!moved) return;
    }
    FAIL() << "the engine and the PLC never fell quiet";
  }

  // Lets answers still on their way arrive, without starting anything new.
  void Drain() {
    for (int i = 0; i < 40; ++i) {
      Advance(TSerialPortDM::kTickMs);
      Pump();
    }
  }

  // Runs the scheduler for `ms` of module time in steps of one tick.
  void Run(uint64_t ms) {
    for (uint64_t t = 0; t < ms; t += TSerialPortDM::kTickMs) {
      Tick();
      Pump();
      Advance(TSerialPortDM::kTickMs);
    }
  }

  // Every delivered row holds the PLC's register values. An SNP-X error answer is a row too:
  // its status code tells the error, its values are the defaults.
  void ExpectRegisterRows(int32_t count) {
    for (const TDelivered& row : Owner.Delivered)
      if (!row.Values.count("STATUS_CODE") || row.Int("STATUS_CODE") == 0)
        for (int32_t k = 1; k <= count; ++k)
          ASSERT_EQ(row.Int("R" + std::to_string(k)), RegisterValue(static_cast<uint32_t>(k - 1)))
              << "R" << k;
  }
};

const uint8_t kProtocols[] = {protoCcmMasterSlave, protoCcmPeerToPeer, protoSnp, protoSnpX};

std::string Name(uint8_t protocol) {
  static const char* names[] = {"CCM master-slave", "CCM peer-to-peer", "SNP", "SNP-X"};
  return names[protocol];
}

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
};

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
      if (faults.corruptCheck > 0 || faults.nak > 0 || faults.silent > 0) {
        size_t before = rig.Owner.Delivered.size();
        rig.Run(3000);
        EXPECT_GT(rig.Owner.Delivered.size(), before) << "the scheduler recovered";
      } else {
        EXPECT_GE(valid, 5) << "the fault does not stop the link";
      }
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
