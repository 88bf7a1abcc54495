#include "platform/Bstr.h"

#include <cstdlib>
#include <cstring>

namespace kelda::platform {

// Layout of one block: uint32 byte length | characters | NUL character.
BSTR BstrAlloc(const WideChar* text, uint32_t length) {
  if (length > (UINT32_MAX - sizeof(uint32_t) - sizeof(WideChar)) / sizeof(WideChar)) return nullptr;
  const uint32_t bytes = length * sizeof(WideChar);
  auto* block = static_cast<unsigned char*>(std::malloc(sizeof(uint32_t) + bytes + sizeof(WideChar)));
  if (!block) return nullptr;
  std::memcpy(block, &bytes, sizeof bytes);
  auto* chars = reinterpret_cast<WideChar*>(block + sizeof(uint32_t));
  if (text)
    std::memcpy(chars, text, bytes);
  else
    std::memset(chars, 0, bytes);
  chars[length] = 0;
  return chars;
}

void BstrFree(BSTR text) {
  if (text) std::free(reinterpret_cast<unsigned char*>(text) - sizeof(uint32_t));
}

uint32_t BstrLength(BSTR text) {
  if (!text) return 0;
  uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<unsigned char*>(text) - sizeof(uint32_t), sizeof bytes);
  return bytes / sizeof(WideChar);
}

BSTR BstrAlloc(std::u16string_view text) {
  return BstrAlloc(reinterpret_cast<const WideChar*>(text.data()), static_cast<uint32_t>(text.size()));
}

}  // namespace kelda::platform
