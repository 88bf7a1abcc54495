// Unpacks a gzip stream made of stored deflate blocks (what the form data converter writes),
// checking its framing, so tests can read the packed form data. Empty on any fault.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kelda::test {

inline std::optional<std::string> UnpackStoredGzip(const std::string& gz) {
  auto byte = [&](std::size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(gz[i])); };
  if (gz.size() < 18 || byte(0) != 0x1f || byte(1) != 0x8b || byte(2) != 8 || byte(3) != 0)
    return std::nullopt;
  std::size_t pos = 10;
  std::string out;
  for (;;) {
    if (pos + 5 > gz.size()) return std::nullopt;
    uint32_t header = byte(pos);
    if ((header & 6) != 0) return std::nullopt;  // only stored blocks
    uint32_t length = byte(pos + 1) | byte(pos + 2) << 8;
    uint32_t check = byte(pos + 3) | byte(pos + 4) << 8;
    if ((length ^ 0xFFFF) != check || pos + 5 + length > gz.size()) return std::nullopt;
    out.append(gz, pos + 5, length);
    pos += 5 + length;
    if (header & 1) break;
  }
  if (pos + 8 != gz.size()) return std::nullopt;
  uint32_t size = byte(pos + 4) | byte(pos + 5) << 8 | byte(pos + 6) << 16 | byte(pos + 7) << 24;
  if (size != static_cast<uint32_t>(out.size())) return std::nullopt;
  return out;
}

}  // namespace kelda::test
