#include "Common/Variants.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cmath>
#include <cstring>
#include <limits>

#include "Common/Exceptions.h"
#include "platform/Bstr.h"
#include "platform/CodePage.h"

namespace kelda {

namespace {

[[noreturn]] void Unsupported(VARTYPE vt, const char* target) {
  throw EConvertError("Could not convert variant of type (" + std::to_string(vt) + ") into type (" + target +
                      ")");
}

BSTR NewBstr(std::u16string_view text) {
  BSTR s = platform::BstrAlloc(text);
  if (!s) throw EOutOfMemory("Out of memory");
  return s;
}

// A NUL-terminated UTF-16 string of unknown length.
std::u16string_view WideZ(const void* p) {
  if (!p) return {};
  const auto* s = static_cast<const char16_t*>(p);
  std::size_t n = 0;
  while (s[n]) ++n;
  return {s, n};
}

// A variant holding what a by-reference variant refers to, without owning anything yet; its
// BSTR or interface is still the referenced one.
VARIANT Dereference(const VARIANT& source) {
  const VARTYPE base = static_cast<VARTYPE>(source.vt & ~VT_BYREF);
  if (!source.byref || (base & VT_ARRAY)) Unsupported(source.vt, "Variant");
  if (base == VT_VARIANT) {
    const VARIANT& inner = *static_cast<const VARIANT*>(source.byref);
    if (inner.vt & VT_BYREF) Unsupported(source.vt, "Variant");  // one level only
    return inner;
  }
  VARIANT v;
  std::memset(&v, 0, sizeof v);
  switch (base) {
    case VT_I1:
    case VT_UI1:
      std::memcpy(&v.bVal, source.byref, 1);
      break;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      std::memcpy(&v.iVal, source.byref, 2);
      break;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
    case VT_BSTR:
    case VT_UNKNOWN:
    case VT_DISPATCH:
      std::memcpy(&v.lVal, source.byref, 4);
      break;
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_I8:
    case VT_UI8:
      std::memcpy(&v.llVal, source.byref, 8);
      break;
    case VT_DECIMAL:
      std::memcpy(&v, source.byref, sizeof v);  // the decimal fills the whole variant
      break;
    default:
      Unsupported(source.vt, "Variant");
  }
  v.vt = base;
  return v;
}

// The value a conversion reads: by-reference variants are read through.
VARIANT Plain(const VARIANT& value) {
  return (value.vt & VT_BYREF) ? Dereference(value) : value;
}

bool IsPlainCopyType(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_ERROR:
    case VT_BOOL:
    case VT_DECIMAL:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
      return true;
    default:
      return false;
  }
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
  return text;
}

// Rounds half to even, as the conversions of reals to integers do.
int64_t RoundToInt64(double value, VARTYPE vt) {
  if (!std::isfinite(value)) Unsupported(vt, "Int64");
  double r = std::nearbyint(value);  // default rounding mode: half to even
  if (r < -9223372036854775808.0 || r >= 9223372036854775808.0) Unsupported(vt, "Int64");
  return static_cast<int64_t>(r);
}

std::string IntText(int64_t v) {
  return std::to_string(v);
}

std::string CurrencyText(int64_t v) {
  const bool negative = v < 0;
  const uint64_t magnitude = negative ? uint64_t(0) - uint64_t(v) : uint64_t(v);
  std::string text = (negative ? "-" : "") + std::to_string(magnitude / 10000);
  unsigned frac = static_cast<unsigned>(magnitude % 10000);
  if (frac) {
    char digits[5];
    std::snprintf(digits, sizeof digits, "%04u", frac);
    std::string f(digits);
    while (!f.empty() && f.back() == '0') f.pop_back();
    text += "." + f;
  }
  return text;
}

// Days since 1899-12-30 to a civil date.
void CivilFromDays(int64_t days, int& year, unsigned& month, unsigned& day) {
  int64_t z = days - 25569 + 719468;  // 1970-01-01 is day 25569
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = doy - (153 * mp + 2) / 5 + 1;
  month = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

std::string DateText(double date) {
  if (!std::isfinite(date) || std::fabs(date) > 3e6) Unsupported(VT_DATE, "String");
  // The whole part counts days from 1899-12-30, the fraction is the time of that day, also for
  // dates before it (-1.25 is 1899-12-29 06:00).
  int64_t days = static_cast<int64_t>(std::trunc(date));
  int64_t timeOfDay = std::llround(std::fabs(date - std::trunc(date)) * 86400.0);
  if (timeOfDay >= 86400) {
    timeOfDay = 0;
    days += date < 0 ? -1 : 1;
  }
  int year;
  unsigned month, day;
  CivilFromDays(days, year, month, day);
  char text[48];
  if (timeOfDay == 0) {
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", year, month, day);
  } else {
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d", year, month, day,
                  static_cast<int>(timeOfDay / 3600), static_cast<int>(timeOfDay / 60 % 60),
                  static_cast<int>(timeOfDay % 60));
  }
  return text;
}

std::string FloatText(double value, int precision) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, precision);
  std::string text(buf, res.ptr);
  // "1.5e-07" is written "1.5E-7", "1e+20" is "1E20".
  auto e = text.find('e');
  if (e == std::string::npos) return text;
  std::string mantissa = text.substr(0, e);
  std::string exponent = text.substr(e + 1);
  std::string sign;
  if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) {
    if (exponent[0] == '-') sign = "-";
    exponent.erase(0, 1);
  }
  while (exponent.size() > 1 && exponent[0] == '0') exponent.erase(0, 1);
  return mantissa + "E" + sign + exponent;
}

std::string NarrowText(const VARIANT& v) {
  switch (v.vt) {
    case VT_I2:
      return IntText(v.iVal);
    case VT_I4:
      return IntText(v.lVal);
    case VT_R4:
      return FloatText(v.fltVal, 7);
    case VT_R8:
      return FloatText(v.dblVal, 15);
    case VT_CY:
      return CurrencyText(v.cyVal.int64);
    case VT_DATE:
      return DateText(v.date);
    case VT_ERROR:
      return IntText(v.scode);
    case VT_BOOL:
      return v.boolVal ? "True" : "False";
    case VT_I1:
      return IntText(static_cast<signed char>(v.cVal));
    case VT_UI1:
      return IntText(v.bVal);
    case VT_UI2:
      return IntText(v.uiVal);
    case VT_UI4:
      return IntText(v.ulVal);
    case VT_I8:
      return IntText(v.llVal);
    case VT_UI8:
      return std::to_string(v.ullVal);
    case VT_INT:
      return IntText(v.intVal);
    case VT_UINT:
      return IntText(v.uintVal);
    default:
      Unsupported(v.vt, "String");
  }
}

}  // namespace

void ClearVariant(VARIANT& value) {
  switch (value.vt) {
    case VT_BSTR:
      platform::BstrFree(value.bstrVal);
      break;
    case VT_UNKNOWN:
    case VT_DISPATCH:
      if (value.punkVal) value.punkVal->Release();
      break;
    default:
      break;
  }
  std::memset(&value, 0, sizeof value);
}

void CopyVariant(VARIANT& dest, const VARIANT& source) {
  if (&dest == &source) return;
  VARIANT copy = Plain(source);
  if (copy.vt == VT_BSTR) {
    if (copy.bstrVal) copy.bstrVal = NewBstr(platform::BstrView(copy.bstrVal));
  } else if (copy.vt == VT_UNKNOWN || copy.vt == VT_DISPATCH) {
    if (copy.punkVal) copy.punkVal->AddRef();
  } else if (!IsPlainCopyType(copy.vt)) {
    Unsupported(copy.vt, "Variant");
  }
  ClearVariant(dest);
  dest = copy;
}

void CopyVariantFromHost(VARIANT& dest, const VARIANT& source, bool eightBitStrings) {
  if (source.vt != varString && source.vt != varUString) {
    CopyVariant(dest, source);
    return;
  }
  VARIANT text;
  if (source.vt == varString && eightBitStrings) {
    const char* s = static_cast<const char*>(source.byref);
    text = VariantFromText(s ? std::string_view(s) : std::string_view());
  } else {
    text = VariantFromWide(WideZ(source.byref));
  }
  ClearVariant(dest);
  dest = text;
}

VARIANT VariantEmpty() {
  VARIANT v;
  std::memset(&v, 0, sizeof v);
  return v;
}

VARIANT VariantNull() {
  VARIANT v = VariantEmpty();
  v.vt = VT_NULL;
  return v;
}

VARIANT VariantFromText(std::string_view text) {
  return VariantFromWide(platform::AnsiToWide(text));
}

VARIANT VariantFromWide(std::u16string_view text) {
  VARIANT v = VariantEmpty();
  v.bstrVal = NewBstr(text);
  v.vt = VT_BSTR;
  return v;
}

VARIANT VariantFromInt8(int8_t value) {
  VARIANT v = VariantEmpty();
  v.vt = VT_I1;
  v.cVal = static_cast<char>(value);
  return v;
}

VARIANT VariantFromUInt8(uint8_t value) {
  VARIANT v = VariantEmpty();
  v.vt = VT_UI1;
  v.bVal = value;
  return v;
}

VARIANT VariantFromInt16(int16_t value) {
  VARIANT v = VariantEmpty();
  v.vt = VT_I2;
  v.iVal = value;
  return v;
}

VARIANT VariantFromUInt16(uint16_t value) {
  VARIANT v = VariantEmpty();
  v.vt = VT_UI2;
  v.uiVal = value;
  return v;
}

VARIANT VariantFromUInt32(uint32_t value) {
  VARIANT v = VariantEmpty();
  v.vt = VT_UI4;
  v.ulVal = value;
  return v;
}

VARIANT VariantFromInt(int32_t value) {
  VARIANT v = VariantEmpty();
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}

VARIANT VariantFromInt64(int64_t value) {
  VARIANT v = VariantEmpty();
  v.vt = VT_I8;
  v.llVal = value;
  return v;
}

VARIANT VariantFromBool(bool value) {
  VARIANT v = VariantEmpty();
  v.vt = VT_BOOL;
  v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}

VARIANT VariantFromDouble(double value) {
  VARIANT v = VariantEmpty();
  v.vt = VT_R8;
  v.dblVal = value;
  return v;
}

bool VariantIsEmpty(const VARIANT& value) {
  return value.vt == VT_EMPTY;
}
bool VariantIsNull(const VARIANT& value) {
  return value.vt == VT_NULL;
}
bool VariantIsEmptyOrNull(const VARIANT& value) {
  return value.vt == VT_EMPTY || value.vt == VT_NULL;
}
bool VariantIsText(const VARIANT& value) {
  return value.vt == VT_BSTR;
}

std::u16string VariantToWide(const VARIANT& value) {
  VARIANT v = Plain(value);
  if (v.vt == VT_EMPTY || v.vt == VT_NULL) return {};
  if (v.vt == VT_BSTR) return std::u16string(platform::BstrView(v.bstrVal));
  return platform::AnsiToWide(NarrowText(v));  // digits and signs: the same in every page
}

std::string VariantToText(const VARIANT& value) {
  VARIANT v = Plain(value);
  if (v.vt == VT_EMPTY || v.vt == VT_NULL) return {};
  if (v.vt == VT_BSTR) return platform::WideToAnsi(platform::BstrView(v.bstrVal));
  return NarrowText(v);
}

int64_t VariantToInt64(const VARIANT& value) {
  VARIANT v = Plain(value);
  switch (v.vt) {
    case VT_EMPTY:
      return 0;
    case VT_I2:
      return v.iVal;
    case VT_I4:
      return v.lVal;
    case VT_R4:
      return RoundToInt64(v.fltVal, v.vt);
    case VT_R8:
      return RoundToInt64(v.dblVal, v.vt);
    case VT_DATE:
      return RoundToInt64(v.date, v.vt);
    case VT_CY:
      return RoundToInt64(static_cast<double>(v.cyVal.int64) / 10000.0, v.vt);
    case VT_ERROR:
      return v.scode;
    case VT_BOOL:
      return v.boolVal ? -1 : 0;
    case VT_I1:
      return static_cast<signed char>(v.cVal);
    case VT_UI1:
      return v.bVal;
    case VT_UI2:
      return v.uiVal;
    case VT_UI4:
      return v.ulVal;
    case VT_I8:
      return v.llVal;
    case VT_UI8:
      if (v.ullVal > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) Unsupported(v.vt, "Int64");
      return static_cast<int64_t>(v.ullVal);
    case VT_INT:
      return v.intVal;
    case VT_UINT:
      return v.uintVal;
    case VT_BSTR: {
      std::string text = platform::WideToAnsi(platform::BstrView(v.bstrVal));
      int64_t i;
      if (TryTextToInt64(text, i)) return i;
      double d;
      if (TryTextToDouble(text, d)) return RoundToInt64(d, v.vt);
      throw EConvertError("'" + text + "' is not a valid integer value");
    }
    default:
      Unsupported(v.vt, "Int64");
  }
}

int32_t VariantToInt(const VARIANT& value) {
  int64_t i = VariantToInt64(value);
  if (i < std::numeric_limits<int32_t>::min() || i > std::numeric_limits<int32_t>::max())
    Unsupported(value.vt, "Integer");
  return static_cast<int32_t>(i);
}

bool VariantToBool(const VARIANT& value) {
  VARIANT v = Plain(value);
  switch (v.vt) {
    case VT_EMPTY:
      return false;
    case VT_BOOL:
      return v.boolVal != 0;
    case VT_R4:
      return v.fltVal != 0;
    case VT_R8:
      return v.dblVal != 0;
    case VT_DATE:
      return v.date != 0;
    case VT_BSTR: {
      std::string text(Trim(platform::WideToAnsi(platform::BstrView(v.bstrVal))));
      std::string lower = platform::AnsiLowerCase(text);
      if (lower == "true") return true;
      if (lower == "false") return false;
      double d;
      if (TryTextToDouble(text, d)) return d != 0;
      throw EConvertError("'" + text + "' is not a valid boolean value");
    }
    default:
      return VariantToInt64(v) != 0;
  }
}

double VariantToDouble(const VARIANT& value) {
  VARIANT v = Plain(value);
  switch (v.vt) {
    case VT_EMPTY:
      return 0;
    case VT_R4:
      return v.fltVal;
    case VT_R8:
      return v.dblVal;
    case VT_DATE:
      return v.date;
    case VT_CY:
      return static_cast<double>(v.cyVal.int64) / 10000.0;
    case VT_UI8:
      return static_cast<double>(v.ullVal);
    case VT_BSTR: {
      std::string text = platform::WideToAnsi(platform::BstrView(v.bstrVal));
      double d;
      if (TryTextToDouble(text, d)) return d;
      int64_t i;
      if (TryTextToInt64(text, i)) return static_cast<double>(i);  // hexadecimal
      throw EConvertError("'" + text + "' is not a valid floating point value");
    }
    default:
      return static_cast<double>(VariantToInt64(v));
  }
}

std::string FloatToText(double value) {
  return FloatText(value, 15);
}

bool TryTextToInt64(std::string_view text, int64_t& value) {
  text = Trim(text);
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (!text.empty() && text[0] == '$') {
    base = 16;
    text.remove_prefix(1);
  } else if (text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  uint64_t magnitude = 0;
  auto res = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
  if (res.ec != std::errc() || res.ptr != text.data() + text.size()) return false;
  if (base == 16 && !negative) {  // hexadecimal may spell the full 64-bit pattern
    value = static_cast<int64_t>(magnitude);
    return true;
  }
  const uint64_t limit = negative ? uint64_t(1) << 63 : (uint64_t(1) << 63) - 1;
  if (magnitude > limit) return false;
  value = negative ? static_cast<int64_t>(uint64_t(0) - magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

bool TryTextToDouble(std::string_view text, double& value) {
  text = Trim(text);
  std::string s(text);
  // Either separator is accepted; a text with both, or with several, is not a number.
  if (s.find('.') != std::string::npos && s.find(',') != std::string::npos) return false;
  for (auto& c : s)
    if (c == ',') c = '.';
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  // Only plain decimal notation: no "inf", "nan" or hexadecimal reals.
  if (i >= s.size() || !(std::isdigit(static_cast<unsigned char>(s[i])) || s[i] == '.')) return false;
  const char* begin = s.data() + (s[0] == '+' ? 1 : 0);
  const char* end = s.data() + s.size();
  double d;
  auto res = std::from_chars(begin, end, d, std::chars_format::general);
  if (res.ec != std::errc() || res.ptr != end) return false;
  value = d;
  return true;
}

TVariant& TVariant::operator=(TVariant&& other) noexcept {
  if (this != &other) {
    ClearVariant(FValue);
    FValue = other.FValue;
    other.FValue = VariantEmpty();
  }
  return *this;
}

}  // namespace kelda
