// CCM frames in the trace: enquiries and their answers, the header with its 1-based address,
// data blocks with their LRC, ACK, NAK and EOT.
#include "tools/trace/ProtocolReader.h"

namespace kelda::trace {

namespace {

constexpr uint8_t kSoh = 0x01, kStx = 0x02, kEtx = 0x03, kEot = 0x04, kEnq = 0x05, kAck = 0x06, kNak = 0x15,
                  kEtb = 0x17;
constexpr size_t kHeaderLength = 17, kFullBlock = 256;

uint8_t Lrc(const uint8_t* bytes, size_t n) {
  uint8_t lrc = 0;
  for (size_t i = 0; i < n; ++i) lrc ^= bytes[i];
  return lrc;
}

int HexDigit(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

unsigned HexField(const uint8_t* text, size_t digits) {
  unsigned value = 0;
  for (size_t i = 0; i < digits; ++i) value = value << 4 | unsigned(HexDigit(text[i]));
  return value;
}

bool IsEnd(uint8_t c) {
  return c == kEtx || c == kEtb;
}

TDirection Other(TDirection direction) {
  return direction == TDirection::ToPlc ? TDirection::FromPlc : TDirection::ToPlc;
}

// The memory a header addresses, with GE's 1-based numbers as the header carries them.
std::string MemoryText(unsigned type, unsigned address) {
  const std::string number = std::to_string(address);
  switch (type) {
    case 0:
      return "absolute memory " + number;
    case 1:
      return "%R" + number;
    case 2:
      return "%I" + number;
    case 3:
      return "%Q" + number;
    case 4:
      return "input override table " + number;
    case 5:
      return "output override table " + number;
    case 6:
      return "scratch pad byte " + number;
    case 7:
      return "user logic " + number;
    case 8:
      return "quick access buffer " + number;
    case 9:
      return "diagnostic status word " + number;
    case 13:
      return "input bit set %I" + number;
    case 14:
      return "output bit set %Q" + number;
    case 17:
      return "input bit clear %I" + number;
    case 18:
      return "output bit clear %Q" + number;
    case 21:
      return "input bit toggle %I" + number;
    case 22:
      return "output bit toggle %Q" + number;
    default:
      return "memory type " + std::to_string(type) + " address " + number;
  }
}

std::string HeaderText(const uint8_t* p) {
  const unsigned function = HexField(p + 3, 2);
  const unsigned type = function & 0x7F;
  const unsigned bytes = HexField(p + 9, 2) * kFullBlock + HexField(p + 11, 2);
  const bool bitFunction = type >= 13;
  std::string text = "CCM header: ";
  if (!bitFunction) text += function & 0x80 ? "write " : "read ";
  text += MemoryText(type, HexField(p + 5, 4)) + ", " + Count(bytes, "byte");
  if (type == 1 && bytes % 2 == 0) text += " (" + std::to_string(bytes / 2) + " registers)";
  text +=
      ", target " + std::to_string(HexField(p + 1, 2)) + ", source " + std::to_string(HexField(p + 13, 2));
  const uint8_t expected = Lrc(p + 1, 14);
  return text + ", " + CheckText("LRC", expected == p[16], Hex2(expected));
}

// The LRC of a data block: over STX, the data and ETX/ETB on our lines; some CCM devices leave
// STX and ETX out, and that form is named so that a mismatch of the two shows.
std::string BlockText(const uint8_t* p, size_t end) {
  const size_t data = end - 1;
  std::string text = "CCM data block, " + Count(data, "byte") + ", ";
  text += p[end] == kEtx ? "last (ETX)" : "more follow (ETB)";
  const uint8_t framed = Lrc(p, end + 1);
  if (framed == p[end + 1]) return text + ", LRC ok";
  if (Lrc(p + 1, data) == p[end + 1]) return text + ", LRC ok over the data bytes only";
  return text + ", LRC bad, expected " + Hex2(framed);
}

bool BlockLrcHolds(const uint8_t* p, size_t end) {
  return Lrc(p, end + 1) == p[end + 1] || Lrc(p + 1, end - 1) == p[end + 1];
}

TCut Need(const char* what) {
  return {TCut::NeedMore, 0, what};
}

TCut NotAFrame() {
  return {TCut::NotAFrame, 0, {}};
}

TCut Frame(size_t length, std::string meaning) {
  return {TCut::Frame, length, std::move(meaning)};
}

class TCcmReader : public TProtocolReader {
public:
  TCut Look(TDirection direction, const uint8_t* p, size_t n, bool final) const override {
    switch (p[0]) {
      case kSoh:
        return Header(p, n);
      case kStx:
        return Block(direction, p, n, final);
      case 'N':
      case 'Q':
        return Enquiry(p, n);
      case kEnq:
        return Frame(1, "CCM ENQ");
      case kAck:
        return Frame(1, "CCM ACK");
      case kNak:
        return Frame(1, "CCM NAK");
      case kEot:
        return Frame(1, "CCM EOT");
      default:
        return NotAFrame();
    }
  }

  void Accept(TDirection direction, const uint8_t* p, size_t n) override {
    if (p[0] != kSoh || n != kHeaderLength) return;
    const unsigned function = HexField(p + 3, 2);
    FTransfer.Known = true;
    FTransfer.Blocks = function & 0x80 ? direction : Other(direction);
    FTransfer.Full = HexField(p + 9, 2);
    FTransfer.Last = HexField(p + 11, 2);
  }

  void Reset() override { FTransfer = {}; }

private:
  // What the last header announced: who sends the data blocks and how long they are.
  struct TTransfer {
    bool Known = false;
    TDirection Blocks = TDirection::FromPlc;
    unsigned Full = 0;
    unsigned Last = 0;
  };

  static TCut Header(const uint8_t* p, size_t n) {
    for (size_t i = 1; i < n && i < 15; ++i)
      if (HexDigit(p[i]) < 0) return NotAFrame();
    if (n > 15 && p[15] != kEtb) return NotAFrame();
    if (n < kHeaderLength) return Need("CCM header");
    return Frame(kHeaderLength, HeaderText(p));
  }

  static TCut Enquiry(const uint8_t* p, size_t n) {
    const char* kind = p[0] == 'N' ? "enquiry" : "Q-sequence enquiry";
    if (n < 2) return Need("CCM enquiry");
    if (p[1] < 0x21 || p[1] > 0x7A) return NotAFrame();
    const std::string cpu = "CPU " + std::to_string(p[1] - 0x20);
    if (n < 3) return Need("CCM enquiry");
    if (p[2] == kEnq) return Frame(3, std::string("CCM ") + kind + " to " + cpu);
    if (p[0] == 'N') {
      if (p[2] == kAck) return Frame(3, "CCM enquiry ACK from " + cpu);
      if (p[2] == kNak) return Frame(3, "CCM enquiry NAK from " + cpu + " (busy)");
      return NotAFrame();
    }
    // The Q-response: four data bytes, their LRC, ACK.
    if (n < 8) return Need("CCM Q-response");
    if (p[7] != kAck) return NotAFrame();
    const uint8_t expected = Lrc(p + 2, 4);
    return Frame(8, "CCM Q-response from " + cpu + ", data " + HexRun(p + 2, 4) + ", " +
                        CheckText("LRC", expected == p[6], Hex2(expected)));
  }

  // A data block ends where the header said it would; where no header announced it (or the
  // block is not as announced), at the first ETX/ETB whose LRC holds, else at the first one.
  TCut Block(TDirection direction, const uint8_t* p, size_t n, bool final) const {
    size_t expected[2] = {0, 0};
    if (FTransfer.Known && FTransfer.Blocks == direction) {
      if (FTransfer.Last > 0) expected[0] = FTransfer.Last + 1;
      if (FTransfer.Full > 0) expected[1] = kFullBlock + 1;
    }
    size_t candidate = 0;
    for (size_t end : expected) {
      if (end == 0 || (final && n < end + 2)) continue;
      if (n < end + 2) return Need("CCM data block");
      if (!IsEnd(p[end])) continue;
      if (BlockLrcHolds(p, end)) return Frame(end + 2, BlockText(p, end));
      if (!candidate) candidate = end;
    }
    if (candidate) return Frame(candidate + 2, BlockText(p, candidate));
    return Search(p, n, final);
  }

  static TCut Search(const uint8_t* p, size_t n, bool final) {
    size_t first = 0;
    uint8_t data = 0;  // LRC of the data bytes before `end`, kept as the search goes
    for (size_t end = 2; end <= kFullBlock + 1; ++end) {
      if (end + 2 > n) {
        if (!final || !first) return Need("CCM data block");
        break;
      }
      data ^= p[end - 1];
      if (!IsEnd(p[end])) continue;
      const uint8_t check = p[end + 1];
      if (check == data || check == (data ^ kStx ^ p[end])) return Frame(end + 2, BlockText(p, end));
      if (!first) first = end;
    }
    if (first) return Frame(first + 2, BlockText(p, first));
    return NotAFrame();
  }

  TTransfer FTransfer;
};

}  // namespace

std::unique_ptr<TProtocolReader> MakeCcmReader() {
  return std::make_unique<TCcmReader>();
}

}  // namespace kelda::trace
