#include "Common/CustomTextResources.h"

#include <exception>
#include <memory>

#include "Common/TWtranslator.h"
#include "Common/TWtranslatorCustoms.h"

namespace kelda {

namespace {

// Text resources are translated as a whole object, whatever property names the translator
// is asked for: hence the mask "*".
class TWtranslatorCustomTextResources : public TWtranslatorCustomFor<TCustomTextResources> {
public:
  TWtranslatorCustomTextResources() : TWtranslatorCustomFor<TCustomTextResources>("*") {}
  bool Translate(TWtransl& translator, TObject* object, TWtranslLanguagesList* dictionary,
                 const TPropertyInfo* property, TObject* value) override {
    auto* resources = dynamic_cast<TCustomTextResources*>(object);
    if (!resources) return false;
    resources->TranslateTexts(translator, dictionary);
    return true;
  }
};

const bool gTextResourcesRegistered =
    (RegisterCustomTranslator(std::make_unique<TWtranslatorCustomTextResources>()), true);

}  // namespace

TCustomTextResources::TCustomTextResources(TComponent* owner) : TComponent(owner) {
  Tag = kTagCustomOnly;
}

void TCustomTextResources::RegisterText(std::string* field) {
  FTexts.push_back(field);
  FEnglish.push_back(*field);
  FWritten.push_back(*field);
}

void TCustomTextResources::TranslateTexts(TWtransl& translator, TWtranslLanguagesList* dictionary) {
  if (FTranslated) return;
  FTranslated = true;
  for (std::size_t i = 0; i < FTexts.size(); ++i) {
    std::string& field = *FTexts[i];
    if (field.empty()) continue;
    try {
      field = translator.TranslateText(field, dictionary);
    } catch (const std::exception&) {
    }
    FWritten[i] = field;
  }
}

void TCustomTextResources::RestoreTexts() {
  for (std::size_t i = 0; i < FTexts.size(); ++i)
    if (*FTexts[i] == FWritten[i]) *FTexts[i] = FEnglish[i];
  FWritten = FEnglish;
  FTranslated = false;
}

}  // namespace kelda
