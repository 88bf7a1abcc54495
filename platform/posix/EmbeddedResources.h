// The module's data resources compiled into the library: a build step generates the table
// from the same files that the Windows resource script names.
#pragma once

#include <cstddef>

namespace kelda::platform {

struct TEmbeddedResource {
  const char* Name;  // upper case
  const unsigned char* Data;
  std::size_t Size;
};

extern const TEmbeddedResource kEmbeddedResources[];
extern const std::size_t kEmbeddedResourceCount;

}  // namespace kelda::platform
