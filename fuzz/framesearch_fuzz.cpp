// The frame search meets every byte the serial line delivers: on any input it must give the
// same answer as the plain search, and never read past the bytes it was given.
// Input: start character, end character count (low two bits), two end characters, limit byte,
// check kind (low two bits), then the buffered bytes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "module/PluginDM_FrameSearch.h"
#include "tests/support/FindFrameReference.h"

namespace {

constexpr size_t kHeader = 6;
// The plain search is cubic in the length: longer inputs are cut so that runs stay quick.
constexpr size_t kMaxBuffered = 512;

// Limits that the protocols use, and a few on either side; other bytes are small limits.
int32_t LimitFrom(uint8_t byte) {
  static const int32_t kLimits[] = {0, -1, 3, 260, 261, 1100, 1, 2};
  return byte < 8 ? kLimits[byte] : byte - 8;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t header[kHeader] = {0x02, 2, 0x17, 0x03, 3, 1};  // a CCM data block search
  if (size > 0) std::memcpy(header, data, size < kHeader ? size : kHeader);
  const uint8_t startChar = header[0];
  kelda::TEndChars ends;
  ends.Count = header[1] % 3;
  ends.Chars[0] = header[2];
  ends.Chars[1] = header[3];
  const int32_t maxLength = LimitFrom(header[4]);
  const auto check = static_cast<kelda::TCheckKind>(header[5] & 3);

  // An exact copy, so that a read past the buffered bytes is a fault the sanitizer sees.
  const size_t count = size > kHeader ? std::min(size - kHeader, kMaxBuffered) : 0;
  std::unique_ptr<uint8_t[]> bytes;
  if (count) {
    bytes.reset(new uint8_t[count]);
    std::memcpy(bytes.get(), data + kHeader, count);
  }
  const auto n = static_cast<int32_t>(count);
  const uint8_t* buffer = bytes.get();

  const kelda::TFrameMatch fast = kelda::FindFrameIn(buffer, n, startChar, ends, maxLength, check);
  const kelda::TFrameMatch plain =
      kelda::test::ReferenceFindFrame(buffer, n, startChar, ends, maxLength, check);
  if (fast.Start != plain.Start || fast.End != plain.End || fast.EndChar != plain.EndChar) std::abort();
  return 0;
}
