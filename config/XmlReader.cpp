#include "config/XmlReader.h"

#include <charconv>
#include <cmath>

namespace kelda {

namespace {

bool IsBlankOrControl(char c) {
  return static_cast<unsigned char>(c) < 33;
}

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

bool SameTextAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

bool StartsWithText(std::string_view text, std::size_t pos, std::string_view prefix) {
  return text.size() - pos >= prefix.size() && SameTextAscii(text.substr(pos, prefix.size()), prefix);
}

std::string_view TrimControls(std::string_view s) {
  while (!s.empty() && IsBlankOrControl(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlankOrControl(s.back())) s.remove_suffix(1);
  return s;
}

// Every line break (CR LF, LF alone, CR alone) becomes CR LF.
std::string NormaliseLineBreaks(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r') {
      out += "\r\n";
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      out += "\r\n";
    } else {
      out += c;
    }
  }
  return out;
}

// Text between tags and tag contents: control characters and blanks cut off both ends, each
// line break and tab inside made a space. Empty when nothing but blanks was there.
std::string NormaliseText(std::string_view raw) {
  std::string_view s = TrimControls(raw);
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') {
      out += ' ';
      ++i;
    } else if (s[i] == '\t') {
      out += ' ';
    } else {
      out += s[i];
    }
  }
  return std::string(TrimControls(out));
}

// CDATA sections and comments carry line breaks and tabs written as backslash, letter, blank.
std::string ReplaceEscapedBreaks(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 2 < s.size() && s[i + 2] == ' ' && (s[i + 1] == 'n' || s[i + 1] == 't')) {
      out += s[i + 1] == 'n' ? "\r\n" : "\t";
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::string ReplaceAll(std::string_view s, std::string_view what, std::string_view with) {
  std::string out;
  out.reserve(s.size());
  std::size_t pos = 0;
  for (;;) {
    std::size_t hit = s.find(what, pos);
    if (hit == std::string_view::npos) break;
    out.append(s.substr(pos, hit - pos));
    out.append(with);
    pos = hit + what.size();
  }
  out.append(s.substr(pos));
  return out;
}

}  // namespace

std::string DecodeEntities(std::string_view text) {
  if (text.find('&') == std::string_view::npos) return std::string(text);
  std::string s = ReplaceAll(text, "&amp;", "&");
  s = ReplaceAll(s, "&lt;", "<");
  s = ReplaceAll(s, "&gt;", ">");
  s = ReplaceAll(s, "&apos;", "'");
  return ReplaceAll(s, "&quot;", "\"");
}

const std::string* TXmlElement::FindAttribute(std::string_view name) const {
  for (const auto& [attrName, value] : Attributes)
    if (attrName == name) return &value;
  return nullptr;
}

// Turns the token stream into the element tree of a document.
class TXmlTreeBuilder {
public:
  TXmlTreeBuilder(TXmlDocument& doc, std::string text) : FDoc(doc), FText(std::move(text)) {
    FDoc.FElements.emplace_back();
    FDoc.FElements.back().Name = "root";
    FCurrent = &FDoc.FElements.back();
  }

  void Run() {
    std::size_t pos = 0;
    while (pos < FText.size()) pos = FText[pos] == '<' ? Markup(pos) : TextRun(pos);
    MoveTo(FText.size());
    FDoc.FEndLine = FLine;
    FDoc.FEndColumn = static_cast<int>(FText.size() - FLineStart) + 1;
    if (FCurrent != &FDoc.FElements.front()) FDoc.FOpenAtEnd = FCurrent;
  }

private:
  std::size_t TextRun(std::size_t pos) {
    std::size_t end = FText.find('<', pos);
    if (end == std::string::npos) end = FText.size();
    std::string token = NormaliseText(std::string_view(FText).substr(pos, end - pos));
    if (!token.empty()) FCurrent->Text = DecodeEntities(token);
    return end;
  }

  // Content of a bracketed section from `from` to `terminator` (or to the end of the text) and
  // the position after it.
  std::pair<std::string_view, std::size_t> Section(std::size_t from, std::string_view terminator) const {
    std::size_t end = FText.find(terminator, from);
    std::string_view all(FText);
    if (end == std::string::npos) return {all.substr(from), FText.size()};
    return {all.substr(from, end - from), end + terminator.size()};
  }

  std::size_t Markup(std::size_t pos) {
    if (StartsWithText(FText, pos, "<![CDATA[")) {
      auto [content, next] = Section(pos + 9, "]]>");
      FCurrent->Text = ReplaceEscapedBreaks(content);
      return next;
    }
    if (StartsWithText(FText, pos, "<?")) {
      auto [content, next] = Section(pos + 2, "?>");
      if (!content.empty()) FCurrent->Text = DecodeEntities(content);
      return next;
    }
    if (StartsWithText(FText, pos, "<!--")) {
      auto [content, next] = Section(pos + 4, "-->");
      FCurrent->Text = DecodeEntities(ReplaceEscapedBreaks(content));
      return next;
    }
    std::size_t end = FindTagEnd(pos + 1);
    if (end == std::string::npos) return pos + 1;  // a stray "<": the rest is read as text
    MoveTo(pos);
    Tag(NormaliseText(std::string_view(FText).substr(pos + 1, end - pos - 1)));
    return end + 1;
  }

  // Line counting follows the parse, which only moves forward: linear in the text.
  void MoveTo(std::size_t pos) {
    for (; FCounted < pos; ++FCounted) {
      if (FText[FCounted] != '\n') continue;
      ++FLine;
      FLineStart = FCounted + 1;
    }
  }

  void Tag(std::string content) {
    if (!content.empty() && content.front() == '/') {
      if (FCurrent->Parent) FCurrent = FCurrent->Parent;  // surplus closing tags are ignored
      return;
    }
    bool empty = !content.empty() && content.back() == '/';
    if (empty) content = std::string(TrimControls(std::string_view(content).substr(0, content.size() - 1)));
    TXmlElement* element = AddChild(content);
    if (!empty) FCurrent = element;
  }

  TXmlElement* AddChild(std::string_view content) {
    std::size_t blank = content.find(' ');
    FDoc.FElements.emplace_back();
    TXmlElement* element = &FDoc.FElements.back();
    element->Name = std::string(content.substr(0, blank));
    element->Parent = FCurrent;
    element->Line = FLine;
    element->Column = static_cast<int>(FCounted - FLineStart) + 1;
    FCurrent->Children.push_back(element);
    if (blank != std::string_view::npos) ReadAttributes(*element, content.substr(blank + 1));
    return element;
  }

  static void ReadAttributes(TXmlElement& element, std::string_view rest) {
    for (;;) {
      std::size_t eq = rest.find('=');
      if (eq == std::string_view::npos) return;
      std::size_t open = rest.find_first_of("'\"", eq + 1);
      if (open == std::string_view::npos) return;
      std::size_t close = rest.find(rest[open], open + 1);
      if (close == std::string_view::npos) return;
      element.Attributes.emplace_back(std::string(TrimControls(rest.substr(0, eq))),
                                      DecodeEntities(rest.substr(open + 1, close - open - 1)));
      rest.remove_prefix(close + 1);
    }
  }

  // The first ">" at or after `from` that is outside single- and double-quoted strings, with the
  // quote state starting outside; npos when there is none.
  //
  // A text full of "<" with unbalanced quotes would make every scan run to the end of the text.
  // Scans are deterministic in (position, quote state), so every pair a failed scan passed
  // through is remembered as failing and a later scan that reaches one stops at once: all scans
  // together stay linear in the length of the text.
  std::size_t FindTagEnd(std::size_t from) {
    std::size_t found = Scan(from, false);
    if (found == std::string::npos) Scan(from, true);
    return found;
  }

  std::size_t Scan(std::size_t from, bool markFailure) {
    enum : uint8_t { Outside = 0, InSingle = 1, InDouble = 2 };
    if (markFailure && FFailed.empty()) FFailed.assign(FText.size() + 1, 0);
    uint8_t state = Outside;
    for (std::size_t i = from; i < FText.size(); ++i) {
      uint8_t bit = static_cast<uint8_t>(1u << state);
      if (!FFailed.empty() && (FFailed[i] & bit)) return std::string::npos;
      if (markFailure) FFailed[i] |= bit;
      char c = FText[i];
      if (state == Outside) {
        if (c == '>') return i;
        if (c == '\'') state = InSingle;
        if (c == '"') state = InDouble;
      } else if ((state == InSingle && c == '\'') || (state == InDouble && c == '"')) {
        state = Outside;
      }
    }
    return std::string::npos;
  }

  TXmlDocument& FDoc;
  std::string FText;
  TXmlElement* FCurrent;
  std::size_t FCounted = 0;      // line breaks are counted up to here
  int FLine = 1;                 // the line at FCounted
  std::size_t FLineStart = 0;    // where that line starts
  std::vector<uint8_t> FFailed;  // per position: quote states from which no tag end follows
};

TXmlDocument::TXmlDocument(std::string_view text) {
  TXmlTreeBuilder builder(*this, NormaliseLineBreaks(text));
  builder.Run();
}

const TXmlElement* ChildOpenAtEnd(const TXmlDocument& document, const TXmlElement* parent) {
  for (const TXmlElement* open = document.OpenAtEnd(); open; open = open->Parent)
    if (open->Parent == parent) return open;
  return nullptr;
}

const TXmlElement* FindElement(const TXmlElement* start, std::string_view name) {
  if (!start) return nullptr;
  if (SameTextAscii(start->Name, name)) return start;
  std::vector<std::pair<const TXmlElement*, std::size_t>> stack{{start, 0}};
  while (!stack.empty()) {
    auto& [element, next] = stack.back();
    if (next == element->Children.size()) {
      stack.pop_back();
      continue;
    }
    const TXmlElement* child = element->Children[next++];
    if (SameTextAscii(child->Name, name)) return child;
    if (!child->Children.empty()) stack.emplace_back(child, 0);
  }
  return nullptr;
}

bool TryParseInteger(std::string_view text, int32_t& value) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::string_view rest = text.substr(i);
  int base = 10;
  if (!rest.empty() && rest.front() == '$') {
    base = 16;
    rest.remove_prefix(1);
  } else if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) {
    base = 16;
    rest.remove_prefix(2);
  } else if (!rest.empty() && (rest.front() == 'x' || rest.front() == 'X')) {
    base = 16;
    rest.remove_prefix(1);
  }
  if (rest.empty() || rest.front() == '+' || rest.front() == '-') return false;
  uint64_t magnitude = 0;
  auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), magnitude, base);
  if (error != std::errc() || end != rest.data() + rest.size()) return false;
  uint64_t limit = base == 16 ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
  if (magnitude > limit) return false;
  uint32_t bits = static_cast<uint32_t>(magnitude);
  value = static_cast<int32_t>(negative ? 0u - bits : bits);
  return true;
}

bool TryParseFloat(std::string_view text, long double& value) {
  std::string_view s = text;
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  std::string number(s);
  for (char& c : number)
    if (c == ',') c = '.';
  // Only the plain decimal form: no "inf", "nan" or hexadecimal floats, which from_chars
  // would take but which are no configuration values.
  std::size_t i = 0, digits = 0;
  if (i < number.size() && (number[i] == '+' || number[i] == '-')) ++i;
  std::size_t mantissa = i;
  while (i < number.size() && number[i] >= '0' && number[i] <= '9') ++i, ++digits;
  if (i < number.size() && number[i] == '.') ++i;
  while (i < number.size() && number[i] >= '0' && number[i] <= '9') ++i, ++digits;
  if (digits == 0) return false;
  if (i < number.size() && (number[i] == 'e' || number[i] == 'E')) {
    ++i;
    if (i < number.size() && (number[i] == '+' || number[i] == '-')) ++i;
    std::size_t expDigits = 0;
    while (i < number.size() && number[i] >= '0' && number[i] <= '9') ++i, ++expDigits;
    if (expDigits == 0) return false;
  }
  if (i != number.size()) return false;
  double parsed = 0;
  const char* first = number.data() + mantissa;
  auto [end, error] = std::from_chars(first, number.data() + number.size(), parsed);
  if (error != std::errc() || end != number.data() + number.size() || !std::isfinite(parsed)) return false;
  value = (mantissa > 0 && number[0] == '-') ? -static_cast<long double>(parsed) : parsed;
  return true;
}

std::string ReadText(const TXmlElement* start, std::string_view name, std::string_view def) {
  const TXmlElement* e = FindElement(start, name);
  return e ? e->Text : std::string(def);
}

int32_t ReadInteger(const TXmlElement* start, std::string_view name, int32_t def) {
  const TXmlElement* e = FindElement(start, name);
  int32_t value = 0;
  return e && TryParseInteger(e->Text, value) ? value : def;
}

bool ReadBoolean(const TXmlElement* start, std::string_view name, bool def) {
  const TXmlElement* e = FindElement(start, name);
  if (!e) return def;
  if (!e->Text.empty()) return e->Text == "1";
  // A check box written without text: its state 0..5, where 4 means "not decided".
  int32_t check = 4;
  const std::string* attr = e->FindAttribute("check");
  if (!attr || !TryParseInteger(*attr, check) || check < 0 || check > 5) check = 4;
  if (check == 4) return def;
  return check == 2;
}

long double ReadFloat(const TXmlElement* start, std::string_view name, long double def) {
  const TXmlElement* e = FindElement(start, name);
  long double value = 0;
  return e && TryParseFloat(e->Text, value) ? value : def;
}

std::string ReadCaption(const TXmlElement* request, int index) {
  const std::string* caption = request ? request->FindAttribute("caption") : nullptr;
  if (caption && !caption->empty()) return *caption;
  return "Request #" + std::to_string(index);
}

}  // namespace kelda
