#include "Plugins/zorPluginTranslator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <thread>

#include "Common/CustomTextResources.h"
#include "PluginTestKit.h"
#include "tests/support/Wait.h"

using namespace kelda;
using namespace kelda::test;

namespace {

class TPluginTexts : public TCustomTextResources {
public:
  explicit TPluginTexts(TComponent* owner) : TCustomTextResources(owner) { RegisterText(&Greeting); }
  std::string Greeting = "Good morning";
};

// An instance class that owns text resources, as the module's own class does.
class TTextPlugin : public TzorPlugin {
public:
  TTextPlugin(TPluginCallRecIntft* record, platform::ModuleHandle dllHandle) : TzorPlugin(record, dllHandle) {
    Texts = new TPluginTexts(this);
  }
  TPluginTexts* Texts;
};

TzorPlugin* NewTextPlugin(TPluginCallRecIntft* record, platform::ModuleHandle dllHandle) {
  return new TTextPlugin(record, dllHandle);
}

class TTranslatorFactoryScope {
public:
  explicit TTranslatorFactoryScope(TTranslatorFactory factory) : FPrevious(SetTranslatorFactory(factory)) {}
  ~TTranslatorFactoryScope() { SetTranslatorFactory(FPrevious); }

private:
  TTranslatorFactory FPrevious;
};

const char kLanguageFile[] =
    "[Languages]\r\n$DE = Deutsch\r\n$FR = Francais\r\nDefault = DE\r\n\r\n"
    "EN:>No data for processing\r\nDE:>Keine Daten\r\nFR:>Pas de donnees\r\n\r\n"
    "EN:>Good morning\r\nDE:>Guten Morgen\r\n\r\n";

class PluginTranslatorTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::random_device random;
    FFile = (std::filesystem::temp_directory_path() / ("kelda_plugin_" + std::to_string(random()) + ".lng"))
                .string();
    std::ofstream(FFile, std::ios::binary) << kLanguageFile;
    FInstance = CreateInstance();
    ASSERT_NE(FInstance, 0u);
    Plugin()->Translator->SetLanguageFiles(FFile);
  }
  void TearDown() override {
    FreeInstance(FInstance);
    std::filesystem::remove(FFile);
  }
  TTextPlugin* Plugin() const { return static_cast<TTextPlugin*>(Instance(FInstance)); }

  int Load(const std::string& language) {
    THostList list;
    list.Add("COMMAND", "LOAD").Add("LANGUAGE", language);
    return RunCommand(FInstance, list).Code;
  }
  // The message a data call without data logs.
  std::string NoDataMessage() {
    FetchLogText(FInstance);
    THostList params;
    TPluginCallRec record = NewRecord(FInstance);
    record.Flags = kDataFlagWrite;
    record.Params = params.Pointer();
    zorProcessData(&record);
    auto lines = FetchLog(FInstance);
    return lines.empty() ? std::string() : lines.back().second;
  }

  TTranslatorFactoryScope FFactory{&NewPluginTranslator};
  TPluginClassScope FClass{&NewTextPlugin};
  std::string FFile;
  uintptr_t FInstance = 0;
};

}  // namespace

TEST_F(PluginTranslatorTest, LanguageRequestsOnLoadTranslateFromEnglishEveryTime) {
  EXPECT_EQ(Plugin()->Language, "EN");
  EXPECT_EQ(NoDataMessage(), "No data for processing");

  EXPECT_EQ(Load("DE"), 0);
  EXPECT_EQ(Plugin()->Language, "DE");
  EXPECT_EQ(NoDataMessage(), "Keine Daten");
  EXPECT_EQ(Plugin()->Texts->Greeting, "Guten Morgen") << "text resources follow the language";

  EXPECT_EQ(Load("FR"), 0);
  EXPECT_EQ(NoDataMessage(), "Pas de donnees") << "translated from the English, not from the German";
  EXPECT_EQ(Plugin()->Texts->Greeting, "Good morning") << "no French entry: back to English";

  EXPECT_EQ(Load("EN"), 0);
  EXPECT_EQ(NoDataMessage(), "No data for processing");
  EXPECT_EQ(Load("NONE"), 0);
  EXPECT_EQ(NoDataMessage(), "No data for processing") << "a language without entries shows English";

  // A text the program set itself after a translation is left alone.
  EXPECT_EQ(Load("DE"), 0);
  Plugin()->MsgNoData = "Custom";
  EXPECT_EQ(Load("EN"), 0);
  EXPECT_EQ(NoDataMessage(), "Custom");
}

// A host may send the code in any case; the file's codes are upper case.
TEST_F(PluginTranslatorTest, LanguageCodesCountWithoutCase) {
  EXPECT_EQ(Load("de"), 0);
  EXPECT_EQ(NoDataMessage(), "Keine Daten");
  EXPECT_EQ(Plugin()->Texts->Greeting, "Guten Morgen");
  EXPECT_EQ(Load("DE"), 0);
  EXPECT_EQ(NoDataMessage(), "Keine Daten") << "the same language again changes nothing";
  EXPECT_EQ(Load("fr"), 0);
  EXPECT_EQ(NoDataMessage(), "Pas de donnees");
  EXPECT_EQ(Load("en"), 0);
  EXPECT_EQ(NoDataMessage(), "No data for processing");
  EXPECT_EQ(Plugin()->Texts->Greeting, "Good morning");
}

TEST_F(PluginTranslatorTest, TranslatedPropertiesAreModuleParameters) {
  THostList get;
  get.Add("COMMAND", "GET-MODULE-PARAMETER").Add("PARAM", "TranslatorComponentProperties").AddEmpty("RESULT");
  EXPECT_EQ(RunCommand(FInstance, get).Result.ToText(),
            "CAPTION\r\nHINT\r\nTEXT\r\nTITLE\r\nCAPTIONS\r\nMsgNoData\r\nMsgWriteComplete\r\nMsgWriteComplet"
            "eError");

  // A property named anew is translated from then on; one already there is not added twice.
  Plugin()->OnLoad = nullptr;
  THostList set;
  set.Add("COMMAND", "SET-MODULE-PARAMETER")
      .Add("PARAM", "TranslatorComponentProperties")
      .Add("VALUE", "caption;Filter|")
      .AddEmpty("RESULT");
  EXPECT_TRUE(RunCommand(FInstance, set).Result.ToBool());
  auto names = Plugin()->Translator->ComponentProperties();
  EXPECT_EQ(names.size(), 9u);
  EXPECT_EQ(names.back(), "Filter");
}

TEST_F(PluginTranslatorTest, DataCallsReadTheMessagesWhileALanguageChangeWritesThem) {
  std::atomic<bool> stop{false};
  std::atomic<int> calls{0};
  std::set<std::string> seen;
  std::thread data([&] {
    while (!stop) {
      THostList params;
      TPluginCallRec record = NewRecord(FInstance);
      record.Flags = kDataFlagWrite;
      record.Params = params.Pointer();
      zorProcessData(&record);
      ++calls;
    }
  });
  // Data calls run before, during and after the language changes, so there are lines to check.
  EXPECT_TRUE(WaitFor([&] { return calls.load() > 0; }));
  for (int i = 0; i < 100; ++i) Load(i % 2 ? "EN" : "DE");
  const int afterChanges = calls.load();
  EXPECT_TRUE(WaitFor([&] { return calls.load() > afterChanges; }));
  stop = true;
  data.join();
  int lines = 0;
  for (const auto& [level, line] : FetchLog(FInstance)) {
    seen.insert(line.substr(0, line.rfind(" x")));
    ++lines;
  }
  EXPECT_GT(lines, 0) << "every data call without data logs a line";
  for (const std::string& line : seen)
    EXPECT_TRUE(line == "No data for processing" || line == "Keine Daten") << line;
}
