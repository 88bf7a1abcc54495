// Small helpers that several parts of the framework share.
#pragma once

#include <cstdint>
#include <string>

#include "Common/TextUtils.h"
#include "Common/Variants.h"

namespace kelda {

// The message logged for a failure that carries no text of its own.
inline constexpr char kUnknownFailure[] = "Unknown failure";

// An integer written in full; an empty text is no number.
inline bool TryParseInt(const std::string& text, int64_t& value) {
  return !text.empty() && TryTextToInt64(text, value);
}

// A handle given as a number; an empty or null value is no handle.
inline uintptr_t HandleValue(const TVariant& value) {
  if (value.IsEmptyOrNull()) return 0;
  return static_cast<uintptr_t>(value.ToInt64());
}

}  // namespace kelda
