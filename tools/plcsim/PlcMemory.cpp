#include "tools/plcsim/PlcMemory.h"

#include <stdexcept>

#include "tools/plcsim/Checks.h"

namespace kelda::plcsim {

namespace {

// Table sizes of a large Series 90-30 CPU; big enough for the longest reads the protocols allow.
constexpr uint32_t kRegisterWords = 32640;
constexpr uint32_t kAnalogWords = 2048;

struct Selector {
  uint8_t code;
  Unit unit;
  int index;  // words_ index for words, bits_ index for bits and bytes
  const char* name;
};

constexpr uint32_t kBitTableSizes[9] = {2048, 2048, 256, 4096, 1280, 128, 128, 128, 128};

constexpr Selector kSelectors[] = {
    {0x08, Unit::Word, 0, "R"},    {0x0A, Unit::Word, 1, "AI"},   {0x0C, Unit::Word, 2, "AQ"},
    {0x46, Unit::Bit, 0, "I"},     {0x48, Unit::Bit, 1, "Q"},     {0x4A, Unit::Bit, 2, "T"},
    {0x4C, Unit::Bit, 3, "M"},     {0x56, Unit::Bit, 4, "G"},     {0x54, Unit::Bit, 5, "S"},
    {0x4E, Unit::Bit, 6, "SA"},    {0x50, Unit::Bit, 7, "SB"},    {0x52, Unit::Bit, 8, "SC"},
    {0x10, Unit::Byte, 0, "I.b"},  {0x12, Unit::Byte, 1, "Q.b"},  {0x14, Unit::Byte, 2, "T.b"},
    {0x16, Unit::Byte, 3, "M.b"},  {0x38, Unit::Byte, 4, "G.b"},  {0x1E, Unit::Byte, 5, "S.b"},
    {0x18, Unit::Byte, 6, "SA.b"}, {0x1A, Unit::Byte, 7, "SB.b"}, {0x1C, Unit::Byte, 8, "SC.b"},
};

const Selector* FindSelector(uint8_t code) {
  for (const Selector& s : kSelectors) {
    if (s.code == code) return &s;
  }
  return nullptr;
}

void PutLe32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

PlcMemory::PlcMemory() : statusWords_(kStatusWords, 0) {
  words_[0].assign(kRegisterWords, 0);
  words_[1].assign(kAnalogWords, 0);
  words_[2].assign(kAnalogWords, 0);
  for (size_t i = 0; i < bits_.size(); ++i) bits_[i].assign(kBitTableSizes[i] / 8, 0);
}

PlcMemory::Table PlcMemory::Lookup(uint8_t selector) {
  Table t;
  const Selector* s = FindSelector(selector);
  if (!s) return t;
  t.unit = s->unit;
  t.index = s->index;
  switch (s->unit) {
    case Unit::Word:
      t.size = s->index == 0 ? kRegisterWords : kAnalogWords;
      break;
    case Unit::Bit:
      t.size = kBitTableSizes[s->index];
      break;
    case Unit::Byte:
      t.size = kBitTableSizes[s->index] / 8;
      break;
  }
  return t;
}

std::string PlcMemory::SelectorName(uint8_t selector) {
  const Selector* s = FindSelector(selector);
  return s ? s->name : "sel " + HexText(selector, 2);
}

uint32_t PlcMemory::tableSize(uint8_t selector) const {
  return Lookup(selector).size;
}

void PlcMemory::setWord(uint8_t selector, uint32_t index, uint16_t value) {
  const Table t = Lookup(selector);
  if (t.index < 0 || t.unit != Unit::Word) throw std::invalid_argument("not a word selector");
  if (index >= t.size) throw std::out_of_range("word index past the table");
  words_[static_cast<size_t>(t.index)][index] = value;
}

uint16_t PlcMemory::word(uint8_t selector, uint32_t index) const {
  const Table t = Lookup(selector);
  if (t.index < 0 || t.unit != Unit::Word) throw std::invalid_argument("not a word selector");
  if (index >= t.size) throw std::out_of_range("word index past the table");
  return words_[static_cast<size_t>(t.index)][index];
}

void PlcMemory::setBit(uint8_t selector, uint32_t index, bool value) {
  const Table t = Lookup(selector);
  if (t.index < 0 || t.unit != Unit::Bit) throw std::invalid_argument("not a bit selector");
  if (index >= t.size) throw std::out_of_range("bit index past the table");
  uint8_t& byte = bits_[static_cast<size_t>(t.index)][index / 8];
  const uint8_t mask = static_cast<uint8_t>(1u << (index % 8));
  byte = value ? static_cast<uint8_t>(byte | mask) : static_cast<uint8_t>(byte & ~mask);
}

bool PlcMemory::bit(uint8_t selector, uint32_t index) const {
  const Table t = Lookup(selector);
  if (t.index < 0 || t.unit != Unit::Bit) throw std::invalid_argument("not a bit selector");
  if (index >= t.size) throw std::out_of_range("bit index past the table");
  return (bits_[static_cast<size_t>(t.index)][index / 8] >> (index % 8)) & 1;
}

void PlcMemory::setScratchPad(uint32_t index, uint8_t value) {
  if (index >= kScratchPadSize) throw std::out_of_range("scratch pad byte past 255");
  scratchPad_[index] = value;
}

void PlcMemory::setStatusWord(uint32_t number, uint16_t value) {
  if (number < 1 || number > kStatusWords) throw std::out_of_range("status words are numbered 1..20");
  statusWords_[number - 1] = value;
}

void PlcMemory::ReadWords(const std::vector<uint16_t>& words, uint32_t first, uint32_t byteCount,
                          std::vector<uint8_t>& out) {
  for (uint32_t i = 0; i < byteCount; ++i) {
    const uint16_t w = words[first + i / 2];
    out.push_back(static_cast<uint8_t>(i % 2 == 0 ? w & 0xFF : w >> 8));
  }
}

ReadError PlcMemory::read(uint8_t selector, uint32_t offset, uint32_t length,
                          std::vector<uint8_t>& out) const {
  out.clear();
  const Table t = Lookup(selector);
  if (t.index < 0) return ReadError::UnknownSelector;
  if (length == 0) return ReadError::ZeroLength;
  if (uint64_t{offset} + length > t.size) return ReadError::OutOfRange;
  const size_t index = static_cast<size_t>(t.index);
  if (t.unit == Unit::Word) {
    ReadWords(words_[index], offset, length * 2, out);
    return ReadError::None;
  }
  const std::vector<uint8_t>& bytes = bits_[index];
  if (t.unit == Unit::Byte) {
    out.assign(bytes.begin() + offset, bytes.begin() + offset + length);
    return ReadError::None;
  }
  // Bit data travels in whole memory bytes; bits the master did not ask for read as zero.
  const uint32_t end = offset + length;  // one past the last bit
  for (uint32_t byte = offset / 8; byte <= (end - 1) / 8; ++byte) {
    uint8_t value = bytes[byte];
    for (uint32_t b = 0; b < 8; ++b) {
      const uint32_t bitIndex = byte * 8 + b;
      if (bitIndex < offset || bitIndex >= end) value = static_cast<uint8_t>(value & ~(1u << b));
    }
    out.push_back(value);
  }
  return ReadError::None;
}

uint8_t PlcMemory::byteAfter(uint8_t selector, uint32_t offset, uint32_t length) const {
  const Table t = Lookup(selector);
  if (t.index < 0 || length == 0) return 0;
  const size_t index = static_cast<size_t>(t.index);
  const uint64_t end = uint64_t{offset} + length;  // one past the last element read
  switch (t.unit) {
    case Unit::Word:
      return end < t.size ? static_cast<uint8_t>(words_[index][end] & 0xFF) : 0;
    case Unit::Byte:
      return end < t.size ? bits_[index][end] : 0;
    case Unit::Bit: {
      const uint64_t nextByte = (end - 1) / 8 + 1;
      return nextByte < bits_[index].size() ? bits_[index][nextByte] : 0;
    }
  }
  return 0;
}

ReadError PlcMemory::ccmRead(uint8_t type, uint32_t address, uint32_t count,
                             std::vector<uint8_t>& out) const {
  out.clear();
  if (count == 0) return ReadError::ZeroLength;
  const uint64_t words = (uint64_t{count} + 1) / 2;
  switch (type) {
    case 1:
      if (address < 1 || address - 1 + words > words_[0].size()) return ReadError::OutOfRange;
      ReadWords(words_[0], address - 1, count, out);
      return ReadError::None;
    case 2:
    case 3: {
      if (address < 1) return ReadError::OutOfRange;
      if ((address - 1) % 8 != 0) return ReadError::NotAligned;
      const std::vector<uint8_t>& bytes = bits_[type == 2 ? 0 : 1];
      const uint32_t first = (address - 1) / 8;
      if (uint64_t{first} + count > bytes.size()) return ReadError::OutOfRange;
      out.assign(bytes.begin() + first, bytes.begin() + first + count);
      return ReadError::None;
    }
    case 6:
      if (uint64_t{address} + count > kScratchPadSize) return ReadError::OutOfRange;
      out.assign(scratchPad_.begin() + address, scratchPad_.begin() + address + count);
      return ReadError::None;
    case 9:
      if (address < 1 || address - 1 + words > kStatusWords) return ReadError::OutOfRange;
      ReadWords(statusWords_, address - 1, count, out);
      return ReadError::None;
    default:
      return ReadError::UnknownSelector;
  }
}

void PlcMemory::initScratchPad(const std::string& snpId, uint8_t ccmId, uint16_t plcStatus) {
  scratchPad_.fill(0);
  setRunState(plcStatus);
  scratchPad_[0x02] = 0x10;  // Series 90-30 CPU
  for (size_t i = 0; i < snpId.size() && i < 7; ++i) scratchPad_[0x04 + i] = static_cast<uint8_t>(snpId[i]);
  scratchPad_[0x12] = 0x0D;  // node type of a 90-30
  scratchPad_[0x16] = ccmId;
  const uint32_t sizes[7] = {
      kRegisterWords, kAnalogWords, kAnalogWords, kBitTableSizes[0], kBitTableSizes[1], kBitTableSizes[3], 0};
  for (int i = 0; i < 7; ++i) PutLe32(&scratchPad_[0x18 + 4 * i], sizes[i]);
}

void PlcMemory::setRunState(uint16_t plcStatus) {
  scratchPad_[0] = static_cast<uint8_t>(plcStatus >> 12);
}

}  // namespace kelda::plcsim
