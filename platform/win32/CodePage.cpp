#include "platform/CodePage.h"

#include <windows.h>

namespace kelda::platform {

std::u16string AnsiToWide(std::string_view text) {
  if (text.empty()) return {};
  int n = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::u16string out(static_cast<std::size_t>(n), u'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                        reinterpret_cast<wchar_t*>(out.data()), n);
  return out;
}

std::string WideToAnsi(std::u16string_view text) {
  if (text.empty()) return {};
  auto* src = reinterpret_cast<const wchar_t*>(text.data());
  int n = ::WideCharToMultiByte(CP_ACP, 0, src, static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, src, static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::string AnsiLowerCase(std::string_view text) {
  std::string out(text);
  if (!out.empty()) ::CharLowerBuffA(out.data(), static_cast<DWORD>(out.size()));
  return out;
}

std::string AnsiUpperCase(std::string_view text) {
  std::string out(text);
  if (!out.empty()) ::CharUpperBuffA(out.data(), static_cast<DWORD>(out.size()));
  return out;
}

std::u16string WideLowerCase(std::u16string_view text) {
  std::u16string out(text);
  if (!out.empty()) ::CharLowerBuffW(reinterpret_cast<wchar_t*>(out.data()), static_cast<DWORD>(out.size()));
  return out;
}

int AnsiCompareText(std::string_view a, std::string_view b) {
  return ::CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()),
                          b.data(), static_cast<int>(b.size())) -
         CSTR_EQUAL;
}

}  // namespace kelda::platform

namespace kelda::platform {

std::u16string CodePageToWide(uint32_t codePage, std::string_view text) {
  if (text.empty()) return {};
  UINT page = codePage == kCodePageSystem ? CP_ACP : codePage;
  if (page != CP_ACP && !::IsValidCodePage(page)) page = CP_ACP;
  int n = ::MultiByteToWideChar(page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return AnsiToWide(text);
  std::u16string out(static_cast<std::size_t>(n), u'\0');
  ::MultiByteToWideChar(page, 0, text.data(), static_cast<int>(text.size()),
                        reinterpret_cast<wchar_t*>(out.data()), n);
  return out;
}

}  // namespace kelda::platform
