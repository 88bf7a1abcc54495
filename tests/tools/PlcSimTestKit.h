// Helpers for the simulator's tests: hex text to bytes, frames a master would send, and draining the
// simulator's output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/plcsim/PlcSim.h"

namespace kelda::plcsim::testkit {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kR = 0x08, kAI = 0x0A, kI = 0x46, kQ = 0x48, kM = 0x4C;

// "1b 41 33" -> {0x1b, 0x41, 0x33}
inline Bytes Hex(const std::string& text) {
  Bytes out;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return out;
}

inline Bytes Join(const std::vector<Bytes>& chunks) {
  Bytes out;
  for (const Bytes& c : chunks) out.insert(out.end(), c.begin(), c.end());
  return out;
}

inline Bytes Drain(Simulator& sim, uint64_t now = 0) {
  return Join(sim.takeOutput(now));
}

inline Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline Bytes WithBcc(Bytes frame) {
  frame.push_back(snpBcc(frame.data(), frame.size()));
  return frame;
}

inline Bytes IdField(const std::string& id) {
  Bytes field(8, 0);
  for (size_t i = 0; i < id.size() && i < 8; ++i) field[i] = static_cast<uint8_t>(id[i]);
  return field;
}

// SNP Attach with the master's T1 in ms and the ASCII BCC.
inline Bytes SnpAttach(const std::string& id, uint16_t t1) {
  Bytes f = Concat({0x1B, 0x41}, IdField(id));
  const std::string t1Text = HexText(t1 & 0xFF, 2) + HexText(t1 >> 8, 2);
  f.insert(f.end(), t1Text.begin(), t1Text.end());
  f.insert(f.end(), {0x30, 0x20, 0x20, 0x20, 0x17, 0x00, 0x00, 0x00});
  const std::string bcc = HexText(snpBcc(f.data(), f.size()), 2);
  f.insert(f.end(), bcc.begin(), bcc.end());
  return f;
}

// SNP Read System Memory mailbox (C0) with the given sequence number.
inline Bytes SnpRead(uint8_t sequence, uint8_t selector, uint16_t offset, uint16_t length) {
  Bytes f = Hex("1b 4d 00 00 00 00 00 00 00 c0 10 3a 00 00 10 0a 00 00 01 01 04");
  f[8] = sequence;
  f.insert(f.end(), {selector, static_cast<uint8_t>(offset), static_cast<uint8_t>(offset >> 8),
                     static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)});
  f.insert(f.end(), 8, 0x00);
  f.insert(f.end(), {0x17, 0x00, 0x00, 0x00, 0x00});
  return WithBcc(f);
}

// SNP-X X-Request (24 bytes).
inline Bytes XRequest(const Bytes& id, uint8_t code, uint8_t selector, uint16_t offset, uint16_t length) {
  Bytes f = Concat({0x1B, 0x58}, id);
  f.insert(f.end(), {code, selector, static_cast<uint8_t>(offset), static_cast<uint8_t>(offset >> 8),
                     static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8), 0x00, 0x00, 0x17, 0x00,
                     0x00, 0x00, 0x00});
  return WithBcc(f);
}

inline Bytes XRead(const std::string& id, uint8_t selector, uint16_t offset, uint16_t length) {
  return XRequest(IdField(id), 0x01, selector, offset, length);
}

inline Bytes XAttach(const std::string& id) {
  return XRequest(IdField(id), 0x00, 0x00, 0, 0);
}

// CCM header of a read (function = memory type, | 0x80 for a write), LRC over bytes 2..15.
inline Bytes CcmHeader(uint8_t target, uint8_t function, uint32_t address, uint32_t count, uint8_t source) {
  const std::string text = HexText(target, 2) + HexText(function, 2) + HexText(address, 4) +
                           HexText(count / 256, 2) + HexText(count % 256, 2) + HexText(source, 2);
  Bytes f = {0x01};
  f.insert(f.end(), text.begin(), text.end());
  f.push_back(0x17);
  f.push_back(ccmLrc(f.data() + 1, 14));
  return f;
}

// A CCM data block as a master expects it.
inline Bytes CcmBlock(const Bytes& data, bool last, bool lrcIncludesFraming = true) {
  Bytes f = Concat({0x02}, data);
  f.push_back(last ? 0x03 : 0x17);
  f.push_back(lrcIncludesFraming ? ccmLrc(f.data(), f.size()) : ccmLrc(f.data() + 1, f.size() - 2));
  return f;
}

}  // namespace kelda::plcsim::testkit
