// The PLC's memory tables as SNP, SNP-X and CCM read them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kelda::plcsim {

enum class Unit { Bit, Byte, Word };

// Why a read is refused; each protocol turns it into its own error reply.
enum class ReadError { None, UnknownSelector, ZeroLength, OutOfRange, NotAligned };

class PlcMemory {
public:
  static constexpr uint32_t kScratchPadSize = 256;
  static constexpr uint32_t kStatusWords = 20;

  PlcMemory();

  // Element access by segment selector and zero-based index. Throw std::invalid_argument for a
  // selector of the wrong kind and std::out_of_range past the table's end.
  void setWord(uint8_t selector, uint32_t index, uint16_t value);
  uint16_t word(uint8_t selector, uint32_t index) const;
  void setBit(uint8_t selector, uint32_t index, bool value);
  bool bit(uint8_t selector, uint32_t index) const;
  void setScratchPad(uint32_t index, uint8_t value);
  void setStatusWord(uint32_t number, uint16_t value);  // 1-based

  // Elements of the selector's table in its unit; 0 for a selector that names no table.
  uint32_t tableSize(uint8_t selector) const;
  // Short name for logs: "R", "I", "M" ...; hex for unknown selectors.
  static std::string SelectorName(uint8_t selector);

  // Reads `length` elements from `offset` the way SNP and SNP-X answer: words LSB first, bit
  // selectors widened to whole memory bytes with the bits outside the request cleared.
  ReadError read(uint8_t selector, uint32_t offset, uint32_t length, std::vector<uint8_t>& out) const;
  // The memory byte that follows the last byte such a read returns (for words the low byte of the
  // next word); 0 past the end of the table or for an unknown selector.
  uint8_t byteAfter(uint8_t selector, uint32_t offset, uint32_t length) const;
  // Reads `count` bytes of a CCM memory type: 1 registers (1-based number), 2/3 inputs/outputs
  // (1-based point, on a byte boundary), 6 scratch pad (byte 0..255), 9 status words (1-based).
  ReadError ccmRead(uint8_t type, uint32_t address, uint32_t count, std::vector<uint8_t>& out) const;

  // Fills the scratch pad's identity bytes (run state, CPU type, SNP ID, CCM ID, table sizes).
  void initScratchPad(const std::string& snpId, uint8_t ccmId, uint16_t plcStatus);
  void setRunState(uint16_t plcStatus);

private:
  // Where a selector's elements live: a word table or a packed bit table (bit 0 of byte 0 is
  // element 0), and the table's size in the selector's unit.
  struct Table {
    Unit unit = Unit::Word;
    int index = -1;  // into words_ or bits_; -1: no such table
    uint32_t size = 0;
  };
  static Table Lookup(uint8_t selector);
  static void ReadWords(const std::vector<uint16_t>& words, uint32_t first, uint32_t byteCount,
                        std::vector<uint8_t>& out);

  std::array<std::vector<uint16_t>, 3> words_;  // %R, %AI, %AQ
  std::array<std::vector<uint8_t>, 9> bits_;    // %I, %Q, %T, %M, %G, %S, %SA, %SB, %SC
  std::array<uint8_t, kScratchPadSize> scratchPad_{};
  std::vector<uint16_t> statusWords_;
};

}  // namespace kelda::plcsim
