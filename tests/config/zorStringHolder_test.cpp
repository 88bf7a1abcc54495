#include "config/zorStringHolder.h"

#include <gtest/gtest.h>

#include "Common/Exceptions.h"

using namespace kelda;

namespace {

TStringList Lines(std::initializer_list<const char*> lines) {
  TStringList list;
  for (const char* line : lines) list.Add(line);
  return list;
}

std::vector<std::string> Texts(const TStringList& list) {
  std::vector<std::string> out;
  for (const auto& e : list) out.push_back(e.Text);
  return out;
}

}  // namespace

TEST(StrHolderStoredForm, WritesVersionTwoHexUtf8CombinedWithTheKey) {
  TzorStrHolder holder(nullptr);
  holder.SetStrings(Lines({"Left,Left", "", "caf\xE9"}));  // e-acute in the system code page
  TStringList data;
  holder.WriteStrData(data);
  EXPECT_EQ(Texts(data), (std::vector<std::string>{"", "4c6566742c4c656674", "", "636166c3a9"}));

  holder.KeyString = "k\xE9y";  // its UTF-8 form k C3 A9 y is the combining key
  holder.WriteStrData(data);
  ASSERT_EQ(data.Count(), 4);
  EXPECT_EQ(data.Strings(0), "k\xE9y");
  EXPECT_EQ(data.Strings(1), "27a6cf0d478fcc1f1f");
  EXPECT_EQ(TzorStrHolder::CurrentVersion, 2);

  TzorStrHolder copy(nullptr);
  copy.ReadStoredForm(2, data);
  EXPECT_EQ(copy.KeyString, "k\xE9y");
  EXPECT_EQ(Texts(copy.Strings()), (std::vector<std::string>{"Left,Left", "", "caf\xE9"}));
}

TEST(StrHolderStoredForm, ReadsEveryVersionAndToleratesBadDigits) {
  EXPECT_EQ(TzorStrHolder::DecodeLine(2, "4C65", ""), "Le");     // upper-case digits
  EXPECT_EQ(TzorStrHolder::DecodeLine(2, "4c6", ""), "L");       // a lone last digit
  EXPECT_EQ(TzorStrHolder::DecodeLine(2, "4cg565", ""), "L e");  // a bad pair is a space
  EXPECT_EQ(TzorStrHolder::DecodeLine(2, "0d27", "AB"), "Le");
  EXPECT_EQ(TzorStrHolder::DecodeLine(2, "zz27", "AB"), " e");  // not combined with the key
  EXPECT_EQ(TzorStrHolder::DecodeLine(2, "c3a9", ""), "\xE9");  // UTF-8 to system code page
  EXPECT_EQ(TzorStrHolder::DecodeLine(1, "e9", ""), "\xE9");    // version 1: no UTF-8 step
  EXPECT_EQ(TzorStrHolder::DecodeLine(1, "0d27", "AB"), "Le");
  EXPECT_EQ(TzorStrHolder::DecodeLine(0, "\x0d\x27", "AB"), "Le");  // version 0: raw characters
  EXPECT_EQ(TzorStrHolder::DecodeLine(0, "plain", ""), "plain");

  TzorStrHolder holder(nullptr);
  holder.ReadStoredForm(1, Lines({"AB", "0d27", "0d"}));
  EXPECT_EQ(holder.KeyString, "AB");
  EXPECT_EQ(Texts(holder.Strings()), (std::vector<std::string>{"Le", "L"}));
  holder.ReadStoredForm(2, TStringList());
  EXPECT_EQ(holder.KeyString, "");
  EXPECT_EQ(holder.Strings().Count(), 0);
}

TEST(StrHolder, PublishedPropertiesSortingAndChangeEvents) {
  TzorStrHolder holder(nullptr);
  int changing = 0, changed = 0;
  holder.OnChanging = [&](TzorStrHolder& h) {
    EXPECT_EQ(changing, changed);
    ++changing;
  };
  holder.OnChange = [&](TzorStrHolder&) { ++changed; };

  const TPropertyInfo* strings = FindProperty(holder, "Strings");
  ASSERT_NE(strings, nullptr);
  TStringList lines = Lines({"b", "A", "c", "a"});
  SetPropValue(holder, *strings, &lines);
  EXPECT_EQ(Texts(holder.Strings()), (std::vector<std::string>{"b", "A", "c", "a"}));
  EXPECT_EQ(changed, 1);

  for (const char* name : {"Capacity", "Duplicates", "KeyString", "Sorted"})
    EXPECT_NE(FindProperty(holder, name), nullptr);
  SetPropValue(holder, *FindProperty(holder, "Capacity"), int32_t{28});
  EXPECT_EQ(holder.Capacity, 28);
  EXPECT_THROW(SetPropValue(holder, *FindProperty(holder, "Duplicates"), int32_t{3}), EConvertError);

  // Sorting ignores letter case; the ignored duplicate "a" goes away.
  SetPropValue(holder, *FindProperty(holder, "Sorted"), int32_t{1});
  EXPECT_EQ(Texts(holder.Strings()), (std::vector<std::string>{"A", "b", "c"}));
  EXPECT_EQ(holder.Add("B"), -1);
  EXPECT_EQ(holder.Add("ab"), 1);
  EXPECT_EQ(Texts(holder.Strings()), (std::vector<std::string>{"A", "ab", "b", "c"}));
  holder.Duplicates = dupError;
  EXPECT_THROW(holder.Add("C"), EListError);
  holder.Duplicates = dupAccept;
  EXPECT_EQ(holder.Add("C"), 3);
  EXPECT_EQ(holder.Strings().Count(), 5);
  EXPECT_EQ(changing, changed);
  EXPECT_EQ(changed, 4);
}
