// Code pages other than the system page and UTF-8, through iconv.
#include <iconv.h>

#include <cerrno>
#include <string>

#include "platform/CodePage.h"

namespace kelda::platform {

namespace {

std::string IconvName(uint32_t codePage) {
  if (codePage == 1361) return "JOHAB";
  return "CP" + std::to_string(codePage);
}

// An open conversion descriptor, closed on every path.
class TIconv {
public:
  explicit TIconv(const std::string& from) : FHandle(::iconv_open("UTF-16LE", from.c_str())) {}
  ~TIconv() {
    if (Valid()) ::iconv_close(FHandle);
  }
  TIconv(const TIconv&) = delete;
  TIconv& operator=(const TIconv&) = delete;
  bool Valid() const { return FHandle != reinterpret_cast<iconv_t>(-1); }
  iconv_t Handle() const { return FHandle; }

private:
  iconv_t FHandle;
};

}  // namespace

std::u16string CodePageToWide(uint32_t codePage, std::string_view text) {
  if (codePage == kCodePageSystem || codePage == 1252) return AnsiToWide(text);
  if (codePage == kCodePageUtf8) return Utf8ToWide(text);
  TIconv converter(IconvName(codePage));
  if (!converter.Valid()) return AnsiToWide(text);
  std::u16string out;
  std::string input(text);
  char* in = input.data();
  std::size_t inLeft = input.size();
  char16_t chunk[256];
  while (inLeft > 0) {
    char* outPtr = reinterpret_cast<char*>(chunk);
    std::size_t outLeft = sizeof(chunk);
    std::size_t done = ::iconv(converter.Handle(), &in, &inLeft, &outPtr, &outLeft);
    out.append(chunk, (sizeof(chunk) - outLeft) / sizeof(char16_t));
    if (done != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) continue;
    // A byte the page cannot decode, or a sequence cut off at the end: one replacement
    // character, then go on after that byte.
    out += u'\uFFFD';
    ++in;
    --inLeft;
    ::iconv(converter.Handle(), nullptr, nullptr, nullptr, nullptr);
  }
  return out;
}

}  // namespace kelda::platform
