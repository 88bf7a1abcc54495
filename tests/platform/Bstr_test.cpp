#include "platform/Bstr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/Guid.h"

using namespace kelda;

// The host reads and frees our BSTRs with its own OLE runtime, so the block layout is part of the
// boundary: a 32-bit byte length in front, the characters, a NUL that is not counted.
TEST(Bstr, LayoutLengthPrefixAndTerminator) {
  const char16_t text[] = u"ab\0c\u00E4";  // an embedded NUL is part of the string
  BSTR s = platform::BstrAlloc(std::u16string_view(text, 5));
  ASSERT_NE(s, nullptr);
  uint32_t prefix;
  std::memcpy(&prefix, reinterpret_cast<const unsigned char*>(s) - 4, 4);
  EXPECT_EQ(prefix, 10u);
  EXPECT_EQ(platform::BstrLength(s), 5u);
  EXPECT_EQ(s[5], 0);
  EXPECT_EQ(platform::BstrView(s), std::u16string_view(text, 5));
  platform::BstrFree(s);

  BSTR empty = platform::BstrAlloc(u"");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(platform::BstrLength(empty), 0u);
  EXPECT_EQ(empty[0], 0);
  platform::BstrFree(empty);

  BSTR zeroed = platform::BstrAlloc(nullptr, 3);  // characters left zero
  ASSERT_NE(zeroed, nullptr);
  EXPECT_EQ(platform::BstrLength(zeroed), 3u);
  EXPECT_EQ(zeroed[0] | zeroed[1] | zeroed[2] | zeroed[3], 0);
  platform::BstrFree(zeroed);

  // A null BSTR is the empty string.
  EXPECT_EQ(platform::BstrLength(nullptr), 0u);
  EXPECT_TRUE(platform::BstrView(nullptr).empty());
  platform::BstrFree(nullptr);
}

TEST(Guid, RegistryTextFormAndUniqueness) {
  const std::regex form("^\\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\}$");
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    std::string text = platform::NewGuidText();
    ASSERT_EQ(text.size(), 38u);
    ASSERT_TRUE(std::regex_match(text, form)) << text;
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 200u);

  // Every thread draws its own: none may repeat another's.
  std::vector<std::vector<std::string>> drawn(4);
  std::vector<std::thread> threads;
  for (auto& mine : drawn)
    threads.emplace_back([&mine] {
      for (int i = 0; i < 2000; ++i) mine.push_back(platform::NewGuidText());
    });
  for (std::thread& thread : threads) thread.join();
  for (const auto& mine : drawn) seen.insert(mine.begin(), mine.end());
  EXPECT_EQ(seen.size(), 200u + 4 * 2000u) << "identifiers repeat across threads";

  const GUID known = {0x33316D29, 0x0F86, 0x41C4, {0x8D, 0xB4, 0x3F, 0xE9, 0x75, 0x61, 0x58, 0xB1}};
  EXPECT_EQ(platform::GuidToText(known), "{33316D29-0F86-41C4-8DB4-3FE9756158B1}");
}
