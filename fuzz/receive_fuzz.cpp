// The receive path meets whatever a serial line delivers. An engine of any protocol, its request
// put in any step of a transaction, gets the input in chunks of any size: nothing may crash, read
// outside its buffers, or grow without bound.
//
// Input: byte 0 the protocol (low 2 bits), the step (next 3 bits) and the memory type (top 3
// bits: registers, bits, bytes, words of another table, an unknown selector); bytes 1-2 the
// request's size; then chunks, each a length byte and that many bytes.
#include <cstdint>
#include <cstdlib>

#include "module/PluginDM_SerialPort.h"
#include "platform/Tick.h"
#include "tests/support/EngineOwnerStub.h"
#include "fuzz/FuzzCheck.h"

using namespace kelda;
using namespace kelda::fuzz;

namespace {

uint64_t gNow = 1000000;
uint64_t FuzzNow() {
  return gNow;
}

void AddItem(TRequestItem& request, uint8_t type, int32_t offset, int32_t count) {
  auto item = std::make_unique<TResponseItem>();
  item->Name = "V" + std::to_string(request.ResponseItems.size());
  item->SetDataType(type);
  item->Offset = offset;
  item->Count = count;
  request.ResponseItems.push_back(std::move(item));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  platform::SetTickSource(&FuzzNow);
  TEngineOwnerStub owner;
  TSerialPortDM engine(nullptr, &owner);
  owner.Engine = &engine;
  engine.SetProtocol(data[0] & 3);
  static const uint8_t steps[] = {stOpeningSent, stMailboxSent, stHeaderSent, stAwaitingData,
                                  stAwaitingEot, stIdle,        stRefused,    stAwaitingData};
  auto* request = new TRequestItem;
  request->Enabled = true;
  request->Address = "2";
  static const uint8_t memories[] = {0x08, 0x46, 0x10, 0x0A, 0x4C, 0x56, 0x04, 0x08};
  request->Memory = memories[data[0] >> 5];
  request->Size = data[1] | (data[2] << 8);
  AddItem(*request, dtD16, 0, 3);
  AddItem(*request, dtF32, -1, 1);
  AddItem(*request, dtBIT, -1, 10);
  AddItem(*request, dtS, -1, 1);
  engine.RequestList->Add(request);
  engine.QueueTick();  // the transaction starts
  if (request->Busy) request->Step = steps[(data[0] >> 2) & 7];

  const size_t readBound =
      (data[0] & 3) <= protoCcmPeerToPeer
          ? (request->Size > 0 ? static_cast<size_t>(request->Size) : TSerialPortDM::kCcmUnsizedLimit)
          : 2 * static_cast<size_t>(request->Size) + 12;
  size_t at = 3;
  while (at < size) {
    size_t length = data[at++];
    if (length > size - at) length = size - at;
    owner.Receive(data + at, static_cast<int32_t>(length));
    Check(engine.RxBuffer->DataSize() <= TSerialPortDM::kRxBufferSize);
    // Collected data never outgrows the read: its byte count for CCM, two bytes a register for
    // SNP and SNP-X (with the SNP-X header, or a completion mailbox's data and status).
    Check(engine.ResponseData.size() <= readBound);
    at += length;
    gNow += 7;
  }
  gNow += 100000;  // time-outs, then the next transaction
  engine.QueueTick();
  platform::SetTickSource(nullptr);
  return 0;
}
