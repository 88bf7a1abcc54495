#include "platform/Bstr.h"

namespace kelda::platform {

BSTR BstrAlloc(const WideChar* text, uint32_t length) {
  return ::SysAllocStringLen(text, length);
}

void BstrFree(BSTR text) {
  ::SysFreeString(text);
}

uint32_t BstrLength(BSTR text) {
  return ::SysStringLen(text);
}

BSTR BstrAlloc(std::u16string_view text) {
  return BstrAlloc(reinterpret_cast<const WideChar*>(text.data()), static_cast<uint32_t>(text.size()));
}

}  // namespace kelda::platform
