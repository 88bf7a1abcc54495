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
