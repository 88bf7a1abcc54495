#include "platform/File.h"

namespace kelda::platform {

std::string TemporaryFileNameFor(const std::string& path, uint32_t process, unsigned attempt) {
  static const char digits[] = "0123456789abcdef";
  std::string id(8, '0');
  for (int i = 7; i >= 0; --i, process >>= 4) id[static_cast<std::size_t>(i)] = digits[process & 15];
  return path + ".~" + id + "_" + std::to_string(attempt) + ".tmp";
}

}  // namespace kelda::platform
