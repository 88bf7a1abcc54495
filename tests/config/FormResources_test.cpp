#include "config/FormResources.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "module/PluginDM.h"
#include "platform/Module.h"
#include "tests/support/StoredGzip.h"

namespace kelda {
namespace {

// The map as its source file has it, lines ending in CR LF or LF.
std::vector<std::string> ExpectedMapLines() {
  std::ifstream file(std::string(KELDA_RESOURCES_DIR) + "/PropertyMap.txt", std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> HolderLines(const TzorStrHolder& holder) {
  std::vector<std::string> lines;
  for (int i = 0; i < holder.Strings().Count(); ++i) lines.push_back(holder.Strings().Strings(i));
  return lines;
}

// Sections of the unpacked form data, split at the separator line with its empty lines.
std::vector<std::string> Sections(const std::string& text) {
  const std::string separator = "\r\n\r\n<=======>\r\n\r\n";
  std::vector<std::string> sections;
  std::size_t start = 0;
  for (std::size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + separator.size())
    sections.push_back(text.substr(start, at - start));
  sections.push_back(text.substr(start));
  return sections;
}

TEST(FormResources, PluginPropertyMapComesFromThePluginResource) {
  TzorStrHolder holder(nullptr);
  ASSERT_TRUE(LoadPluginPropertyMap(holder));
  EXPECT_EQ(HolderLines(holder), ExpectedMapLines()) << "blank and comment lines included, in order";
  EXPECT_EQ(holder.Name, "Properties");
  EXPECT_EQ(holder.Tag, 9999);
  EXPECT_EQ(holder.Capacity, 28);
  EXPECT_EQ(holder.KeyString, "");

  TStreamObject plugin = ReadComponentStream(FormResourceBytes("TAPLUGIN"));
  EXPECT_EQ(plugin.ClassName, "TaPlugin");
  EXPECT_EQ(plugin.Name, "aPlugin");
  EXPECT_EQ(plugin.Property("OnCreate")->Value.Text, "zorPluginCreate");
  ASSERT_EQ(plugin.Children.size(), 1u);
  EXPECT_EQ(plugin.Children[0].ClassName, "TzorStrHolder");
  EXPECT_EQ(plugin.Children[0].Property("InternalVer")->Value.Integer, 2);
  // Lines are stored as lowercase hexadecimal UTF-8; the first StrData entry is the empty key.
  const TStreamValue& data = plugin.Children[0].Property("StrData")->Value;
  ASSERT_EQ(data.Items.size(), ExpectedMapLines().size() + 1);
  EXPECT_EQ(data.Items[0].Text, "");
  EXPECT_EQ(data.Items[1].Text, "4c6566742c4c656674");  // "Left,Left"
}

TEST(FormResources, FormDataCarriesScriptFormNameAndTheSamePropertyMap) {
  EXPECT_EQ(FormResourceBytes("FORM_NAME"), "TFRMOPTION");
  auto unpacked = test::UnpackStoredGzip(FormResourceBytes("FORM_DATA"));
  ASSERT_TRUE(unpacked.has_value()) << "FORM_DATA is not a gzip stream";
  std::vector<std::string> sections = Sections(*unpacked);
  ASSERT_EQ(sections.size(), 3u);
  EXPECT_EQ(sections[0].rfind("<?xml", 0), 0u);
  EXPECT_NE(sections[0].find("<program"), std::string::npos);
  for (const char* function :
       {"\"FormCreate\"", "\"btnOKClick\"", "\"btnCancelClick\"", "\"FormDestroy\"",
        "\"CreateVirtualParamTreeview\"", "\"GetMemoryTypeList\"", "\"LoadPluginConfigForm\""})
    EXPECT_NE(sections[0].find(function), std::string::npos) << function;
  EXPECT_EQ(sections[1], "TFRMOPTION");
  std::vector<std::string> map;
  std::string rest = sections[2];
  for (std::size_t at; (at = rest.find("\r\n")) != std::string::npos; rest.erase(0, at + 2))
    map.push_back(rest.substr(0, at));
  EXPECT_EQ(rest, "") << "every map line ends in CR LF";
  EXPECT_EQ(map, ExpectedMapLines());
}

TEST(FormResources, OptionsFormHoldsItsControls) {
  TStreamObject form = ReadComponentStream(FormResourceBytes("tfrmoption"));
  EXPECT_EQ(form.Name, "frmOption");
  const std::pair<const char*, const char*> controls[] = {{"pan0", "TPanel"},
                                                          {"Label2", "TLabel"},
                                                          {"comboProto", "TComboBox"},
                                                          {"Label4", "TLabel"},
                                                          {"spLocalAddress", "TSpinEdit"},
                                                          {"pan1", "TPanel"},
                                                          {"pan2", "TPanel"},
                                                          {"lblParams", "TLabel"},
                                                          {"Label1", "TLabel"},
                                                          {"spMinInt", "TSpinEdit"},
                                                          {"__pBot", "TPanel"},
                                                          {"tmpMenu", "TPopupMenu"},
                                                          {"MemoryTypeList", "TMenuItem"},
                                                          {"PollUnitList", "TMenuItem"},
                                                          {"DataTypeList", "TMenuItem"}};
  for (auto [name, className] : controls) {
    const TStreamObject* control = form.Find(name);
    ASSERT_NE(control, nullptr) << name;
    EXPECT_EQ(control->ClassName, className) << name;
  }
  EXPECT_EQ(form.Find("spLocalAddress")->Property("MaxValue")->Value.Integer, 65535);
  EXPECT_EQ(form.Find("spLocalAddress")->Property("Value")->Value.Integer, 1);
  EXPECT_EQ(form.Find("lblParams")->Property("Visible")->Value.Type, TStreamValueType::vaFalse);
  EXPECT_EQ(form.Find("tmpMenu")->Children.size(), 43u);
  EXPECT_EQ(form.Find("MsgSwapped")->Property("Caption")->Value.Text,
            "Swapped (most significant register first) (32 and 64 bit numbers only)");
  EXPECT_FALSE(platform::ModuleResource("TFRMOPTION_CODE").has_value());
  EXPECT_FALSE(platform::ModuleResource("NOSUCHFORM").has_value());
}

// The speed settings on the options form: each control the map names, of its class, starting at
// the settings object's default, and each caption near it with its German translation.
TEST(FormResources, OptionsFormCarriesTheSpeedSettingsTheMapNames) {
  TStreamObject form = ReadComponentStream(FormResourceBytes("TFRMOPTION"));
  TDataSourceCfg defaults(nullptr);
  struct Control {
    const char* Name;
    const char* ClassName;
    const char* Key;
    int32_t Value;  // for spin edits
  };
  const Control controls[] = {
      {"chkKeepSession", "TCheckBox", "Keep session", defaults.chkKeepSession_Checked},
      {"chkSendWhenReady", "TCheckBox", "Send when ready", defaults.chkSendWhenReady_Checked},
      {"spHandshakeTimeout", "TSpinEdit", "Handshake timeout",
       TruncSetting(defaults.spHandshakeTimeout_Value)},
      {"spRetries", "TSpinEdit", "Retries", defaults.spRetries_Value},
      {"spDemoteAfter", "TSpinEdit", "Demote after", defaults.spDemoteAfter_Value},
      {"spDemoteFor", "TSpinEdit", "Demote for", TruncSetting(defaults.spDemoteFor_Value)},
  };
  const std::vector<std::string> map = ExpectedMapLines();
  for (const Control& c : controls) {
    SCOPED_TRACE(c.Name);
    const TStreamObject* control = form.Find(c.Name);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->ClassName, c.ClassName);
    const std::string property = std::string(c.Name) + (c.ClassName[1] == 'C' ? ".Checked" : ".Value");
    EXPECT_NE(std::find(map.begin(), map.end(), property + "," + c.Key), map.end()) << property;
    if (c.ClassName[1] == 'C') {
      EXPECT_EQ(control->Property("Checked"), nullptr) << "unchecked, as the default";
    } else {
      ASSERT_NE(control->Property("Value"), nullptr);
      EXPECT_EQ(control->Property("Value")->Value.Integer, c.Value);
    }
  }

  std::ifstream file(std::string(KELDA_RESOURCES_DIR) + "/kelda.lng", std::ios::binary);
  const std::string language((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  for (const char* caption : {"chkKeepSession", "chkSendWhenReady", "Label5", "Label6", "Label7", "Label8"}) {
    const TStreamObject* control = form.Find(caption);
    ASSERT_NE(control, nullptr) << caption;
    const std::string text = control->Property("Caption")->Value.Text;
    std::size_t at = language.find("EN:>" + text + "\r\nDE:>");
    if (at == std::string::npos) at = language.find("EN:>" + text + "\nDE:>");
    EXPECT_NE(at, std::string::npos) << "no German for \"" << text << "\"";
  }
}

}  // namespace
}  // namespace kelda
