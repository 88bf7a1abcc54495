// Variant helpers: clearing, copying, building and converting OLE Automation variants. The
// conversions are the module's own code, the same in both flavors; only BSTR memory comes from
// the platform. Numbers are written with "." as decimal separator and read with "." or ",".
// Conversion failures raise EConvertError.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Boundary.h"

namespace kelda {

// Frees what the variant owns (its BSTR, its interface reference) and leaves 16 zero bytes
// (VT_EMPTY).
void ClearVariant(VARIANT& value);

// dest := a copy of source that owns its own data (dest is cleared first; source may be dest).
// By-reference variants are copied as the value they refer to. Arrays, records and the native
// string types (varString, varUString) cannot be copied: EConvertError, dest left empty.
void CopyVariant(VARIANT& dest, const VARIANT& source);

// A copy of a variant handed in by a host. varString is read as a NUL-terminated 8-bit string
// when eightBitStrings is set and as UTF-16 otherwise; varUString always as UTF-16. Both become
// VT_BSTR (a null data word is the empty text). Every other variant is copied as CopyVariant.
void CopyVariantFromHost(VARIANT& dest, const VARIANT& source, bool eightBitStrings);

// Builders. The result owns its data; the caller clears it (or hands it to a TVariant).
VARIANT VariantEmpty();
VARIANT VariantNull();
VARIANT VariantFromText(std::string_view text);     // 8-bit system code page text, as VT_BSTR
VARIANT VariantFromWide(std::u16string_view text);  // VT_BSTR
VARIANT VariantFromInt8(int8_t value);              // VT_I1
VARIANT VariantFromUInt8(uint8_t value);            // VT_UI1
VARIANT VariantFromInt16(int16_t value);            // VT_I2
VARIANT VariantFromUInt16(uint16_t value);          // VT_UI2
VARIANT VariantFromInt(int32_t value);              // VT_I4
VARIANT VariantFromUInt32(uint32_t value);          // VT_UI4
VARIANT VariantFromInt64(int64_t value);            // VT_I8
VARIANT VariantFromBool(bool value);                // VT_BOOL
VARIANT VariantFromDouble(double value);            // VT_R8

bool VariantIsEmpty(const VARIANT& value);  // VT_EMPTY
bool VariantIsNull(const VARIANT& value);   // VT_NULL
bool VariantIsEmptyOrNull(const VARIANT& value);
bool VariantIsText(const VARIANT& value);  // VT_BSTR

// Conversions. Empty and null give "" as text; empty gives 0 / false as a number or boolean,
// null raises EConvertError there.
std::u16string VariantToWide(const VARIANT& value);
std::string VariantToText(const VARIANT& value);  // 8-bit system code page
int64_t VariantToInt64(const VARIANT& value);     // reals are rounded half to even
int32_t VariantToInt(const VARIANT& value);       // EConvertError outside the 32-bit range
bool VariantToBool(const VARIANT& value);         // text: "true"/"false" (any case) or a number
double VariantToDouble(const VARIANT& value);

// Text forms of numbers as the conversions write them.
std::string FloatToText(double value);                       // up to 15 significant digits, "." separator
bool TryTextToInt64(std::string_view text, int64_t& value);  // decimal, "$"/"0x" hexadecimal
bool TryTextToDouble(std::string_view text, double& value);  // "." or "," separator

// A variant that owns its data: cleared when it goes out of scope. Its storage is exactly one
// VARIANT, so a pointer to it may be handed out where a VARIANT* is expected.
class TVariant {
public:
  TVariant() : FValue(VariantEmpty()) {}
  explicit TVariant(const VARIANT& value) : FValue(VariantEmpty()) { CopyVariant(FValue, value); }
  TVariant(const TVariant& other) : TVariant(other.FValue) {}
  TVariant(TVariant&& other) noexcept : FValue(other.FValue) { other.FValue = VariantEmpty(); }
  TVariant& operator=(const TVariant& other) {
    CopyVariant(FValue, other.FValue);
    return *this;
  }
  TVariant& operator=(TVariant&& other) noexcept;
  ~TVariant() { ClearVariant(FValue); }

  // Takes over a variant the caller owned (for the builders: TVariant::Adopt(VariantFromInt(1))).
  static TVariant Adopt(VARIANT value) {
    TVariant v;
    v.FValue = value;
    return v;
  }

  // A TVariant may be passed wherever a const VARIANT& is expected.
  operator const VARIANT&() const { return FValue; }
  const VARIANT& Raw() const { return FValue; }
  VARIANT& Raw() { return FValue; }
  VARIANT* Ptr() { return &FValue; }
  VARTYPE Type() const { return FValue.vt; }
  VARIANT Detach() {
    VARIANT v = FValue;
    FValue = VariantEmpty();
    return v;
  }

  std::u16string ToWide() const { return VariantToWide(FValue); }
  std::string ToText() const { return VariantToText(FValue); }
  int32_t ToInt() const { return VariantToInt(FValue); }
  int64_t ToInt64() const { return VariantToInt64(FValue); }
  bool ToBool() const { return VariantToBool(FValue); }
  double ToDouble() const { return VariantToDouble(FValue); }
  bool IsEmpty() const { return VariantIsEmpty(FValue); }
  bool IsNull() const { return VariantIsNull(FValue); }
  bool IsEmptyOrNull() const { return VariantIsEmptyOrNull(FValue); }

private:
  VARIANT FValue;
};

static_assert(sizeof(TVariant) == sizeof(VARIANT), "TVariant is one VARIANT");

}  // namespace kelda
