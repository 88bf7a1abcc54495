// The engine against the GE PLC simulator: frames the engine sends go to the simulated PLC, its
// answers come back through the receive path, all on the test's clock.
#pragma once

#include <algorithm>

#include "EngineTestKit.h"
#include "tools/plcsim/PlcSim.h"

namespace kelda::enginetest {

namespace sim = kelda::plcsim;

inline constexpr uint8_t kRegisters = 0x08;

// Register values that hold the protocols' control bytes in both halves.
inline uint16_t RegisterValue(uint32_t index) {
  static const uint16_t awkward[] = {0x0203, 0x1703, 0x1B17, 0x0602, 0x1504, 0x0317, 0x1B1B, 0x0000};
  if (index % 3 == 0) return awkward[(index / 3) % 8];
  return static_cast<uint16_t>(index * 257 + 11);
}

struct TSimRig : TEngineRig {
  sim::Simulator Plc;
  size_t HostChunk = 0;  // 0: the simulator's chunks as they come
  uint64_t WireOut = 0;  // bytes of the frames the PLC was given (a line break is none)
  uint64_t WireIn = 0;   // bytes handed back to the engine

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
        if (frame == kBreakCommand) {
          Plc.lineBreak(gNow);
          continue;
        }
        WireOut += frame.size();
        Plc.receive(reinterpret_cast<const uint8_t*>(frame.data()), frame.size(), gNow);
      }
      for (const std::vector<uint8_t>& chunk : Plc.takeOutput(gNow)) {
        moved = true;
        std::string bytes(chunk.begin(), chunk.end());
        size_t step = HostChunk ? HostChunk : std::max<size_t>(bytes.size(), 1);
        WireIn += bytes.size();
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
    for (const TDelivered& row : Owner.Delivered) {
      if (row.Values.count("STATUS_CODE") && row.Int("STATUS_CODE") != 0) continue;
      for (int32_t k = 1; k <= count; ++k) {
        ASSERT_EQ(row.Int("R" + std::to_string(k)), RegisterValue(static_cast<uint32_t>(k - 1))) << "R" << k;
      }
    }
  }
};

inline constexpr uint8_t kProtocols[] = {protoCcmMasterSlave, protoCcmPeerToPeer, protoSnp, protoSnpX};

inline std::string Name(uint8_t protocol) {
  static const char* names[] = {"CCM master-slave", "CCM peer-to-peer", "SNP", "SNP-X"};
  return names[protocol];
}

}  // namespace kelda::enginetest
