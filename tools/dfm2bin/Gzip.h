// A gzip stream of stored (uncompressed) deflate blocks, and the CRC-32 it carries: what any
// gzip reader unpacks, with no compression library on the build machine.
#pragma once

#include <cstdint>
#include <string>

namespace dfm {

uint32_t Crc32(const std::string& data);
std::string GzipStored(const std::string& data);

}  // namespace dfm
