#include "platform/SystemError.h"

#include <cerrno>
#include <cstring>

namespace kelda::platform {

std::string SystemErrorText(uint32_t code) {
  return std::strerror(static_cast<int>(code));
}

uint32_t LastSystemError() {
  return static_cast<uint32_t>(errno);
}

}  // namespace kelda::platform
