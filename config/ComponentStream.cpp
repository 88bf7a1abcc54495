#include "config/ComponentStream.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "platform/CodePage.h"

namespace kelda {

namespace {

// Nesting of lists, collections and child components deeper than this is not a form.
constexpr int kMaxDepth = 64;

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

class TStreamReader {
public:
  explicit TStreamReader(std::string_view bytes) : FBytes(bytes) {}

  TStreamObject ReadRoot() {
    if (FBytes.substr(0, 4) != "TPF0") throw EReadError("Invalid stream format");
    FPos = 4;
    return ReadObject(0);
  }

private:
  [[noreturn]] void Fail(const char* what) const {
    throw EReadError(std::string(what) + " at offset " + std::to_string(FPos));
  }

  void Need(std::size_t count) const {
    if (count > FBytes.size() - FPos) Fail("Stream read error: the stream ends inside a value");
  }

  uint8_t Byte() {
    Need(1);
    return static_cast<uint8_t>(FBytes[FPos++]);
  }

  uint8_t PeekByte() {
    Need(1);
    return static_cast<uint8_t>(FBytes[FPos]);
  }

  uint64_t Little(int count) {
    Need(static_cast<std::size_t>(count));
    uint64_t value = 0;
    for (int i = 0; i < count; ++i) value |= uint64_t{static_cast<uint8_t>(FBytes[FPos + i])} << (8 * i);
    FPos += static_cast<std::size_t>(count);
    return value;
  }

  std::string Bytes(std::size_t count) {
    Need(count);
    std::string text(FBytes.substr(FPos, count));
    FPos += count;
    return text;
  }

  std::string ShortString() { return Bytes(Byte()); }

  int64_t Signed(int bytes) {
    uint64_t raw = Little(bytes);
    if (bytes < 8 && (raw >> (8 * bytes - 1)) & 1) raw |= ~uint64_t{0} << (8 * bytes);
    return static_cast<int64_t>(raw);
  }

  std::size_t Length32() {
    uint64_t length = Little(4);
    if (length > 0x7FFFFFFF) Fail("Stream read error: negative length");
    return static_cast<std::size_t>(length);
  }

  void EnterLevel(int depth) const {
    if (depth > kMaxDepth) Fail("Stream read error: nested too deeply");
  }

  TStreamObject ReadObject(int depth) {
    EnterLevel(depth);
    TStreamObject object;
    if ((PeekByte() & 0xF0) == 0xF0) {
      object.Flags = Byte() & 0x0F;
      if (object.Flags & 0x02) {
        TStreamValue position = ReadValue(depth + 1);
        if (!position.IsInteger()) Fail("Invalid property value: child position");
        object.ChildPos = position.Integer;
      }
    }
    object.ClassName = ShortString();
    object.Name = ShortString();
    ReadProperties(object.Properties, depth);
    while (PeekByte() != 0) object.Children.push_back(ReadObject(depth + 1));
    ++FPos;
    return object;
  }

  void ReadProperties(std::vector<TStreamProperty>& properties, int depth) {
    while (PeekByte() != 0) {
      TStreamProperty property;
      property.Name = ShortString();
      property.Value = ReadValue(depth + 1);
      properties.push_back(std::move(property));
    }
    ++FPos;
  }

  std::string WideText(std::size_t units) {
    if (units > (FBytes.size() - FPos) / 2) Fail("Stream read error: the stream ends inside a value");
    std::u16string wide;
    wide.reserve(units);
    for (std::size_t i = 0; i < units; ++i) wide += static_cast<char16_t>(Little(2));
    return platform::WideToUtf8(wide);
  }

  TStreamValue ReadValue(int depth) {
    EnterLevel(depth);
    TStreamValue value;
    uint8_t type = Byte();
    if (type > static_cast<uint8_t>(TStreamValueType::vaDouble))
      Fail("Invalid property value: unknown value type");
    value.Type = static_cast<TStreamValueType>(type);
    switch (value.Type) {
      case TStreamValueType::vaNull:
        Fail("Invalid property value: end of list where a value belongs");
      case TStreamValueType::vaInt8:
        value.Integer = Signed(1);
        break;
      case TStreamValueType::vaInt16:
        value.Integer = Signed(2);
        break;
      case TStreamValueType::vaInt32:
        value.Integer = Signed(4);
        break;
      case TStreamValueType::vaInt64:
      case TStreamValueType::vaCurrency:
        value.Integer = Signed(8);
        break;
      case TStreamValueType::vaExtended: {
        Need(10);
        unsigned char raw[10];
        std::memcpy(raw, FBytes.data() + FPos, 10);
        FPos += 10;
        value.Real = DecodeExtended(raw);
        break;
      }
      case TStreamValueType::vaSingle: {
        auto bits = static_cast<uint32_t>(Little(4));
        float f;
        std::memcpy(&f, &bits, 4);
        value.Real = f;
        break;
      }
      case TStreamValueType::vaDouble:
      case TStreamValueType::vaDate: {
        uint64_t bits = Little(8);
        std::memcpy(&value.Real, &bits, 8);
        break;
      }
      case TStreamValueType::vaString:
      case TStreamValueType::vaIdent:
        value.Text = ShortString();
        break;
      case TStreamValueType::vaLString:
      case TStreamValueType::vaUTF8String:
      case TStreamValueType::vaBinary:
        value.Text = Bytes(Length32());
        break;
      case TStreamValueType::vaWString:
        value.Text = WideText(Length32());
        break;
      case TStreamValueType::vaFalse:
      case TStreamValueType::vaTrue:
      case TStreamValueType::vaNil:
        break;
      case TStreamValueType::vaList:
        while (PeekByte() != 0) value.Items.push_back(ReadValue(depth + 1));
        ++FPos;
        break;
      case TStreamValueType::vaSet:
        for (std::string member = ShortString(); !member.empty(); member = ShortString())
          value.Members.push_back(member);
        break;
      case TStreamValueType::vaCollection:
        ReadCollection(value, depth);
        break;
    }
    return value;
  }

  void ReadCollection(TStreamValue& value, int depth) {
    while (PeekByte() != 0) {
      TStreamCollectionItem item;
      uint8_t next = PeekByte();
      if (next == 2 || next == 3 || next == 4) {
        item.HasIndex = true;
        item.Index = ReadValue(depth + 1).Integer;
      }
      if (Byte() != static_cast<uint8_t>(TStreamValueType::vaList))
        Fail("Invalid property value: collection item");
      ReadProperties(item.Properties, depth + 1);
      value.Collection.push_back(std::move(item));
    }
    ++FPos;
  }

  std::string_view FBytes;
  std::size_t FPos = 0;
};

}  // namespace

bool TStreamValue::IsInteger() const {
  return Type == TStreamValueType::vaInt8 || Type == TStreamValueType::vaInt16 ||
         Type == TStreamValueType::vaInt32 || Type == TStreamValueType::vaInt64;
}

bool TStreamValue::IsText() const {
  return Type == TStreamValueType::vaString || Type == TStreamValueType::vaLString ||
         Type == TStreamValueType::vaWString || Type == TStreamValueType::vaUTF8String;
}

const TStreamProperty* TStreamObject::Property(std::string_view name) const {
  for (const TStreamProperty& property : Properties)
    if (SameName(property.Name, name)) return &property;
  return nullptr;
}

const TStreamObject* TStreamObject::Find(std::string_view name) const {
  if (SameName(Name, name)) return this;
  for (const TStreamObject& child : Children)
    if (const TStreamObject* found = child.Find(name)) return found;
  return nullptr;
}

TStreamObject ReadComponentStream(std::string_view stream) {
  return TStreamReader(stream).ReadRoot();
}

double DecodeExtended(const unsigned char bytes[10]) {
  uint64_t mantissa = 0;
  for (int i = 0; i < 8; ++i) mantissa |= uint64_t{bytes[i]} << (8 * i);
  unsigned top = bytes[8] | (unsigned{bytes[9]} << 8);
  bool negative = (top & 0x8000) != 0;
  int exponent = static_cast<int>(top & 0x7FFF);
  double value;
  if (exponent == 0x7FFF) {
    value = (mantissa << 1) == 0 ? std::numeric_limits<double>::infinity()
                                 : std::numeric_limits<double>::quiet_NaN();
  } else {
    value = std::ldexp(static_cast<double>(mantissa), (exponent == 0 ? 1 : exponent) - 16383 - 63);
  }
  return negative ? -value : value;
}

}  // namespace kelda
