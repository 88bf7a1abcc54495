#include "platform/NamedLock.h"

#include <cstdint>

namespace kelda::platform {

std::string LockNameOfText(const std::string& text) {
  std::string name = text;
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z'))) c = '_';
  }
  return name;
}

std::string SystemLockName(const std::string& name) {
  constexpr std::size_t MaxReadable = 200;
  if (name.size() <= MaxReadable) return name;
  uint64_t hash = 14695981039346656037ull;  // FNV-1a, 64 bits
  for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
  static const char digits[] = "0123456789abcdef";
  std::string tail(16, '0');
  for (int i = 15; i >= 0; --i, hash >>= 4) tail[static_cast<std::size_t>(i)] = digits[hash & 15];
  return name.substr(0, MaxReadable - 17) + "_" + tail;
}

}  // namespace kelda::platform
