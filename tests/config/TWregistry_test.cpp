#include "config/TWregistry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Common/BigIni.h"
#include "module/PluginDM.h"
#include "platform/File.h"
#include "platform/NamedLock.h"
#include "platform/Registry.h"
#include "tests/support/RegistryTestKey.h"

using namespace kelda;
using platform::TRegHive;
using platform::TRegistryKey;
using platform::TRegValueType;

namespace {

using test::TTestKey;
using test::UniqueName;

// A file name of its own in the temporary folder, removed afterwards.
class TTestFile {
public:
  TTestFile()
      : FPath((std::filesystem::temp_directory_path() / ("kelda_" + UniqueName() + ".ini")).string()) {}
  ~TTestFile() {
    platform::SetFileReadOnly(FPath, false);
    std::error_code ignored;
    std::filesystem::remove_all(FPath, ignored);
  }
  const std::string& Path() const { return FPath; }
  void Write(const std::string& bytes) const {
    std::ofstream(FPath, std::ios::binary | std::ios::trunc) << bytes;
  }
  std::string Read() const { return platform::ReadWholeFile(FPath).value_or("<missing>"); }

private:
  std::string FPath;
};

void FillMap(TStringList& map) {
  for (const auto& line : PropertyMapLines()) map.Add(line.Text);
}

// A store on a registry path or an INI file with the module's property map.
std::unique_ptr<TWreg> Store(const std::string& registryPath, const std::string& iniFile = {},
                             const std::string& prefix = {}) {
  auto store = std::make_unique<TWreg>(nullptr);
  store->RegistryPath = registryPath;
  store->INIFile = iniFile;
  store->INIFileSectionPrefix = prefix;
  FillMap(store->Components);
  return store;
}

void SetNonDefaults(TDataSourceCfg& cfg) {
  cfg.Left = -20;
  cfg.Top = 0x7FFFFFFF;
  cfg.Height = 1;
  cfg.Width = 2;
  cfg.lblParams_Caption = "A<B\r\nC";
  cfg.OpenDialog_FileName =
      "  C:\\Daten\\M\xFC"
      "ller 50% + 5 ";
  cfg.SaveDialog_FileName = "";
  cfg.spMinInt_Value = 0.1;
  cfg.comboProto_ItemIndex = 3;
  cfg.spLocalAddress_Value = -1.5e300;
}

void ExpectEqualSettings(const TDataSourceCfg& a, const TDataSourceCfg& b) {
  EXPECT_EQ(a.Left, b.Left);
  EXPECT_EQ(a.Top, b.Top);
  EXPECT_EQ(a.Height, b.Height);
  EXPECT_EQ(a.Width, b.Width);
  EXPECT_EQ(a.lblParams_Caption, b.lblParams_Caption);
  EXPECT_EQ(a.OpenDialog_FileName, b.OpenDialog_FileName);
  EXPECT_EQ(a.SaveDialog_FileName, b.SaveDialog_FileName);
  EXPECT_EQ(a.spMinInt_Value, b.spMinInt_Value);
  EXPECT_EQ(a.comboProto_ItemIndex, b.comboProto_ItemIndex);
  EXPECT_EQ(a.spLocalAddress_Value, b.spLocalAddress_Value);
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Text encoding, map lines, sections

TEST(SettingsText, EncodingIsOneLineAndComesBackUnchanged) {
  const std::pair<std::string, std::string> known[] = {
      {"A<B\r\nC", "A<B%0D%0AC"},
      {"50% + 5", "50%% %2B 5"},
      {"  x", "++x"},
      {"a  b", "a+ b"},
      {"x ", "x+"},  // an INI file would lose a plain space at the end
      {" ", "+"},
      {"", ""},
      {"\xE9t\xE9", "%C3%A9t%C3%A9"},  // system code page text goes out as UTF-8
      {"tab\there", "tab%09here"},
  };
  for (const auto& [text, stored] : known) {
    EXPECT_EQ(EncodeSettingText(text), stored) << text;
    EXPECT_EQ(DecodeSettingText(stored), text) << stored;
  }

  std::string every;
  for (int i = 0; i < 256; ++i) every += static_cast<char>(i);
  const std::string stored = EncodeSettingText(every);
  for (unsigned char c : stored) EXPECT_TRUE(c >= 0x20 && c <= 0x7F) << int(c);
  EXPECT_EQ(DecodeSettingText(stored), every);

  // Stored texts this store did not write.
  EXPECT_EQ(DecodeSettingText("100%"), "100%");
  EXPECT_EQ(DecodeSettingText("%G1%4"), "%G1%4");
  EXPECT_EQ(DecodeSettingText("%%41"), "%41");
  EXPECT_EQ(DecodeSettingText("%4a%4A"), "JJ");
  EXPECT_EQ(DecodeSettingText("caf\xE9+%41"), "caf\xE9 A");  // raw system code page text stays
  EXPECT_EQ(DecodeSettingText("%FF%FEx"), "\xFF\xFEx");      // not UTF-8: kept as it is
  EXPECT_EQ(DecodeSettingText("%"), "%");
}

TEST(PropertyMap, LinesKeysAndSections) {
  struct TCase {
    const char* Line;
    const char* Property;
    const char* SubPath;
    const char* Name;
  };
  const TCase usable[] = {
      {"Left,Left", "Left", "", "Left"},
      {"  lblParams.Caption , Parser config  ", "lblParams.Caption", "", "Parser config"},
      {"Top;Top", "Top", "", "Top"},
      {"Top,Top ; the window", "Top", "", "Top"},
      {"A,Sub\\Name", "A", "Sub", "Name"},
      {"A,\\Sub\\\\Deep\\Name", "A", "Sub\\Deep", "Name"},
      {"A,\\\\Name", "A", "", "Name"},
      {"A,x;y,z", "A", "", "x"},
  };
  for (const TCase& c : usable) {
    auto line = ParsePropertyMapLine(c.Line);
    ASSERT_TRUE(line) << c.Line;
    EXPECT_EQ(line->PropertyName, c.Property) << c.Line;
    EXPECT_EQ(line->SubPath, c.SubPath) << c.Line;
    EXPECT_EQ(line->ValueName, c.Name) << c.Line;
  }
  for (const char* skipped :
       {"", "   ", ";---short---", " ; x,y", "Left", "Left,", ",Left", "Left, ;x", "A,Sub\\", "A,\\", "\x01"})
    EXPECT_FALSE(ParsePropertyMapLine(skipped)) << skipped;

  EXPECT_EQ(IniSectionFor("", ""), "Common");
  EXPECT_EQ(IniSectionFor("", "Dev1"), "Dev1.Common");
  EXPECT_EQ(IniSectionFor("", "Dev1\\"), "Dev1");
  EXPECT_EQ(IniSectionFor("", "Dev1/"), "Dev1");
  EXPECT_EQ(IniSectionFor("Sub\\Deep", ""), "Sub.Deep");
  EXPECT_EQ(IniSectionFor("Sub", "Host\\Dev1\\"), "Host.Dev1.Sub");
  EXPECT_EQ(IniSectionFor("Sub", "Dev1"), "Dev1.Sub");
}

// ---------------------------------------------------------------------------------------------
// Registry

TEST(SettingsStore, RegistryRoundTripAndStoredForms) {
  TTestKey key;
  TDataSourceCfg saved(nullptr);
  SetNonDefaults(saved);
  auto store = Store(key.Path() + "\\\\");  // trailing backslashes are not part of the path
  EXPECT_TRUE(store->Save(saved));
  EXPECT_EQ(Joined(store->Problems()), "");

  auto raw = TRegistryKey::Open(TRegHive::LocalMachine, key.Path(), false);
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->Read("Proto")->Type, TRegValueType::Dword);
  EXPECT_EQ(raw->Read("Proto")->Data, std::string("\x03\0\0\0", 4));
  EXPECT_EQ(raw->Read("Left")->Data, std::string("\xEC\xFF\xFF\xFF", 4));
  EXPECT_EQ(raw->Read("Min interval")->Type, TRegValueType::Binary);
  EXPECT_EQ(raw->Read("Min interval")->Data, std::string("\x9A\x99\x99\x99\x99\x99\xB9\x3F", 8));
  EXPECT_EQ(raw->Read("Parser config")->Type, TRegValueType::String);
  EXPECT_EQ(raw->Read("Parser config")->Data, "A<B%0D%0AC");
  EXPECT_EQ(raw->Read("Open files dir")->Data, "++C:\\Daten\\M%C3%BCller 50%% %2B 5+");
  EXPECT_EQ(raw->Read("Save files dir")->Data, "");
  for (const char* unmapped : {"Remote address", "CPU rack", "CPU slot"}) EXPECT_FALSE(raw->Read(unmapped));
  EXPECT_FALSE(platform::RegistryKeyExists(TRegHive::CurrentUser, key.Path()));  // the first hive served

  TDataSourceCfg loaded(nullptr);
  EXPECT_TRUE(Store(key.Path())->Load(loaded));
  ExpectEqualSettings(loaded, saved);
}

TEST(SettingsStore, RegistryValuesOfTheWrongTypeAreRemoved) {
  TTestKey key;
  auto raw = TRegistryKey::Open(TRegHive::LocalMachine, key.Path(), true);
  ASSERT_TRUE(raw);
  raw->WriteString("Proto", "3");
  raw->WriteDword("Min interval", 5);
  raw->WriteBinary("Left", std::string("\x01\x02\x03\x04", 4));
  raw->WriteBinary("Local address", std::string(7, '\0'));
  raw->WriteDword("Parser config", static_cast<uint32_t>(-42));
  raw->WriteBinary("Open files dir", std::string("\0\0\0\0\0\0\xF8\x3F", 8));
  raw->WriteBinary("Save files dir", "abc");
  raw->WriteDword("Top", 77);

  TDataSourceCfg cfg(nullptr);
  cfg.SaveDialog_FileName = "kept";
  auto store = Store(key.Path());
  EXPECT_TRUE(store->Load(cfg));
  EXPECT_EQ(cfg.comboProto_ItemIndex, 2);
  EXPECT_EQ(cfg.spMinInt_Value, 0);
  EXPECT_EQ(cfg.Left, 326);
  EXPECT_EQ(cfg.spLocalAddress_Value, 1);
  EXPECT_EQ(cfg.SaveDialog_FileName, "kept");
  EXPECT_EQ(cfg.lblParams_Caption, "-42");  // numbers are read into texts
  EXPECT_EQ(cfg.OpenDialog_FileName, "1.5");
  EXPECT_EQ(cfg.Top, 77);
  for (const char* removed : {"Proto", "Min interval", "Left", "Local address", "Save files dir"})
    EXPECT_FALSE(raw->Read(removed)) << removed;
  EXPECT_TRUE(raw->Read("Parser config"));
  EXPECT_EQ(store->Problems().size(), 5u) << Joined(store->Problems());
}

TEST(SettingsStore, RegistryHivesAndPaths) {
  TTestKey key;
  // Present only in the second hive: the first does not have it, so loading falls back.
  auto user = TRegistryKey::Open(TRegHive::CurrentUser, key.Path() + "\\Sub", true);
  ASSERT_TRUE(user);
  auto userBase = TRegistryKey::Open(TRegHive::CurrentUser, key.Path(), false);
  userBase->WriteDword("Proto", 0);
  TDataSourceCfg cfg(nullptr);
  EXPECT_TRUE(Store(key.Path())->Load(cfg));
  EXPECT_EQ(cfg.comboProto_ItemIndex, 0);
  EXPECT_FALSE(platform::RegistryKeyExists(TRegHive::LocalMachine, key.Path()));  // loading creates nothing

  // Saving creates the key in the first hive; keys of a sub-path live below it.
  auto sub = Store(key.Path());
  sub->Components.Clear();
  sub->Components.Add("Width,Sub\\Deeper\\Width");
  cfg.Width = 1234;
  EXPECT_TRUE(sub->Save(cfg));
  auto deeper = TRegistryKey::Open(TRegHive::LocalMachine, key.Path() + "\\Sub\\Deeper", false);
  ASSERT_TRUE(deeper);
  EXPECT_EQ(deeper->Read("Width")->Data, std::string("\xD2\x04\0\0", 4));

  // A path in neither hive (nothing saved yet): nothing is read, nothing is created, and
  // nothing went wrong.
  TDataSourceCfg untouched(nullptr);
  auto absent = Store(key.Path() + "\\Absent");
  EXPECT_FALSE(absent->Load(untouched));
  EXPECT_EQ(Joined(absent->Problems()), "");
  EXPECT_EQ(untouched.comboProto_ItemIndex, 2);
  EXPECT_FALSE(platform::RegistryKeyExists(TRegHive::CurrentUser, key.Path() + "\\Absent"));
  EXPECT_FALSE(platform::RegistryKeyExists(TRegHive::LocalMachine, key.Path() + "\\Absent"));

  // No hive, no path, or a path the registry refuses: the operation fails and writes nothing.
  auto noHive = Store(key.Path() + "\\NoHive");
  noHive->RegistryRoot = rrNone;
  EXPECT_FALSE(noHive->Save(cfg));
  EXPECT_FALSE(platform::RegistryKeyExists(TRegHive::CurrentUser, key.Path() + "\\NoHive"));
  auto noPath = Store("\\");
  EXPECT_FALSE(noPath->Save(cfg));
  EXPECT_FALSE(noPath->Problems().empty());
  auto refused = Store(key.Path() + "\\" + std::string(300, 'x'));
  EXPECT_FALSE(refused->Save(cfg));
  EXPECT_EQ(refused->Problems().size(), 1u);  // a save that cannot create the path says so
}

TEST(SettingsStore, RegistryPathFromTheHiveRootAndExpandableTexts) {
  TTestKey key;
  // A leading backslash names the same path from the hive's root.
  TDataSourceCfg saved(nullptr);
  SetNonDefaults(saved);
  auto store = Store("\\\\" + key.Path());
  EXPECT_TRUE(store->Save(saved));
  EXPECT_EQ(Joined(store->Problems()), "");
  auto raw = TRegistryKey::Open(TRegHive::LocalMachine, key.Path(), false);
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->Read("Proto")->Data, std::string("\x03\0\0\0", 4));
  TDataSourceCfg loaded(nullptr);
  auto reader = Store("\\" + key.Path() + "\\");
  EXPECT_TRUE(reader->Load(loaded));
  EXPECT_EQ(Joined(reader->Problems()), "");
  ExpectEqualSettings(loaded, saved);

  // A text stored as an expandable text (by an installer or by hand) is read as it stands and
  // stays in the registry.
  raw->WriteExpandString("Open files dir", "%TEMP%\\Kelda");
  TDataSourceCfg expanded(nullptr);
  auto again = Store(key.Path());
  EXPECT_TRUE(again->Load(expanded));
  EXPECT_EQ(expanded.OpenDialog_FileName, "%TEMP%\\Kelda");
  EXPECT_EQ(Joined(again->Problems()), "");
  ASSERT_TRUE(raw->Read("Open files dir"));
  EXPECT_EQ(raw->Read("Open files dir")->Data, "%TEMP%\\Kelda");
}

#ifndef _WIN32
// A hive the user may only read counts as failed, so saving falls back to the second hive.
// (The Windows counterpart needs an account without administrator rights.)
TEST(SettingsStore, ReadOnlyHiveFallsBackToTheSecond) {
  TTestKey key;
  const char* folder = std::getenv("KELDA_REGISTRY_DIR");
  ASSERT_TRUE(folder) << "the tests set the registry folder";
  ASSERT_TRUE(TRegistryKey::Open(TRegHive::LocalMachine, key.Path(), true));
  const std::string hive = std::string(folder) + "/HKEY_LOCAL_MACHINE.reg";
  ASSERT_TRUE(platform::SetFileReadOnly(hive, true));
  TDataSourceCfg cfg(nullptr);
  cfg.Height = 99;
  const bool saved = Store(key.Path())->Save(cfg);
  platform::SetFileReadOnly(hive, false);
  EXPECT_TRUE(saved);
  auto user = TRegistryKey::Open(TRegHive::CurrentUser, key.Path(), false);
  ASSERT_TRUE(user);
  EXPECT_EQ(user->Read("Height")->Data, std::string("\x63\0\0\0", 4));
}
#endif

// ---------------------------------------------------------------------------------------------
// INI file

TEST(SettingsStore, IniFileRoundTripSectionsAndValueForms) {
  TTestFile file;
  file.Write("[Host]\r\nmine=1\r\n\r\n");
  TDataSourceCfg saved(nullptr);
  SetNonDefaults(saved);
  auto store = Store("", file.Path(), "Dev1");
  EXPECT_TRUE(store->Save(saved));
  EXPECT_EQ(Joined(store->Problems()), "");
  {
    TBigIniFile ini(file.Path());
    EXPECT_EQ(ini.ReadString("Host", "mine", ""), "1");  // the host's own sections stay
    EXPECT_EQ(ini.ReadString("Dev1.Common", "Proto", ""), "3");
    EXPECT_EQ(ini.ReadString("Dev1.Common", "Left", ""), "-20");
    EXPECT_EQ(ini.ReadString("Dev1.Common", "Min interval", ""), "0.1");
    EXPECT_EQ(ini.ReadString("Dev1.Common", "Parser config", ""), "A<B%0D%0AC");
    EXPECT_EQ(ini.ReadString("Dev1.Common", "Open files dir", ""), "++C:\\Daten\\M%C3%BCller 50%% %2B 5+");
    EXPECT_FALSE(ini.ValueExists("Dev1.Common", "Remote address"));
  }
  TDataSourceCfg loaded(nullptr);
  EXPECT_TRUE(Store("", file.Path(), "Dev1")->Load(loaded));
  ExpectEqualSettings(loaded, saved);

  // With a prefix that ends in a backslash the prefix is the section.
  EXPECT_TRUE(Store("", file.Path(), "Dev2\\")->Save(saved));
  EXPECT_EQ(TBigIniFile(file.Path()).ReadString("Dev2", "Proto", ""), "3");

  // Hexadecimal integers are read; unreadable numbers read as 0; a decimal comma is a point.
  file.Write(
      "[Common]\r\nProto=0x1F\r\nLeft=abc\r\nMin interval=2,5\r\nLocal address=x\r\n"
      "[common]\r\nTop=1\r\n");
  const std::string before = file.Read();
  TDataSourceCfg odd(nullptr);
  EXPECT_TRUE(Store("", file.Path())->Load(odd));
  EXPECT_EQ(odd.comboProto_ItemIndex, 31);
  EXPECT_EQ(odd.Left, 0);
  EXPECT_EQ(odd.spMinInt_Value, 2.5);
  EXPECT_EQ(odd.spLocalAddress_Value, 0);
  EXPECT_EQ(odd.Top, 144);  // in the dropped duplicate section
  EXPECT_EQ(file.Read(), before) << "loading never rewrites the file";
}

// The host shares its own INI file with the module; an editor may have saved it as UTF-8 with a
// byte-order mark and left a blank after a section line.
TEST(SettingsStore, IniFileWithAByteOrderMarkKeepsTheHostsSection) {
  TTestFile file;
  file.Write("\xEF\xBB\xBF[Host]\r\nmine=1\r\n\r\n[Dev1.Common] \r\nProto=1\r\nLeft=7\r\n\r\n");
  TDataSourceCfg loaded(nullptr);
  EXPECT_TRUE(Store("", file.Path(), "Dev1")->Load(loaded));
  EXPECT_EQ(loaded.comboProto_ItemIndex, 1);
  EXPECT_EQ(loaded.Left, 7);

  TDataSourceCfg saved(nullptr);
  SetNonDefaults(saved);
  auto store = Store("", file.Path(), "Dev1");
  EXPECT_TRUE(store->Save(saved));
  EXPECT_EQ(Joined(store->Problems()), "");
  const std::string text = file.Read();
  EXPECT_EQ(text.substr(0, 21), "\xEF\xBB\xBF[Host]\r\nmine=1\r\n\r\n")
      << "the mark and the host's section stay";
  EXPECT_EQ(text.find("[Dev1.Common]"), text.rfind("[Dev1.Common]")) << "one section, not two";
  TBigIniFile ini(file.Path());
  EXPECT_EQ(ini.ReadString("Host", "mine", ""), "1");
  EXPECT_EQ(ini.ReadString("Dev1.Common", "Proto", ""), "3");
}

TEST(SettingsStore, IniFileChoiceAndCustomStore) {
  TTestKey key;
  TTestFile file;
  TDataSourceCfg inRegistry(nullptr);
  inRegistry.Width = 555;
  ASSERT_TRUE(Store(key.Path())->Save(inRegistry));

  // The INI file does not exist: loading reads the registry, saving creates the file.
  TDataSourceCfg cfg(nullptr);
  EXPECT_TRUE(Store(key.Path(), file.Path())->Load(cfg));
  EXPECT_EQ(cfg.Width, 555);
  EXPECT_FALSE(platform::FileExists(file.Path()));
  cfg.Width = 777;
  EXPECT_TRUE(Store(key.Path(), file.Path())->Save(cfg));
  EXPECT_EQ(TBigIniFile(file.Path()).ReadInteger("Common", "Width", 0), 777);
  TDataSourceCfg fromIni(nullptr);
  EXPECT_TRUE(Store(key.Path(), file.Path())->Load(fromIni));
  EXPECT_EQ(fromIni.Width, 777);

  // The host keeps the values: nothing without hooks, the hooks' values with them.
  auto custom = Store(key.Path(), "$CUSTOM$");
  TDataSourceCfg untouched(nullptr);
  EXPECT_FALSE(custom->Load(untouched));
  EXPECT_FALSE(custom->Save(cfg));
  EXPECT_EQ(untouched.Width, 481);
  std::vector<std::string> keys;
  custom->GetValue = [](TWreg&, const std::string& name, TPropertyValue& value) {
    if (name != "Proto") return false;
    value = int32_t{1};
    return true;
  };
  custom->SetValue = [&](TWreg&, const std::string& name, const TPropertyValue&) { keys.push_back(name); };
  custom->BeforeProcessItem = [](TWreg&, const std::string& property, const std::string&, bool& skip) {
    skip = property == "Left";
  };
  EXPECT_TRUE(custom->Load(untouched));
  EXPECT_EQ(untouched.comboProto_ItemIndex, 1);
  EXPECT_TRUE(custom->Save(cfg));
  EXPECT_EQ(keys.size(), 15u);  // sixteen mapped properties, one skipped
  EXPECT_EQ(keys.front(), "Top");
}

TEST(SettingsStore, IniFailuresKeepTheUsersFile) {
  TTestFile file;
  const std::string original = "[Common]\r\nProto=1\r\nHost=keep\r\n\r\n";
  file.Write(original);
  TDataSourceCfg cfg(nullptr);
  cfg.comboProto_ItemIndex = 3;

  // Read-only: the save is reported and the file keeps its content.
  ASSERT_TRUE(platform::SetFileReadOnly(file.Path(), true));
  auto store = Store("", file.Path());
  EXPECT_FALSE(store->Save(cfg));
  ASSERT_EQ(store->Problems().size(), 1u);
  EXPECT_NE(store->Problems()[0].find("not written"), std::string::npos);
  EXPECT_EQ(file.Read(), original);
  EXPECT_TRUE(store->Load(cfg));  // reading still works
  EXPECT_EQ(cfg.comboProto_ItemIndex, 1);
  ASSERT_TRUE(platform::SetFileReadOnly(file.Path(), false));

  // In use by another writer: neither loading nor saving touches it.
  {
    platform::TFileWriter writer(file.Path());
    writer.Write(original);
    TDataSourceCfg untouched(nullptr);
    untouched.comboProto_ItemIndex = 3;
    EXPECT_FALSE(Store("", file.Path())->Load(untouched));
    EXPECT_EQ(untouched.comboProto_ItemIndex, 3);
    EXPECT_FALSE(Store("", file.Path())->Save(untouched));
    writer.Close();
  }
  EXPECT_EQ(file.Read(), original);

  // A folder that does not exist: the save fails and says so.
  const std::string lost = (std::filesystem::path(file.Path()) / "no_such_folder" / "x.ini").string();
  auto missing = Store("", lost);
  EXPECT_FALSE(missing->Save(cfg));
  EXPECT_EQ(missing->Problems().size(), 1u);

  // A folder in the file's place cannot be read: a save writes nothing.
  std::filesystem::remove(file.Path());
  std::filesystem::create_directory(file.Path());
  EXPECT_FALSE(Store("", file.Path())->Save(cfg));
  EXPECT_TRUE(std::filesystem::is_empty(file.Path()));
}

// Another process (here: another thread, as the lock is shared by threads too) keeps the INI
// file's lock: the operation waits a limited time, then fails with a reason and touches nothing.
TEST(SettingsStore, AnIniLockHeldElsewhereFailsTheOperationAndWritesNothing) {
  TTestFile file;
  const std::string original = "[Common]\r\nProto=1\r\n\r\n";
  file.Write(original);
  auto held = std::make_unique<platform::TNamedLock>(IniLockName(file.Path()));
  TDataSourceCfg cfg(nullptr);
  cfg.comboProto_ItemIndex = 3;
  std::vector<std::string> problems;
  bool saved = true, loaded = true;
  std::thread other([&] {
    auto store = Store("", file.Path());
    store->IniLockWaitMs = 50;
    saved = store->Save(cfg);
    problems = store->Problems();
    loaded = store->Load(cfg);
  });
  other.join();
  EXPECT_FALSE(saved);
  EXPECT_FALSE(loaded);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("locked for 50 ms"), std::string::npos) << problems[0];
  EXPECT_EQ(cfg.comboProto_ItemIndex, 3) << "nothing was read";
  EXPECT_EQ(file.Read(), original) << "nothing was written";
  EXPECT_EQ(Store("", file.Path())->IniLockWaitMs, 5000u);

  held.reset();
  std::thread after([&] { saved = Store("", file.Path())->Save(cfg); });
  after.join();
  EXPECT_TRUE(saved);
  EXPECT_EQ(TBigIniFile(file.Path()).ReadInteger("Common", "Proto", 0), 3);
}

// Two processes that spell one INI file differently (a name relative to the folder they run in,
// "./" before it, its full path) exclude each other: a save under one spelling waits for the
// lock held under another.
TEST(SettingsStore, EverySpellingOfTheIniFileTakesTheOneLock) {
  const std::string name = "kelda_" + UniqueName() + ".ini";
  const std::string absolute = (std::filesystem::current_path() / name).string();
  const std::string original = "[Common]\r\nProto=1\r\n\r\n";
  std::ofstream(absolute, std::ios::binary) << original;
  TDataSourceCfg cfg(nullptr);
  cfg.comboProto_ItemIndex = 3;
  for (const std::string& held : {absolute, name}) {
    auto lock = std::make_unique<platform::TNamedLock>(IniLockName(held));
    for (const std::string& other : {name, "./" + name, absolute}) {
      if (other == held) continue;
      SCOPED_TRACE(held + " held, saved as " + other);
      bool saved = true;
      std::vector<std::string> problems;
      std::thread process([&] {
        auto store = Store("", other);
        store->IniLockWaitMs = 50;
        saved = store->Save(cfg);
        problems = store->Problems();
      });
      process.join();
      EXPECT_FALSE(saved);
      ASSERT_EQ(problems.size(), 1u);
      EXPECT_NE(problems[0].find("locked for 50 ms"), std::string::npos) << problems[0];
      EXPECT_EQ(platform::ReadWholeFile(absolute).value_or(""), original);
    }
  }
  EXPECT_TRUE(Store("", "./" + name)->Save(cfg)) << "free again";
  EXPECT_EQ(TBigIniFile(absolute).ReadInteger("Common", "Proto", 0), 3);
  platform::DeleteFileAt(absolute);
}

// A save replaces the file through a temporary one; what the user set on the file stays.
TEST(SettingsStore, IniSaveKeepsWhatTheUserSetOnTheFile) {
  TTestFile file;
  file.Write("[Host]\r\nmine=1\r\n\r\n");
  TDataSourceCfg cfg(nullptr);
#ifdef _WIN32
  constexpr uint32_t kHidden = 0x2;
  ASSERT_TRUE(platform::SetFileMode(file.Path(), platform::FileMode(file.Path()).value_or(0) | kHidden));
  auto store = Store("", file.Path());
  EXPECT_TRUE(store->Save(cfg));
  EXPECT_EQ(Joined(store->Problems()), "");
  EXPECT_EQ(platform::FileMode(file.Path()).value_or(0) & kHidden, kHidden);
  // Where the file cannot be replaced in place the values still arrive, and the store says what
  // was not kept.
  platform::SetReplaceFileRefused(true);
  cfg.Left = 12;
  EXPECT_TRUE(store->Save(cfg));
  platform::SetReplaceFileRefused(false);
  ASSERT_EQ(store->Problems().size(), 1u);
  EXPECT_NE(store->Problems()[0].find("security settings were not kept"), std::string::npos);
  EXPECT_EQ(TBigIniFile(file.Path()).ReadInteger("Common", "Left", 0), 12);
  EXPECT_EQ(platform::FileMode(file.Path()).value_or(0) & kHidden, kHidden);
  platform::SetFileMode(file.Path(), 0x80);
#else
  ASSERT_TRUE(platform::SetFileMode(file.Path(), 0640));
  auto store = Store("", file.Path());
  EXPECT_TRUE(store->Save(cfg));
  EXPECT_EQ(Joined(store->Problems()), "");
  EXPECT_EQ(platform::FileMode(file.Path()).value_or(0), 0640u);
#endif
  EXPECT_EQ(TBigIniFile(file.Path()).ReadString("Host", "mine", ""), "1");
}

TEST(SettingsStore, BadMapLinesAreIgnored) {
  TTestFile file;
  auto store = Store("", file.Path());
  store->Components.Clear();
  for (const char* line : {"Left", "Nothing,Here", "spRemoteAddress.Value,Remote address", ",Top", "Top,",
                           "Width,Sub\\", "Height,Bad\x01Name", "Height,a=b", "comboProto.ItemIndex,Proto"})
    store->Components.Add(line);
  TDataSourceCfg cfg(nullptr);
  EXPECT_TRUE(store->Save(cfg));
  EXPECT_EQ(file.Read(), "[Common]\r\nProto=2\r\n\r\n");
  EXPECT_EQ(store->Problems().size(), 2u) << Joined(store->Problems());  // the two keys INI cannot hold
}

TEST(SettingsStore, ConcurrentSavesToOneIniFileKeepBoth) {
  TTestFile file;
  constexpr int Rounds = 30;
  auto saver = [&](const std::string& prefix, int base) {
    TDataSourceCfg cfg(nullptr);
    for (int i = 0; i < Rounds; ++i) {
      cfg.Left = base + i;
      auto store = Store("", file.Path(), prefix);
      if (!store->Save(cfg)) ADD_FAILURE() << Joined(store->Problems());
    }
  };
  std::thread first(saver, "One", 1000);
  std::thread second(saver, "Two", 2000);
  first.join();
  second.join();
  TBigIniFile ini(file.Path());
  EXPECT_EQ(ini.ReadInteger("One.Common", "Left", 0), 1000 + Rounds - 1);
  EXPECT_EQ(ini.ReadInteger("Two.Common", "Left", 0), 2000 + Rounds - 1);
}
