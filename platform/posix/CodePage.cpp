// The POSIX system code page is windows-1252.
#include "platform/CodePage.h"

namespace kelda::platform {

// windows-1252 bytes 0x80..0x9F; 0 marks the five unassigned bytes, which map to the C1
// control of the same value as Windows does.
static const char16_t kHigh1252[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                       0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                       0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                       0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

static char16_t CharTo16(unsigned char c) {
  if (c >= 0x80 && c <= 0x9F && kHigh1252[c - 0x80] != 0) return kHigh1252[c - 0x80];
  return c;
}

static int WideTo1252(char16_t w) {
  if (w < 0x80 || (w >= 0xA0 && w <= 0xFF)) return w;
  for (int i = 0; i < 32; ++i) {
    if (kHigh1252[i] == w) return 0x80 + i;
    if (kHigh1252[i] == 0 && w == 0x80 + i) return w;
  }
  return -1;
}

std::u16string AnsiToWide(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (unsigned char c : text) out += CharTo16(c);
  return out;
}

std::string WideToAnsi(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char16_t w = text[i];
    if (w >= 0xD800 && w <= 0xDBFF && i + 1 < text.size()) ++i;  // one '?' for a pair
    int c = WideTo1252(w);
    out += c < 0 ? '?' : static_cast<char>(c);
  }
  return out;
}

static unsigned char Lower1252(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c + 32;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
  switch (c) {
    case 0x8A:
      return 0x9A;
    case 0x8C:
      return 0x9C;
    case 0x8E:
      return 0x9E;
    case 0x9F:
      return 0xFF;
    default:
      return c;
  }
}

static unsigned char Upper1252(unsigned char c) {
  if (c >= 'a' && c <= 'z') return c - 32;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 32;
  switch (c) {
    case 0x9A:
      return 0x8A;
    case 0x9C:
      return 0x8C;
    case 0x9E:
      return 0x8E;
    case 0xFF:
      return 0x9F;
    default:
      return c;
  }
}

std::string AnsiLowerCase(std::string_view text) {
  std::string out(text);
  for (auto& c : out) c = static_cast<char>(Lower1252(static_cast<unsigned char>(c)));
  return out;
}

std::string AnsiUpperCase(std::string_view text) {
  std::string out(text);
  for (auto& c : out) c = static_cast<char>(Upper1252(static_cast<unsigned char>(c)));
  return out;
}

std::u16string WideLowerCase(std::u16string_view text) {
  std::u16string out(text);
  for (auto& w : out) {
    int c = WideTo1252(w);
    if (c >= 0) w = CharTo16(Lower1252(static_cast<unsigned char>(c)));
  }
  return out;
}

int AnsiCompareText(std::string_view a, std::string_view b) {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    int x = Lower1252(static_cast<unsigned char>(a[i]));
    int y = Lower1252(static_cast<unsigned char>(b[i]));
    if (x != y) return x - y;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

}  // namespace kelda::platform
