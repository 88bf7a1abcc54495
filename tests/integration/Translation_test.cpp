// The module's German language file, read by the real library beside which it is installed,
// as a host sees the result: log lines, module parameters and the memory type choice.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/CodePage.h"
#include "tools/KeldaHost.h"

using namespace kelda;
using namespace kelda::host;

namespace {

std::vector<TLogLine> AllLogLines(TKeldaHost& host, uintptr_t instance) {
  host.PumpMessages();
  std::vector<TLogLine> lines = host.Received();
  std::vector<TLogLine> rest = host.FetchLog(instance);
  lines.insert(lines.end(), rest.begin(), rest.end());
  return lines;
}

bool HasLine(const std::vector<TLogLine>& lines, const std::string& text, int level) {
  for (const TLogLine& line : lines)
    if (line.Text == text && line.Level == level) return true;
  return false;
}

std::string MemoryTypeList(TKeldaHost& host, uintptr_t instance) {
  TCommandResult answer = host.Command(instance, "EVENT", {Param("EVENT-TYPE", "GetMemoryTypeList")});
  EXPECT_EQ(answer.Code, 0);
  return answer.Result.ToText();
}

std::string Ansi(const std::u16string& text) {
  return platform::WideToAnsi(text);
}

}  // namespace

TEST(Translation, GermanFromTheModulesLanguageFileAndBackToEnglish) {
  TKeldaHost host(KELDA_LIBRARY_PATH);
  uintptr_t instance = host.Create(4);
  ASSERT_NE(instance, 0u);

  ASSERT_EQ(host.Command(instance, "LOAD", host.LoadParams({Param("LANGUAGE", "DE")})).Code, 0);
  const std::string german = MemoryTypeList(host, instance);
  EXPECT_EQ(german.substr(0, german.find("||", german.find("||") + 2)),
            Ansi(u"Register (%R)==8||Analoge Eing\u00E4nge (%AI)==10"));
  EXPECT_NE(german.find("Systemmerker (%SC) (nur SNP-X)==82||Notizblockspeicher (nur CCM)==128"),
            std::string::npos);

  std::string properties =
      host.Command(instance, "GET-MODULE-PARAMETER", {Param("PARAM", "TranslatorComponentProperties")})
          .Result.ToText();
  EXPECT_NE(properties.find("MsgNoData\r\nMsgWriteComplete\r\nMsgWriteCompleteError"), std::string::npos);

  host.Data(instance, 1, kDataFlagPortBytes | kDataFlagWrite, "R1=5\r\n");
  host.Data(instance, 1, kDataFlagWrite, "");
  std::vector<TLogLine> lines = AllLogLines(host, instance);
  EXPECT_TRUE(HasLine(lines, "Korvane. Die Daten wurden erfolgreich verarbeitet", 2));
  EXPECT_TRUE(HasLine(lines, "Korvane. Keine Daten zur Verarbeitung", 1));

  // The language is read on every LOAD, also a nested one.
  ASSERT_EQ(host.Command(instance, "LOAD", {Param("LANGUAGE", "EN")}).Code, 0);
  const std::string english = MemoryTypeList(host, instance);
  EXPECT_EQ(english.substr(0, english.find("||")), "Registers (%R)==8");
  EXPECT_NE(english.find("Discretes (%SC) (SNPX only)==82||Scratch Pad (CCM only)==128"), std::string::npos);
  host.Data(instance, 1, kDataFlagWrite, "");
  EXPECT_TRUE(HasLine(AllLogLines(host, instance), "Korvane. No data for processing", 1));

  host.Command(instance, "UNLOAD");
  host.Command(instance, "UNLOAD");
  ASSERT_EQ(host.Command(instance, "LOAD", host.LoadParams({Param("LANGUAGE", "DE")})).Code, 0);
  EXPECT_EQ(MemoryTypeList(host, instance), german) << "German again, exactly as the first time";
  host.Command(instance, "UNLOAD");
  EXPECT_EQ(host.Free(instance), 0);
}

// The shipped language file starts every instance in English: a host that sends no language
// shows English texts and captions; German is one LANGUAGE away, in either case.
TEST(Translation, AnInstanceStartsInEnglishAndGermanIsOneLanguageAway) {
  TKeldaHost host(KELDA_LIBRARY_PATH);
  uintptr_t instance = host.Create(5);
  ASSERT_NE(instance, 0u);
  EXPECT_EQ(host.Command(instance, "LOAD", host.LoadParams()).Code, 0);
  EXPECT_EQ(MemoryTypeList(host, instance).substr(0, 19), "Registers (%R)==8||");
  host.Data(instance, 1, kDataFlagWrite, "");
  EXPECT_TRUE(HasLine(AllLogLines(host, instance), "Korvane. No data for processing", 1));

  ASSERT_EQ(host.Command(instance, "LOAD", {Param("LANGUAGE", "de")}).Code, 0);
  const std::string german = MemoryTypeList(host, instance);
  EXPECT_EQ(german.substr(0, 18), "Register (%R)==8||");
  ASSERT_EQ(host.Command(instance, "LOAD", {Param("LANGUAGE", "DE")}).Code, 0);
  EXPECT_EQ(MemoryTypeList(host, instance), german) << "the same language in another case";
  host.Data(instance, 1, kDataFlagWrite, "");
  EXPECT_TRUE(HasLine(AllLogLines(host, instance), "Korvane. Keine Daten zur Verarbeitung", 1));
  ASSERT_EQ(host.Command(instance, "LOAD", {Param("LANGUAGE", "en")}).Code, 0);
  EXPECT_EQ(MemoryTypeList(host, instance).substr(0, 19), "Registers (%R)==8||");
  for (int loads = 0; loads < 4; ++loads) host.Command(instance, "UNLOAD");
  EXPECT_EQ(host.Free(instance), 0);
}
