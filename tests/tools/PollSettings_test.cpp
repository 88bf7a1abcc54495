// "--setting KEY=VALUE": the keys and ranges the poller accepts are the module's own (its
// settings store's map, its settings object, its options dialog), and a key or value the module
// would not read as meant is refused before the run with what would do.
#include "tools/PollSettings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Common/PublishedProperties.h"
#include "config/ComponentStream.h"
#include "config/FormResources.h"
#include "module/PluginDM.h"
#include "tools/PollOptions.h"

using namespace kelda;
using namespace kelda::host;

namespace {

std::string Trim(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string Problems(const std::vector<std::pair<std::string, std::string>>& given) {
  std::string text;
  for (const std::string& problem : CheckModuleSettings(given).Problems) text += problem + "\n";
  return text;
}

}  // namespace

// Every key of the module's settings map is in the table and nothing else, each read into the
// property the map names with the kind that property has, in the range its dialog control allows.
TEST(PollSettings, TableIsTheModulesOwnSettings) {
  TzorStrHolder holder(nullptr);
  ASSERT_TRUE(LoadPluginPropertyMap(holder));
  const TStreamObject form = ReadComponentStream(FormResourceBytes("TFRMOPTION"));
  TDataSourceCfg settings(nullptr);
  std::vector<std::string> mapKeys;
  for (int32_t i = 0; i < holder.Strings().Count(); ++i) {
    const std::string line = Trim(holder.Strings().Strings(i));
    if (line.empty() || line[0] == ';') continue;
    const std::size_t comma = line.find(',');
    ASSERT_NE(comma, std::string::npos) << line;
    const std::string path = Trim(line.substr(0, comma)), key = Trim(line.substr(comma + 1));
    mapKeys.push_back(key);
    const auto& table = ModuleSettingTable();
    const auto entry = std::find_if(table.begin(), table.end(), [&](const auto& s) { return s.Key == key; });
    ASSERT_NE(entry, table.end()) << "the poller knows \"" << key << "\"";
    std::string propertyName = path;
    std::replace(propertyName.begin(), propertyName.end(), '.', '_');
    const TPropertyInfo* property = FindProperty(settings, propertyName);
    if (!property) {
      EXPECT_STREQ(entry->Property, "") << key << " is read by nobody";
      continue;
    }
    EXPECT_EQ(entry->Property, propertyName) << key;
    const TModuleSetting::TKind kind = property->Kind == TPropertyKind::Integer  ? TModuleSetting::Integer
                                       : property->Kind == TPropertyKind::Double ? TModuleSetting::Number
                                                                                 : TModuleSetting::Text;
    EXPECT_EQ(entry->Kind, kind) << key;
    const std::string control = path.substr(0, path.find('.'));
    const TStreamObject* widget = form.Find(control);
    if (!widget) continue;  // the window geometry: the form itself
    if (widget->ClassName == "TSpinEdit") {
      EXPECT_EQ(entry->Low, widget->Property("MinValue")->Value.Integer) << key;
      EXPECT_EQ(entry->High, widget->Property("MaxValue")->Value.Integer) << key;
    } else if (widget->ClassName == "TCheckBox") {
      EXPECT_EQ(entry->Low, 0) << key;
      EXPECT_EQ(entry->High, 1) << key;
    } else if (widget->ClassName == "TComboBox") {
      EXPECT_EQ(entry->Low, 0) << key;
      EXPECT_EQ(entry->High, static_cast<double>(widget->Property("Items.Strings")->Value.Items.size() - 1))
          << key;
    }
  }
  EXPECT_EQ(mapKeys.size(), ModuleSettingTable().size()) << "no key the module does not store";
}

// The command line of the field report: an unknown key, a text for a number, a misspelt key and
// a value out of range are each named with what would do, and the run is refused.
TEST(PollSettings, UnknownKeysAndBadValuesAreRefused) {
  std::string problems = Problems({{"Bogus", "7"}});
  EXPECT_NE(problems.find("no setting \"Bogus\""), std::string::npos) << problems;
  EXPECT_NE(problems.find("\"Retries\""), std::string::npos) << "the settings are listed: " << problems;

  problems = Problems({{"Handshak timeout", "500"}});
  EXPECT_NE(problems.find("did you mean \"Handshake timeout\"?"), std::string::npos) << problems;

  for (const auto& [key, value] :
       std::vector<std::pair<std::string, std::string>>{{"Retries", "abc"},
                                                        {"Retries", "256"},
                                                        {"Retries", "-1"},
                                                        {"Retries", "2.5"},
                                                        {"Handshake timeout", "0"},
                                                        {"Handshake timeout", "65536"},
                                                        {"Handshake timeout", "1e9"},
                                                        {"Handshake timeout", "nan"},
                                                        {"Keep session", "2"},
                                                        {"Keep session", "yes"},
                                                        {"Min interval", ""},
                                                        {"Demote for", "0"}}) {
    problems = Problems({{key, value}});
    EXPECT_NE(problems.find("takes "), std::string::npos) << key << "=" << value << ": " << problems;
    EXPECT_NE(problems.find("not \"" + value + "\""), std::string::npos) << problems;
  }
  EXPECT_NE(Problems({{"Proto", "1"}}).find("--protocol"), std::string::npos);
  EXPECT_NE(Problems({{"CPU rack", "1"}}).find("never reads it"), std::string::npos);

  const TSettingCheck good = CheckModuleSettings(
      {{"retries", "3"}, {"Handshake timeout", "150.5"}, {"Keep session", "1"}, {"Demote after", "0x10"}});
  EXPECT_TRUE(good.Problems.empty()) << good.Problems.front();
  ASSERT_EQ(good.Settings.size(), 4u);
  EXPECT_EQ(good.Settings[0].first, "Retries") << "stored under the module's spelling";

  // The whole command line is refused, every bad setting named, not the first alone.
  try {
    ParsePollOptions({"libkelda.so", "--config", "x.xml", "--protocol", "snp", "--setting", "Bogus=7",
                      "--setting", "Retries=abc"});
    ADD_FAILURE() << "refused";
  } catch (const EPollUsage& usage) {
    const std::string what = usage.what();
    EXPECT_NE(what.find("Bogus"), std::string::npos) << what;
    EXPECT_NE(what.find("Retries=abc"), std::string::npos) << what;
  }
}
