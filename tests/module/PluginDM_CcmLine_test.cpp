// CCM on a line that misbehaves: a flipped bit that turns one reading of a block's LRC into the
// other, slaves on one line that read the LRC differently, blocks the slave sends again because
// it missed our ACK, a header the slave refuses, and noise while a peer's EOT is awaited.
#include <gtest/gtest.h>

#include "EngineFrames.h"
#include "EngineSimKit.h"

namespace kelda::enginetest {
namespace {

constexpr uint8_t kCcmModes[] = {protoCcmMasterSlave, protoCcmPeerToPeer};

std::string DataOnlyLastBlock(const std::string& data) {
  const std::string block = "\x02" + data + "\x03";
  return block + static_cast<char>(Lrc(U(data), data.size()));
}

// A read of one register of station `address` in `protocol`, up to its data block.
TRequestItem& StartRegisterRead(TEngineRig& rig, uint8_t protocol, const std::string& address = "2") {
  TRequestItem& request = rig.AddRequest(address, kRegisters, 1, 2, 1000);
  request.Timeout = 1000;
  TEngineRig::AddItem(request, "W", dtD16, 0).LE = true;
  rig.Tick();
  const auto target = static_cast<char>(std::stoi(address) + 0x20);
  rig.Receive(protocol == protoCcmMasterSlave ? std::string{'N', target, static_cast<char>(ACK)} : kAck1);
  rig.Receive(kAck1);
  rig.Owner.TakeSent();
  return request;
}

// --- the two readings of the LRC ---------------------------------------------------------------

// A last block's two readings differ in bit 0 alone: one flipped bit 0 (of a data byte or of the
// LRC) makes a framed block pass over the data alone, and a data-only block pass framed. Neither
// is taken: the slave is asked for the block again, and its intact copy is.
TEST(CcmLrcReading, OneFlippedBitNeverGivesAValueAndTheSlaveIsAskedAgain) {
  for (uint8_t protocol : kCcmModes) {
    for (bool flipLrc : {false, true}) {
      SCOPED_TRACE(Name(protocol) + (flipLrc ? ", LRC bit 0" : ", data bit 0"));
      TEngineRig rig(protocol);
      TRequestItem& request = StartRegisterRead(rig, protocol);
      const std::string good = CcmBlock(Bytes({0x34, 0x12}), true);
      std::string spoiled = good;
      spoiled[flipLrc ? spoiled.size() - 1 : 1] ^= 0x01;
      rig.Receive(spoiled);
      EXPECT_TRUE(rig.Owner.Delivered.empty()) << "the spoiled block gives no row";
      EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{Bytes({NAK})});
      EXPECT_EQ(request.Step, stAwaitingData);
      rig.Receive(good);
      EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{kAck1});
      ASSERT_EQ(rig.Owner.Delivered.size(), 1u);
      EXPECT_EQ(rig.Owner.Delivered[0].Int("W"), 0x1234);
      EXPECT_EQ(rig.Engine.Statistics().Checks, 1u);
    }
  }
}

// A slave that puts only the data under the LRC proves it with the same block twice; from then
// on its blocks are taken at once, and a framed-looking one (its block with bit 0 flipped) is
// asked for again in turn. Another station on the line keeps the framed reading.
TEST(CcmLrcReading, EachStationProvesItsOwnReading) {
  TEngineRig rig(protoCcmMasterSlave);
  TRequestItem& dataOnly = StartRegisterRead(rig, protoCcmMasterSlave, "3");
  const std::string block = DataOnlyLastBlock(Bytes({0x78, 0x56}));
  rig.Receive(block);
  EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{Bytes({NAK})});
  rig.Receive(block);
  EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{kAck1});
  ASSERT_EQ(rig.Owner.Delivered.size(), 1u);
  EXPECT_EQ(rig.Owner.Delivered[0].Int("W"), 0x5678);
  rig.Receive(Bytes({EOT}));
  rig.Owner.TakeSent();

  // The data-only station again: taken at once; with bit 0 flipped, asked for again.
  dataOnly.Enabled = true;
  auto readAgain = [&](const std::string& address) {
    rig.Advance(1000);
    rig.Tick();
    rig.Receive(std::string{'N', static_cast<char>(std::stoi(address) + 0x20), static_cast<char>(ACK)});
    rig.Receive(kAck1);
    rig.Owner.TakeSent();
  };
  readAgain("3");
  rig.Receive(block);
  EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{kAck1});
  EXPECT_EQ(rig.Owner.Delivered.size(), 2u);
  rig.Receive(Bytes({EOT}));
  readAgain("3");
  std::string spoiled = block;
  spoiled[2] ^= 0x01;
  rig.Receive(spoiled);
  EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{Bytes({NAK})});
  EXPECT_EQ(rig.Owner.Delivered.size(), 2u);
  rig.Receive(block);
  EXPECT_EQ(rig.Owner.Delivered.size(), 3u);
  EXPECT_EQ(rig.Owner.Delivered.back().Int("W"), 0x5678);
  rig.Receive(Bytes({EOT}));

  // A framed station on the same line is read as before, without a NAK.
  dataOnly.Enabled = false;
  TRequestItem& framed = rig.AddRequest("2", kRegisters, 1, 2, 1000);
  TEngineRig::AddItem(framed, "W", dtD16, 0).LE = true;
  readAgain("2");
  rig.Receive(CcmBlock(Bytes({0x34, 0x12}), true));
  EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{kAck1});
  ASSERT_EQ(rig.Owner.Delivered.size(), 4u);
  EXPECT_EQ(rig.Owner.Delivered.back().Int("W"), 0x1234);
}

// Several PLCs on one line, each answering its own station number.
struct TMultidropRig : TEngineRig {
  std::vector<sim::Simulator> Plcs;

  TMultidropRig(uint8_t protocol, std::initializer_list<uint8_t> ids) : TEngineRig(protocol) {
    for (uint8_t id : ids) {
      Plcs.emplace_back(static_cast<sim::Mode>(protocol), "PLC1", id);
      for (uint32_t i = 0; i < 300; ++i) Plcs.back().setWord(kRegisters, i, RegisterValue(i + id));
    }
  }

  void Pump() {
    for (int round = 0; round < 1000; ++round) {
      bool moved = false;
      for (const std::string& frame : Owner.TakeSent()) {
        moved = true;
        for (sim::Simulator& plc : Plcs) plc.receive(U(frame), frame.size(), gNow);
      }
      for (sim::Simulator& plc : Plcs) {
        for (const std::vector<uint8_t>& chunk : plc.takeOutput(gNow)) {
          moved = true;
          Receive(std::string(chunk.begin(), chunk.end()));
        }
      }
      if (!moved) return;
    }
  }

  void Run(uint64_t ms) {
    for (uint64_t t = 0; t < ms; t += TSerialPortDM::kTickMs) {
      Tick();
      Pump();
      Advance(TSerialPortDM::kTickMs);
    }
  }
};

TEST(CcmLrcReading, TwoSlavesThatReadTheLrcDifferentlyAreBothRead) {
  TMultidropRig rig(protoCcmMasterSlave, {2, 3});
  rig.Plcs[1].setCcmLrcIncludesFraming(false);
  for (const char* address : {"2", "3"}) {
    TRequestItem& request = rig.AddRequest(address, kRegisters, 1, 8, 200);  // 4 registers: one last block
    request.Timeout = 1000;
    TEngineRig::AddItem(request, std::string("S") + address + "_", dtD16, 0, 4).AppendCnt = true;
    request.ResponseItems.back()->LE = true;
  }
  rig.Run(20000);
  int rows[2] = {0, 0};
  for (const TDelivered& row : rig.Owner.Delivered) {
    const int station = row.Values.count("S2_1") ? 2 : 3;
    ++rows[station - 2];
    for (int k = 1; k <= 4; ++k)
      EXPECT_EQ(row.Int("S" + std::to_string(station) + "_" + std::to_string(k)),
                RegisterValue(static_cast<uint32_t>(k - 1 + station)));
  }
  EXPECT_GE(rows[0], 20);
  EXPECT_GE(rows[1], 20);
  EXPECT_EQ(rows[0], rig.Plcs[0].counters().completeReads);
  EXPECT_EQ(rows[1], rig.Plcs[1].counters().completeReads);
}

// --- blocks sent again ---------------------------------------------------------------------------

std::string FullBlock(uint8_t first) {
  std::string data(256, '\0');
  for (int k = 0; k < 256; ++k) data[static_cast<size_t>(k)] = static_cast<char>(first + k);
  return CcmBlock(data, false);
}

// `full` full blocks and a last one of 88 bytes; the items are the first byte of the first three.
TRequestItem& StartLongRead(TEngineRig& rig, uint8_t protocol, int32_t full = 2) {
  TRequestItem& request = rig.AddRequest("2", kRegisters, 1, full * 256 + 88, 1000);
  TEngineRig::AddItem(request, "B1", dtD8, 0);
  TEngineRig::AddItem(request, "B2", dtD8, 256);
  TEngineRig::AddItem(request, "B3", dtD8, 512);
  rig.Tick();
  rig.Receive(protocol == protoCcmMasterSlave ? Bytes({'N', 0x22, ACK}) : kAck1);
  rig.Receive(kAck1);
  rig.Owner.TakeSent();
  return request;
}

// The slave missed our ACK of a block and sends it again. It is acknowledged, so that the slave
// goes on, and never taken as the next block, whatever follows: the next block, or (for the
// second full block) the last one.
TEST(CcmRepeatedBlock, ABlockSentAgainIsAcknowledgedButNeverTakenTwice) {
  for (uint8_t protocol : kCcmModes) {
    for (int repeated : {0, 1}) {
      SCOPED_TRACE(Name(protocol) + ", block " + std::to_string(repeated + 1) + " sent again");
      TEngineRig rig(protocol);
      StartLongRead(rig, protocol);
      const std::string blocks[] = {FullBlock(10), FullBlock(20), CcmBlock(std::string(88, '\x1E'), true)};
      for (int k = 0; k < 3; ++k) {
        rig.Receive(blocks[k]);
        if (k == repeated) rig.Receive(blocks[k]);
      }
      EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>(4, kAck1));
      ASSERT_EQ(rig.Owner.Delivered.size(), 1u);
      EXPECT_EQ(rig.Owner.Delivered[0].Int("B1"), 10);
      EXPECT_EQ(rig.Owner.Delivered[0].Int("B2"), 20);
      EXPECT_EQ(rig.Owner.Delivered[0].Int("B3"), 0x1E);
    }
  }
}

// Equal blocks in a row are memory that holds the same bytes, or a block sent again: the count
// the header asked for tells, and where it cannot tell which block went twice, the read fails.
TEST(CcmRepeatedBlock, BlocksAndBytesAddUpExactlyOrTheReadFails) {
  struct Case {
    const char* What;
    int32_t Full;                 // full blocks the read asks for
    std::vector<uint8_t> Blocks;  // first byte of each full block sent; the last block follows
    bool Row;
    int B2;
  };
  const Case cases[] = {
      {"memory with two equal blocks", 2, {10, 10}, true, 10},
      {"an equal block sent again", 2, {10, 10, 20}, true, 20},
      {"three equal blocks, one of them again", 2, {10, 10, 10}, true, 10},
      {"two blocks sent again", 2, {10, 10, 20, 20}, true, 20},
      {"two runs of equal blocks, one of them sent again", 4, {10, 10, 20, 20, 30}, false, 0},
      {"more blocks than asked for", 2, {10, 20, 30}, false, 0},
      {"a block again after a run it does not belong to", 3, {10, 10, 20, 20}, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    TEngineRig rig(protoCcmMasterSlave);
    TRequestItem& request = StartLongRead(rig, protoCcmMasterSlave, c.Full);
    for (uint8_t first : c.Blocks) rig.Receive(FullBlock(first));
    rig.Receive(CcmBlock(std::string(88, '\x1E'), true));
    ASSERT_EQ(rig.Owner.Delivered.size(), c.Row ? 1u : 0u);
    if (c.Row) {
      EXPECT_EQ(rig.Owner.Delivered[0].Int("B1"), 10);
      EXPECT_EQ(rig.Owner.Delivered[0].Int("B2"), c.B2);
      EXPECT_EQ(rig.Owner.Delivered[0].Int("B3"), 0x1E);
    } else {
      EXPECT_FALSE(request.Busy) << "a read that cannot add up ends at once";
      EXPECT_EQ(rig.Owner.Failures.size(), 1u);
    }
  }
}

TEST(CcmRepeatedBlock, SimulatedPlcThatSendsEveryBlockTwiceGivesOnlyItsMemory) {
  for (uint8_t protocol : kCcmModes) {
    SCOPED_TRACE(Name(protocol));
    TSimRig rig(protocol);
    sim::Faults faults;
    faults.repeatFrame = -1;
    rig.Plc.setFaults(faults);
    rig.AddRegisterRead(400, 300);  // three full blocks and a last one
    rig.Run(3000);
    EXPECT_GE(rig.Owner.Delivered.size(), 3u);
    rig.ExpectRegisterRows(400);
  }
}

// --- refused header ----------------------------------------------------------------------------

// A header the slave refuses (a memory type or range it lacks) ends the exchange at once, with
// the EOT GE asks for, as a refusal, not as a station that did not answer; the line goes on.
TEST(CcmRefusedHeader, IsTakenAtOnceAndEndsWithEot) {
  for (uint8_t protocol : kCcmModes) {
    SCOPED_TRACE(Name(protocol));
    TEngineRig rig(protocol);
    TRequestItem& refused = rig.AddRequest("2", kRegisters, 1, 2, 60000);
    TRequestItem& next = rig.AddRequest("3", kRegisters, 1, 2, 60000);
    rig.Tick();
    rig.Receive(protocol == protoCcmMasterSlave ? Bytes({'N', 0x22, ACK}) : kAck1);
    ASSERT_EQ(refused.Step, stHeaderSent);
    rig.Owner.TakeSent();
    rig.Receive(Bytes({NAK}));
    EXPECT_EQ(rig.Owner.TakeSent(), std::vector<std::string>{Bytes({EOT})});
    EXPECT_FALSE(refused.Busy);
    EXPECT_EQ(refused.Step, stRefused);
    EXPECT_EQ(rig.Engine.Statistics().Naks, 1u);
    EXPECT_EQ(rig.Engine.Statistics().Timeouts, 0u);
    ASSERT_EQ(rig.Owner.Failures.size(), 1u);
    EXPECT_NE(rig.Owner.Failures[0].find("NAK"), std::string::npos) << rig.Owner.Failures[0];
    rig.Advance(TSerialPortDM::kTickMs);
    rig.Tick();
    EXPECT_TRUE(next.Busy) << "the next request follows at the next tick";
  }
}

// --- noise while the peer's EOT is awaited -------------------------------------------------------

TEST(CcmPeerEot, NoiseNeverHoldsTheNextEnquiryBackForGood) {
  for (bool sendsEot : {true, false}) {
    SCOPED_TRACE(sendsEot ? "target sends its EOT" : "no EOT (a spoiled one)");
    TSimRig rig(protoCcmPeerToPeer);
    TSpeedSettings speed;
    speed.SendWhenReady = true;
    rig.Engine.SetSpeed(speed);
    rig.Plc.setCcmPeerSendsEot(sendsEot);
    sim::Faults faults;
    faults.noiseEveryMs = 150;
    rig.Plc.setFaults(faults);
    rig.AddRegisterRead(4, 1);
    for (uint64_t end = gNow + 20000; gNow < end;) {
      rig.Advance(std::max<uint32_t>(rig.Engine.NextTickMs(), 1));
      rig.Pump();
      rig.Tick();
      rig.Pump();
    }
    // The handshake time-out (2 s) bounds each wait for the EOT.
    EXPECT_GE(rig.Owner.Delivered.size(), 8u);
    rig.ExpectRegisterRows(4);
  }
}

}  // namespace
}  // namespace kelda::enginetest
