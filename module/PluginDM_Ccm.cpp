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
      // A NAK to the header is not looked for: the step times out and the request is retried.
      TFrameMatch m = Search(rx, ACK, {}, 0, TCheckKind::NoCheck);
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
  Refuse();
  return nak.Start;
}

namespace {

// The block the header's size calls for next: its data length, and whether a pad byte may follow
// the data (the last block of an odd byte count, which some slaves fill up to whole registers).
struct TCcmBlockShape {
  int32_t Data = 0;
  bool MayPad = false;
};

TFrameLengths CcmBlockLength(const uint8_t*, int32_t, int32_t, const void* context) {
  const auto& shape = *static_cast<const TCcmBlockShape*>(context);
  TFrameLengths lengths;
  lengths.Count = shape.MayPad ? 2 : 1;
  lengths.Length[0] = shape.Data + 2;  // STX, data, ETB or ETX
  lengths.Length[1] = shape.Data + 3;  // and the pad byte
  return lengths;
}

}  // namespace

// The next data block: STX, up to 256 data bytes, ETB (more blocks follow) or ETX (the last),
// LRC. The header asked for Size bytes, so every block but the last carries 256 and the last
// the rest: only a block of that length is taken, never one cut short at a data byte that
// happens to equal ETB or ETX. Without a size the block is recognised by its end alone.
TFrameMatch TSerialPortDM::FindCcmBlock(TReceiveContext& rx, const TRequestItem& request) {
  if (request.Size <= 0) return Search(rx, STX, {ETB, ETX}, kCcmBlockMaxLength, TCheckKind::LrcCheck);
  const int32_t remaining = std::max<int32_t>(request.Size - static_cast<int32_t>(ResponseData.size()), 0);
  TCcmBlockShape shape;
  shape.Data = std::min(remaining, kCcmBlockSize);
  shape.MayPad = remaining < kCcmBlockSize && remaining % 2 == 1;
  TEndChars ends = remaining > kCcmBlockSize   ? TEndChars{ETB}
                   : remaining < kCcmBlockSize ? TEndChars{ETX}
                                               : TEndChars{ETX, ETB};
  return FindSizedFrameIn(rx.Data, rx.Size, STX, ends, &CcmBlockLength, &shape, TCheckKind::LrcEither);
}

int32_t TSerialPortDM::CcmDataBlock(TReceiveContext& rx, TRequestItem& request) {
  TFrameMatch m = Counted(FindCcmBlock(rx, request));
  if (!m.Found()) return m.ConsumedThrough();
  if (request.Size > 0) {
    const TCcmLrcReading reading = m.DataOnlyCheck ? TCcmLrcReading::DataOnly : TCcmLrcReading::Framed;
    if (FCcmLrcReading != TCcmLrcReading::Unknown && reading != FCcmLrcReading &&
        ++FOtherLrcReadings < kLrcRelearnBlocks) {
      // Most likely a block spoiled on the line: dropped like one whose check failed.
      FCounters.ChecksFailed(1);
      NoteTrouble(TTransactionFailure::CheckFailed);
      return m.End + 1;
    }
    FCcmLrcReading = reading;
    FOtherLrcReadings = 0;
  }
  request.Timer.Restart();
  const char* bytes = reinterpret_cast<const char*>(rx.Data);
  const std::string packetText(bytes + m.Start, static_cast<size_t>(m.End + 2 - m.Start));
  int32_t data = m.End - m.Start - 1;
  // A pad byte after the last data asked for is not data.
  if (request.Size > 0) data = std::min(data, request.Size - static_cast<int32_t>(ResponseData.size()));
  if (request.Size <= 0 && static_cast<int64_t>(ResponseData.size()) + data > kCcmUnsizedLimit) {
    FCounters.ChecksFailed(1);
    FailTransaction(request, TTransactionFailure::BadAnswer);
    return m.End + 1;
  }
  ResponseData.append(bytes + m.Start + 1, static_cast<size_t>(data));
  PostChar(ACK);
  if (m.EndChar == ETX) {
    if (Protocol == protoCcmMasterSlave) {
      request.Step = stAwaitingEot;
      Complete(rx, packetText);
    } else {
      request.Busy = false;
      request.Step = stIdle;
      if (FSpeed.SendWhenReady) AwaitPeerEot();
      Complete(rx, packetText);
      FLastReq = nullptr;
    }
  }
  return m.End + 1;
}

}  // namespace kelda
