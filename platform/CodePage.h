// Text conversions. Text inside the module is 8-bit in the system code page ("ANSI"); UTF-16
// is used at the wide interfaces and in list values, UTF-8 in module information and stored
// settings. On Windows the system's own conversions are used; on POSIX the system code page is
// windows-1252 and the conversions are our own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kelda::platform {

std::u16string AnsiToWide(std::string_view text);
std::string WideToAnsi(std::u16string_view text);  // unmappable characters become '?'
std::u16string Utf8ToWide(std::string_view text);  // malformed sequences become U+FFFD
std::string WideToUtf8(std::u16string_view text);  // lone surrogates become U+FFFD

// Upper and lower case by the system code page's rules (not only ASCII).
std::string AnsiLowerCase(std::string_view text);
std::string AnsiUpperCase(std::string_view text);
std::u16string WideLowerCase(std::u16string_view text);

// Text in a given code page (0: the system page, 65001: UTF-8, 1250..1258, 874, 932, 936, 949,
// 950, 1361). Bytes the page cannot decode become U+FFFD; a page the system does not know is
// read as the system page.
constexpr uint32_t kCodePageSystem = 0;
constexpr uint32_t kCodePageUtf8 = 65001;
std::u16string CodePageToWide(uint32_t codePage, std::string_view text);

// Locale-aware comparison without regard to case: <0, 0 or >0.
int AnsiCompareText(std::string_view a, std::string_view b);

}  // namespace kelda::platform
