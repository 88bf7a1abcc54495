// What the reassembler asks of a protocol: whether a frame starts at the bytes it holds, how long
// it is and what it means, and what a frame announces about the frames after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tools/trace/FrameDecoder.h"

namespace kelda::trace {

class TProtocolReader {
public:
  virtual ~TProtocolReader() = default;
  // Looks at the n bytes from a candidate frame start. NeedMore only while the bytes to come can
  // still decide, so that the cut never depends on how the port split the bytes. `final`: no
  // more bytes come, so a frame shorter than announced is taken as it is.
  virtual TCut Look(TDirection direction, const uint8_t* bytes, size_t n, bool final) const = 0;
  // A frame was cut: remember what it announces (the length of the next message, a transfer).
  virtual void Accept(TDirection direction, const uint8_t* bytes, size_t n) = 0;
  // A line break: the session and everything announced in it are gone.
  virtual void Reset() = 0;
};

// SNP and SNP-X share the message frame; `snpx` tells which of them the line was set up for.
std::unique_ptr<TProtocolReader> MakeSnpReader(bool snpx);
std::unique_ptr<TProtocolReader> MakeCcmReader();

// Text helpers shared by the protocol readers.
std::string Hex2(uint8_t value);                     // "0A"
std::string HexRun(const uint8_t* bytes, size_t n);  // "90 13"
uint16_t Word(const uint8_t* bytes);                 // little-endian 16 bits
std::string Count(size_t n, const char* unit);       // "1 byte", "2 bytes"
std::string Quoted(const uint8_t* bytes, size_t n);  // up to the first NUL, in quotes
// "BCC ok" or "BCC bad, expected XX"; `what` names the check ("BCC", "LRC").
std::string CheckText(const char* what, bool ok, const std::string& expected);

}  // namespace kelda::trace
