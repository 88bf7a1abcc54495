// SNP and SNP-X frames in the trace: attach, mailboxes with their service requests, text buffers,
// ACK/NAK, X-requests and X-responses, each with its BCC checked.
#include <array>

#include "tools/trace/ProtocolReader.h"
#include "tools/trace/SnpNames.h"

namespace kelda::trace {

namespace {

constexpr uint8_t kEsc = 0x1B, kEtb = 0x17, kAck = 0x06, kNak = 0x15, kTextBuffer = 0x54;
constexpr size_t kFixedLength = 24, kMailboxLength = 40, kTrailer = 6;
// The largest SNP data message a Series 90-70 takes (8 KB of data) with its header and trailer:
// a text buffer whose length was not announced is searched no further.
constexpr size_t kLongestText = 8192 + 8;
constexpr size_t kLongestXData = 1000;

uint8_t Bcc(const uint8_t* bytes, size_t n, uint8_t bcc = 0) {
  for (size_t i = 0; i < n; ++i) {
    bcc ^= bytes[i];
    bcc = static_cast<uint8_t>(bcc << 1 | bcc >> 7);
  }
  return bcc;
}

TCut Need(const std::string& what) {
  return {TCut::NeedMore, 0, what};
}

TCut NotAFrame() {
  return {TCut::NotAFrame, 0, {}};
}

TCut Frame(size_t length, std::string meaning) {
  return {TCut::Frame, length, std::move(meaning)};
}

// A message of fixed length whose ETB sits at a fixed place: wrong as soon as that byte is there
// and is not ETB, so that a stray ESC gives up its claim early.
TCut Fixed(const uint8_t* p, size_t n, size_t length, const char* what) {
  if (n > length - kTrailer && p[length - kTrailer] != kEtb) return NotAFrame();
  if (n < length) return Need(what);
  return Frame(length, {});
}

std::string BinaryBcc(const uint8_t* p, size_t length) {
  const uint8_t expected = Bcc(p, length - 1);
  return CheckText("BCC", expected == p[length - 1], Hex2(expected));
}

std::string NextText(const uint8_t* p, size_t length, const char* what) {
  if (p[length - 5] != kTextBuffer) return {};
  return std::string(", ") + what + " of " + std::to_string(Word(p + length - 4)) + " bytes follows";
}

class TSnpReader : public TProtocolReader {
public:
  explicit TSnpReader(bool snpx) : FSnpx(snpx) {}

  TCut Look(TDirection direction, const uint8_t* p, size_t n, bool final) const override {
    if (!FSnpx && (p[0] == kAck || p[0] == kNak)) return AckNak(p, n);
    if (p[0] != kEsc) return NotAFrame();
    if (n < 2) return Need("SNP message");
    switch (p[1]) {
      case 'A':
      case 'R':
        return Attach(p, n);
      case 'M':
        return Mailbox(p, n);
      case 'I':
        return Named(Fixed(p, n, kMailboxLength, "SNP inquiry"), p, "SNP inquiry (keep-alive)");
      case 'T':
        return TextBuffer(direction, p, n, final);
      case 'X':
        return direction == TDirection::ToPlc ? XRequest(p, n) : XFromPlc(p, n);
      case 'x':
        return XResponse(p, n);
      case 'B':
      case 'C':
      case 'U':
        return Named(Scan(p, n, "SNP data message"), p, "SNP data message '" + std::string(1, p[1]) + "'");
      default:
        return NotAFrame();
    }
  }

  void Accept(TDirection direction, const uint8_t* p, size_t n) override {
    if (p[0] != kEsc || n < 8) return;
    TNext& next = FNext[Index(direction)];
    next.Type = p[n - 5];
    next.Length = Word(p + n - 4);
    if (n == kMailboxLength && p[1] == 'M' && p[9] == 0xC0 && p[20] == 0x04)
      FReadBytes = ReadByteCount(p[21], Word(p + 22), Word(p + 24));
  }

  void Reset() override {
    FNext[0] = FNext[1] = TNext{};
    FReadBytes = 0;
  }

private:
  struct TNext {
    uint8_t Type = 0;
    size_t Length = 0;
  };

  static size_t Index(TDirection direction) { return direction == TDirection::ToPlc ? 0 : 1; }

  static TCut Named(TCut cut, const uint8_t* p, const std::string& meaning) {
    if (cut.Kind == TCut::Frame) cut.Meaning = meaning + ", " + BinaryBcc(p, cut.Length);
    return cut;
  }

  static TCut AckNak(const uint8_t* p, size_t n) {
    const bool ack = p[0] == kAck;
    if (n < 2) return Need(ack ? "SNP ACK" : "SNP NAK");
    if (ack) return p[1] == 0 ? Frame(2, "SNP ACK") : NotAFrame();
    if (p[1] > 3) return NotAFrame();
    return Frame(2, "SNP NAK " + Hex2(p[1]) + " (" + NakReason(p[1]) + ")");
  }

  static TCut Attach(const uint8_t* p, size_t n) {
    const bool response = p[1] == 'R';
    TCut cut = Fixed(p, n, kFixedLength, response ? "SNP attach response" : "SNP attach");
    if (cut.Kind != TCut::Frame) return cut;
    // The attach carries its BCC as two hexadecimal characters, over everything before them.
    const std::string expected = Hex2(Bcc(p, kFixedLength - 2));
    const bool ok = p[22] == uint8_t(expected[0]) && p[23] == uint8_t(expected[1]);
    cut.Meaning = std::string(response ? "SNP attach response, " : "SNP attach, ") + IdText(p + 2) + ", T1 " +
                  T1Text(p + 10) + ", " + CheckText("BCC", ok, expected);
    return cut;
  }

  TCut Mailbox(const uint8_t* p, size_t n) const {
    TCut cut = Fixed(p, n, kMailboxLength, "SNP mailbox");
    if (cut.Kind != TCut::Frame) return cut;
    cut.Meaning = MailboxText(p, FReadBytes) + NextText(p, kMailboxLength, "text buffer") + ", " +
                  BinaryBcc(p, kMailboxLength);
    return cut;
  }

  // Looks for the end of a message whose length nothing announced: the first ETB that is
  // followed by a trailer whose BCC holds.
  static TCut Scan(const uint8_t* p, size_t n, const char* what) {
    uint8_t bcc = 0;
    for (size_t k = 0; k < n && k + kTrailer <= kLongestText; ++k) {
      if (k >= 2 && p[k] == kEtb) {
        if (k + kTrailer > n) return Need(what);
        if (Bcc(p + k, kTrailer - 1, bcc) == p[k + kTrailer - 1]) return Frame(k + kTrailer, {});
      }
      bcc = Bcc(p + k, 1, bcc);
    }
    if (n + kTrailer <= kLongestText) return Need(what);
    return NotAFrame();
  }

  TCut TextBuffer(TDirection direction, const uint8_t* p, size_t n, bool final) const {
    const char* what = FSnpx ? "X-Buffer" : "SNP text buffer";
    const TNext& next = FNext[Index(direction)];
    // A length no SNP device sends is no announcement: the buffer is then found by its trailer.
    const bool announced = next.Type == kTextBuffer && next.Length >= 8 && next.Length <= kLongestText;
    TCut cut = announced ? Fixed(p, n, next.Length, what) : NotAFrame();
    if (cut.Kind == TCut::NotAFrame || (final && cut.Kind == TCut::NeedMore)) {
      TCut found = Scan(p, n, what);
      if (cut.Kind == TCut::NotAFrame || found.Kind == TCut::Frame) cut = std::move(found);
    }
    if (cut.Kind != TCut::Frame) return cut;

    const size_t length = cut.Length;
    std::string meaning = what;
    if (!FSnpx) meaning += p[length - 5] == kTextBuffer ? ", not last" : ", last";
    meaning += ", " + Count(length - 8, "data byte");
    if (!announced) meaning += ", not announced";
    if (announced && length != next.Length)
      meaning += ", announced " + std::to_string(next.Length) + " bytes";
    cut.Meaning =
        meaning + NextText(p, length, FSnpx ? "X-Buffer" : "text buffer") + ", " + BinaryBcc(p, length);
    return cut;
  }

  static TCut XRequest(const uint8_t* p, size_t n) {
    TCut cut = Fixed(p, n, kFixedLength, "X-Request");
    if (cut.Kind != TCut::Frame) return cut;
    cut.Meaning = XRequestText(p) + ", " + IdText(p + 2) + NextText(p, kFixedLength, "X-Buffer") + ", " +
                  BinaryBcc(p, kFixedLength);
    return cut;
  }

  // From the PLC, 1B 58 opens an X-Response (response code 81h, 82h in the third byte) or the
  // X-Attach response, which keeps the request's layout with the PLC's SNP ID there.
  static TCut XFromPlc(const uint8_t* p, size_t n) {
    if (n < 3) return Need("SNP-X message");
    if (p[2] == 0x81 || p[2] == 0x82) return XResponse(p, n);
    TCut cut = Fixed(p, n, kFixedLength, "X-Attach response");
    if (cut.Kind != TCut::Frame) return cut;
    const std::string kind = p[10] == 0x80 ? "X-Attach response" : "SNP-X message, code " + Hex2(p[10]);
    cut.Meaning = kind + ", " + IdText(p + 2) + ", " + BinaryBcc(p, kFixedLength);
    return cut;
  }

  static TCut XResponse(const uint8_t* p, size_t n) {
    const bool intermediate = p[1] == 'x';
    const char* what = intermediate ? "X-Intermediate response" : "X-Response";
    if (n < 9) return Need(what);
    const size_t data = Word(p + 7);
    if (data > kLongestXData) return NotAFrame();
    TCut cut = Fixed(p, n, 15 + data, what);
    if (cut.Kind != TCut::Frame) return cut;
    cut.Meaning =
        (intermediate ? std::string("X-Intermediate response (send the X-Buffer)") : XResponseText(p)) +
        ", " + BinaryBcc(p, cut.Length);
    return cut;
  }

  bool FSnpx;
  std::array<TNext, 2> FNext{};
  size_t FReadBytes = 0;  // data bytes of the last read request, shown of a completion ACK
};

}  // namespace

std::unique_ptr<TProtocolReader> MakeSnpReader(bool snpx) {
  return std::make_unique<TSnpReader>(snpx);
}

}  // namespace kelda::trace
