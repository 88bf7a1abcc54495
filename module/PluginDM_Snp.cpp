// SNP and SNP-X: the break, the attach, the read requests, and the answers of each step.
//
// SNP: break, attach "A" -> attach response "R"; mailbox read "M" -> ACK 0x00; then the data in a
// mailbox "M" (completion 0xD4) or in text buffers "T" announced by a mailbox with 0x94, every
// one acknowledged with ACK 0x00.
// SNP-X: break, attach "X" -> any checked answer; read request "X" -> one "X" response.
#include <array>

#include "module/PluginDM_SerialPort.h"

namespace kelda {

namespace {

constexpr uint8_t kMailboxCompletion = 0xD4;          // completion, data inside the mailbox
constexpr uint8_t kMailboxCompletionWithText = 0x94;  // completion, data follows in "T" messages
constexpr uint8_t kTextBufferFollows = 0x54;          // next-message type "T"

void AppendSnpId(std::string& frame, const TSnpRequestFields& fields) {
  frame.append(reinterpret_cast<const char*>(fields.SnpId.data()), fields.SnpId.size());
}

void AppendWord(std::string& frame, const std::array<uint8_t, 2>& word) {
  frame += static_cast<char>(word[0]);
  frame += static_cast<char>(word[1]);
}

// What to read: segment selector, offset and length (low byte first).
void AppendReadFields(std::string& frame, const TSnpRequestFields& fields) {
  frame += static_cast<char>(fields.Memory);
  AppendWord(frame, fields.Address);
  AppendWord(frame, fields.Length);
}

// ETB, four zero bytes and the binary check over everything before it.
void AppendBinaryTrailer(std::string& frame) {
  frame += static_cast<char>(ETB);
  frame.append(4, '\0');
  frame += static_cast<char>(SnpBcc(reinterpret_cast<const uint8_t*>(frame.data()), frame.size()));
}

constexpr int32_t kSnpXMajorErrorAt = 5;  // in an X-Response: ESC "X" code, status word, major
constexpr int32_t kAttachLength = 19;     // ESC through ETB of an attach answer (24 bytes in all)
constexpr int32_t kMailboxLength = 35;    // ESC through ETB of a mailbox (40 bytes in all)

uint16_t Word(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

TFrameLengths Lengths(int count, int32_t first = 0, int32_t second = 0) {
  TFrameLengths lengths;
  lengths.Count = count;
  lengths.Length[0] = first;
  lengths.Length[1] = second;
  return lengths;
}

TFrameLengths AttachAnswerLength(const uint8_t*, int32_t, int32_t, const void*) {
  return Lengths(1, kAttachLength);
}

// An X-Response carries its data length at bytes 8 and 9: ESC "X" code, status word, major and
// minor error, length, data, ETB.
TFrameLengths SnpXResponseLength(const uint8_t* data, int32_t size, int32_t start, const void*) {
  if (start + 1 >= size) return Lengths(0);
  if (data[start + 1] != 'X') return Lengths(-1);
  if (start + 8 >= size) return Lengths(0);
  const int32_t length = 10 + Word(data + start + 7);
  return length > TSerialPortDM::kSnpFrameMaxLength ? Lengths(-1) : Lengths(1, length);
}

// A mailbox is 40 bytes; a text buffer as long as the message before it announced: the whole
// message (as GE's examples count it) or, as some of GE's text reads, its data alone.
TFrameLengths SnpDataFrameLength(const uint8_t* data, int32_t size, int32_t start, const void* context) {
  if (start + 1 >= size) return Lengths(0);
  const int32_t announced = *static_cast<const int32_t*>(context);
  switch (data[start + 1]) {
    case 'M':
      return Lengths(1, kMailboxLength);
    case 'T':
      if (announced >= 8) return Lengths(2, announced - 5, announced + 3);
      return announced >= 1 ? Lengths(1, announced + 3) : Lengths(-1);
    default:
      return Lengths(-1);
  }
}

// The data bytes a read brings, as far as the engine can tell from the request: words of %R, %AI
// and %AQ take two bytes each; bits come in the memory bytes that hold them, which may be one more
// than their number needs when the first bit is not the first of its byte. {0, 0} for any other
// selector: then any length is taken.
struct TReadBytes {
  int32_t Min = 0;
  int32_t Max = 0;
};

TReadBytes ReadBytes(const TRequestItem& request) {
  const int32_t elements = request.Size & 0xFFFF;  // what the read request carries
  if (elements == 0) return {};
  switch (request.Memory) {
    case 0x08:
    case 0x0A:
    case 0x0C:
      return {elements * 2, elements * 2};
    case 0x46:
    case 0x48:
    case 0x4C:
    case 0x4E:
    case 0x50:
    case 0x52:
    case 0x54:
    case 0x56: {
      const int32_t bytes = (elements + 7) / 8;
      return {bytes, bytes + 1};
    }
    default:
      return {};
  }
}

// The PLC sends the data of a read in the completion mailbox when it fits there, and in text
// buffers after a mailbox that announces their length otherwise. A completion of the other kind,
// or with another length, answers some other read: an exchange abandoned earlier whose answers
// were still on their way when this one started (every mailbox carries the same sequence number,
// and an attach response does not tell which attach it answers).
constexpr int32_t kInlineDataBytes = 6;

bool InlineDataAnswers(const TRequestItem& request) {
  const TReadBytes bytes = ReadBytes(request);
  return bytes.Max == 0 || bytes.Min <= kInlineDataBytes;
}

bool DataLengthAnswers(const TRequestItem& request, int32_t length) {
  const TReadBytes bytes = ReadBytes(request);
  return bytes.Max == 0 || (length >= bytes.Min && length <= bytes.Max);
}

// A mailbox whose length field is 0 gives no length and is taken.
bool TextLengthAnswers(const TRequestItem& request, int32_t length) {
  return length == 0 || DataLengthAnswers(request, length);
}

}  // namespace

std::string SnpAttachFrame(const TRequestItem& request) {
  std::string frame{static_cast<char>(ESC), 'A'};
  AppendSnpId(frame, SnpRequestFields(request));
  frame += "0A000   ";
  frame += static_cast<char>(ETB);
  frame.append(3, '\0');
  const uint8_t check = SnpBcc(reinterpret_cast<const uint8_t*>(frame.data()), frame.size());
  frame += HexDigits(check, 2);
  return frame;
}

std::string SnpXAttachFrame(const TRequestItem& request) {
  std::string frame{static_cast<char>(ESC), 'X'};
  AppendSnpId(frame, SnpRequestFields(request));
  frame.append(8, '\0');  // request code 0 (attach) and seven unused bytes
  AppendBinaryTrailer(frame);
  return frame;
}

std::string SnpXReadFrame(const TRequestItem& request) {
  const TSnpRequestFields fields = SnpRequestFields(request);
  std::string frame{static_cast<char>(ESC), 'X'};
  AppendSnpId(frame, fields);
  frame += '\x01';  // read
  AppendReadFields(frame, fields);
  frame.append(2, '\0');
  AppendBinaryTrailer(frame);
  return frame;
}

std::string SnpMailboxReadFrame(const TRequestItem& request, uint8_t sequence) {
  const TSnpRequestFields fields = SnpRequestFields(request);
  std::string frame{static_cast<char>(ESC), 'M'};
  frame.append(6, '\0');
  frame += static_cast<char>(sequence);
  static const char kRoute[] = "\xC0\x10\x3A\x00\x00\x10\x0A\x00\x00\x01\x01\x04";
  frame.append(kRoute, sizeof(kRoute) - 1);  // initial request, master to service task, read
  AppendReadFields(frame, fields);
  frame.append(8, '\0');
  AppendBinaryTrailer(frame);
  return frame;
}

// The next-message length of a frame's trailer: the message that follows it, header and trailer
// included.
int32_t TSerialPortDM::AnnouncedLength(const TReceiveContext& rx, const TFrameMatch& frame) {
  return rx.Data[frame.End + 1] == kTextBufferFollows ? Word(rx.Data + frame.End + 2) : 0;
}

bool TSerialPortDM::OpenSnp(TRequestItem& request, bool snpX) {
  // A host that cannot send the break still sends the attach, which PLCs without the need of a
  // break answer; whether the transaction goes on is the attach's send to decide. (Giving up
  // here would start the transaction again at every tick and lose each answer half-way.)
  // The break is a line condition, not bytes: it is not counted as bytes sent.
  SendToHost(reinterpret_cast<const uint8_t*>(kBreakCommand),
             static_cast<int32_t>(sizeof(kBreakCommand) - 1));
  request.Step = stOpeningSent;
  if (SendFrame(snpX ? SnpXAttachFrame(request) : SnpAttachFrame(request))) return true;
  SendFailed(request);
  return false;
}

void TSerialPortDM::SendSnpXRead(TRequestItem& request) {
  SendReadRequest(request, SnpXReadFrame(request), stAwaitingData);
}

void TSerialPortDM::SendMailboxRead(TRequestItem& request) {
  ++request.Sequence;
  SendReadRequest(request, SnpMailboxReadFrame(request, static_cast<uint8_t>(request.Sequence & 0xFF)),
                  stMailboxSent);
}

// A read request sent starts the request's next step and stopwatch; a failed one leaves the
// request idle for the next tick.
void TSerialPortDM::SendReadRequest(TRequestItem& request, const std::string& frame, TStep next) {
  if (!SendFrame(frame)) {
    SendFailed(request);
    return;
  }
  request.Step = next;
  request.Timer.Restart();
  request.Busy = true;
}

void TSerialPortDM::SendSnpAck() {
  static const uint8_t kAck[] = {ACK, 0x00};
  SendFrame(kAck, 2);
}

int32_t TSerialPortDM::SnpAnswer(TReceiveContext& rx, TRequestItem& request) {
  switch (request.Step) {
    case stOpeningSent:
      return SnpOpeningAnswer(rx, request);
    case stMailboxSent:
      return Protocol == protoSnp ? SnpMailboxAnswer(rx, request) : -1;
    case stAwaitingData:
      return SnpDataAnswer(rx, request);
    default:
      return -1;
  }
}

int32_t TSerialPortDM::SnpOpeningAnswer(TReceiveContext& rx, TRequestItem& request) {
  if (rx.Size < kSnpOpeningMinBytes) return -1;  // an attach answer is 24 bytes
  request.Timer.Restart();
  const bool snpX = Protocol == protoSnpX;
  TFrameMatch m = Counted(FindSizedFrameIn(rx.Data, rx.Size, ESC, {ETB}, &AttachAnswerLength, nullptr,
                                           snpX ? TCheckKind::BccBinary : TCheckKind::BccHex));
  if (!m.Found()) return m.ConsumedThrough();
  if (snpX)
    SendSnpXRead(request);
  else if (rx.Data[m.Start + 1] == 'R')
    SendMailboxRead(request);
  // Any other answer to an SNP attach is dropped and the step times out.
  return m.End + 5;
}

int32_t TSerialPortDM::SnpMailboxAnswer(TReceiveContext& rx, TRequestItem& request) {
  request.Timer.Restart();
  TFrameMatch m = Search(rx, ACK, {0x00}, 0, TCheckKind::NoCheck);
  if (!m.Found()) {
    NoteSnpNak(rx);
    return -1;
  }
  if (m.End == m.Start + 1) request.Step = stAwaitingData;
  return m.End;
}

// A NAK and its error code instead of the acknowledgement: the PLC refused the mailbox request.
// The engine does not repeat a request, so the step still times out as before and the bytes stay
// where they are; the refusal is counted once per transaction and names the failure.
void TSerialPortDM::NoteSnpNak(const TReceiveContext& rx) {
  if (FNakNoted) return;
  TFrameMatch nak = FindFrameIn(rx.Data, rx.Size - 1, NAK, {}, 0, TCheckKind::NoCheck);
  if (!nak.Found()) return;
  FNakNoted = true;
  FCounters.NakReceived();
  NoteTrouble(TTransactionFailure::Nak);
}

int32_t TSerialPortDM::SnpDataAnswer(TReceiveContext& rx, TRequestItem& request) {
  request.Timer.Restart();
  TFrameMatch m =
      Counted(Protocol == protoSnpX ? FindSizedFrameIn(rx.Data, rx.Size, ESC, {ETB}, &SnpXResponseLength,
                                                       nullptr, TCheckKind::BccBinary)
                                    : FindSizedFrameIn(rx.Data, rx.Size, ESC, {ETB}, &SnpDataFrameLength,
                                                       &FAnnouncedLength, TCheckKind::BccBinary));
  if (!m.Found()) return m.ConsumedThrough();
  const int32_t s = m.Start;
  const int32_t e = m.End;
  const int32_t consumed = e + 5;
  const uint8_t type = rx.Data[s + 1];
  if (Protocol == protoSnpX) {
    if (type != 'X') return consumed;
    // A good answer with a data length of another read answers an exchange abandoned earlier
    // (error answers carry no data and are taken as they come).
    if (rx.Data[s + kSnpXMajorErrorAt] == 0 && !DataLengthAnswers(request, Word(rx.Data + s + 7)))
      return consumed;
    // An error answer (major error code not 0) is the PLC's refusal: it still goes to the host
    // as a row with its status code, and is counted and reported as a refused request.
    if (rx.Data[s + kSnpXMajorErrorAt] != 0) {
      FCounters.NakReceived();
      ReportFailure(request, TTransactionFailure::Nak);
    }
    TakeSnpData(rx, request, m, s + 3);
    return consumed;
  }
  if (type == 'T') {
    SendSnpAck();
    TakeSnpData(rx, request, m, s + 2);
  } else if (type == 'M' && s + 9 < e) {
    // A completion that answers another read is consumed without acknowledgement; the PLC's
    // answer to this transaction's own mailbox is still to come.
    const uint8_t mailboxType = rx.Data[s + 9];
    if (mailboxType == kMailboxCompletionWithText && TextLengthAnswers(request, Word(rx.Data + s + 20))) {
      FAnnouncedLength = AnnouncedLength(rx, m);
      SendSnpAck();  // the data follows in text buffers
    } else if (mailboxType == kMailboxCompletion && InlineDataAnswers(request)) {
      SendSnpAck();
      TakeSnpData(rx, request, m, s + 22);
    }
  }
  return consumed;
}

// Collects the data of an answer frame (from `from` up to its ETB, which is not data) and
// completes the read with its last frame.
void TSerialPortDM::TakeSnpData(TReceiveContext& rx, TRequestItem& request, const TFrameMatch& m,
                                int32_t from) {
  const char* bytes = reinterpret_cast<const char*>(rx.Data);
  const std::string packetText(bytes + m.Start, static_cast<size_t>(m.End + 6 - m.Start));
  if (from < m.End) ResponseData.append(bytes + from, static_cast<size_t>(m.End - from));
  // A text buffer names the type of the message after it: another "T", or 0 at the last one.
  const bool last = rx.Data[m.Start + 1] != 'T' || rx.Data[m.End + 1] != kTextBufferFollows;
  if (!last) {
    FAnnouncedLength = AnnouncedLength(rx, m);
    return;
  }
  Complete(rx, packetText);
  request.Busy = false;
  request.Step = stIdle;
  FLastReq = nullptr;
}

}  // namespace kelda
