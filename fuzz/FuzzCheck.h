// What the fuzz targets share: a failed expectation ends the run as a finding.
#pragma once

#include <cstdlib>
#include <string>

namespace kelda::fuzz {

inline void Check(bool condition) {
  if (!condition) std::abort();
}

// A field of a "|"-separated line never carries the separator or a line end.
inline bool CleanField(const std::string& field) {
  return field.find_first_of("|\r\n") == std::string::npos;
}

}  // namespace kelda::fuzz
