// Reader of the binary component stream (signature "TPF0") in which the module's form
// resources describe components: the plug-in object with its property map holder, and the
// options form. The reader builds a plain tree; it never reads past the bytes it is given and
// refuses anything malformed with EReadError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Common/Exceptions.h"

namespace kelda {

KELDA_EXCEPTION_CLASS(EReadError, Exception);

// The byte that precedes each value in the stream.
enum class TStreamValueType : uint8_t {
  vaNull = 0,
  vaList = 1,
  vaInt8 = 2,
  vaInt16 = 3,
  vaInt32 = 4,
  vaExtended = 5,
  vaString = 6,
  vaIdent = 7,
  vaFalse = 8,
  vaTrue = 9,
  vaBinary = 10,
  vaSet = 11,
  vaLString = 12,
  vaNil = 13,
  vaCollection = 14,
  vaSingle = 15,
  vaCurrency = 16,
  vaDate = 17,
  vaWString = 18,
  vaInt64 = 19,
  vaUTF8String = 20,
  vaDouble = 21,
};

struct TStreamProperty;

struct TStreamCollectionItem {
  bool HasIndex = false;
  int64_t Index = 0;
  std::vector<TStreamProperty> Properties;
};

struct TStreamValue {
  TStreamValueType Type = TStreamValueType::vaNull;
  int64_t Integer = 0;  // the integer kinds; currency in ten-thousandths
  double Real = 0;      // extended, single, double, date
  // vaString, vaLString and vaIdent: the bytes as stored (system code page); vaWString and
  // vaUTF8String: UTF-8; vaBinary: the bytes.
  std::string Text;
  std::vector<TStreamValue> Items;   // vaList
  std::vector<std::string> Members;  // vaSet
  std::vector<TStreamCollectionItem> Collection;

  bool IsInteger() const;
  bool IsText() const;  // one of the string kinds
};

struct TStreamProperty {
  std::string Name;
  TStreamValue Value;
};

struct TStreamObject {
  uint8_t Flags = 0;  // 1 inherited, 2 child position given, 4 inline
  int64_t ChildPos = 0;
  std::string ClassName;
  std::string Name;
  std::vector<TStreamProperty> Properties;
  std::vector<TStreamObject> Children;

  // A property by name (letter case ignored), or nullptr.
  const TStreamProperty* Property(std::string_view name) const;
  // This object or a descendant by component name (letter case ignored), or nullptr.
  const TStreamObject* Find(std::string_view name) const;
};

// Reads one object with its children from a stream that begins with "TPF0". Bytes after the
// object are ignored. Throws EReadError.
TStreamObject ReadComponentStream(std::string_view stream);

// The value of a ten-byte x87 extended real (nearest double; infinities and NaN kept).
double DecodeExtended(const unsigned char bytes[10]);

}  // namespace kelda
