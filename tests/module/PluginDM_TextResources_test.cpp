#include "module/PluginDM_TextResources.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Common/TWtranslator.h"
#include "module/PluginDM.h"
#include "platform/CodePage.h"

using namespace kelda;

namespace {

const std::string kGermanFile = std::string(KELDA_RESOURCES_DIR) + "/kelda.lng";

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t at; (at = text.find("||", start)) != std::string::npos; start = at + 2)
    parts.push_back(text.substr(start, at - start));
  parts.push_back(text.substr(start));
  return parts;
}

}  // namespace

TEST(TextResources, TheGermanLanguageFileCoversEveryText) {
  TWtransl translator(nullptr, true);
  translator.LanguageFile = kGermanFile;
  TStringList languages;
  EXPECT_EQ(translator.DefaultLanguage(&languages), "EN") << "an instance starts in English";
  EXPECT_GE(languages.IndexOf("DE,Deutsch"), 0);
  EXPECT_GE(languages.IndexOf("EN,English"), 0);

  TTextResources texts(nullptr);
  std::vector<std::string> missing;
  translator.OnPropertyTranslate = [&](TWtransl*, TObject*, bool&, bool found, std::string&,
                                       const std::string& untranslated, std::string_view) {
    if (!found) missing.push_back(untranslated);
  };
  EXPECT_TRUE(translator.Translate("DE", &texts, nullptr));
  EXPECT_TRUE(missing.empty()) << missing.front();
  EXPECT_EQ(texts.Texts().size(), 109u);

  // The framework's messages are in the file too.
  for (std::string message : {"No data for processing", "Data have been processed successfully",
                              "Data have been processed with errors"}) {
    std::string english = message;
    translator.Translate("DE", nullptr, &message);
    EXPECT_NE(message, english);
  }

  EXPECT_EQ(texts.MsgItemsFormationError, "Fehler beim Bilden der Elemente (%s)");
  EXPECT_EQ(texts.MsgTransactionFailed, "Datenquelle %s, Anfrage \"%s\" fehlgeschlagen: %s");
  EXPECT_EQ(texts.ProtoCcmMasterSlave, "CCM (Master an Slave)");
  EXPECT_EQ(texts.ProtoSnpX, "SNP-X");
  EXPECT_EQ(texts.TxtHour, "Stunde");
  const std::vector<std::string> entries = SplitList(MemoryTypeList(texts));
  ASSERT_EQ(entries.size(), 13u);
  EXPECT_EQ(entries[0], "Register (%R)==8");
  EXPECT_EQ(entries[1], platform::WideToAnsi(u"Analoge Eing\u00E4nge (%AI)==10")) << "UTF-8 in the file";
  EXPECT_EQ(entries[8], "Systemmerker (%SA) (nur SNP-X)==78");
  EXPECT_EQ(entries[12], platform::WideToAnsi(u"Diagnose-Statusw\u00F6rter (nur CCM)==129"));

  // Back to English from the English texts kept.
  texts.RestoreTexts();
  EXPECT_EQ(SplitList(MemoryTypeList(texts))[0], "Registers (%R)==8");
}
