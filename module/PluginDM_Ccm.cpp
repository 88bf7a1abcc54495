// CCM, master to slave and peer to peer: the enquiry, the header, and the answers of each step.
//
// Master to slave: "N" target ENQ -> "N" target ACK; header -> ACK; data blocks (STX data ETB
// LRC, the last one ending with ETX), each acknowledged; then the slave's EOT, answered with EOT.
// Peer to peer: ENQ -> ACK; header -> ACK; data blocks as above; no EOT is exchanged.
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

bool TSerialPortDM::SendCcmEnquiry(TRequestItem& request) {
  request.Step = stOpeningSent;
  if (SendFrame(CcmEnquiryFrame(protoCcmMasterSlave, request))) return true;
  SendFailed(request);
  return false;
}

void TSerialPortDM::SendCcmHeader(TRequestItem& request) {
  if (!SendFrame(CcmHeaderFrame(request, FOwner->LocalAddress()))) {
    SendFailed(request);
    return;
  }
  request.Step = stHeaderSent;
  request.Timer.Restart();
  request.Busy = true;
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
      SendChar(EOT);
      return m.Start;
    }
    default:
      return -1;
  }
}

int32_t TSerialPortDM::CcmPeerAnswer(TReceiveContext& rx, TRequestItem& request) {
  request.Timer.Restart();  // any bytes keep the handshake alive
  TFrameMatch ack = Search(rx, ACK, {}, 0, TCheckKind::NoCheck);
  if (ack.Found()) {
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

TFrameLengths CcmBlockLength(const uint8_t*, int32_t, int32_t, const void* context) {
  TFrameLengths lengths;
  lengths.Count = 1;
  lengths.Length[0] = *static_cast<const int32_t*>(context) + 2;  // STX, data, ETB or ETX
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
  const int32_t dataLength = std::min(remaining, kCcmBlockSize);
  TEndChars ends = remaining > kCcmBlockSize   ? TEndChars{ETB}
                   : remaining < kCcmBlockSize ? TEndChars{ETX}
                                               : TEndChars{ETX, ETB};
  return FindSizedFrameIn(rx.Data, rx.Size, STX, ends, &CcmBlockLength, &dataLength, TCheckKind::LrcCheck);
}

int32_t TSerialPortDM::CcmDataBlock(TReceiveContext& rx, TRequestItem& request) {
  TFrameMatch m = Counted(FindCcmBlock(rx, request));
  if (!m.Found()) return m.ConsumedThrough();
  SendChar(ACK);
  request.Timer.Restart();
  const char* bytes = reinterpret_cast<const char*>(rx.Data);
  const std::string packetText(bytes + m.Start, static_cast<size_t>(m.End + 2 - m.Start));
  ResponseData.append(bytes + m.Start + 1, static_cast<size_t>(m.End - m.Start - 1));
  if (m.EndChar == ETX) {
    if (Protocol == protoCcmMasterSlave) {
      request.Step = stAwaitingEot;
      Complete(rx, packetText);
    } else {
      request.Busy = false;
      request.Step = stIdle;
      Complete(rx, packetText);
      FLastReq = nullptr;
    }
  }
  return m.End + 1;
}

}  // namespace kelda
