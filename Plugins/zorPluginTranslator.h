// The plug-in framework's translator: IzorTranslator over TWtransl. The library installs it
// with SetTranslatorFactory at start-up, so every instance gets one.
//
// A language change translates from the English texts again: before each translation the
// properties and text resources that the previous translation changed get their English text
// back (unless the program changed them since), so switching from one language to another, or
// back to English, works any number of times.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Common/TWtranslator.h"
#include "Plugins/zorPluginModule.h"

namespace kelda {

class TzorPluginTranslator : public IzorTranslator {
public:
  explicit TzorPluginTranslator(TzorPlugin* plugin);

  void SetLanguageFiles(const std::string& files) override;
  void SetLanguage(const std::string& code) override { FLanguage = code; }
  bool HasLanguageFile() const override;
  std::string LanguageOfFile(const std::string& path) override;
  void AddComponentProperty(const std::string& name) override;
  std::vector<std::string> ComponentProperties() const override;
  void TranslateComponent(TComponent* root, const std::string& language) override;

  const std::string& Language() const { return FLanguage; }
  TWtransl& Translator() { return *FTranslator; }

private:
  using TPropertyKey = std::pair<const TObject*, std::string>;
  struct TChange {
    std::string English;
    std::string Written;
  };
  using TSnapshot = std::map<TPropertyKey, std::string>;

  void RestoreEnglish(const std::vector<TComponent*>& tree);
  TSnapshot Snapshot(const std::vector<TComponent*>& tree) const;
  void Remember(const std::vector<TComponent*>& tree, const TSnapshot& before);

  TzorPlugin* FPlugin;
  std::unique_ptr<TWtransl> FTranslator;
  std::string FLanguage = "EN";
  std::map<TPropertyKey, TChange> FChanges;  // keys are only compared, never followed
};

// The factory the library installs.
std::unique_ptr<IzorTranslator> NewPluginTranslator(TzorPlugin* plugin);

}  // namespace kelda
