// Text conversions meet bytes from stored settings and language files: any byte sequence must
// convert without a fault, and well-formed text must survive the round trip.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/CodePage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kelda::platform;
  std::string bytes(reinterpret_cast<const char*>(data), size);
  std::u16string wide = Utf8ToWide(bytes);
  std::string utf8 = WideToUtf8(wide);
  if (Utf8ToWide(utf8) != wide) std::abort();  // repaired text is stable
  std::u16string fromAnsi = AnsiToWide(bytes);
  (void)WideToAnsi(wide);
  (void)AnsiLowerCase(bytes);
  if (WideToUtf8(fromAnsi).size() < bytes.size()) std::abort();  // every byte is a character
  return 0;
}
