// The receive path per complete transaction: the tick sends the opening, the PLC's answers come
// back in chunks through ReceiveData, and the last one is decoded into a row. Reported with the
// wire time of the received bytes at 19200 baud 8O1 (11 bits a byte) for comparison. The long
// answers are also handed over a byte per data call, as a port without a receive FIFO does: the
// cost of a frame must not depend on how it is split.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "Common/Variants.h"
#include "Common/zorParamLst.h"
#include "Common/zorTimerEx.h"
#include "Plugins/zorPluginModule.h"
#include "module/PluginDM_SerialPort.h"
#include "tests/support/EngineOwnerStub.h"

using namespace kelda;

namespace {

std::string WithBcc(std::string frame) {
  return frame + static_cast<char>(SnpBcc(reinterpret_cast<const uint8_t*>(frame.data()), frame.size()));
}

std::string Data(size_t size) {
  std::string data;
  for (size_t i = 0; i < size; ++i) data += static_cast<char>((i * 37 + 3) & 0xFF);
  return data;
}

std::string SnpXAnswers(size_t size) {
  std::string attach = WithBcc("\x1B\x58" + std::string("PLC1\0\0\0\0", 8) + "\x80" + std::string(7, '\0') +
                               "\x17" + std::string(4, '\0'));
  std::string read = std::string("\x1B\x58\x81\x00\x00\x00\x00", 7) + static_cast<char>(size & 0xFF) +
                     static_cast<char>(size >> 8) + Data(size) + "\x17" + std::string(4, '\0');
  return attach + WithBcc(read);
}

std::string SnpAnswers(size_t size) {
  std::string attach = "\x1BR" + std::string("PLC1\0\0\0\0", 8) + "0A000   \x17" + std::string(3, '\0');
  attach += HexDigits(SnpBcc(reinterpret_cast<const uint8_t*>(attach.data()), attach.size()), 2);
  std::string ack("\x06\x00", 2);
  std::string text = WithBcc("\x1BT" + Data(size) + "\x17" + std::string(4, '\0'));
  // The mailbox announces the text buffer: next type "T" and its whole length.
  std::string announce =
      std::string("T") + static_cast<char>(text.size() & 0xFF) + static_cast<char>(text.size() >> 8) + '\0';
  std::string mailbox = WithBcc(std::string("\x1B\x4D") + std::string(6, '\0') + "\x01\x94" +
                                std::string("\x10\x0A\x00\x00\x10\x3A\x00\x00\x00\x01", 10) +
                                std::string(14, '\0') + "\x17" + announce);
  return attach + ack + mailbox + text;
}

// CCM data blocks: STX, up to 256 data bytes, ETB (more follow) or ETX (the last), and the LRC.
std::string CcmBlocks(size_t size) {
  const std::string data = Data(size);
  std::string blocks;
  for (size_t at = 0; at < size; at += 256) {
    const bool last = at + 256 >= size;
    std::string block = "\x02" + data.substr(at, 256) + (last ? "\x03" : "\x17");
    blocks += block + static_cast<char>(Lrc(reinterpret_cast<const uint8_t*>(block.data()), block.size()));
  }
  return blocks;
}

// Master to slave: the target's "N" and ACK, the header's ACK, the blocks, and the closing EOT.
std::string CcmMasterAnswers(size_t size) {
  return std::string("N\x22\x06\x06") + CcmBlocks(size) + "\x04";
}

// Peer to peer: the enquiry's ACK, the header's ACK and the blocks; no EOT.
std::string CcmPeerAnswers(size_t size) {
  return std::string("\x06\x06") + CcmBlocks(size);
}

// Request sizes count words for SNP and SNP-X, bytes for CCM.
void RunTransactions(benchmark::State& state, uint8_t protocol, size_t dataBytes, const std::string& answers,
                     size_t chunk = 16) {
  const bool ccm = protocol == protoCcmMasterSlave || protocol == protoCcmPeerToPeer;
  TEngineOwnerStub owner;
  TSerialPortDM engine(nullptr, &owner);
  owner.Engine = &engine;
  engine.SetProtocol(protocol);
  auto* request = new TRequestItem;
  request->Enabled = true;
  request->Address = ccm ? "2" : "PLC1";
  request->Memory = 8;
  request->Size = static_cast<int32_t>(ccm ? dataBytes : dataBytes / 2);
  for (size_t i = 0; i < dataBytes / 2; ++i) {
    auto item = std::make_unique<TResponseItem>();
    item->SetDataType(dtD16);
    item->Name = "R" + std::to_string(i);
    item->Offset = static_cast<int32_t>(i * 2);
    request->ResponseItems.push_back(std::move(item));
  }
  engine.RequestList->Add(request);
  for (auto _ : state) {
    request->Timer.Clear();
    request->Busy = false;
    engine.QueueTick();
    for (size_t at = 0; at < answers.size(); at += chunk) {
      std::string piece = answers.substr(at, chunk);
      owner.Receive(reinterpret_cast<const uint8_t*>(piece.data()), static_cast<int32_t>(piece.size()));
    }
  }
  // One row per transaction, and the last one closed (for CCM master to slave: the EOT answered).
  if (owner.Packets != static_cast<int64_t>(state.iterations()) || request->Step != stIdle)
    state.SkipWithError("answers not decoded");
  const double wireSeconds = static_cast<double>(answers.size()) * 11.0 / 19200.0;
  state.counters["wire_ms"] = wireSeconds * 1000.0;
  state.counters["rx_bytes"] = static_cast<double>(answers.size());
}

void BM_CcmMaster_Read20Bytes(benchmark::State& state) {
  RunTransactions(state, protoCcmMasterSlave, 20, CcmMasterAnswers(20));
}
BENCHMARK(BM_CcmMaster_Read20Bytes);

void BM_CcmMaster_Read300Bytes(benchmark::State& state) {
  RunTransactions(state, protoCcmMasterSlave, 300, CcmMasterAnswers(300));
}
BENCHMARK(BM_CcmMaster_Read300Bytes);

void BM_CcmPeer_Read20Bytes(benchmark::State& state) {
  RunTransactions(state, protoCcmPeerToPeer, 20, CcmPeerAnswers(20));
}
BENCHMARK(BM_CcmPeer_Read20Bytes);

void BM_CcmPeer_Read300Bytes(benchmark::State& state) {
  RunTransactions(state, protoCcmPeerToPeer, 300, CcmPeerAnswers(300));
}
BENCHMARK(BM_CcmPeer_Read300Bytes);

void BM_SnpX_Read20Bytes(benchmark::State& state) {
  RunTransactions(state, protoSnpX, 20, SnpXAnswers(20));
}
BENCHMARK(BM_SnpX_Read20Bytes);

void BM_Snp_Read300Bytes(benchmark::State& state) {
  RunTransactions(state, protoSnp, 300, SnpAnswers(300));
}
BENCHMARK(BM_Snp_Read300Bytes);

// The longest frames GE allows: a 1000-byte X-Response, and an 8 KB text buffer of a Series
// 90-70, in one data call, in 16-byte chunks or a byte per call.
void BM_SnpX_Read1000Bytes(benchmark::State& state) {
  RunTransactions(state, protoSnpX, 1000, SnpXAnswers(1000), static_cast<size_t>(state.range(0)));
}
BENCHMARK(BM_SnpX_Read1000Bytes)->Arg(16384)->Arg(16)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_Snp_Read8192Bytes(benchmark::State& state) {
  RunTransactions(state, protoSnp, 8192, SnpAnswers(8192), static_cast<size_t>(state.range(0)));
}
BENCHMARK(BM_Snp_Read8192Bytes)->Arg(16384)->Arg(16)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
