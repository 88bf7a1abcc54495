// The textual form definition ("object frmOption: TfrmOption ... end") as a tree, and its
// writer into the binary component stream that the host's form loader reads (signature "TPF0").
// Built for the build machine: plain C++, no module code.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace dfm {

// The value kinds of the binary stream; the byte that precedes each value.
enum class ValueType : uint8_t {
  Null = 0,
  List = 1,
  Int8 = 2,
  Int16 = 3,
  Int32 = 4,
  Extended = 5,
  String = 6,
  Ident = 7,
  False = 8,
  True = 9,
  Binary = 10,
  Set = 11,
  LString = 12,
  Nil = 13,
  Collection = 14,
  Single = 15,
  Currency = 16,
  Date = 17,
  WString = 18,
  Int64 = 19,
  UTF8String = 20,
  Double = 21,
};

// Component flags written before the class name.
constexpr uint8_t kFlagInherited = 0x01;
constexpr uint8_t kFlagChildPos = 0x02;
constexpr uint8_t kFlagInline = 0x04;

struct Property;

struct CollectionItem {
  bool HasIndex = false;
  int64_t Index = 0;
  std::vector<Property> Properties;
};

struct Value {
  ValueType Type = ValueType::Null;
  int64_t Integer = 0;  // integers; currency in ten-thousandths
  double Float = 0;     // extended, single, date, double
  std::string Text;     // string and ident bytes (UTF-8 for WString), binary bytes
  std::vector<Value> Items;
  std::vector<std::string> Members;  // set members
  std::vector<CollectionItem> Collection;
};

struct Property {
  std::string Name;
  Value Val;
};

struct Object {
  uint8_t Flags = 0;
  int64_t ChildPos = 0;
  std::string ClassName;
  std::string Name;
  std::vector<Property> Properties;
  std::vector<Object> Children;
};

// A mistake in the text, with the line it was found on.
class SyntaxError : public std::runtime_error {
public:
  SyntaxError(const std::string& message, int line)
      : std::runtime_error("line " + std::to_string(line) + ": " + message), Line(line) {}
  int Line;
};

// Parses one object (with its children) from form text. The text is UTF-8; character codes
// (#233) are Unicode code points. Throws SyntaxError.
Object ParseFormText(const std::string& text);

// The binary stream of an object: "TPF0", then the object.
std::string WriteObjectStream(const Object& object);

// The ten bytes of an 80-bit x87 extended real holding value.
std::string EncodeExtended(double value);

// A property of the object, or nullptr.
Property* FindProperty(Object& object, const std::string& name);
// A component among the object and its descendants by name, or nullptr.
Object* FindObject(Object& object, const std::string& name);

}  // namespace dfm
