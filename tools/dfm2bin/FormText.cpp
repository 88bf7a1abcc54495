#include "FormText.h"

#include <cctype>
#include <cstring>

namespace dfm {

// ---------------------------------------------------------------------------------------------
// Text

namespace {

bool IsWordStart(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) || c == '_';
}
bool IsWordChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.';
}

bool SameWord(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

void AppendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

class Parser {
public:
  explicit Parser(const std::string& text) : S(text) {}

  Object ParseTop() {
    Object object = ParseObject();
    SkipSpace();
    if (Pos != S.size()) Fail("text after the last end");
    return object;
  }

private:
  [[noreturn]] void Fail(const std::string& message) const { throw SyntaxError(message, Line); }

  void SkipSpace() {
    while (Pos < S.size()) {
      char c = S[Pos];
      if (c == '\n') ++Line;
      if (c == '\n' || c == '\r' || c == ' ' || c == '\t') {
        ++Pos;
      } else {
        return;
      }
    }
  }

  char Peek() {
    SkipSpace();
    return Pos < S.size() ? S[Pos] : '\0';
  }

  void Expect(char c) {
    if (Peek() != c) Fail(std::string("expected '") + c + "'");
    ++Pos;
  }

  std::string ReadWord() {
    if (!IsWordStart(Peek())) Fail("expected a name");
    std::size_t start = Pos;
    while (Pos < S.size() && IsWordChar(S[Pos])) ++Pos;
    return S.substr(start, Pos - start);
  }

  std::string PeekWord() {
    std::size_t pos = Pos;
    int line = Line;
    std::string word = IsWordStart(Peek()) ? ReadWord() : std::string();
    Pos = pos;
    Line = line;
    return word;
  }

  static bool IsObjectWord(const std::string& word) {
    return SameWord(word, "object") || SameWord(word, "inherited") || SameWord(word, "inline");
  }

  Object ParseObject() {
    std::string kind = ReadWord();
    if (!IsObjectWord(kind)) Fail("expected object, inherited or inline");
    Object object;
    if (SameWord(kind, "inherited")) object.Flags |= kFlagInherited;
    if (SameWord(kind, "inline")) object.Flags |= kFlagInline;
    std::string first = ReadWord();
    if (Peek() == ':') {
      ++Pos;
      object.Name = first;
      object.ClassName = ReadWord();
    } else {
      object.ClassName = first;
    }
    if (Peek() == '[') {
      ++Pos;
      Value position = ParseNumber();
      if (position.Type == ValueType::Extended) Fail("a child position is an integer");
      object.Flags |= kFlagChildPos;
      object.ChildPos = position.Integer;
      Expect(']');
    }
    for (;;) {
      if (Pos >= S.size() || Peek() == '\0') Fail("missing end of object " + object.Name);
      std::string word = PeekWord();
      if (SameWord(word, "end")) {
        ReadWord();
        return object;
      }
      if (IsObjectWord(word)) {
        object.Children.push_back(ParseObject());
        continue;
      }
      object.Properties.push_back(ParseProperty());
    }
  }

  Property ParseProperty() {
    Property property;
    property.Name = ReadWord();
    Expect('=');
    property.Val = ParseValue();
    return property;
  }

  Value ParseValue() {
    char c = Peek();
    if (c == '\'' || c == '#') return ParseString();
    if (c == '-' || c == '+' || c == '$' || std::isdigit(static_cast<unsigned char>(c))) return ParseNumber();
    if (c == '[') return ParseSet();
    if (c == '(') return ParseList();
    if (c == '{') return ParseBinary();
    if (c == '<') return ParseCollection();
    if (IsWordStart(c)) {
      Value value;
      std::string word = ReadWord();
      if (SameWord(word, "True")) {
        value.Type = ValueType::True;
      } else if (SameWord(word, "False")) {
        value.Type = ValueType::False;
      } else if (SameWord(word, "nil")) {
        value.Type = ValueType::Nil;
      } else {
        value.Type = ValueType::Ident;
        value.Text = word;
      }
      return value;
    }
    Fail("expected a value");
  }

  // One or more quoted pieces and character codes, joined by adjacency or "+".
  Value ParseString() {
    std::string text;
    for (;;) {
      char c = Peek();
      if (c != '\'' && c != '#') Fail("expected a string");
      while (Pos < S.size() && (S[Pos] == '\'' || S[Pos] == '#')) {
        if (S[Pos] == '#') {
          ++Pos;
          std::size_t start = Pos;
          while (Pos < S.size() && std::isdigit(static_cast<unsigned char>(S[Pos]))) ++Pos;
          if (start == Pos) Fail("expected a character code after #");
          unsigned long code = std::stoul(S.substr(start, Pos - start));
          if (code > 0x10FFFF) Fail("character code out of range");
          AppendUtf8(text, static_cast<uint32_t>(code));
          continue;
        }
        ++Pos;
        for (;;) {
          if (Pos >= S.size() || S[Pos] == '\n' || S[Pos] == '\r') Fail("unterminated string");
          if (S[Pos] == '\'') {
            if (Pos + 1 < S.size() && S[Pos + 1] == '\'') {
              text += '\'';
              Pos += 2;
              continue;
            }
            ++Pos;
            break;
          }
          text += S[Pos++];
        }
      }
      if (Peek() != '+') break;
      ++Pos;
    }
    Value value;
    bool ascii = true;
    for (char ch : text) ascii = ascii && static_cast<unsigned char>(ch) < 0x80;
    value.Type = !ascii ? ValueType::WString : text.size() <= 255 ? ValueType::String : ValueType::LString;
    value.Text = text;
    return value;
  }

  Value ParseNumber() {
    SkipSpace();
    std::size_t start = Pos;
    bool negative = false;
    if (S[Pos] == '-' || S[Pos] == '+') negative = S[Pos++] == '-';
    Value value;
    if (Pos < S.size() && S[Pos] == '$') {
      ++Pos;
      std::size_t digits = Pos;
      while (Pos < S.size() && std::isxdigit(static_cast<unsigned char>(S[Pos]))) ++Pos;
      if (digits == Pos || Pos - digits > 16) Fail("bad hexadecimal number");
      uint64_t number = std::stoull(S.substr(digits, Pos - digits), nullptr, 16);
      value.Integer = static_cast<int64_t>(number) * (negative ? -1 : 1);
      value.Type = IntegerType(value.Integer);
      return value;
    }
    std::size_t digits = Pos;
    while (Pos < S.size() && std::isdigit(static_cast<unsigned char>(S[Pos]))) ++Pos;
    if (digits == Pos) Fail("expected a number");
    bool real = false;
    if (Pos < S.size() && S[Pos] == '.') {
      real = true;
      ++Pos;
      while (Pos < S.size() && std::isdigit(static_cast<unsigned char>(S[Pos]))) ++Pos;
    }
    if (Pos < S.size() && (S[Pos] == 'e' || S[Pos] == 'E')) {
      real = true;
      ++Pos;
      if (Pos < S.size() && (S[Pos] == '-' || S[Pos] == '+')) ++Pos;
      while (Pos < S.size() && std::isdigit(static_cast<unsigned char>(S[Pos]))) ++Pos;
    }
    std::string number = S.substr(start, Pos - start);
    char suffix = Pos < S.size() ? static_cast<char>(std::tolower(static_cast<unsigned char>(S[Pos]))) : '\0';
    if (suffix == 's' || suffix == 'c' || suffix == 'd') {
      ++Pos;
      value.Float = std::stod(number);
      if (suffix == 's') value.Type = ValueType::Single;
      if (suffix == 'd') value.Type = ValueType::Date;
      if (suffix == 'c') {
        value.Type = ValueType::Currency;
        value.Integer = static_cast<int64_t>(value.Float * 10000.0 + (value.Float < 0 ? -0.5 : 0.5));
      }
      return value;
    }
    if (real) {
      value.Type = ValueType::Extended;
      value.Float = std::stod(number);
      return value;
    }
    try {
      value.Integer = std::stoll(number);
    } catch (const std::out_of_range&) {
      Fail("integer out of range");
    }
    value.Type = IntegerType(value.Integer);
    return value;
  }

  static ValueType IntegerType(int64_t n) {
    if (n >= -128 && n <= 127) return ValueType::Int8;
    if (n >= -32768 && n <= 32767) return ValueType::Int16;
    if (n >= INT32_MIN && n <= INT32_MAX) return ValueType::Int32;
    return ValueType::Int64;
  }

  Value ParseSet() {
    Expect('[');
    Value value;
    value.Type = ValueType::Set;
    if (Peek() == ']') {
      ++Pos;
      return value;
    }
    for (;;) {
      value.Members.push_back(ReadWord());
      char c = Peek();
      ++Pos;
      if (c == ']') return value;
      if (c != ',') Fail("expected ',' or ']' in a set");
    }
  }

  Value ParseList() {
    Expect('(');
    Value value;
    value.Type = ValueType::List;
    while (Peek() != ')') {
      if (Pos >= S.size()) Fail("unterminated list");
      value.Items.push_back(ParseValue());
    }
    ++Pos;
    return value;
  }

  Value ParseBinary() {
    Expect('{');
    Value value;
    value.Type = ValueType::Binary;
    int high = -1;
    while (Peek() != '}') {
      if (Pos >= S.size()) Fail("unterminated binary data");
      char c = S[Pos++];
      if (!std::isxdigit(static_cast<unsigned char>(c)))
        Fail("binary data holds a non-hexadecimal character");
      int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10;
      if (high < 0) {
        high = digit;
      } else {
        value.Text += static_cast<char>(high * 16 + digit);
        high = -1;
      }
    }
    if (high >= 0) Fail("binary data has an odd number of digits");
    ++Pos;
    return value;
  }

  Value ParseCollection() {
    Expect('<');
    Value value;
    value.Type = ValueType::Collection;
    while (Peek() != '>') {
      std::string word = ReadWord();
      if (!SameWord(word, "item")) Fail("expected item in a collection");
      CollectionItem item;
      if (Peek() == '[') {
        ++Pos;
        item.HasIndex = true;
        item.Index = ParseNumber().Integer;
        Expect(']');
      }
      while (!SameWord(PeekWord(), "end")) {
        if (Pos >= S.size()) Fail("unterminated collection item");
        item.Properties.push_back(ParseProperty());
      }
      ReadWord();
      value.Collection.push_back(std::move(item));
    }
    ++Pos;
    return value;
  }

  const std::string& S;
  std::size_t Pos = 0;
  int Line = 1;
};

}  // namespace

Object ParseFormText(const std::string& text) {
  return Parser(text).ParseTop();
}

// ---------------------------------------------------------------------------------------------
// Binary stream

namespace {

std::u16string Utf8ToUtf16(const std::string& text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    uint32_t code = 0xFFFD;
    int length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + static_cast<std::size_t>(length) > text.size()) {
      ++i;
    } else {
      code = length == 1 ? c : length == 2 ? (c & 0x1F) : length == 3 ? (c & 0x0F) : (c & 0x07);
      for (int k = 1; k < length; ++k) code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
      i += static_cast<std::size_t>(length);
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (code >> 10));
      out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    } else {
      out += static_cast<char16_t>(code);
    }
  }
  return out;
}

class Writer {
public:
  std::string Out;

  void Byte(uint8_t b) { Out += static_cast<char>(b); }
  void Little(uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) Byte(static_cast<uint8_t>(v >> (8 * i)));
  }
  void Type(ValueType type) { Byte(static_cast<uint8_t>(type)); }

  void ShortString(const std::string& text) {
    if (text.size() > 255) throw std::runtime_error("name longer than 255 bytes: " + text.substr(0, 40));
    Byte(static_cast<uint8_t>(text.size()));
    Out += text;
  }

  void Integer(ValueType type, int64_t n) {
    Type(type);
    int bytes = type == ValueType::Int8 ? 1 : type == ValueType::Int16 ? 2 : type == ValueType::Int32 ? 4 : 8;
    Little(static_cast<uint64_t>(n), bytes);
  }

  void Properties(const std::vector<Property>& properties) {
    for (const Property& property : properties) {
      ShortString(property.Name);
      WriteValue(property.Val);
    }
    Byte(0);
  }

  void WriteValue(const Value& v) {
    switch (v.Type) {
      case ValueType::Int8:
      case ValueType::Int16:
      case ValueType::Int32:
      case ValueType::Int64:
        Integer(v.Type, v.Integer);
        return;
      case ValueType::Extended:
        Type(v.Type);
        Out += EncodeExtended(v.Float);
        return;
      case ValueType::Single: {
        Type(v.Type);
        float f = static_cast<float>(v.Float);
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        Little(bits, 4);
        return;
      }
      case ValueType::Date:
      case ValueType::Double: {
        Type(v.Type);
        uint64_t bits;
        std::memcpy(&bits, &v.Float, 8);
        Little(bits, 8);
        return;
      }
      case ValueType::Currency:
        Type(v.Type);
        Little(static_cast<uint64_t>(v.Integer), 8);
        return;
      case ValueType::String:
      case ValueType::Ident:
        Type(v.Type);
        ShortString(v.Text);
        return;
      case ValueType::LString:
      case ValueType::UTF8String:
      case ValueType::Binary:
        Type(v.Type);
        Little(v.Text.size(), 4);
        Out += v.Text;
        return;
      case ValueType::WString: {
        Type(v.Type);
        std::u16string wide = Utf8ToUtf16(v.Text);
        Little(wide.size(), 4);
        for (char16_t ch : wide) Little(ch, 2);
        return;
      }
      case ValueType::False:
      case ValueType::True:
      case ValueType::Nil:
      case ValueType::Null:
        Type(v.Type);
        return;
      case ValueType::List:
        Type(v.Type);
        for (const Value& item : v.Items) WriteValue(item);
        Byte(0);
        return;
      case ValueType::Set:
        Type(v.Type);
        for (const std::string& member : v.Members) ShortString(member);
        Byte(0);
        return;
      case ValueType::Collection:
        Type(v.Type);
        for (const CollectionItem& item : v.Collection) {
          if (item.HasIndex) Integer(IndexType(item.Index), item.Index);
          Type(ValueType::List);
          Properties(item.Properties);
        }
        Byte(0);
        return;
    }
    throw std::runtime_error("unknown value type");
  }

  static ValueType IndexType(int64_t n) {
    if (n >= -128 && n <= 127) return ValueType::Int8;
    if (n >= -32768 && n <= 32767) return ValueType::Int16;
    return ValueType::Int32;
  }

  void WriteObject(const Object& object) {
    if (object.Flags) {
      Byte(static_cast<uint8_t>(0xF0 | object.Flags));
      if (object.Flags & kFlagChildPos) Integer(IndexType(object.ChildPos), object.ChildPos);
    }
    ShortString(object.ClassName);
    ShortString(object.Name);
    Properties(object.Properties);
    for (const Object& child : object.Children) WriteObject(child);
    Byte(0);
  }
};

}  // namespace

std::string EncodeExtended(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, 8);
  uint16_t sign = static_cast<uint16_t>((bits >> 63) << 15);
  int exponent = static_cast<int>((bits >> 52) & 0x7FF);
  uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
  uint64_t mantissa = 0;
  uint16_t exponent80 = 0;
  if (exponent == 0x7FF) {
    exponent80 = 0x7FFF;
    mantissa = (uint64_t{1} << 63) | (fraction << 11);
  } else if (exponent == 0 && fraction != 0) {
    int e = 1 - 1023;
    while (!(fraction & (uint64_t{1} << 52))) {
      fraction <<= 1;
      --e;
    }
    mantissa = fraction << 11;
    exponent80 = static_cast<uint16_t>(e + 16383);
  } else if (exponent != 0) {
    mantissa = (uint64_t{1} << 63) | (fraction << 11);
    exponent80 = static_cast<uint16_t>(exponent - 1023 + 16383);
  }
  std::string out;
  for (int i = 0; i < 8; ++i) out += static_cast<char>(mantissa >> (8 * i));
  uint16_t top = sign | exponent80;
  out += static_cast<char>(top & 0xFF);
  out += static_cast<char>(top >> 8);
  return out;
}

std::string WriteObjectStream(const Object& object) {
  Writer writer;
  writer.Out = "TPF0";
  writer.WriteObject(object);
  return writer.Out;
}

Property* FindProperty(Object& object, const std::string& name) {
  for (Property& property : object.Properties)
    if (SameWord(property.Name, name.c_str())) return &property;
  return nullptr;
}

Object* FindObject(Object& object, const std::string& name) {
  if (SameWord(object.Name, name.c_str())) return &object;
  for (Object& child : object.Children)
    if (Object* found = FindObject(child, name)) return found;
  return nullptr;
}

}  // namespace dfm
