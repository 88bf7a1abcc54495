// SNP and SNP-X: the break, the attach, the read requests, and the answers of each step.
//
// SNP: break, attach "A" -> attach response "R"; mailbox read "M" -> ACK 0x00; then the data in a
// mailbox "M" (completion 0xD4) or in text buffers "T" announced by a mailbox with 0x94, every
// one acknowledged with ACK 0x00.
// SNP-X: break, attach "X" -> any checked answer; read request "X" -> one "X" response.
#include <algorithm>
#include <array>

#include "module/PluginDM_SerialPort.h"

namespace kelda {

namespace {

constexpr uint8_t kMailboxCompletion = 0xD4;          // completion, data inside the mailbox
constexpr uint8_t kMailboxCompletionWithText = 0x94;  // completion, data follows in "T" messages
constexpr uint8_t kMailboxErrorNack = 0xD1;           // the PLC's error, major and minor status
constexpr uint8_t kTextBufferFollows = 0x54;          // next-message type "T"

// The code after an SNP NAK: 0 a spoiled check or parity, 1 an overrun or framing error (both
// ask for the packet again), 2 a sequence error, 3 a next-message length too long.
constexpr uint8_t kNakOverrun = 0x01;
constexpr uint8_t kNakBadLength = 0x03;
constexpr int kMaxMailboxResends = 2;

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
// The SNP-X slave's own errors, and the one it gives a read outside a session: "request code
// not supported", since without a session no request but the attach is.
constexpr uint8_t kSnpXError = 0x0F;
constexpr uint8_t kSnpXNoSession = 0x01;
constexpr int32_t kAttachLength = 19;   // ESC through ETB of an attach answer (24 bytes in all)
constexpr int32_t kMailboxLength = 35;  // ESC through ETB of a mailbox (40 bytes in all)

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
      // No PLC sends a text buffer longer than its largest data size allows.
      if (announced > TSerialPortDM::kSnpTextMaxData + 8) return Lengths(-1);
      if (announced >= 8) return Lengths(2, announced - 5, announced + 3);
      return announced >= 1 ? Lengths(1, announced + 3) : Lengths(-1);
    default:
      return Lengths(-1);
  }
}

// The data bytes a read brings, as far as the engine can tell from the request. Exact is what
// GE's rules give: two bytes per word of %R, %AI and %AQ, one per byte of a byte selector, and
// for bits the memory bytes that hold them (one more than their number needs when they cross a
// byte boundary more often). Low..High is what is taken from a PLC: bit reads from Low, the
// bytes their number needs, to one more. A selector the engine does not know is read in words at
// most.
struct TReadBytes {
  int32_t Low = 0;
  int32_t High = 0;
  int32_t Exact = 0;
};

TReadBytes ReadBytes(const TRequestItem& request) {
  const int32_t elements = request.Size & 0xFFFF;  // what the read request carries
  const int32_t offset = request.Offset & 0xFFFF;
  if (elements == 0) return {};
  switch (request.Memory) {
    case 0x08:
    case 0x0A:
    case 0x0C:
      return {elements * 2, elements * 2, elements * 2};
    case 0x10:
    case 0x12:
    case 0x14:
    case 0x16:
    case 0x18:
    case 0x1A:
    case 0x1C:
    case 0x1E:
    case 0x38:
      return {elements, elements, elements};
    case 0x46:
    case 0x48:
    case 0x4A:
    case 0x4C:
    case 0x4E:
    case 0x50:
    case 0x52:
    case 0x54:
    case 0x56: {
      const int32_t bytes = (elements + 7) / 8;
      const int32_t span = (offset + elements - 1) / 8 - offset / 8 + 1;
      return {bytes, bytes + 1, span};
    }
    default:
      return {1, elements * 2, elements * 2};
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
  return bytes.High > 0 && bytes.Low <= kInlineDataBytes;
}

// An X-Response's data length. Some SNP-X slaves answer every read with one byte more than
// asked; that byte is never taken.
bool SnpXLengthAnswers(const TRequestItem& request, int32_t length) {
  const TReadBytes bytes = ReadBytes(request);
  return bytes.High > 0 && length >= bytes.Low && length <= bytes.High + 1;
}

// The length field of a completion with text buffers names the read's total, or (as some PLCs
// fill it) the first text buffer's data, which the trailer announces as a whole message or as
// its data alone. 0 names no length and is taken. A first buffer shorter than the read is one of
// several, so it holds the PLC's whole data size, which is never below 40 bytes; a shorter one
// belongs to another read. The buffers themselves must add up to the read.
constexpr int32_t kSnpLeastDataSize = 40;

bool TextLengthAnswers(const TRequestItem& request, int32_t length, int32_t announced) {
  const TReadBytes bytes = ReadBytes(request);
  if (length == 0) return true;
  if (length >= bytes.Low && length <= bytes.High) return true;
  return length >= kSnpLeastDataSize && length < bytes.Low &&
         (length == announced - 8 || length == announced);
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

void TSerialPortDM::OpenSnp(TRequestItem& request, bool snpX) {
  // A host that cannot send the break still sends the attach, which PLCs without the need of a
  // break answer; whether the transaction goes on is the attach's send to decide. (Giving up
  // here would start the transaction again at every tick and lose each answer half-way.)
  request.Step = stOpeningSent;
  Post(request, TFrameRole::LineBreak, kBreakCommand);
  Post(request, TFrameRole::Opening, snpX ? SnpXAttachFrame(request) : SnpAttachFrame(request));
}

void TSerialPortDM::SendSnpXRead(TRequestItem& request, TFrameRole role) {
  // The read opens the transaction only in a kept session, without an attach of its own.
  FSnpXReadInKeptSession = role == TFrameRole::Opening;
  SendReadRequest(request, SnpXReadFrame(request), stAwaitingData, role);
}

void TSerialPortDM::SendMailboxRead(TRequestItem& request, TFrameRole role) {
  ++request.Sequence;
  FMailboxResends = 0;
  SendReadRequest(request, SnpMailboxReadFrame(request, static_cast<uint8_t>(request.Sequence & 0xFF)),
                  stMailboxSent, role);
}

// A read request starts the request's next step and stopwatch before it goes out; should its
// send fail, the request rests for the next tick. In a kept session it opens the transaction.
void TSerialPortDM::SendReadRequest(TRequestItem& request, const std::string& frame, TStep next,
                                    TFrameRole role) {
  const uint8_t previous = request.Step;
  request.Step = next;
  request.Timer.Restart();
  request.Busy = true;
  Post(request, role, frame, previous);
}

void TSerialPortDM::SendSnpAck() {
  static const uint8_t kAck[] = {ACK, 0x00};
  PostReply(kAck, 2);
}

// An SNP or SNP-X frame: ESC, the type, its body and ETB, then the trailer. The search goes on
// where the last data call left it, so a long frame costs the same however the host splits it.
TFrameMatch TSerialPortDM::SearchSnpFrame(TReceiveContext& rx, TFrameLengthRule rule, const void* context,
                                          TCheckKind check) {
  return Counted(FSnpFrames.Find(rx.Data, rx.Size, FRxReceived - static_cast<uint64_t>(rx.Size), ESC, {ETB},
                                 rule, context, check));
}

TFrameProgress TSerialPortDM::ArrivingFrame() const {
  const int32_t size = RxBuffer->DataSize();
  return FSnpFrames.Progress(FRxReceived - static_cast<uint64_t>(size), size);
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

// Only a frame that moves the exchange on restarts the stopwatch: bytes of noise must not hold a
// step open for ever.
int32_t TSerialPortDM::SnpOpeningAnswer(TReceiveContext& rx, TRequestItem& request) {
  if (rx.Size < kSnpOpeningMinBytes) return -1;  // an attach answer is 24 bytes
  const bool snpX = Protocol == protoSnpX;
  TFrameMatch m =
      SearchSnpFrame(rx, &AttachAnswerLength, nullptr, snpX ? TCheckKind::BccBinary : TCheckKind::BccHex);
  if (!m.Found()) return m.ConsumedThrough();
  if (snpX) {
    OpenSession(request);
    SendSnpXRead(request);
  } else if (rx.Data[m.Start + 1] == 'R') {
    NoteAttachT1(rx.Data + m.Start + 10);
    OpenSession(request);
    SendMailboxRead(request);
  }
  // Any other answer to an SNP attach is dropped and the step times out.
  return m.End + 5;
}

int32_t TSerialPortDM::SnpMailboxAnswer(TReceiveContext& rx, TRequestItem& request) {
  TFrameMatch m = Search(rx, ACK, {0x00}, 0, TCheckKind::NoCheck);
  // A NAK before the acknowledgement, its code byte in: the PLC's answer to the mailbox.
  const int32_t nakBefore = m.Found() ? m.Start : rx.Size - 1;
  const TFrameMatch nak = FindFrameIn(rx.Data, nakBefore, NAK, {}, 0, TCheckKind::NoCheck);
  if (nak.Found()) return SnpMailboxNak(rx, request, nak.Start);
  if (!m.Found()) return -1;
  if (m.End == m.Start + 1) {
    request.Step = stAwaitingData;
    request.Timer.Restart();
  }
  return m.End;
}

// The PLC refused the mailbox request. A spoiled check or an overrun asks for the same packet
// again at once, at most twice; after that, or for a sequence error (which ends the PLC's
// session) or a length it will not take, the exchange is over: nothing more comes for it.
int32_t TSerialPortDM::SnpMailboxNak(TReceiveContext& rx, TRequestItem& request, int32_t at) {
  const uint8_t code = rx.Data[at + 1];
  if (code > kNakBadLength) {
    // No code GE defines: most likely a line error that looks like a NAK. Only that byte goes;
    // what follows it may be the acknowledgement.
    if (!FNakNoted) {
      FNakNoted = true;
      FCounters.NakReceived();
      NoteTrouble(TTransactionFailure::Nak);
    }
    return at;
  }
  FCounters.NakReceived();
  NoteTrouble(TTransactionFailure::Nak);
  if (code <= kNakOverrun && FMailboxResends < kMaxMailboxResends) {
    ++FMailboxResends;
    SendReadRequest(request, SnpMailboxReadFrame(request, static_cast<uint8_t>(request.Sequence & 0xFF)),
                    stMailboxSent, TFrameRole::Request);
    return at + 1;
  }
  FailTransaction(request, TTransactionFailure::Nak);
  return at + 1;
}

int32_t TSerialPortDM::SnpDataAnswer(TReceiveContext& rx, TRequestItem& request) {
  TFrameMatch m = Protocol == protoSnpX
                      ? SearchSnpFrame(rx, &SnpXResponseLength, nullptr, TCheckKind::BccBinary)
                      : SearchSnpFrame(rx, &SnpDataFrameLength, &FAnnouncedLength, TCheckKind::BccBinary);
  if (!m.Found()) return m.ConsumedThrough();
  const int32_t consumed = m.End + 5;
  const uint8_t type = rx.Data[m.Start + 1];
  if (Protocol == protoSnpX) {
    if (type == 'X') SnpXAnswer(rx, request, m);
  } else if (type == 'T') {
    SnpTextBuffer(rx, request, m);
  } else if (type == 'M' && m.Start + 21 < m.End) {
    SnpMailboxReply(rx, request, m);
  }
  // Any other frame is consumed and ignored.
  return consumed;
}

// An X-Response: ESC "X", response code, status word, major and minor error, data length, data.
void TSerialPortDM::SnpXAnswer(TReceiveContext& rx, TRequestItem& request, const TFrameMatch& m) {
  const int32_t s = m.Start;
  const uint8_t major = rx.Data[s + kSnpXMajorErrorAt];
  const int32_t length = Word(rx.Data + s + 7);
  NoteSnpXAnswerPace(rx, m);
  int32_t take = 0;
  if (major == 0) {
    // A good answer with a data length of another read answers an exchange abandoned earlier.
    if (!SnpXLengthAnswers(request, length)) return;
    take = std::min(length, ReadBytes(request).Exact);
  } else if (FSnpXReadInKeptSession && major == kSnpXError &&
             rx.Data[s + kSnpXMajorErrorAt + 1] == kSnpXNoSession) {
    // The PLC no longer holds the kept session (its link idle time ran out, it was switched
    // off and on): nothing wrong with the read. Attach again and read once more; only what
    // that brings is the answer.
    FSnpXReadInKeptSession = false;
    DropSession();
    request.Timer.Restart();
    OpenSnp(request, true);
    return;
  } else {
    // An error answer is the PLC's refusal: it still goes to the host as a row with its status
    // code (error answers carry no data), and is counted and reported with the PLC's error.
    FCounters.NakReceived();
    DropSession();  // some of GE's SNP-X errors end the session
    ReportFailure(request, TTransactionFailure::PlcError,
                  static_cast<uint16_t>(major << 8 | rx.Data[s + kSnpXMajorErrorAt + 1]));
  }
  request.Timer.Restart();
  // Status word, errors and length (6 bytes), then the data asked for.
  const int32_t from = s + 3;
  const int32_t count = std::min(m.End - from, 6 + take);
  ResponseData.append(reinterpret_cast<const char*>(rx.Data) + from, static_cast<size_t>(count));
  const int32_t onceFailures = request.OnceFailures;
  CompleteSnp(rx, request, m);
  if (major != 0)
    RestRefused(request, onceFailures,
                static_cast<uint16_t>(major << 8 | rx.Data[s + kSnpXMajorErrorAt + 1]));
}

// A reply mailbox to the read: the completion with the data inside, the completion that announces
// text buffers, or the PLC's Error Nack. A completion is the first reply of a read: once text
// buffers are announced or taken, one more is a stray (a repeat, or another read's) and is
// neither acknowledged nor taken.
void TSerialPortDM::SnpMailboxReply(TReceiveContext& rx, TRequestItem& request, const TFrameMatch& m) {
  const int32_t s = m.Start;
  const bool first = ResponseData.empty() && FAnnouncedLength == 0;
  // In a kept session each read has its own sequence number: a reply with another one answers
  // an earlier read (the PLC repeats a reply whose acknowledgement it missed).
  if (FSpeed.KeepSession && rx.Data[s + 8] != static_cast<uint8_t>(request.Sequence & 0xFF)) return;
  switch (rx.Data[s + 9]) {
    case kMailboxCompletionWithText: {
      if (!first) return;
      const int32_t announced = AnnouncedLength(rx, m);
      // A completion that answers another read is consumed without acknowledgement; the PLC's
      // answer to this transaction's own mailbox is still to come.
      if (!TextLengthAnswers(request, Word(rx.Data + s + 20), announced)) return;
      FAnnouncedLength = announced;
      request.Timer.Restart();
      SendSnpAck();  // the data follows in text buffers
      return;
    }
    case kMailboxCompletion: {
      if (!first || !InlineDataAnswers(request)) return;
      request.Timer.Restart();
      SendSnpAck();
      // The six data bytes are followed by the PLC's piggy-back status (program, privilege,
      // sweep time, status word): only the bytes the read asked for are data.
      const int32_t take = std::min({ReadBytes(request).Exact, kInlineDataBytes, m.End - s - 22});
      ResponseData.append(reinterpret_cast<const char*>(rx.Data) + s + 22, static_cast<size_t>(take));
      CompleteSnp(rx, request, m);
      return;
    }
    case kMailboxErrorNack: {
      // The PLC will not serve the read: no time-out is waited out for it.
      SendSnpAck();
      FCounters.NakReceived();
      const uint16_t error = static_cast<uint16_t>(rx.Data[s + 20] << 8 | rx.Data[s + 21]);
      FailTransaction(request, TTransactionFailure::PlcError, error);
      StartMinIntervalGate();
      return;
    }
    default:
      return;
  }
}

// A text buffer. The buffers of a read must add up to exactly the read's bytes, the last one
// marked last: a buffer that would overrun the read, a chain that announces more once the read
// is full, or a last buffer that leaves it short fails the transaction without being
// acknowledged or taken. So no repeated, lost or endless buffer ever shifts a value or makes the
// collected data grow past the read.
void TSerialPortDM::SnpTextBuffer(TReceiveContext& rx, TRequestItem& request, const TFrameMatch& m) {
  const int32_t data = m.End - (m.Start + 2);
  const bool last = rx.Data[m.End + 1] != kTextBufferFollows;
  const TReadBytes bytes = ReadBytes(request);
  const int64_t collected = static_cast<int64_t>(ResponseData.size()) + data;
  // A buffer that announces another is one of several and so holds the PLC's whole data size,
  // never less than GE's least: a chain of short or empty buffers would otherwise hold the read
  // open for ever without growing.
  const bool shortInChain = !last && data < kSnpLeastDataSize;
  if (collected > bytes.High || (!last && collected >= bytes.High) || (last && collected < bytes.Low) ||
      shortInChain) {
    FCounters.ChecksFailed(1);
    FailTransaction(request, TTransactionFailure::BadAnswer);
    return;
  }
  request.Timer.Restart();
  SendSnpAck();
  ResponseData.append(reinterpret_cast<const char*>(rx.Data) + m.Start + 2, static_cast<size_t>(data));
  if (!last) {
    FAnnouncedLength = AnnouncedLength(rx, m);
    return;
  }
  if (static_cast<int32_t>(ResponseData.size()) > bytes.Exact)
    ResponseData.resize(static_cast<size_t>(bytes.Exact));
  CompleteSnp(rx, request, m);
}

// The last frame of a read is in: the row goes to the host and the transaction ends.
void TSerialPortDM::CompleteSnp(TReceiveContext& rx, TRequestItem& request, const TFrameMatch& m) {
  const char* bytes = reinterpret_cast<const char*>(rx.Data);
  Complete(rx, std::string(bytes + m.Start, static_cast<size_t>(m.End + 6 - m.Start)));
  request.Busy = false;
  request.Step = stIdle;
  FLastReq = nullptr;
}

}  // namespace kelda
