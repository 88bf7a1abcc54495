#include "tools/ConsoleText.h"

#include <cstdio>

#include "platform/CodePage.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace kelda::host {

std::string ConsoleText(const std::string& moduleText) {
  const std::string utf8 = platform::WideToUtf8(platform::AnsiToWide(moduleText));
  std::string text;
  text.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    const auto next = i + 1 < utf8.size() ? static_cast<unsigned char>(utf8[i + 1]) : 0u;
    unsigned control = 0x100;
    if (byte < 0x20 || byte == 0x7F) control = byte;
    if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) control = next;  // U+0080 to U+009F
    if (control == 0x100) {
      text += static_cast<char>(byte);
      continue;
    }
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", control);
    text += escaped;
    if (control >= 0x80) ++i;
  }
  return text;
}

void UseUtf8Console() {
#ifdef _WIN32
  SetConsoleOutputCP(CP_UTF8);
#endif
}

}  // namespace kelda::host
