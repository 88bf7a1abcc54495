// BSTR memory: the strings of VT_BSTR variants. On Windows they come from oleaut32, so the host
// may free what the module hands out and the other way round; on POSIX a compatible allocator
// keeps the same layout: a 32-bit byte length in front of the characters, the characters, and
// a NUL that is not counted.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/Boundary.h"

namespace kelda::platform {

// A new BSTR holding length characters copied from text (text may be null: the characters are
// then zero). Null only when memory is exhausted.
BSTR BstrAlloc(const WideChar* text, uint32_t length);
BSTR BstrAlloc(std::u16string_view text);

// Frees a BSTR; a null BSTR is the empty string and is ignored.
void BstrFree(BSTR text);

// The number of characters (not counting the terminator); 0 for a null BSTR.
uint32_t BstrLength(BSTR text);

// The characters of a BSTR as a view (valid while the BSTR lives).
inline std::u16string_view BstrView(BSTR text) {
  return {reinterpret_cast<const char16_t*>(text), BstrLength(text)};
}

}  // namespace kelda::platform
