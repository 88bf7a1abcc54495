#include "Common/zorHashList.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kelda;

namespace {

struct THashVector {
  std::string Input;
  std::uint32_t Expected;
};

// Named by its text: without this the test names would be printed from the object's raw bytes,
// unused string storage included.
void PrintTo(const THashVector& v, std::ostream* out) {
  *out << '"' << v.Input << '"';
}

// Published xxHash32 results for seed 0.
const THashVector HashVectors[] = {
    {"", 0x02CC5D05u},
    {"a", 0x550D7456u},
    {"abc", 0x32D153FFu},
    {"Nobody inspects the spammish repetition", 0xE2293B2Fu},
    {"0123456789abcdef", 0xC2C45B69u},      // exactly one 16-byte stripe
    {"0123456789ABCDEFGHIJ", 0xFE2967C9u},  // a stripe, a lane and no tail bytes
    {"The quick brown fox jumps over the lazy dog", 0xE85EA4DEu},
};

class xxHash32Vectors : public testing::TestWithParam<THashVector> {};

TEST_P(xxHash32Vectors, MatchesPublishedResult) {
  const THashVector& v = GetParam();
  EXPECT_EQ(xxHash32(v.Input.data(), v.Input.size()), v.Expected) << '"' << v.Input << '"';
}

INSTANTIATE_TEST_SUITE_P(Known, xxHash32Vectors, testing::ValuesIn(HashVectors));

TEST(xxHash32, LongInputsOfEveryByteValue) {
  std::string zeros(256, '\0');
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  EXPECT_EQ(xxHash32(zeros.data(), zeros.size()), 0xCEA24005u);
  EXPECT_EQ(xxHash32(all.data(), all.size()), 0x59441253u);
}

std::uint32_t KeyHash(const std::string& key) {
  return TzorStringHashListBase::HashText(key);
}

// Keys "k<n>" whose hashes agree with the first one in the given low bits.
std::vector<std::string> CollidingKeys(int count, std::uint32_t mask) {
  std::vector<std::string> keys{"k0"};
  const std::uint32_t target = KeyHash("k0") & mask;
  for (int n = 1; static_cast<int>(keys.size()) < count; ++n) {
    std::string key = "k" + std::to_string(n);
    if ((KeyHash(key) & mask) == target) keys.push_back(key);
  }
  return keys;
}

std::u16string ValueOf(const std::string& key) {
  return std::u16string(key.begin(), key.end()) + u"!";
}

}  // namespace

TEST(zorStringWideStringHashList, PutGetReplaceRemove) {
  TzorStringWideStringHashList list;
  list.Put("alpha", u"1");
  list.Put("beta", u"2");
  list.Put("", u"empty key");
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Get("alpha"), u"1");
  EXPECT_EQ(list.Get(""), u"empty key");
  EXPECT_TRUE(list.Root().Slots[0].Chain != nullptr);  // the empty key hashes to 0

  list.Put("alpha", u"one");
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Get("alpha"), u"one");

  std::u16string value;
  EXPECT_FALSE(list.TryGet("gamma", value));
  EXPECT_EQ(list.Get("gamma"), u"");  // default on missing
  EXPECT_EQ(list.Get("ALPHA"), u"");  // case-sensitive by default

  EXPECT_EQ(list.Remove("beta"), u"2");
  EXPECT_EQ(list.Count(), 2);
  EXPECT_FALSE(list.Contains("beta"));
  EXPECT_EQ(list.Remove("beta"), u"");

  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.Root().Filled, 0);
  EXPECT_FALSE(list.Contains("alpha"));
}

TEST(zorStringWideStringHashList, MissingKeyFailsWhenDefaultIsOff) {
  TzorStringWideStringHashList list;
  list.DefaultOnMissing = false;
  list.Put("a", u"x");
  EXPECT_EQ(list.Get("a"), u"x");
  try {
    list.Get("b");
    FAIL() << "no exception";
  } catch (const EzorNoSuchElementError& e) {
    EXPECT_STREQ(e.what(), "Value not found");
  }
  EXPECT_THROW(list.Remove("b"), EzorNoSuchElementError);
  std::u16string value;
  EXPECT_FALSE(list.TryGet("b", value));
}

TEST(zorStringWideStringHashList, CaseInsensitiveKeys) {
  TzorStringWideStringHashList list;
  list.SetCaseSensitive(false);
  list.Put("Hello", u"1");
  list.Put("HELLO", u"2");     // the same key
  list.Put("\xC4pfel", u"3");  // upper-case A with diaeresis in the system code page
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Get("hello"), u"2");
  EXPECT_EQ(list.Get("\xE4PFEL"), u"3");
  EXPECT_THROW(list.SetCaseSensitive(true), EzorHashListError);
  list.Clear();
  list.SetCaseSensitive(true);
  EXPECT_TRUE(list.CaseSensitive());
}

TEST(zorStringWideStringHashList, NinthKeyInASlotMakesAChildNodeAndRemovalReleasesIt) {
  const std::vector<std::string> keys = CollidingKeys(9, 0xFF);
  const int slot = static_cast<int>(KeyHash(keys[0]) & 0xFF);
  TzorStringWideStringHashList list;
  for (int i = 0; i < 8; ++i) list.Put(keys[i], ValueOf(keys[i]));
  EXPECT_TRUE(list.Root().Slots[slot].Chain != nullptr);
  EXPECT_TRUE(list.Root().Slots[slot].Node == nullptr);
  EXPECT_EQ(list.Root().Filled, 1);

  list.Put(keys[8], ValueOf(keys[8]));
  const TTreeItem* child = list.Root().Slots[slot].Node.get();
  ASSERT_NE(child, nullptr);
  EXPECT_TRUE(list.Root().Slots[slot].Chain == nullptr);
  EXPECT_EQ(child->Level, 1);
  EXPECT_EQ(list.Root().Filled, 1);
  EXPECT_EQ(list.Count(), 9);
  for (const auto& key : keys) {
    EXPECT_EQ(list.Get(key), ValueOf(key)) << key;
    // each item sits in the child at the slot of its hash's second byte
    const TTreeItem::TSlot& s = child->Slots[(KeyHash(key) >> 8) & 0xFF];
    ASSERT_TRUE(s.Chain || s.Node);
  }

  for (std::size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(list.Remove(keys[i]), ValueOf(keys[i]));
    for (std::size_t j = i + 1; j < keys.size(); ++j) EXPECT_TRUE(list.Contains(keys[j]));
  }
  EXPECT_EQ(list.Count(), 0);
  EXPECT_TRUE(list.Root().Slots[slot].Empty());
  EXPECT_EQ(list.Root().Filled, 0);
}

TEST(zorStringWideStringHashList, KeysSharingTwoHashBytesSplitTwice) {
  const std::vector<std::string> keys = CollidingKeys(9, 0xFFFF);
  TzorStringWideStringHashList list;
  for (const auto& key : keys) list.Put(key, ValueOf(key));
  const std::uint32_t hash = KeyHash(keys[0]);
  const TTreeItem* level1 = list.Root().Slots[hash & 0xFF].Node.get();
  ASSERT_NE(level1, nullptr);
  const TTreeItem* level2 = level1->Slots[(hash >> 8) & 0xFF].Node.get();
  ASSERT_NE(level2, nullptr);
  EXPECT_EQ(level2->Level, 2);
  for (const auto& key : keys) EXPECT_EQ(list.Get(key), ValueOf(key));
  for (const auto& key : keys) list.Remove(key);
  EXPECT_EQ(list.Root().Filled, 0);
}

namespace {
// Every key gets the same full hash, which no split can separate.
class TOneHashList : public TzorStringWideStringHashList {
protected:
  std::uint32_t HashOf(const TObject*) const override { return 0x12345678u; }
};
}  // namespace

TEST(zorStringWideStringHashList, KeysWithOneFullHashStayRetrievable) {
  TOneHashList list;
  for (int i = 0; i < 40; ++i)
    list.Put("key" + std::to_string(i), u"v" + std::u16string(1, char16_t('A' + i)));
  EXPECT_EQ(list.Count(), 40);
  const TTreeItem* node = &list.Root();
  for (int level = 0; level < 3; ++level) {
    node = node->Slots[(0x12345678u >> (8 * level)) & 0xFF].Node.get();
    ASSERT_NE(node, nullptr);
  }
  EXPECT_EQ(node->Level, 3);
  int chain = 0;
  for (const TLinkedItem* p = node->Slots[0x12].Chain.get(); p; p = p->Next.get()) ++chain;
  EXPECT_EQ(chain, 40);
  for (int i = 0; i < 40; ++i)
    EXPECT_EQ(list.Get("key" + std::to_string(i)), u"v" + std::u16string(1, char16_t('A' + i)));
  for (int i = 39; i >= 0; --i) list.Remove("key" + std::to_string(i));
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.Root().Filled, 0);
}

TEST(zorStringWideStringHashList, ManyKeys) {
  TzorStringWideStringHashList list;
  const int n = 20000;
  for (int i = 0; i < n; ++i) list.Put("item." + std::to_string(i), ValueOf(std::to_string(i)));
  EXPECT_EQ(list.Count(), n);
  for (int i = 0; i < n; i += 7) EXPECT_EQ(list.Get("item." + std::to_string(i)), ValueOf(std::to_string(i)));
  for (int i = 0; i < n; i += 2) list.Remove("item." + std::to_string(i));
  EXPECT_EQ(list.Count(), n / 2);
  EXPECT_FALSE(list.Contains("item.0"));
  EXPECT_TRUE(list.Contains("item.1"));
}
