#include "config/XmlReader.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using namespace kelda;

namespace {

// The element `path` (names separated by "/") below the root, following first matches.
const TXmlElement* At(const TXmlDocument& doc, std::string_view path) {
  const TXmlElement* e = doc.Root();
  while (e && !path.empty()) {
    std::size_t slash = path.find('/');
    std::string_view name = path.substr(0, slash);
    const TXmlElement* next = nullptr;
    for (const TXmlElement* c : e->Children)
      if (c->Name == name) {
        next = c;
        break;
      }
    e = next;
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
  }
  return e;
}

int32_t Int(std::string_view text, int32_t def = -77) {
  int32_t v = 0;
  return TryParseInteger(text, v) ? v : def;
}

}  // namespace

TEST(XmlReaderValues, IntegerForms) {
  EXPECT_EQ(Int("42"), 42);
  EXPECT_EQ(Int("  -42"), -42);
  EXPECT_EQ(Int("+7"), 7);
  EXPECT_EQ(Int("$1A"), 26);
  EXPECT_EQ(Int("$1a"), 26);
  EXPECT_EQ(Int("x1A"), 26);
  EXPECT_EQ(Int("X1A"), 26);
  EXPECT_EQ(Int("0x1A"), 26);
  EXPECT_EQ(Int("0X1a"), 26);
  EXPECT_EQ(Int("-$10"), -16);
  EXPECT_EQ(Int("$FFFFFFFF"), -1);
  EXPECT_EQ(Int("2147483647"), 2147483647);
  EXPECT_EQ(Int("-2147483648"), INT32_MIN);
  // Not integers: the default.
  EXPECT_EQ(Int(""), -77);
  EXPECT_EQ(Int("   "), -77);
  EXPECT_EQ(Int("12 "), -77);
  EXPECT_EQ(Int("12a"), -77);
  EXPECT_EQ(Int("1.5"), -77);
  EXPECT_EQ(Int("$"), -77);
  EXPECT_EQ(Int("0x"), -77);
  EXPECT_EQ(Int("$-1"), -77);
  EXPECT_EQ(Int("--1"), -77);
  EXPECT_EQ(Int("2147483648"), -77);
  EXPECT_EQ(Int("-2147483649"), -77);
  EXPECT_EQ(Int("$100000000"), -77);
  EXPECT_EQ(Int("99999999999999999999999"), -77);

  TXmlDocument doc("<r><a>12</a><b></b><c>x</c><d> 5 </d></r>");
  EXPECT_EQ(ReadInteger(doc.Root(), "a", 1), 12);
  EXPECT_EQ(ReadInteger(doc.Root(), "b", 1), 1);  // present but empty
  EXPECT_EQ(ReadInteger(doc.Root(), "c", 1), 1);
  EXPECT_EQ(ReadInteger(doc.Root(), "d", 1), 5);  // the text is trimmed when read
  EXPECT_EQ(ReadInteger(doc.Root(), "missing", 3), 3);
}

TEST(XmlReaderValues, BooleanForms) {
  TXmlDocument doc(
      "<r><t1>1</t1><t2>true</t2><t3>0</t3>"
      "<c0 check=\"0\"/><c1 check=\"1\"/><c2 check=\"2\"/><c3 check=\"3\"/><c4 check=\"4\"/>"
      "<c5 check=\"5\"/><c9 check=\"9\"/><cm check=\"-1\"/><cx check=\"two\"/><none/>"
      "<upper CHECK=\"2\"/><hex check=\"$2\"/><textwins check=\"2\">0</textwins></r>");
  const TXmlElement* r = doc.Root();
  for (bool def : {false, true}) {
    SCOPED_TRACE(def);
    EXPECT_TRUE(ReadBoolean(r, "t1", def));
    EXPECT_FALSE(ReadBoolean(r, "t2", def));
    EXPECT_FALSE(ReadBoolean(r, "t3", def));
    EXPECT_FALSE(ReadBoolean(r, "c0", def));
    EXPECT_FALSE(ReadBoolean(r, "c1", def));
    EXPECT_TRUE(ReadBoolean(r, "c2", def));
    EXPECT_FALSE(ReadBoolean(r, "c3", def));
    EXPECT_EQ(ReadBoolean(r, "c4", def), def);
    EXPECT_FALSE(ReadBoolean(r, "c5", def));
    EXPECT_EQ(ReadBoolean(r, "c9", def), def);
    EXPECT_EQ(ReadBoolean(r, "cm", def), def);
    EXPECT_EQ(ReadBoolean(r, "cx", def), def);
    EXPECT_EQ(ReadBoolean(r, "none", def), def);
    EXPECT_EQ(ReadBoolean(r, "upper", def), def);  // attribute names are case-sensitive
    EXPECT_TRUE(ReadBoolean(r, "hex", def));
    EXPECT_FALSE(ReadBoolean(r, "textwins", def));
    EXPECT_EQ(ReadBoolean(r, "missing", def), def);
  }
}

TEST(XmlReaderValues, FloatAndTextForms) {
  TXmlDocument doc(
      "<r><a>0,5</a><b>0.5</b><c>0,001</c><d>abc</d><e></e><f>-2.5e2</f><g>1,000.5</g>"
      "<h>inf</h><i>nan</i><j>1e999</j><k>.25</k><l>7.</l><m>1e</m><n>0x10</n></r>");
  const TXmlElement* r = doc.Root();
  EXPECT_DOUBLE_EQ(static_cast<double>(ReadFloat(r, "a", 1)), 0.5);
  EXPECT_DOUBLE_EQ(static_cast<double>(ReadFloat(r, "b", 1)), 0.5);
  EXPECT_DOUBLE_EQ(static_cast<double>(ReadFloat(r, "c", 1)), 0.001);
  EXPECT_DOUBLE_EQ(static_cast<double>(ReadFloat(r, "d", 1)), 1);
  EXPECT_DOUBLE_EQ(static_cast<double>(ReadFloat(r, "e", 1)), 1);
  EXPECT_DOUBLE_EQ(static_cast<double>(ReadFloat(r, "f", 1)), -250);
  EXPECT_DOUBLE_EQ(static_cast<double>(ReadFloat(r, "g", 1)), 1);  // two separators
  EXPECT_DOUBLE_EQ(static_cast<double>(ReadFloat(r, "h", 1)), 1);
  EXPECT_DOUBLE_EQ(static_cast<double>(ReadFloat(r, "i", 1)), 1);
  EXPECT_DOUBLE_EQ(static_cast<double>(ReadFloat(r, "j", 1)), 1);
  EXPECT_DOUBLE_EQ(static_cast<double>(ReadFloat(r, "k", 1)), 0.25);
  EXPECT_DOUBLE_EQ(static_cast<double>(ReadFloat(r, "l", 1)), 7);
  EXPECT_DOUBLE_EQ(static_cast<double>(ReadFloat(r, "m", 1)), 1);
  EXPECT_DOUBLE_EQ(static_cast<double>(ReadFloat(r, "n", 1)), 1);
  EXPECT_DOUBLE_EQ(static_cast<double>(ReadFloat(r, "missing", 3)), 3);

  EXPECT_EQ(ReadText(r, "d", "def"), "abc");
  EXPECT_EQ(ReadText(r, "e", "def"), "");  // present but empty: empty, not the default
  EXPECT_EQ(ReadText(r, "missing", "def"), "def");
}

TEST(XmlReaderLookup, DepthFirstCaseInsensitiveFirstMatch) {
  TXmlDocument doc(
      "<Req><Enabled>1</Enabled><Response><Item><Offset>5</Offset></Item></Response>"
      "<Offset>9</Offset><deep><a><b><c><Target>x</Target></c></b></a></deep><target>y</target></Req>");
  const TXmlElement* req = FindElement(doc.Root(), "req");
  ASSERT_NE(req, nullptr);
  EXPECT_EQ(req->Name, "Req");
  // A child's whole subtree is searched before the next child: the item's Offset comes first.
  EXPECT_EQ(ReadInteger(req, "Offset", 0), 5);
  EXPECT_EQ(ReadText(req, "TARGET", ""), "x");
  EXPECT_EQ(ReadText(req, "eNaBlEd", ""), "1");
  // The start element itself matches first.
  EXPECT_EQ(FindElement(req, "REQ"), req);
  EXPECT_EQ(FindElement(req, "nothing"), nullptr);
  EXPECT_EQ(FindElement(nullptr, "Req"), nullptr);

  // A child is compared before its own subtree is searched.
  TXmlDocument nested("<a><x><y>inner</y></x><y>outer</y></a>");
  EXPECT_EQ(ReadText(FindElement(nested.Root(), "x"), "y", ""), "inner");
  TXmlDocument shallow("<a><y>first<y>nested</y></y></a>");
  EXPECT_EQ(ReadText(shallow.Root(), "y", ""), "first");
}

TEST(XmlReaderLookup, AttributesAndCaptions) {
  TXmlDocument doc(
      "<r><q1 caption=\"Tank &amp; pump\" caption=\"second\"/><q2 CAPTION=\"upper\"/>"
      "<q3 caption=\"\"/><q4 caption='single \"quoted\"'/></r>");
  const TXmlElement* r = doc.Root();
  EXPECT_EQ(ReadCaption(FindElement(r, "q1"), 1), "Tank & pump");
  EXPECT_EQ(ReadCaption(FindElement(r, "q2"), 2), "Request #2");
  EXPECT_EQ(ReadCaption(FindElement(r, "q3"), 13), "Request #13");
  EXPECT_EQ(ReadCaption(FindElement(r, "q4"), 4), "single \"quoted\"");
  EXPECT_EQ(FindElement(r, "q2")->FindAttribute("caption"), nullptr);
  ASSERT_NE(FindElement(r, "q2")->FindAttribute("CAPTION"), nullptr);
}

TEST(XmlReaderParsing, TextTokensLineBreaksAndEntities) {
  TXmlDocument doc(
      "<r>\r\n<a>  one\r\ntwo\nthree\rfour\tfive  </a>\n<b>\t\r\n</b>"
      "<c>&amp;lt; &lt;x&gt; &apos;&quot; &amp;amp;</c><d>&unknown; &#65;</d>"
      "<e>first<f/>second</e></r>");
  const TXmlElement* r = doc.Root();
  EXPECT_EQ(ReadText(r, "a", "?"), "one two three four five");
  EXPECT_EQ(ReadText(r, "b", "?"), "");  // blanks only: no text token
  // "&amp;" is replaced first, so "&amp;lt;" becomes "<", and "&amp;amp;" becomes "&amp;".
  EXPECT_EQ(ReadText(r, "c", "?"), "< <x> '\" &amp;");
  EXPECT_EQ(ReadText(r, "d", "?"), "&unknown; &#65;");
  // The last text token inside an element wins.
  EXPECT_EQ(ReadText(r, "e", "?"), "second");
}

TEST(XmlReaderParsing, CdataCommentsAndProcessingInstructions) {
  TXmlDocument doc(
      "<?xml version=\"1.0\"?><r>"
      "<a><![CDATA[  <raw> &amp; \\n line\\t tab \\x ]]></a>"
      "<b><![cdata[lower]]></b>"
      "<c>text<!-- note\\n here &lt; --></c>"
      "<d>text<!----></d>"
      "<e>text<?\?></e>"
      "<f><![CDATA[a\r\nb\rc]]></f>"
      "<g><![CDATA[unterminated</g></r>");
  const TXmlElement* r = doc.Root();
  EXPECT_EQ(doc.Root()->Text, "xml version=\"1.0\"");
  EXPECT_EQ(ReadText(r, "a", "?"), "  <raw> &amp; \r\nline\ttab \\x ");
  EXPECT_EQ(ReadText(r, "b", "?"), "lower");
  EXPECT_EQ(ReadText(r, "c", "?"), " note\r\nhere < ");
  EXPECT_EQ(ReadText(r, "d", "?"), "");      // an empty comment still replaces the text
  EXPECT_EQ(ReadText(r, "e", "?"), "text");  // an empty instruction does not
  EXPECT_EQ(ReadText(r, "f", "?"), "a\r\nb\r\nc");
  EXPECT_EQ(ReadText(r, "g", "?"), "unterminated</g></r>");
}

TEST(XmlReaderParsing, TagsAndAttributes) {
  TXmlDocument doc(
      "<r>"
      "<a x=\"1>2\" y='3>4'>text</a>"
      "<b  p = \"v\"   q='w' />"
      "<c\r\n\tname=\"v\"\tother=\"o\">t</c>"
      "<d first=\"1\" broken second=\"2\"/>"
      "<e k=v l=\"2\"/>"
      "<f k=\"unclosed/>"
      "<g/><h></h>"
      "</r>");
  const TXmlElement* a = At(doc, "r/a");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(*a->FindAttribute("x"), "1>2");
  EXPECT_EQ(*a->FindAttribute("y"), "3>4");
  EXPECT_EQ(a->Text, "text");
  const TXmlElement* b = At(doc, "r/b");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(*b->FindAttribute("p"), "v");
  EXPECT_EQ(*b->FindAttribute("q"), "w");
  EXPECT_TRUE(b->Children.empty());
  const TXmlElement* c = At(doc, "r/c");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(*c->FindAttribute("name"), "v");
  EXPECT_EQ(*c->FindAttribute("other"), "o");
  // The name before "=" is whatever precedes it, trimmed: "broken second".
  const TXmlElement* d = At(doc, "r/d");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(*d->FindAttribute("first"), "1");
  EXPECT_NE(d->FindAttribute("broken second"), nullptr);
  // The value is delimited by the first quote after "=", wherever it is.
  const TXmlElement* e = At(doc, "r/e");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(*e->FindAttribute("k"), "2");
  EXPECT_EQ(e->Attributes.size(), 1u);
  // An unbalanced quote makes the tag end unreachable: "<" is skipped, the tag is read as text
  // of the enclosing element, and the elements after it are still read.
  EXPECT_EQ(At(doc, "r/f"), nullptr);
  EXPECT_NE(At(doc, "r/g"), nullptr);
  EXPECT_NE(At(doc, "r/h"), nullptr);
  EXPECT_EQ(At(doc, "r")->Children.size(), 7u);
  EXPECT_EQ(At(doc, "r")->Text, "f k=\"unclosed/>");
}

TEST(XmlReaderParsing, MalformedTextNeverFails) {
  // More closing tags than opening ones: elements read so far stay.
  TXmlDocument surplus("<a><b>1</b></a></a></x></y><c>2</c>");
  EXPECT_EQ(ReadText(surplus.Root(), "b", ""), "1");
  EXPECT_EQ(ReadText(surplus.Root(), "c", ""), "2");
  EXPECT_EQ(surplus.Root()->Children.size(), 2u);

  // Truncated at every possible position.
  std::string full =
      "<MODBUSRTUQUERY><Request caption=\"x\"><Enabled check=\"2\"/><![CDATA[a]]><!-- c --></Request>";
  for (std::size_t n = 0; n <= full.size(); ++n) {
    TXmlDocument cut(full.substr(0, n));
    EXPECT_EQ(cut.Root()->Name, "root");
  }

  for (const char* junk : {"<", ">", "<<<<", "</>", "<>", "< / >", "<!", "<!-", "<?", "<![CDATA", "\"'<'\"",
                           "<a b=\"", "<a b='>", "&", "&amp", "<a\x01\x02=\x03'\x04'>"}) {
    TXmlDocument doc(junk);
    EXPECT_EQ(doc.Root()->Name, "root") << junk;
  }

  std::mt19937 random(12345);
  std::string binary(1 << 20, '\0');
  for (char& ch : binary) ch = static_cast<char>(random() & 0xFF);
  TXmlDocument noise(binary);
  EXPECT_EQ(noise.Root()->Name, "root");

  std::string hugeValue = "<a v=\"" + std::string(4 << 20, 'x') + "\">t</a>";
  TXmlDocument huge(hugeValue);
  ASSERT_NE(At(huge, "a"), nullptr);
  EXPECT_EQ(At(huge, "a")->FindAttribute("v")->size(), 4u << 20);
}

TEST(XmlReaderParsing, DeepNestingAndPathologicalQuotes) {
  // 100000 nested elements in 10 MB of text: neither parsing, searching nor destroying may
  // recurse.
  const int depth = 100000;
  const std::string level = "<Level pad=\"" + std::string(88, 'p') + "\">";
  std::string deep;
  deep.reserve(depth * level.size() + 32);
  for (int i = 0; i < depth; ++i) deep += level;
  deep += "<Leaf>bottom</Leaf>";
  EXPECT_GE(deep.size(), 10u * 1000 * 1000);
  {
    TXmlDocument doc(deep);
    EXPECT_GT(doc.ElementCount(), static_cast<std::size_t>(depth));
    EXPECT_EQ(ReadText(doc.Root(), "leaf", ""), "bottom");
    EXPECT_EQ(FindElement(doc.Root(), "absent"), nullptr);
  }

  // Every "<" opens a quote that never closes, so each tag scan would run to the end of the
  // text; the reader must still finish in linear time (a quadratic scan here would not end
  // within the test's time limit).
  std::string quotes;
  for (int i = 0; i < 1000000; ++i) quotes += (i % 2) ? "<'" : "<\"";
  TXmlDocument q(quotes);
  EXPECT_EQ(q.Root()->Children.size(), 0u);
  std::string mixed;
  for (int i = 0; i < 300000; ++i) mixed += "<a '>' \"";
  TXmlDocument m(mixed);
  EXPECT_EQ(m.Root()->Name, "root");
}

// Elements know where their tag starts, whatever the line breaks; a text whose elements are not
// all closed says which one was open when it ended, and where it ended.
TEST(XmlReaderTree, PositionsAndTextsCutOff) {
  TXmlDocument doc("<a>\r\n  <b x='1'>t</b>\n\t<c/>\r<d>\r\n</d></a>");
  const TXmlElement* a = At(doc, "a");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->Line, 1);
  EXPECT_EQ(a->Column, 1);
  EXPECT_EQ(At(doc, "a/b")->Line, 2);
  EXPECT_EQ(At(doc, "a/b")->Column, 3);
  EXPECT_EQ(At(doc, "a/c")->Line, 3) << "LF alone ends a line";
  EXPECT_EQ(At(doc, "a/c")->Column, 2);
  EXPECT_EQ(At(doc, "a/d")->Line, 4) << "CR alone ends a line";
  EXPECT_EQ(doc.OpenAtEnd(), nullptr);
  EXPECT_EQ(doc.Root()->Line, 0);

  TXmlDocument cut("<a>\n<b>\n<c>1</c>\n<d>2</");
  ASSERT_NE(cut.OpenAtEnd(), nullptr);
  EXPECT_EQ(cut.OpenAtEnd()->Name, "d") << "a closing tag cut off is no closing tag";
  EXPECT_EQ(cut.OpenAtEnd()->Line, 4);
  EXPECT_EQ(cut.EndLine(), 4);
  EXPECT_EQ(cut.EndColumn(), 7) << "just after the last byte";
  TXmlDocument surplus("<a></a></a>");
  EXPECT_EQ(surplus.OpenAtEnd(), nullptr);
}
