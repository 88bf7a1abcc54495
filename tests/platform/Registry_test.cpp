#include "platform/Registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace kelda::platform;
using kelda::ERegistryException;

namespace {

// A key path of its own for every test run, removed from both hives afterwards.
class TTestKey {
public:
  TTestKey() {
    std::random_device random;
    FPath = std::string("Software\\KeldaTest\\") +
            testing::UnitTest::GetInstance()->current_test_info()->name() + "_" + std::to_string(random());
  }
  ~TTestKey() {
    for (TRegHive hive : {TRegHive::CurrentUser, TRegHive::LocalMachine}) {
      try {
        DeleteRegistryKeyTree(hive, FPath);
      } catch (...) {
      }
    }
  }
  const std::string& Path() const { return FPath; }

private:
  std::string FPath;
};

std::string AllBytes() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  return bytes;
}

}  // namespace

TEST(Registry, ValuesKeepTheirTypeAndBytes) {
  TTestKey test;
  auto key = TRegistryKey::Open(TRegHive::CurrentUser, test.Path(), true);
  ASSERT_TRUE(key);
  key->WriteDword("Count", 0xFFFFFFFEu);
  key->WriteString("Text", "a=b [c] %41 \x7F");
  key->WriteString("Empty", "");
  key->WriteBinary("Bytes", AllBytes());
  key->WriteBinary("None", "");

  // A second handle on the same key, its path spelt in another letter case, sees every value.
  std::string upper = test.Path();
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  auto again = TRegistryKey::Open(TRegHive::CurrentUser, upper, false);
  ASSERT_TRUE(again);
  auto count = again->Read("COUNT");
  ASSERT_TRUE(count);
  EXPECT_EQ(count->Type, TRegValueType::Dword);
  EXPECT_EQ(count->Data, std::string("\xFE\xFF\xFF\xFF", 4));
  auto text = again->Read("text");
  ASSERT_TRUE(text);
  EXPECT_EQ(text->Type, TRegValueType::String);
  EXPECT_EQ(text->Data, "a=b [c] %41 \x7F");
  EXPECT_EQ(again->Read("Empty")->Data, "");
  EXPECT_EQ(again->Read("Empty")->Type, TRegValueType::String);
  EXPECT_EQ(again->Read("Bytes")->Type, TRegValueType::Binary);
  EXPECT_EQ(again->Read("Bytes")->Data, AllBytes());
  EXPECT_EQ(again->Read("None")->Data, "");
  EXPECT_FALSE(again->Read("Missing"));

  // Writing under another type replaces the value; deleting it is reported once.
  key->WriteString("count", "7");
  EXPECT_EQ(again->Read("Count")->Type, TRegValueType::String);
  EXPECT_TRUE(again->DeleteValue("COUNT"));
  EXPECT_FALSE(key->DeleteValue("Count"));
  EXPECT_FALSE(key->Read("Count"));

  EXPECT_THROW(key->WriteString("Nul", std::string("a\0b", 3)), ERegistryException);
  EXPECT_FALSE(key->Read("Nul"));
}

TEST(Registry, KeysOpenWhenPresentOrCreatedAndPathsAreChecked) {
  TTestKey test;
  const std::string child = test.Path() + "\\Sub\\Leaf";
  EXPECT_FALSE(TRegistryKey::Open(TRegHive::CurrentUser, child, false));
  EXPECT_FALSE(RegistryKeyExists(TRegHive::CurrentUser, test.Path()));  // opening did not create

  auto leaf = TRegistryKey::Open(TRegHive::CurrentUser, child, true);
  ASSERT_TRUE(leaf);
  leaf->WriteDword("v", 1);
  EXPECT_TRUE(RegistryKeyExists(TRegHive::CurrentUser, test.Path() + "\\sub"));
  EXPECT_TRUE(RegistryKeyExists(TRegHive::CurrentUser, child));
  EXPECT_FALSE(RegistryKeyExists(TRegHive::LocalMachine, child));  // hives are separate

  for (const std::string& bad : {test.Path() + "\\\\Sub", test.Path() + "\\", "\\" + test.Path(),
                                 test.Path() + "\\" + std::string(256, 'n')}) {
    EXPECT_FALSE(TRegistryKey::Open(TRegHive::CurrentUser, bad, true)) << bad;
    EXPECT_FALSE(RegistryKeyExists(TRegHive::CurrentUser, bad)) << bad;
  }
  EXPECT_TRUE(TRegistryKey::Open(TRegHive::CurrentUser, test.Path() + "\\" + std::string(100, 'n'), true));

  EXPECT_TRUE(DeleteRegistryKeyTree(TRegHive::CurrentUser, test.Path() + "\\SUB"));
  EXPECT_FALSE(RegistryKeyExists(TRegHive::CurrentUser, child));
  EXPECT_TRUE(RegistryKeyExists(TRegHive::CurrentUser, test.Path()));
  EXPECT_FALSE(DeleteRegistryKeyTree(TRegHive::CurrentUser, test.Path() + "\\Sub"));
  EXPECT_FALSE(DeleteRegistryKeyTree(TRegHive::CurrentUser, ""));  // never the whole hive
}

TEST(Registry, ConcurrentWritersLoseNoValue) {
  TTestKey test;
  constexpr int Threads = 4;
  constexpr int ValuesEach = 25;
  ASSERT_TRUE(TRegistryKey::Open(TRegHive::CurrentUser, test.Path(), true));
  std::vector<std::thread> threads;
  for (int t = 0; t < Threads; ++t) {
    threads.emplace_back([&, t] {
      auto key = TRegistryKey::Open(TRegHive::CurrentUser, test.Path(), false);
      if (!key) return;
      for (int i = 0; i < ValuesEach; ++i)
        key->WriteDword("v" + std::to_string(t) + "_" + std::to_string(i), i);
    });
  }
  for (auto& thread : threads) thread.join();
  auto key = TRegistryKey::Open(TRegHive::CurrentUser, test.Path(), false);
  ASSERT_TRUE(key);
  for (int t = 0; t < Threads; ++t)
    for (int i = 0; i < ValuesEach; ++i) {
      auto value = key->Read("v" + std::to_string(t) + "_" + std::to_string(i));
      ASSERT_TRUE(value) << t << " " << i;
      EXPECT_EQ(value->Data[0], static_cast<char>(i));
    }
}

TEST(Registry, ExpandableTextsReadAsTexts) {
  TTestKey test;
  auto key = TRegistryKey::Open(TRegHive::CurrentUser, test.Path(), true);
  ASSERT_TRUE(key);
  key->WriteExpandString("Folder", "%APPDATA%\\Kelda");
  auto again = TRegistryKey::Open(TRegHive::CurrentUser, test.Path(), false);
  ASSERT_TRUE(again);
  auto folder = again->Read("folder");
  ASSERT_TRUE(folder);
  EXPECT_EQ(folder->Type, TRegValueType::String);
  EXPECT_EQ(folder->Data, "%APPDATA%\\Kelda");  // the reference stays as written
  // Other values of the key are rewritten around it without changing it.
  key->WriteDword("Other", 1);
  EXPECT_EQ(again->Read("Folder")->Data, "%APPDATA%\\Kelda");
  EXPECT_THROW(key->WriteExpandString("Nul", std::string("a\0b", 3)), ERegistryException);
}

#ifndef _WIN32
// The file-backed hives: a hive that cannot be read is not taken for an empty one (the next
// change would replace every key in it), and rewriting a hive keeps its owner's permissions.
// The hive used here is one no other test touches.
TEST(Registry, AHiveFileThatCannotBeReadIsLeftAlone) {
  namespace fs = std::filesystem;
  const char* folder = std::getenv("KELDA_REGISTRY_DIR");
  ASSERT_TRUE(folder) << "the tests set the registry folder";
  const fs::path hive = fs::path(folder) / "HKEY_CURRENT_CONFIG.reg";
  const std::string path = "KeldaTest\\Unreadable";
  auto key = TRegistryKey::Open(TRegHive::CurrentConfig, path, true);
  ASSERT_TRUE(key);
  key->WriteDword("v", 7);

  const auto mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  fs::permissions(hive, mode);
  key->WriteDword("w", 8);
  EXPECT_EQ(fs::status(hive).permissions(), mode);

  // A hive whose reading fails (a link to a file that refuses every read, as a damaged disk
  // does; file modes would not stop the superuser the tests may run as).
  if (!fs::exists("/proc/self/mem")) GTEST_SKIP() << "no file that refuses reads";
  const fs::path kept = hive.string() + ".kept";
  fs::rename(hive, kept);
  fs::create_symlink("/proc/self/mem", hive);
  EXPECT_FALSE(TRegistryKey::Open(TRegHive::CurrentConfig, path, false));
  EXPECT_FALSE(TRegistryKey::Open(TRegHive::CurrentConfig, "KeldaTest\\New", true));
  EXPECT_FALSE(key->Read("v"));
  EXPECT_THROW(key->WriteDword("x", 1), ERegistryException);
  EXPECT_FALSE(key->DeleteValue("v"));
  EXPECT_FALSE(RegistryKeyExists(TRegHive::CurrentConfig, path));
  EXPECT_THROW(DeleteRegistryKeyTree(TRegHive::CurrentConfig, "KeldaTest"), ERegistryException);
  const bool stillTheLink = fs::is_symlink(fs::symlink_status(hive));
  fs::remove(hive);
  fs::rename(kept, hive);
  EXPECT_TRUE(stillTheLink) << "the unreadable hive was replaced";

  // Readable again: every value is still there.
  ASSERT_TRUE(key->Read("v"));
  EXPECT_EQ(key->Read("w")->Data, std::string("\x08\0\0\0", 4));
  DeleteRegistryKeyTree(TRegHive::CurrentConfig, "KeldaTest");
}
#endif
