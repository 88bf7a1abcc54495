// The speed settings in the settings store: each under its key in the INI file and in the
// registry, of the type its property has, read back as written.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "Plugins/zorPluginModule.h"
#include "Plugins/zorPluginSettings.h"
#include "module/PluginDM.h"
#include "platform/File.h"
#include "platform/Registry.h"
#include "tests/support/RegistryTestKey.h"

namespace kelda {
namespace {

void SetSpeedValues(TDataSourceCfg& cfg) {
  cfg.chkKeepSession_Checked = 1;
  cfg.chkSendWhenReady_Checked = 1;
  cfg.spHandshakeTimeout_Value = 750;
  cfg.spRetries_Value = 3;
  cfg.spDemoteAfter_Value = 4;
  cfg.spDemoteFor_Value = 12500.5;
}

void ExpectSpeedValues(const TDataSourceCfg& cfg) {
  EXPECT_EQ(cfg.chkKeepSession_Checked, 1);
  EXPECT_EQ(cfg.chkSendWhenReady_Checked, 1);
  EXPECT_EQ(cfg.spHandshakeTimeout_Value, 750.0);
  EXPECT_EQ(cfg.spRetries_Value, 3);
  EXPECT_EQ(cfg.spDemoteAfter_Value, 4);
  EXPECT_EQ(cfg.spDemoteFor_Value, 12500.5);
}

TEST(SpeedSettingsStore, RoundTripThroughTheIniFile) {
  const std::string ini =
      (std::filesystem::temp_directory_path() / ("kelda_speed_" + test::UniqueName() + ".ini")).string();
  TzorPlugin plugin(nullptr, 0);
  plugin.INIFile = ini;
  plugin.INISectionPrefix = "Dev1";
  TDataSourceCfg saved(nullptr);
  EXPECT_FALSE(LoadSettings(plugin, PropertyMapLines(), saved)) << "nothing saved yet";
  SetSpeedValues(saved);
  ASSERT_TRUE(SaveSettings(plugin, PropertyMapLines(), saved));
  const std::string text = platform::ReadWholeFile(ini).value_or("");
  for (const char* line : {"\r\nKeep session=1\r\n", "\r\nSend when ready=1\r\n", "\r\nRetries=3\r\n",
                           "\r\nDemote after=4\r\n", "\r\nHandshake timeout=750", "\r\nDemote for=12500.5"})
    EXPECT_NE(text.find(line), std::string::npos) << line << " in " << text;

  TDataSourceCfg loaded(nullptr);
  ASSERT_TRUE(LoadSettings(plugin, PropertyMapLines(), loaded));
  ExpectSpeedValues(loaded);

  // A file of an older version, without the keys, leaves the defaults: today's behaviour.
  {
    std::ofstream out(ini, std::ios::binary | std::ios::trunc);
    out << "[Dev1.Common]\r\nProto=3\r\n";
  }
  TDataSourceCfg older(nullptr);
  ASSERT_TRUE(LoadSettings(plugin, PropertyMapLines(), older));
  EXPECT_EQ(older.comboProto_ItemIndex, 3);
  EXPECT_FALSE(SpeedSettingsOf(older).Timed());
  EXPECT_EQ(SpeedSettingsOf(older).HandshakeTimeout, 2000);
  std::filesystem::remove(ini);
}

TEST(SpeedSettingsStore, RoundTripThroughTheRegistryWithTheValueTypesOfTheProperties) {
  test::TTestKey key;
  TzorPlugin plugin(nullptr, 0);
  plugin.ModuleRegistryPath = key.Path();
  TDataSourceCfg saved(nullptr);
  EXPECT_FALSE(LoadSettings(plugin, PropertyMapLines(), saved)) << "nothing saved yet";
  SetSpeedValues(saved);
  ASSERT_TRUE(SaveSettings(plugin, PropertyMapLines(), saved));

  auto stored = platform::TRegistryKey::Open(platform::TRegHive::LocalMachine, key.Path(), false);
  ASSERT_NE(stored, nullptr);
  for (const char* name : {"Keep session", "Send when ready", "Retries", "Demote after"}) {
    auto value = stored->Read(name);
    ASSERT_TRUE(value.has_value()) << name;
    EXPECT_EQ(value->Type, platform::TRegValueType::Dword) << name;
  }
  auto handshake = stored->Read("Handshake timeout");
  ASSERT_TRUE(handshake.has_value());
  EXPECT_EQ(handshake->Type, platform::TRegValueType::Binary);
  ASSERT_EQ(handshake->Data.size(), 8u);
  double value = 0;
  std::memcpy(&value, handshake->Data.data(), 8);
  EXPECT_EQ(value, 750.0);

  TDataSourceCfg loaded(nullptr);
  ASSERT_TRUE(LoadSettings(plugin, PropertyMapLines(), loaded));
  ExpectSpeedValues(loaded);

  // A check box stored as text is not a value of its type: dropped, the default kept.
  stored->WriteString("Keep session", "1");
  TDataSourceCfg wrongType(nullptr);
  ASSERT_TRUE(LoadSettings(plugin, PropertyMapLines(), wrongType));
  EXPECT_EQ(wrongType.chkKeepSession_Checked, 0);
  EXPECT_FALSE(stored->Read("Keep session").has_value());
}

}  // namespace
}  // namespace kelda
