// Hand-made PLC answers for the engine tests: CCM blocks, SNP attach responses, mailboxes and
// text buffers, SNP-X responses, each with its check.
#pragma once

#include <string>

#include "EngineTestKit.h"

namespace kelda::enginetest {

inline const uint8_t* U(const std::string& s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}

inline std::string CcmBlock(const std::string& data, bool last) {
  std::string block = "\x02" + data + (last ? "\x03" : "\x17");
  return block + static_cast<char>(Lrc(U(block), block.size()));
}

inline std::string WithBcc(std::string frame) {
  return frame + static_cast<char>(SnpBcc(U(frame), frame.size()));
}

inline std::string SnpXAttachAnswer() {
  return WithBcc("\x1B\x58" + std::string("PLC1\0\0\0\0", 8) + "\x80" + std::string(7, '\0') + "\x17" +
                 std::string(4, '\0'));
}

// An X-Response to a read: status word, no error, the data length and the data.
inline std::string SnpXReadAnswer(const std::string& data, uint16_t status = 0x0102) {
  std::string frame = "\x1B\x58\x81";
  frame += static_cast<char>(status & 0xFF);
  frame += static_cast<char>(status >> 8);
  frame += std::string(2, '\0');
  frame += static_cast<char>(data.size() & 0xFF);
  frame += static_cast<char>(data.size() >> 8);
  return WithBcc(frame + data + "\x17" + std::string(4, '\0'));
}

inline std::string SnpAttachAnswer(char type = 'R') {
  std::string frame =
      std::string("\x1B") + type + std::string("PLC1\0\0\0\0", 8) + "0A000   \x17" + std::string(3, '\0');
  return frame + HexDigits(SnpBcc(U(frame), frame.size()), 2);
}

// The trailer after ETB: the next message's type and length (the whole message), and the status.
inline std::string Next(size_t nextLength) {
  if (nextLength == 0) return std::string(4, '\0');
  return std::string("T") + static_cast<char>(nextLength & 0xFF) + static_cast<char>(nextLength >> 8) + '\0';
}

// A mailbox reply; one with 0x94 announces a text buffer of `nextLength` bytes.
inline std::string Mailbox(uint8_t kind, const std::string& six = std::string(6, '\0'),
                           size_t nextLength = 0) {
  std::string frame = std::string("\x1B\x4D") + std::string(6, '\0') + "\x01" + static_cast<char>(kind) +
                      std::string("\x10\x0A\x00\x00\x10\x3A\x00\x00\x01\x01\x00\x00", 12) + six +
                      std::string(6, '\0') + "\x17" + Next(nextLength);
  return WithBcc(frame);
}

// A text buffer; `nextLength` announces the one after it (0: this is the last).
inline std::string TextBuffer(const std::string& data, size_t nextLength) {
  return WithBcc("\x1BT" + data + "\x17" + Next(nextLength));
}

inline const std::string kAck1 = Bytes({0x06});
inline const std::string kSnpAck = Bytes({0x06, 0x00});

}  // namespace kelda::enginetest
