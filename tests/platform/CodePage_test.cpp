#include "platform/CodePage.h"

#include <gtest/gtest.h>

using namespace kelda::platform;

TEST(CodePage, Utf8RoundTripsEveryPlaneAndRepairsMalformedInput) {
  const std::u16string wide = u"A\u00e9\u20ac\U0001F600z";
  const std::string utf8 = WideToUtf8(wide);
  EXPECT_EQ(utf8, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z");
  EXPECT_EQ(Utf8ToWide(utf8), wide);

  EXPECT_EQ(Utf8ToWide("a\xC3"), u"a\uFFFD");                    // truncated sequence
  EXPECT_EQ(Utf8ToWide("\xC0\xAF"), u"\uFFFD\uFFFD");            // overlong form
  EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
  EXPECT_EQ(Utf8ToWide(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
  EXPECT_EQ(WideToUtf8(u"\xD800x"), "\xEF\xBF\xBDx");  // lone surrogate
}

TEST(CodePage, SystemPageConvertsLatinTextBothWays) {
  // The module's system page is windows-1252 (Wine's default too).
  const std::string ansi = "Temp\xE9rature \x80 5";
  const std::u16string wide = AnsiToWide(ansi);
  EXPECT_EQ(wide, u"Temp\u00e9rature \u20ac 5");
  EXPECT_EQ(WideToAnsi(wide), ansi);
  EXPECT_EQ(WideToAnsi(u"\u4e2d"), "?");  // not in the page
  EXPECT_EQ(AnsiToWide(""), u"");
}

TEST(CodePage, CaseRulesCoverTheWholePageNotOnlyAscii) {
  EXPECT_EQ(AnsiLowerCase("PORT \xC9T\xC9"), "port \xE9t\xE9");
  EXPECT_EQ(AnsiUpperCase("port \xE9t\xE9"), "PORT \xC9T\xC9");
  EXPECT_EQ(WideLowerCase(u"\u00c9A"), u"\u00e9a");
  EXPECT_EQ(AnsiCompareText("Section", "sECTION"), 0);
  EXPECT_EQ(AnsiCompareText("\xC9t\xE9", "\xE9T\xC9"), 0);
  EXPECT_LT(AnsiCompareText("abc", "abd"), 0);
  EXPECT_GT(AnsiCompareText("abcd", "ABC"), 0);
}

TEST(CodePage, NamedPagesDecodeTheirTextAndRepairWhatTheyCannot) {
  EXPECT_EQ(CodePageToWide(1251, "\xC4\xE0"), u"\u0414\u0430");
  EXPECT_EQ(CodePageToWide(1253, "\xC1"), u"\u0391");
  EXPECT_EQ(CodePageToWide(932, "\x82\xCD"), u"\u306F");
  EXPECT_EQ(CodePageToWide(950, "\xA4\xA4"), u"\u4E2D");
  EXPECT_EQ(CodePageToWide(kCodePageUtf8, "\xE2\x82\xAC"), u"\u20AC");
  EXPECT_EQ(CodePageToWide(kCodePageSystem, "\x80"), u"\u20AC");
  EXPECT_EQ(CodePageToWide(932, std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
  const std::u16string cut = CodePageToWide(932, "ab\x82");
  EXPECT_EQ(cut.substr(0, 2), u"ab");
  EXPECT_EQ(cut.size(), 3u) << "a cut-off character becomes one replacement, nothing is lost before it";
  EXPECT_EQ(CodePageToWide(12345, "\xE9"), u"\u00E9") << "an unknown page reads as the system page";
  EXPECT_EQ(CodePageToWide(1251, ""), u"");
}
