#include "Common/TWtranslatorCustoms.h"

#include <algorithm>
#include <mutex>

#include "Common/TWtranslator.h"
#include "platform/CodePage.h"

namespace kelda {

namespace {

struct TRegistry {
  std::mutex Lock;
  std::vector<std::unique_ptr<TWtranslatorCustom>> Entries;
};

TRegistry& Registry() {
  static TRegistry registry;
  return registry;
}

const bool gTntStringsRegistered =
    (RegisterCustomTranslator(std::make_unique<TWtranslatorCustomTntStrings>()), true);

TWtranslatorCustom* FindCustomTranslator(const TObject* served, bool emptyMask) {
  TRegistry& registry = Registry();
  std::lock_guard<std::mutex> guard(registry.Lock);
  for (const auto& entry : registry.Entries)
    if (entry->Mask().empty() == emptyMask && entry->Serves(served)) return entry.get();
  return nullptr;
}

}  // namespace

TWtranslatorCustom::TWtranslatorCustom(const std::string& mask) : FMask(platform::AnsiLowerCase(mask)) {}

TWtranslatorCustom* RegisterCustomTranslator(std::unique_ptr<TWtranslatorCustom> entry) {
  TRegistry& registry = Registry();
  std::lock_guard<std::mutex> guard(registry.Lock);
  registry.Entries.push_back(std::move(entry));
  return registry.Entries.back().get();
}

void UnregisterCustomTranslator(TWtranslatorCustom* entry) {
  TRegistry& registry = Registry();
  std::lock_guard<std::mutex> guard(registry.Lock);
  auto it = std::find_if(registry.Entries.begin(), registry.Entries.end(),
                         [entry](const auto& held) { return held.get() == entry; });
  if (it != registry.Entries.end()) registry.Entries.erase(it);
}

bool RunCustomTranslator(TWtransl& translator, TObject* object, bool emptyMask,
                         TWtranslLanguagesList* dictionary, const TPropertyInfo* property, TObject* value) {
  TWtranslatorCustom* chosen = FindCustomTranslator(emptyMask ? value : object, emptyMask);
  // Called without the registry's lock: a translator may wait for another thread that
  // translates too, and the entries live until the library goes.
  return chosen && chosen->Translate(translator, object, dictionary, property, value);
}

bool TWtranslatorCustomTntStrings::Translate(TWtransl& translator, TObject* object,
                                             TWtranslLanguagesList* dictionary, const TPropertyInfo* property,
                                             TObject* value) {
  auto* strings = dynamic_cast<TWideStrings*>(value);
  if (!strings) return false;
  for (std::u16string& line : strings->Lines) {
    std::u16string translated = translator.TranslateTextW(line, dictionary);
    if (translated != line) line = std::move(translated);
  }
  return true;
}

}  // namespace kelda
