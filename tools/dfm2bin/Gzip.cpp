#include "Gzip.h"

#include <algorithm>

namespace dfm {

uint32_t Crc32(const std::string& data) {
  uint32_t crc = 0xFFFFFFFFu;
  for (char c : data) {
    crc ^= static_cast<unsigned char>(c);
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

static void PutLittle(std::string& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i));
}

std::string GzipStored(const std::string& data) {
  // Header: magic, deflate, no flags, no time, no extra flags, unknown system.
  std::string out{'\x1f', '\x8b', '\x08', '\0', '\0', '\0', '\0', '\0', '\0', '\xff'};
  constexpr std::size_t kBlock = 65535;
  std::size_t offset = 0;
  do {
    std::size_t length = std::min(kBlock, data.size() - offset);
    bool last = offset + length == data.size();
    out += static_cast<char>(last ? 1 : 0);  // BFINAL, BTYPE 00 (stored), padded to the byte
    PutLittle(out, static_cast<uint32_t>(length), 2);
    PutLittle(out, static_cast<uint32_t>(~length & 0xFFFF), 2);
    out.append(data, offset, length);
    offset += length;
  } while (offset < data.size());
  PutLittle(out, Crc32(data), 4);
  PutLittle(out, static_cast<uint32_t>(data.size()), 4);
  return out;
}

}  // namespace dfm
