#include "Plugins/zorPluginSettings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <string>

#include "Plugins/zorPluginModule.h"
#include "platform/File.h"
#include "platform/Registry.h"
#include "tests/support/RegistryTestKey.h"

using namespace kelda;
using platform::TRegHive;

namespace {

using test::TTestKey;
using test::UniqueName;

std::string TempIniPath() {
  return (std::filesystem::temp_directory_path() / ("kelda_" + UniqueName() + ".ini")).string();
}

std::atomic<bool>* BusyFlag = nullptr;
bool SeenBusy = false;

class TProbeSettings : public TProxyCodeCustomObject {
public:
  using TProxyCodeCustomObject::TProxyCodeCustomObject;
  const TPropertyTable& PublishedProperties() const override;
  int32_t Probe = 0;
};

const TPropertyInfo ProbeProperties[] = {
    {"Probe", TPropertyKind::Integer,
     [](const TObject& o) -> TPropertyValue {
       SeenBusy = BusyFlag && BusyFlag->load();
       return static_cast<const TProbeSettings&>(o).Probe;
     },
     [](TObject& o, const TPropertyValue& v) {
       SeenBusy = BusyFlag && BusyFlag->load();
       static_cast<TProbeSettings&>(o).Probe = std::get<int32_t>(v);
     }},
};
const TPropertyTable ProbeTable{nullptr, ProbeProperties};
const TPropertyTable& TProbeSettings::PublishedProperties() const {
  return ProbeTable;
}

std::string LogText(TzorPlugin& plugin) {
  std::string buffer(65536, '\0');
  uint32_t length = 0;
  const int32_t n = plugin.Log()->HandOver(buffer.data(), static_cast<int32_t>(buffer.size()), length);
  return buffer.substr(0, static_cast<std::size_t>(n > 0 ? n : 0));
}

int Occurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

}  // namespace

TEST(PluginSettings, OperationsUseTheInstancesLocationAndLogProblems) {
  TTestKey key;
  const std::string ini = TempIniPath();
  TzorPlugin plugin(nullptr, 0);
  BusyFlag = &plugin.SettingsBusy;
  TStringList map;
  map.Add("Probe,Probe Value");
  TProbeSettings settings(nullptr);

  plugin.ModuleRegistryPath = key.Path();
  EXPECT_FALSE(LoadSettings(plugin, map, settings)) << "nothing saved yet";
  settings.Probe = 17;
  EXPECT_TRUE(SaveSettings(plugin, map, settings));
  EXPECT_TRUE(SeenBusy);
  EXPECT_FALSE(plugin.SettingsBusy);
  settings.Probe = 0;
  SeenBusy = false;
  EXPECT_TRUE(LoadSettings(plugin, map, settings));
  EXPECT_TRUE(SeenBusy);
  EXPECT_EQ(settings.Probe, 17);
  EXPECT_TRUE(platform::RegistryKeyExists(TRegHive::LocalMachine, key.Path()));  // root 2 first

  // A first run, with nothing saved yet, is nothing to report.
  plugin.ModuleRegistryPath = key.Path() + "\\Fresh";
  EXPECT_FALSE(LoadSettings(plugin, map, settings));
  EXPECT_EQ(LogText(plugin), "");
  plugin.ModuleRegistryPath = key.Path();

  plugin.INIFile = ini;
  plugin.INISectionPrefix = "P\\";
  EXPECT_TRUE(SaveSettings(plugin, map, settings));
  EXPECT_EQ(platform::ReadWholeFile(ini).value_or("<missing>"), "[P]\r\nProbe Value=17\r\n\r\n");
  EXPECT_EQ(LogText(plugin), "");

  plugin.INIFile = (std::filesystem::path(ini) / "missing" / "x.ini").string();
  EXPECT_FALSE(SaveSettings(plugin, map, settings));
  EXPECT_FALSE(plugin.SettingsBusy);
  EXPECT_NE(LogText(plugin).find("{SAVE-SETTINGS} INI file"), std::string::npos);
  BusyFlag = nullptr;
  std::filesystem::remove(ini);
}

// Settings are loaded at every change of state; an instance that has no place for them says so
// once, and again only after it had one in between.
TEST(PluginSettings, NoSettingsLocationIsLoggedOnce) {
  TTestKey key;
  TzorPlugin plugin(nullptr, 0);
  TStringList map;
  map.Add("Probe,Probe Value");
  TProbeSettings settings(nullptr);

  for (int i = 0; i < 3; ++i) EXPECT_FALSE(LoadSettings(plugin, map, settings));
  EXPECT_FALSE(SaveSettings(plugin, map, settings));
  EXPECT_EQ(Occurrences(LogText(plugin), "no registry path"), 1);

  // An INI file not yet written is a location: a load finds nothing and has nothing to report.
  plugin.INIFile = TempIniPath();
  EXPECT_FALSE(LoadSettings(plugin, map, settings));
  EXPECT_EQ(LogText(plugin), "");
  plugin.INIFile.clear();

  plugin.ModuleRegistryPath = key.Path();
  EXPECT_TRUE(SaveSettings(plugin, map, settings));
  plugin.ModuleRegistryPath.clear();
  for (int i = 0; i < 2; ++i) EXPECT_FALSE(LoadSettings(plugin, map, settings));
  EXPECT_EQ(Occurrences(LogText(plugin), "no registry path"), 1) << "the location went away again";
}

// Settings that could not be loaded hold defaults: a save would put them over the stored ones.
// While another writer holds the INI file a load reads nothing; every save after it is refused
// and logged, until a load succeeds. Settings never loaded are refused the same way.
TEST(PluginSettings, SettingsThatCouldNotBeLoadedAreNeverSavedOverTheStore) {
  const std::string ini = TempIniPath();
  const std::string stored = "[Common]\r\nProbe Value=42\r\n\r\n";
  {
    platform::TFileWriter first(ini);
    first.Write(stored);
    first.Close();
  }
  TzorPlugin plugin(nullptr, 0);
  plugin.INIFile = ini;
  TStringList map;
  map.Add("Probe,Probe Value");
  TProbeSettings settings(nullptr);

  EXPECT_FALSE(SaveSettings(plugin, map, settings)) << "never loaded";
  EXPECT_NE(LogText(plugin).find("{SAVE-SETTINGS} the settings were not saved"), std::string::npos);
  {
    platform::TFileWriter other(ini);  // another writer holds the file
    EXPECT_FALSE(LoadSettings(plugin, map, settings));
  }
  EXPECT_EQ(settings.Probe, 0);
  EXPECT_NE(LogText(plugin).find("{LOAD-SETTINGS} INI file"), std::string::npos);
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(SaveSettings(plugin, map, settings));
    EXPECT_NE(LogText(plugin).find("{SAVE-SETTINGS} the settings were not saved"), std::string::npos);
  }
  EXPECT_EQ(platform::ReadWholeFile(ini).value_or(""), stored) << "the stored settings stay";

  EXPECT_TRUE(LoadSettings(plugin, map, settings));
  EXPECT_EQ(settings.Probe, 42);
  settings.Probe = 43;
  EXPECT_TRUE(SaveSettings(plugin, map, settings));
  EXPECT_EQ(platform::ReadWholeFile(ini).value_or(""), "[Common]\r\nProbe Value=43\r\n\r\n");
  EXPECT_EQ(LogText(plugin), "");
  std::filesystem::remove(ini);
}
