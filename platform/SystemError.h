// The system's text for an error code (FormatMessage on Windows, strerror on POSIX), without
// a trailing line break.
#pragma once

#include <cstdint>
#include <string>

namespace kelda::platform {

std::string SystemErrorText(uint32_t code);
uint32_t LastSystemError();

}  // namespace kelda::platform
