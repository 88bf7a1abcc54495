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

// Locale-aware comparison without regard to case: <0, 0 or >0.
int AnsiCompareText(std::string_view a, std::string_view b);

}  // namespace kelda::platform
