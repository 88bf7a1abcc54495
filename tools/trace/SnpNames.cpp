// Names of SNP and SNP-X fields for the wire trace.
#include "tools/trace/SnpNames.h"

#include <cstdio>

#include "tools/trace/ProtocolReader.h"

namespace kelda::trace {

namespace {

enum class TUnit { Bit, Byte, Word };

struct TSelector {
  uint8_t Code;
  const char* Name;
  TUnit Unit;
};

constexpr TSelector kSelectors[] = {
    {0x46, "%I", TUnit::Bit},   {0x10, "%I", TUnit::Byte},  {0x48, "%Q", TUnit::Bit},
    {0x12, "%Q", TUnit::Byte},  {0x4A, "%T", TUnit::Bit},   {0x14, "%T", TUnit::Byte},
    {0x4C, "%M", TUnit::Bit},   {0x16, "%M", TUnit::Byte},  {0x4E, "%SA", TUnit::Bit},
    {0x18, "%SA", TUnit::Byte}, {0x50, "%SB", TUnit::Bit},  {0x1A, "%SB", TUnit::Byte},
    {0x52, "%SC", TUnit::Bit},  {0x1C, "%SC", TUnit::Byte}, {0x54, "%S", TUnit::Bit},
    {0x1E, "%S", TUnit::Byte},  {0x56, "%G", TUnit::Bit},   {0x38, "%G", TUnit::Byte},
    {0x0A, "%AI", TUnit::Word}, {0x0C, "%AQ", TUnit::Word}, {0x08, "%R", TUnit::Word},
    {0x00, "%L", TUnit::Word},  {0x04, "%P", TUnit::Word},
};

const TSelector* FindSelector(uint8_t code) {
  for (const TSelector& selector : kSelectors)
    if (selector.Code == code) return &selector;
  return nullptr;
}

const char* Name(const char* const* names, size_t count, size_t index, const char* otherwise) {
  return index < count && names[index] ? names[index] : otherwise;
}

template <size_t N>
const char* Name(const char* const (&names)[N], size_t index, const char* otherwise = "unknown") {
  return Name(names, N, index, otherwise);
}

const char* ServiceName(uint8_t code) {
  switch (code) {
    case 0x00:
      return "PLC short status";
    case 0x03:
      return "return control program names";
    case 0x04:
      return "read system memory";
    case 0x05:
      return "read task memory";
    case 0x06:
      return "read program block memory";
    case 0x07:
      return "write system memory";
    case 0x08:
      return "write task memory";
    case 0x09:
      return "write program block memory";
    case 0x20:
      return "programmer logon";
    case 0x21:
      return "change privilege level";
    case 0x22:
      return "set controller ID";
    case 0x23:
      return "set PLC state";
    case 0x24:
      return "set time and date";
    case 0x25:
      return "return time and date";
    case 0x38:
      return "return fault table";
    case 0x39:
      return "clear fault table";
    case 0x43:
      return "return controller type and ID";
    default:
      return "unknown";
  }
}

// The service request of a mailbox: code, then for memory requests selector, offset and length.
std::string ServiceText(uint8_t code, const uint8_t* data) {
  if (code == 0x04) return "Read " + Reference(data[0], Word(data + 1), Word(data + 3));
  if (code == 0x07) return "Write " + Reference(data[0], Word(data + 1), Word(data + 3));
  return "service request " + Hex2(code) + " (" + ServiceName(code) + ")";
}

const char* MajorName(uint8_t major) {
  static const char* const kNames[] = {nullptr,
                                       "illegal service request",
                                       "insufficient privilege",
                                       nullptr,
                                       "protocol sequence error",
                                       "service request error",
                                       "illegal mailbox type",
                                       "service request queue full"};
  return Name(kNames, major);
}

const char* MinorName(uint8_t minor) {
  switch (minor) {
    case 0xFF:
      return "aborted";
    case 0xFE:
      return "no privilege";
    case 0xF4:
      return "invalid parameter in request";
    case 0xE9:
      return "segment selector not valid";
    case 0xE4:
      return "segment does not exist";
    case 0xD8:
      return "point length not allowed";
    case 0xB3:
      return "length limit exceeded";
    default:
      return "unknown";
  }
}

std::string MailboxErrorText(uint8_t major, uint8_t minor) {
  std::string text = "major " + Hex2(major) + " (" + MajorName(major) + "), minor " + Hex2(minor);
  if (major == 0x02) return text + " (level " + std::to_string(minor) + " needed)";
  if (major == 0x05) return text + " (" + MinorName(minor) + ")";
  return text;
}

const char* XErrorName(uint8_t minor) {
  switch (minor) {
    case 0x01:
      return "request not supported or no session";
    case 0x02:
      return "insufficient privilege";
    case 0x03:
      return "invalid memory type";
    case 0x04:
      return "invalid address or range";
    case 0x05:
      return "invalid data length";
    case 0x06:
      return "X-Buffer length mismatch";
    case 0x07:
      return "queue full, retry";
    case 0x08:
      return "response longer than 1000 bytes";
    case 0x10:
      return "unexpected service request error";
    case 0x15:
      return "not permitted as broadcast";
    case 0x20:
      return "bad message type, session ended";
    case 0x21:
      return "bad next message type or length, session ended";
    case 0x22:
      return "bad X-Buffer message type, session ended";
    case 0x23:
      return "bad next message type in X-Buffer, session ended";
    default:
      return "unknown";
  }
}

// The last six data bytes of a completion ACK: how the PLC stands.
std::string PiggyBackText(const uint8_t* piggyBack) {
  return "privilege " + std::to_string(piggyBack[1]) + ", " + StatusText(Word(piggyBack + 4));
}

std::string Sequence(const uint8_t* mailbox) {
  return "seq " + Hex2(mailbox[8]);
}

}  // namespace

std::string StatusText(uint16_t status) {
  static const char* const kStates[] = {"Run I/O enabled",  "Run I/O disabled", "Stop I/O disabled",
                                        "CPU stop faulted", "CPU halted",       "CPU suspended",
                                        "Stop I/O enabled"};
  std::string text = "PLC status " + Hex2(uint8_t(status >> 8)) + Hex2(uint8_t(status)) + "h (" +
                     Name(kStates, status >> 12, "unknown state");
  static const struct {
    uint16_t Bit;
    const char* Name;
  } kFlags[] = {
      {0x0001, "oversweep"},         {0x0004, "PLC fault table changed"}, {0x0008, "I/O fault table changed"},
      {0x0010, "PLC fault present"}, {0x0020, "I/O fault present"},       {0x0040, "programmer attached"},
      {0x0080, "outputs disabled"}};
  for (const auto& flag : kFlags)
    if (status & flag.Bit) text += std::string(", ") + flag.Name;
  return text + ")";
}

std::string Reference(uint8_t selector, uint16_t offset, uint16_t length) {
  const TSelector* found = FindSelector(selector);
  if (!found)
    return "selector " + Hex2(selector) + " offset " + std::to_string(offset) + " length " +
           std::to_string(length);
  // GE's references count from 1; a byte selector addresses whole bytes of a bit table.
  const uint32_t first = found->Unit == TUnit::Byte ? uint32_t(offset) * 8 + 1 : uint32_t(offset) + 1;
  std::string unit = found->Unit == TUnit::Bit ? " bit" : found->Unit == TUnit::Byte ? " byte" : "";
  if (!unit.empty() && length != 1) unit += 's';
  return found->Name + std::to_string(first) + " length " + std::to_string(length) + unit;
}

size_t ReadByteCount(uint8_t selector, uint16_t offset, uint16_t length) {
  const TSelector* found = FindSelector(selector);
  if (!found || length == 0) return 0;
  if (found->Unit == TUnit::Word) return size_t(length) * 2;
  if (found->Unit == TUnit::Byte) return length;
  return (size_t(offset) + length - 1) / 8 - offset / 8 + 1;
}

std::string IdText(const uint8_t* id) {
  bool null = true, broadcast = true;
  for (int i = 0; i < 8; ++i) {
    null = null && id[i] == 0x00;
    broadcast = broadcast && id[i] == 0xFF;
  }
  if (null) return "null SNP ID";
  if (broadcast) return "broadcast SNP ID";
  return "SNP ID " + Quoted(id, 8);
}

std::string T1Text(const uint8_t* text) {
  unsigned value = 0;
  for (int i = 0; i < 4; ++i) {
    const uint8_t c = text[i];
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (digit < 0) return "not hex";
    value = value << 4 | unsigned(digit);
  }
  // Low byte first: "0A00" is 10 ms.
  return std::to_string((value >> 8) | (value & 0xFF) << 8) + " ms";
}

std::string NakReason(uint8_t reason) {
  static const char* const kReasons[] = {"BCC or parity error", "overrun or framing error", "sequence error",
                                         "bad next message length"};
  return Name(kReasons, reason);
}

std::string MailboxText(const uint8_t* m, size_t readBytes) {
  const bool toSnpTask = m[14] == 0x10 && m[15] == 0x3E;
  const bool fromSnpTask = m[10] == 0x10 && m[11] == 0x3E;
  switch (m[9]) {
    case 0xC0:
      if (toSnpTask && m[20] == 0x00)
        return "SNP parameter select, " + Sequence(m) + ", T2 " + std::to_string(Word(m + 22)) + " ms, T3' " +
               std::to_string(Word(m + 24)) + " ms, data size " + std::to_string(Word(m + 26));
      return "SNP mailbox request, " + Sequence(m) + ": " + ServiceText(m[20], m + 21);
    case 0x80:
      return "SNP mailbox request with text buffer, " + Sequence(m) + ": " + ServiceText(m[28], m + 29) +
             ", " + std::to_string(Word(m + 20)) + " data bytes";
    case 0xD4: {
      if (fromSnpTask)
        return "SNP parameter select reply, " + Sequence(m) + ", T2 " + std::to_string(Word(m + 22)) +
               " ms, T3' " + std::to_string(Word(m + 24)) + " ms, data size " + std::to_string(Word(m + 26));
      std::string text = "SNP mailbox reply, " + Sequence(m);
      if (m[20] != 0) text += ", status " + Hex2(m[20]) + " " + Hex2(m[21]);
      const size_t shown = readBytes >= 1 && readBytes <= 6 ? readBytes : 6;
      return text + ", data " + HexRun(m + 22, shown) + ", " + PiggyBackText(m + 28);
    }
    case 0x94:
      return "SNP mailbox reply, " + Sequence(m) + ", " + std::to_string(Word(m + 20)) +
             " data bytes in text buffers, " + PiggyBackText(m + 28);
    case 0xD1:
      return "SNP mailbox error nack, " + Sequence(m) + ", " + MailboxErrorText(m[20], m[21]);
    default:
      return "SNP mailbox, type " + Hex2(m[9]) + ", " + Sequence(m);
  }
}

std::string XRequestText(const uint8_t* r) {
  switch (r[10]) {
    case 0x00:
      return "X-Attach";
    case 0x01:
      return "X-Read " + Reference(r[11], Word(r + 12), Word(r + 14));
    case 0x02: {
      std::string text = "X-Write " + Reference(r[11], Word(r + 12), Word(r + 14));
      if (r[19] != 0x54) text += ", data " + HexRun(r + 16, 2);
      return text;
    }
    default:
      return "X-Request, code " + Hex2(r[10]);
  }
}

std::string XResponseText(const uint8_t* r) {
  const char* to = r[2] == 0x81 ? "X-Response to X-Read" : "X-Response to X-Write";
  const uint16_t data = Word(r + 7);
  if (r[5] != 0) {
    std::string text = std::string(to) + ", error major " + Hex2(r[5]) + ", minor " + Hex2(r[6]);
    return text + " (" + (r[5] == 0x05 ? MinorName(r[6]) : XErrorName(r[6])) + ")";
  }
  return std::string(to) + ", " + Count(data, "data byte") + ", " + StatusText(Word(r + 3));
}

}  // namespace kelda::trace
