// The reader of the request configuration text: a small XML subset (elements, attributes, text,
// CDATA, comments and processing instructions; no validation, no namespaces, only the five named
// entities). It never fails on any input: whatever the text holds becomes some tree, and every
// value read from the tree falls back to the caller's default when it is missing or unreadable.
//
// The tree is built and searched without recursion and its elements live in one flat store of
// the document, so neither parsing nor destroying a deeply nested text can exhaust the stack.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelda {

class TXmlElement {
public:
  std::string Name;
  std::string Text;  // the last text token seen inside the element, decoded
  std::vector<std::pair<std::string, std::string>> Attributes;  // in tag order, values decoded
  std::vector<TXmlElement*> Children;                           // owned by the document
  TXmlElement* Parent = nullptr;
  // Where the element's tag starts in the text: 1-based line (any kind of line break counts
  // once) and 1-based column in bytes. The root has 0, 0.
  int Line = 0;
  int Column = 0;

  // The first attribute whose name equals `name` exactly (letter case counts); none: nullptr.
  const std::string* FindAttribute(std::string_view name) const;
};

class TXmlDocument {
public:
  // Parses `text`; an empty text gives a document with nothing below the root.
  explicit TXmlDocument(std::string_view text);
  TXmlDocument(const TXmlDocument&) = delete;
  TXmlDocument& operator=(const TXmlDocument&) = delete;

  // The document root, an element named "root" that holds the top-level elements.
  TXmlElement* Root() { return &FElements.front(); }
  const TXmlElement* Root() const { return &FElements.front(); }
  std::size_t ElementCount() const { return FElements.size(); }

  // The innermost element that was still open when the text ended (its closing tag never came,
  // as in a text cut off), or nullptr when every opened element was closed.
  const TXmlElement* OpenAtEnd() const { return FOpenAtEnd; }
  // Where the text ended: the line and column just after its last byte.
  int EndLine() const { return FEndLine; }
  int EndColumn() const { return FEndColumn; }

private:
  friend class TXmlTreeBuilder;
  std::deque<TXmlElement> FElements;  // stable addresses; the first one is the root
  const TXmlElement* FOpenAtEnd = nullptr;
  int FEndLine = 1;
  int FEndColumn = 1;
};

// The child of `parent` that was still open when the text ended, itself or through an element
// inside it: a definition the text cut off. nullptr when every child of `parent` was closed.
const TXmlElement* ChildOpenAtEnd(const TXmlDocument& document, const TXmlElement* parent);

// `start` itself when its name matches, otherwise the first match among its descendants, searched
// depth-first in document order (a child before its own subtree, a whole subtree before the next
// child). Names compare without regard to ASCII letter case. None: nullptr.
const TXmlElement* FindElement(const TXmlElement* start, std::string_view name);

// Values of the element found with FindElement(start, name); the default when there is none.
// ReadText: the element's text, empty when the element is present without text.
// ReadInteger: the text as a 32-bit integer (TryParseInteger); the default when unreadable.
// ReadBoolean: non-empty text is true exactly when it is "1"; empty text lets the attribute
//   "check" decide (2: true; 4, missing, unreadable or outside 0..5: the default; else false).
// ReadFloat: "." and "," both count as the decimal separator; the default when unreadable.
std::string ReadText(const TXmlElement* start, std::string_view name, std::string_view def);
int32_t ReadInteger(const TXmlElement* start, std::string_view name, int32_t def);
bool ReadBoolean(const TXmlElement* start, std::string_view name, bool def);
long double ReadFloat(const TXmlElement* start, std::string_view name, long double def);

// The display name of a request element: its "caption" attribute when present and not empty,
// otherwise "Request #<index>".
std::string ReadCaption(const TXmlElement* request, int index);

// Value forms shared with other readers of configuration text.
// An integer: optional leading blanks and sign, then decimal digits, or hexadecimal digits after
// "$", "x" or "0x" (either letter case); nothing may follow. Decimal must fit 32 bits; hexadecimal
// may use all 32 bits and is taken as the two's complement pattern ($FFFFFFFF is -1).
bool TryParseInteger(std::string_view text, int32_t& value);
// A finite decimal number with "." or "," as separator and an optional exponent; blanks around
// it are allowed.
bool TryParseFloat(std::string_view text, long double& value);

// Entity decoding, in this order: &amp; &lt; &gt; &apos; &quot; (so "&amp;lt;" becomes "<").
std::string DecodeEntities(std::string_view text);

}  // namespace kelda
