// CCM, master to slave and peer to peer: the enquiry, the header, and the answers of each step.
//
// Master to slave: "N" target ENQ -> "N" target ACK; header -> ACK; data blocks (STX data ETB
// LRC, the last one ending with ETX), each acknowledged; then the slave's EOT, answered with EOT.
// Peer to peer: ENQ -> ACK; header -> ACK; data blocks as above; the target may end with an EOT,
// which needs no answer: the next enquiry waits for it only with "Send when ready".
#include <algorithm>

#include "module/PluginDM_SerialPort.h"

namespace kelda {

std::string CcmEnquiryFrame(uint8_t protocol, const TRequestItem& request) {
  if (protocol == protoCcmPeerToPeer) return std::string(1, static_cast<char>(ENQ));
  const auto target = static_cast<uint32_t>(CcmTargetNumber(request.Address));
  return {'N', static_cast<char>((target + 0x20) & 0xFF), static_cast<char>(ENQ)};
}

// SOH, target, memory type, address, length, source, ETB, and the LRC of the 14 characters
// between SOH and ETB. The request's fields must fit the wire (RequestFitsWire).
std::string CcmHeaderFrame(const TRequestItem& request, double localAddress) {
  const TCcmRequestFields fields = CcmRequestFields(request, localAddress);
  std::string frame(1, static_cast<char>(SOH));
  frame += fields.Target + fields.Memory + fields.Address + fields.Length + fields.Source;
  const auto* body = reinterpret_cast<const uint8_t*>(frame.data()) + 1;
  const uint8_t check = Lrc(body, frame.size() - 1);
  frame += static_cast<char>(ETB);
  frame += static_cast<char>(check);
  return frame;
}

void TSerialPortDM::SendCcmEnquiry(TRequestItem& request) {
  request.Step = stOpeningSent;
  Post(request, TFrameRole::Opening, CcmEnquiryFrame(protoCcmMasterSlave, request));
}

// The header's step and stopwatch are in place before it goes out; should its send fail, the
// request rests for the next tick.
void TSerialPortDM::SendCcmHeader(TRequestItem& request) {
  const uint8_t previous = request.Step;
  request.Step = stHeaderSent;
  request.Timer.Restart();
  request.Busy = true;
  Post(request, TFrameRole::Request, CcmHeaderFrame(request, FOwner->LocalAddress()), previous);
}

int32_t TSerialPortDM::CcmMasterAnswer(TReceiveContext& rx, TRequestItem& request) {
  switch (request.Step) {
    case stOpeningSent: {
      // "N" and the target, then ACK or NAK right after: at most three bytes.
      TFrameMatch m = Search(rx, 'N', {ACK, NAK}, 3, TCheckKind::NoCheck);
      if (!m.Found()) return m.ConsumedThrough();
      request.Timer.Restart();
      if (m.EndChar == NAK)
        Refuse();
      else
        SendCcmHeader(request);
      return m.End;
    }
    case stHeaderSent: {
      TFrameMatch m = Search(rx, ACK, {}, 0, TCheckKind::NoCheck);
      TFrameMatch nak = Search(rx, NAK, {}, 0, TCheckKind::NoCheck);
      if (nak.Found() && (!m.Found() || nak.Start < m.Start)) return RefuseCcmHeader(nak);
      if (!m.Found()) return -1;
      request.Timer.Restart();
      request.Step = stAwaitingData;
      return m.Start;
    }
    case stAwaitingEot: {
      TFrameMatch m = Search(rx, EOT, {}, 0, TCheckKind::NoCheck);
      if (!m.Found()) return -1;
      request.Busy = false;
      request.Step = stIdle;
      FLastReq = nullptr;
      PostChar(EOT);
      ExchangeEnded();  // the master's EOT ends the exchange, not the last block
      return m.Start;
    }
    default:
      return -1;
  }
}

// Only the acknowledgement or refusal restarts the stopwatch: bytes of noise must not hold the
// handshake open for ever.
int32_t TSerialPortDM::CcmPeerAnswer(TReceiveContext& rx, TRequestItem& request) {
  TFrameMatch ack = Search(rx, ACK, {}, 0, TCheckKind::NoCheck);
  if (ack.Found()) {
    request.Timer.Restart();
    if (request.Step == stOpeningSent)
      SendCcmHeader(request);
    else
      request.Step = stAwaitingData;
    return ack.Start;
  }
  TFrameMatch nak = Search(rx, NAK, {}, 0, TCheckKind::NoCheck);
  if (!nak.Found()) return -1;
  if (request.Step == stHeaderSent) return RefuseCcmHeader(nak);
  Refuse();
  return nak.Start;
}

// The station refused the header (a memory type or an address range it does not have): the
// exchange ends at once with the EOT that GE's stations expect after an aborted exchange, and
// the refusal counts as such, not as a station that did not answer.
int32_t TSerialPortDM::RefuseCcmHeader(const TFrameMatch& nak) {
  PostChar(EOT);
  Refuse();
  return nak.Start;
}

namespace {

// The blocks a sized read may be sent next. While full blocks are due (or may come again) a full
// block is tried first; the last block holds the bytes beyond the full blocks.
struct TCcmBlockShape {
  int32_t Last = 0;        // data bytes of the last block
  bool MayPad = false;     // the last block of an odd count, which some slaves fill up to whole registers
  bool FullBlock = false;  // a full block may come
};

TFrameLengths CcmBlockLength(const uint8_t*, int32_t, int32_t, const void* context) {
  const auto& shape = *static_cast<const TCcmBlockShape*>(context);
  TFrameLengths lengths;
  int count = 0;
  const auto add = [&](int32_t length) {
    for (int k = 0; k < count; ++k)
      if (lengths.Length[k] == length) return;
    lengths.Length[count++] = length;
  };
  if (shape.FullBlock) add(TSerialPortDM::kCcmBlockSize + 2);
  if (!shape.FullBlock || shape.Last < TSerialPortDM::kCcmBlockSize) add(shape.Last + 2);  // STX, data, ETX
  if (shape.MayPad) add(shape.Last + 3);                                                   // and the pad byte
  lengths.Count = count;
  return lengths;
}

// Whether a block that starts at `start` may still complete: the end of one of its lengths has
// not arrived yet.
bool CcmBlockMayComplete(const uint8_t* data, int32_t size, const TCcmBlockShape& shape, int32_t start) {
  const TFrameLengths lengths = CcmBlockLength(data, size, start, &shape);
  for (int k = 0; k < lengths.Count; ++k)
    if (int64_t{start} + lengths.Length[k] > size - 1) return true;  // its end and LRC
  return false;
}

}  // namespace

// The next data block: STX, up to 256 data bytes, ETB (more blocks follow) or ETX (the last),
// LRC. The header asked for Size bytes: full blocks of 256, then a last block with the rest (a
// size of whole blocks may end with a full block marked ETX, or with an empty one). Only a block
// of such a length is taken, never one cut short at a data byte that happens to equal ETB or
// ETX. Without a size the block is recognised by its end alone.
TFrameMatch TSerialPortDM::FindCcmBlock(TReceiveContext& rx, const TRequestItem& request) {
  if (request.Size <= 0) return Search(rx, STX, {ETB, ETX}, kCcmBlockMaxLength, TCheckKind::LrcCheck);
  const int32_t full = request.Size / kCcmBlockSize;
  TCcmBlockShape shape;
  shape.Last = request.Size % kCcmBlockSize;
  // The last block only once every full block is in, so that a full block still arriving is
  // never cut short; a full block while they are due, and after them too, since the slave sends
  // a full block again when our ACK was lost.
  const bool lastDue = FCcmBlocks >= full;
  shape.MayPad = lastDue && shape.Last % 2 == 1;
  shape.FullBlock = full > 0;
  if (!lastDue) shape.Last = kCcmBlockSize;
  const TEndChars ends = full > 0 ? TEndChars{ETB, ETX} : TEndChars{ETX};
  const TFrameMatch m =
      FindSizedFrameIn(rx.Data, rx.Size, STX, ends, &CcmBlockLength, &shape, TCheckKind::LrcEither);
  // A block found inside the bytes of an earlier STX whose block is still arriving may be data
  // of that block (a repeated full block holds any bytes): it waits until that block has failed.
  if (m.Found())
    for (int32_t start = 0; start < m.Start; ++start)
      if (rx.Data[start] == STX && CcmBlockMayComplete(rx.Data, rx.Size, shape, start)) return {};
  return m;
}

// Whether a sized read's block passed under its station's reading of the LRC. A last block that
// passed only the other one is refused with NAK (GE's slave sends it again, up to three times):
// the same block again proves the other reading; a different one that passes this station's
// reading shows the first was spoiled.
bool TSerialPortDM::CcmReadingHolds(TRequestItem& request, const std::string& block, bool dataOnly,
                                    bool last) {
  const auto station = static_cast<uint8_t>(CcmTargetNumber(request.Address) & 0xFF);
  const TCcmLrcReading got = dataOnly ? TCcmLrcReading::DataOnly : TCcmLrcReading::Framed;
  auto known = FCcmReadings.find(station);
  const TCcmLrcReading reading = known == FCcmReadings.end() ? TCcmLrcReading::Framed : known->second;
  const bool held = !FCcmHeldBlock.empty();
  if (!last || got == reading || (held && block == FCcmHeldBlock)) {
    if (held && block != FCcmHeldBlock) {
      FCounters.ChecksFailed(1);  // the refused block was spoiled on the line
      NoteTrouble(TTransactionFailure::CheckFailed);
    }
    FCcmReadings[station] = got;
    FCcmHeldBlock.clear();
    return true;
  }
  request.Timer.Restart();
  if (held || FCcmNaks >= kCcmBlockNaks) {
    FCounters.ChecksFailed(1);
    NoteTrouble(TTransactionFailure::CheckFailed);
  }
  if (FCcmNaks >= kCcmBlockNaks) {
    FCcmHeldBlock.clear();  // no more repeats to ask for: the read times out
    return false;
  }
  FCcmHeldBlock = block;
  ++FCcmNaks;
  PostChar(NAK);
  return false;
}

// A full block of a sized read: the block before it again, or the next one. False when the
// blocks can no longer add up to the read (more different blocks than it asked for, or more
// repeats than a slave would send).
bool TSerialPortDM::TakeCcmFullBlock(const std::string& block, int32_t fullBlocks) {
  ++FCcmBlocks;
  if (!FCcmRuns.empty() && FCcmRuns.back().first == block)
    ++FCcmRuns.back().second;
  else
    FCcmRuns.emplace_back(block, 1);
  return static_cast<int32_t>(FCcmRuns.size()) <= fullBlocks && FCcmBlocks <= 2 * fullBlocks + kCcmBlockNaks;
}

// The last block is in and `fullBlocks` full blocks belong before it: each run of equal blocks
// keeps at least one, and the runs must keep them in one way only, else it cannot be told which
// block the slave sent twice. ResponseData gets the full blocks' data.
bool TSerialPortDM::CcmBlocksAddUp(int32_t fullBlocks) {
  const auto runs = static_cast<int32_t>(FCcmRuns.size());
  int32_t repeatedRuns = 0;
  for (const auto& run : FCcmRuns) repeatedRuns += run.second > 1 ? 1 : 0;
  if (runs > fullBlocks || FCcmBlocks < fullBlocks) return false;
  const bool allKept = FCcmBlocks == fullBlocks;
  const bool oneEach = runs == fullBlocks;
  if (!allKept && !oneEach && repeatedRuns > 1) return false;
  int32_t spare = fullBlocks - runs;  // copies kept beyond one per run
  for (const auto& [block, count] : FCcmRuns) {
    int32_t keep = allKept ? count : 1;
    if (!allKept && !oneEach && count > 1) {
      keep += spare;
      spare = 0;
    }
    for (int32_t k = 0; k < keep; ++k) ResponseData.append(block, 1, static_cast<size_t>(kCcmBlockSize));
  }
  return true;
}

int32_t TSerialPortDM::CcmDataBlock(TReceiveContext& rx, TRequestItem& request) {
  TFrameMatch m = Counted(FindCcmBlock(rx, request));
  if (!m.Found()) return m.ConsumedThrough();
  const char* bytes = reinterpret_cast<const char*>(rx.Data);
  const std::string block(bytes + m.Start, static_cast<size_t>(m.End + 2 - m.Start));
  int32_t data = m.End - m.Start - 1;
  if (request.Size > 0) {
    if (!CcmReadingHolds(request, block, m.DataOnlyCheck, m.EndChar == ETX)) return m.End + 1;
    const int32_t full = request.Size / kCcmBlockSize;
    const int32_t last = request.Size % kCcmBlockSize;
    bool fits = true;
    if (m.EndChar == ETB && data == kCcmBlockSize) {
      fits = TakeCcmFullBlock(block, full);
    } else if (m.EndChar == ETB) {
      return m.End + 1;  // no block of this read
    } else if (data == kCcmBlockSize && last == 0) {
      fits = CcmBlocksAddUp(full - 1);  // the last full block, marked as the last
      ResponseData.append(block, 1, static_cast<size_t>(kCcmBlockSize));
    } else if (data == last || (data == last + 1 && last % 2 == 1)) {
      fits = CcmBlocksAddUp(full);
      ResponseData.append(block, 1, static_cast<size_t>(last));  // a pad byte is not data
    } else {
      return m.End + 1;  // no block of this read
    }
    if (!fits) {
      FCounters.ChecksFailed(1);
      FailTransaction(request, TTransactionFailure::BadAnswer);
      return m.End + 1;
    }
  } else {
    if (static_cast<int64_t>(ResponseData.size()) + data > kCcmUnsizedLimit) {
      FCounters.ChecksFailed(1);
      FailTransaction(request, TTransactionFailure::BadAnswer);
      return m.End + 1;
    }
    ResponseData.append(bytes + m.Start + 1, static_cast<size_t>(data));
  }
  request.Timer.Restart();
  PostChar(ACK);
  if (m.EndChar == ETX) {
    if (Protocol == protoCcmMasterSlave) {
      request.Step = stAwaitingEot;
      Complete(rx, block);
    } else {
      request.Busy = false;
      request.Step = stIdle;
      if (FSpeed.SendWhenReady) AwaitPeerEot(request);
      Complete(rx, block);
      FLastReq = nullptr;
    }
  }
  return m.End + 1;
}

}  // namespace kelda
