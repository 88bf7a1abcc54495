// TCustomTextResources: a component that holds user-visible texts as string fields and has
// them translated as a whole. A descendant declares the fields, gives each its English text
// and registers them in declaration order. The translator reaches it through its custom
// translator (the generic walk only raises OnCustomTranslate for it: its tag is 9997).
//
// The English texts are kept, so a later change of language translates from them again
// instead of from the previous translation.
#pragma once

#include <string>
#include <vector>

#include "Common/Component.h"

namespace kelda {

class TWtransl;
class TWtranslLanguagesList;

class TCustomTextResources : public TComponent {
public:
  explicit TCustomTextResources(TComponent* owner);

  bool Translated() const { return FTranslated; }
  // The registered texts, in registration order.
  const std::vector<std::string*>& Texts() const { return FTexts; }

  // Translates every registered non-empty text, once per object: the flag is set first, so a
  // second call does nothing. A text that fails to translate stays as it is.
  void TranslateTexts(TWtransl& translator, TWtranslLanguagesList* dictionary);
  // Puts the English texts back (a text changed since its translation keeps its new value) and
  // allows the next TranslateTexts.
  void RestoreTexts();

protected:
  void RegisterText(std::string* field);

private:
  bool FTranslated = false;
  std::vector<std::string*> FTexts;
  std::vector<std::string> FEnglish;  // as registered
  std::vector<std::string> FWritten;  // as the last translation left them
};

}  // namespace kelda
