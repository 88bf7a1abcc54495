// The settings in a host's INI file, through the exports: the file the host shares with the
// module keeps what the host put there, and an instance without any settings location says so
// once.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/File.h"
#include "tools/KeldaHost.h"

using namespace kelda;
using namespace kelda::host;

namespace {

std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

int Occurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

std::string LogText(TKeldaHost& host, uintptr_t instance) {
  host.PumpMessages();
  std::string text;
  for (const TLogLine& line : host.Received()) text += line.Text + "\n";
  for (const TLogLine& line : host.FetchLog(instance)) text += line.Text + "\n";
  return text;
}

}  // namespace

// An editor saved the host's file as UTF-8 (byte-order mark first) and left a blank after the
// module's section line. Loading reads the module's values; saving keeps the mark, the host's
// own section in front and one section of the module.
TEST(IniSettings, AHostsFileWithAByteOrderMarkKeepsEverySection) {
  const std::string name = "ini_settings_mark_test.ini";
  const std::string hostSection = "\xEF\xBB\xBF[Host]\r\nWindow=3\r\n\r\n";
  {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out << hostSection << "[Dev1.Common] \r\nProto=3\r\nLocal address=5\r\n\r\n";
  }
  TKeldaHost host(KELDA_LIBRARY_PATH);
  uintptr_t instance = host.Create(7);
  ASSERT_NE(instance, 0u);
  const TParams location = {Param("INI-FILE", name), Param("INI-SECTION-PREFIX", "Dev1")};
  TParams load = location;
  load.push_back(Param("LANGUAGE", "EN"));
  ASSERT_EQ(host.Command(instance, "LOAD", host.LoadParams(load)).Code, 0);
  host.Command(instance, "SAVE-SETTINGS-NOW", location);
  const std::string text = ReadFile(name);
  EXPECT_EQ(text.substr(0, hostSection.size()), hostSection);
  EXPECT_EQ(Occurrences(text, "[Dev1.Common]"), 1) << text;
  EXPECT_NE(text.find("\r\nProto=3\r\n"), std::string::npos) << "the values read came back: " << text;
  EXPECT_NE(text.find("\r\nLocal address=5\r\n"), std::string::npos) << text;
  const std::string log = LogText(host, instance);
  EXPECT_EQ(log.find("INI file"), std::string::npos) << log;
  host.Command(instance, "UNLOAD", location);
  EXPECT_EQ(host.Free(instance), 0);
  std::remove(name.c_str());
}

// Settings are loaded at every change of state; without INI file and registry path that is
// worth one line, not one per load.
TEST(IniSettings, NoSettingsLocationIsLoggedOnce) {
  TKeldaHost host(KELDA_LIBRARY_PATH);
  uintptr_t instance = host.Create(8);
  ASSERT_NE(instance, 0u);
  ASSERT_EQ(host.Command(instance, "LOAD", host.LoadParams({Param("LANGUAGE", "EN")})).Code, 0);
  for (int i = 0; i < 3; ++i) {
    host.Command(instance, "SET-STATE", {Param("DATA-SOURCES-IN-CFG", "1;COM1;Line 1"), Param("RESULT", 0)});
    host.Command(instance, "LOAD-SETTINGS-NOW");
  }
  EXPECT_EQ(Occurrences(LogText(host, instance), "no registry path"), 1);
  host.Command(instance, "UNLOAD");
  EXPECT_EQ(host.Free(instance), 0);
}

// The speed settings travel through the host's file like the others: read at LOAD, written back
// as read at SAVE-SETTINGS-NOW, and a file without them is saved with today's behaviour.
TEST(IniSettings, SpeedSettingsComeBackAsTheHostStoredThem) {
  const std::string name = "ini_settings_speed_test.ini";
  {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out << "[Dev2.Common]\r\nProto=3\r\nKeep session=1\r\nSend when ready=1\r\nHandshake timeout=750\r\n"
           "Retries=2\r\nDemote after=5\r\nDemote for=2500\r\n";
  }
  TKeldaHost host(KELDA_LIBRARY_PATH);
  uintptr_t instance = host.Create(9);
  ASSERT_NE(instance, 0u);
  const TParams location = {Param("INI-FILE", name), Param("INI-SECTION-PREFIX", "Dev2")};
  TParams load = location;
  load.push_back(Param("LANGUAGE", "EN"));
  ASSERT_EQ(host.Command(instance, "LOAD", host.LoadParams(load)).Code, 0);
  std::remove(name.c_str());
  host.Command(instance, "SAVE-SETTINGS-NOW", location);
  const std::string text = ReadFile(name);
  for (const char* line : {"\r\nKeep session=1\r\n", "\r\nSend when ready=1\r\n", "\r\nHandshake timeout=750",
                           "\r\nRetries=2\r\n", "\r\nDemote after=5\r\n", "\r\nDemote for=2500"})
    EXPECT_NE(text.find(line), std::string::npos) << line << " in " << text;
  host.Command(instance, "UNLOAD", location);
  EXPECT_EQ(host.Free(instance), 0);
  std::remove(name.c_str());

  TKeldaHost fresh(KELDA_LIBRARY_PATH);
  instance = fresh.Create(10);
  ASSERT_EQ(fresh.Command(instance, "LOAD", fresh.LoadParams(load)).Code, 0);
  fresh.Command(instance, "SAVE-SETTINGS-NOW", location);
  const std::string defaults = ReadFile(name);
  for (const char* line :
       {"\r\nKeep session=0\r\n", "\r\nSend when ready=0\r\n", "\r\nHandshake timeout=2000",
        "\r\nRetries=0\r\n", "\r\nDemote after=0\r\n", "\r\nDemote for=10000"})
    EXPECT_NE(defaults.find(line), std::string::npos) << line << " in " << defaults;
  fresh.Command(instance, "UNLOAD", location);
  EXPECT_EQ(fresh.Free(instance), 0);
  std::remove(name.c_str());
}

// The host's file is held by another writer while the instance loads: the load reads nothing,
// and no save after it may put the defaults (an empty configuration) over the stored settings.
// Once a load succeeds, saves write again.
TEST(IniSettings, SettingsThatCouldNotBeLoadedAreNeverSaved) {
  const std::string name = "ini_settings_unloaded_test.ini";
  const std::string stored =
      "[Dev3.Common]\r\nParser config=<MODBUSRTUQUERY><Request/></MODBUSRTUQUERY>\r\nProto=2\r\n\r\n";
  {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out << stored;
  }
  TKeldaHost host(KELDA_LIBRARY_PATH);
  uintptr_t instance = host.Create(11);
  ASSERT_NE(instance, 0u);
  const TParams location = {Param("INI-FILE", name), Param("INI-SECTION-PREFIX", "Dev3")};
  TParams load = location;
  load.push_back(Param("LANGUAGE", "EN"));
  {
    platform::TFileWriter other(name);
    ASSERT_EQ(host.Command(instance, "LOAD", host.LoadParams(load)).Code, 0);
  }
  host.Command(instance, "SAVE-SETTINGS-NOW", location);
  EXPECT_EQ(ReadFile(name), stored);
  const std::string log = LogText(host, instance);
  EXPECT_NE(log.find("the settings were not saved"), std::string::npos) << log;

  TParams reload = location;
  reload.push_back(Param("NO-SAVE", 1));
  host.Command(instance, "LOAD-SETTINGS-NOW", reload);
  host.Command(instance, "SAVE-SETTINGS-NOW", location);
  const std::string saved = ReadFile(name);
  EXPECT_NE(saved.find("\r\nParser config=<MODBUSRTUQUERY><Request/></MODBUSRTUQUERY>\r\n"),
            std::string::npos)
      << saved;
  EXPECT_NE(saved.find("\r\nProto=2\r\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("\r\nLeft="), std::string::npos) << "written: " << saved;
  host.Command(instance, "UNLOAD", location);
  EXPECT_EQ(host.Free(instance), 0);
  std::remove(name.c_str());
}
