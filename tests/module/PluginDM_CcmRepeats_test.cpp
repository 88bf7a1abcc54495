// The CCM block search on a line where the slave repeats a block whose ACK it missed
// and the host hands the repeat over in pieces, as a serial port does.
#include <gtest/gtest.h>

#include "EngineFrames.h"
#include "EngineSimKit.h"

namespace kelda::enginetest {
namespace {

constexpr uint8_t kModes[] = {protoCcmMasterSlave, protoCcmPeerToPeer};

// A full block whose data begins with bytes that, on their own, form a valid short last block:
// STX 11 22 ETX and the framed LRC of those four bytes.
std::string FullBlockHidingALastBlock() {
  std::string data(256, '\0');
  for (int k = 0; k < 256; ++k) data[static_cast<size_t>(k)] = static_cast<char>(0x40 + k);
  const uint8_t hidden[] = {STX, 0x11, 0x22, ETX, STX ^ 0x11 ^ 0x22 ^ ETX};
  for (size_t k = 0; k < sizeof(hidden); ++k) data[k] = static_cast<char>(hidden[k]);
  return CcmBlock(data, false);
}

// A read of 129 registers: one full block and a last block of one register. The slave missed
// the ACK of the full block and sends it again; the repeat reaches the engine in two pieces, the
// first ending just after the short frame its data holds. Only the real last block may give
// register 129 its value.
TEST(CcmRepeatSplit, ARepeatedFullBlockArrivingInPiecesIsNeverTakenAsTheLastBlock) {
  for (uint8_t protocol : kModes) {
    SCOPED_TRACE(Name(protocol));
    TEngineRig rig(protocol);
    TRequestItem& request = rig.AddRequest("2", kRegisters, 1, 258, 1000);
    request.Timeout = 1000;
    TEngineRig::AddItem(request, "B1", dtD8, 0);
    TEngineRig::AddItem(request, "R129", dtD16, 256).LE = true;
    rig.Tick();
    rig.Receive(protocol == protoCcmMasterSlave ? Bytes({'N', 0x22, ACK}) : kAck1);
    rig.Receive(kAck1);
    rig.Owner.TakeSent();

    const std::string full = FullBlockHidingALastBlock();
    rig.Receive(full);
    rig.Receive(full.substr(0, 20));  // the repeat, first piece
    rig.Receive(full.substr(20));     // and the rest
    rig.Receive(CcmBlock(Bytes({0x55, 0x66}), true));
    for (const TDelivered& row : rig.Owner.Delivered) {
      EXPECT_EQ(row.Int("B1"), STX);
      EXPECT_EQ(row.Int("R129"), 0x6655) << "register 129 from the repeated block's data";
    }
    EXPECT_LE(rig.Owner.Delivered.size(), 1u);
  }
}

// An odd read (one full block and one byte): the last block may carry a pad byte, so a full
// block is no longer looked for once the first is in. The slave repeats the full block whole;
// its data holds STX 11 ETX and that frame's LRC.
TEST(CcmRepeatOdd, ARepeatedFullBlockOfAnOddReadIsNeverTakenAsTheLastBlock) {
  for (uint8_t protocol : kModes) {
    SCOPED_TRACE(Name(protocol));
    TEngineRig rig(protocol);
    TRequestItem& request = rig.AddRequest("2", kRegisters, 1, 257, 1000);
    request.Timeout = 1000;
    TEngineRig::AddItem(request, "B1", dtD8, 0);
    TEngineRig::AddItem(request, "B257", dtD8, 256);
    rig.Tick();
    rig.Receive(protocol == protoCcmMasterSlave ? Bytes({'N', 0x22, ACK}) : kAck1);
    rig.Receive(kAck1);
    rig.Owner.TakeSent();

    std::string data(256, '\0');
    for (int k = 0; k < 256; ++k) data[static_cast<size_t>(k)] = static_cast<char>(0x40 + k);
    const uint8_t hidden[] = {STX, 0x11, ETX, STX ^ 0x11 ^ ETX};
    for (size_t k = 0; k < sizeof(hidden); ++k) data[k] = static_cast<char>(hidden[k]);
    const std::string full = CcmBlock(data, false);
    rig.Receive(full);
    rig.Receive(full);  // sent again: our ACK was lost
    rig.Receive(CcmBlock(Bytes({0x77, 0x00}), true));
    for (const TDelivered& row : rig.Owner.Delivered) EXPECT_EQ(row.Int("B257"), 0x77);
    EXPECT_LE(rig.Owner.Delivered.size(), 1u);
  }
}

}  // namespace
}  // namespace kelda::enginetest
