// The wire trace reads whatever the line carries, noise and broken frames included: on any bytes,
// split in any way, it must give every byte back in its frames, in order, and never read past
// what it was given.
// Input: protocol (low two bits), then pieces: a length byte (low 7 bits + 1, high bit = from the
// PLC) and that many bytes. A length byte of 0xFF is a line break.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/trace/FrameDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using kelda::trace::TDirection;
  if (size == 0) return 0;
  kelda::trace::TFrameDecoder decoder(static_cast<kelda::trace::TProtocol>(data[0] & 3));
  std::vector<kelda::trace::TFrame> frames;
  std::string given[2];
  uint64_t ms = 0;
  for (size_t at = 1; at < size;) {
    const uint8_t control = data[at++];
    if (control == 0xFF) {
      decoder.LineBreak(frames);
      continue;
    }
    const TDirection direction = control & 0x80 ? TDirection::FromPlc : TDirection::ToPlc;
    size_t length = (control & 0x7F) + 1u;
    if (length > size - at) length = size - at;
    // An exact copy, so that a read past the piece is a fault the sanitizer sees.
    const std::string piece(reinterpret_cast<const char*>(data + at), length);
    at += length;
    given[direction == TDirection::ToPlc ? 0 : 1] += piece;
    decoder.Feed(direction, piece, ms++, frames);
  }
  decoder.EndFrames(frames);

  std::string kept[2];
  for (const auto& frame : frames) {
    if (frame.Bytes.empty() || frame.Meaning.empty()) std::abort();
    kept[frame.Direction == TDirection::ToPlc ? 0 : 1] += frame.Bytes;
  }
  if (kept[0] != given[0] || kept[1] != given[1]) std::abort();
  return 0;
}
