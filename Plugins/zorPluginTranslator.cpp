#include "Plugins/zorPluginTranslator.h"

#include <set>

#include "Common/CustomTextResources.h"
#include "config/ProxyCodeCustom.h"
#include "platform/CodePage.h"

namespace kelda {

namespace {

void CollectTree(TComponent* component, std::vector<TComponent*>& tree) {
  tree.push_back(component);
  for (int i = 0; i < component->ComponentCount(); ++i) CollectTree(component->Components(i), tree);
}

// The text properties of a component that the translator is asked to translate.
template <class Visit>
void ForEachTextProperty(TComponent* component, const TStringList& names, Visit visit) {
  auto* published = dynamic_cast<IPublishedProperties*>(component);
  if (!published) return;
  for (int i = 0; i < names.Count(); ++i) {
    const TPropertyInfo* property = FindProperty(*published, names.Strings(i));
    if (property && property->Kind == TPropertyKind::Text) visit(*property);
  }
}

// Instance data that data calls read while a command translates: written under the instance lock.
class TInstanceWrite {
public:
  explicit TInstanceWrite(TzorPlugin* plugin) : FPlugin(plugin) {
    if (FPlugin) FPlugin->LockInstance();
  }
  ~TInstanceWrite() {
    if (FPlugin) FPlugin->UnlockInstance();
  }
  TInstanceWrite(const TInstanceWrite&) = delete;
  TInstanceWrite& operator=(const TInstanceWrite&) = delete;

private:
  TzorPlugin* FPlugin;
};

}  // namespace

TzorPluginTranslator::TzorPluginTranslator(TzorPlugin* plugin)
    : FPlugin(plugin), FTranslator(std::make_unique<TWtransl>(nullptr, false)) {
  // Text resources carry the tag that leaves them to this handler in a walk: a language change
  // must reach them too.
  FTranslator->OnCustomTranslate = [](TWtransl* translator, TObject* object) {
    auto* resources = dynamic_cast<TCustomTextResources*>(object);
    if (resources && !resources->Translated())
      resources->TranslateTexts(*translator, translator->ActiveDictionary());
  };
}

void TzorPluginTranslator::SetLanguageFiles(const std::string& files) {
  FTranslator->LanguageFile = files;
}

bool TzorPluginTranslator::HasLanguageFile() const {
  return !FTranslator->LanguageFile.empty();
}

std::string TzorPluginTranslator::LanguageOfFile(const std::string& path) {
  TWtransl reader(nullptr, true);
  reader.LanguageFile = path;
  return reader.DefaultLanguage(nullptr);
}

void TzorPluginTranslator::AddComponentProperty(const std::string& name) {
  for (int i = 0; i < FTranslator->ComponentProperties.Count(); ++i)
    if (platform::AnsiCompareText(FTranslator->ComponentProperties.Strings(i), name) == 0) return;
  FTranslator->ComponentProperties.Add(name);
}

std::vector<std::string> TzorPluginTranslator::ComponentProperties() const {
  std::vector<std::string> names;
  for (int i = 0; i < FTranslator->ComponentProperties.Count(); ++i)
    names.push_back(FTranslator->ComponentProperties.Strings(i));
  return names;
}

void TzorPluginTranslator::RestoreEnglish(const std::vector<TComponent*>& tree) {
  for (TComponent* component : tree) {
    if (auto* resources = dynamic_cast<TCustomTextResources*>(component)) resources->RestoreTexts();
    ForEachTextProperty(component, FTranslator->ComponentProperties, [&](const TPropertyInfo& property) {
      auto change = FChanges.find({component, std::string(property.Name)});
      if (change == FChanges.end()) return;
      if (std::get<std::string>(GetPropValue(*component, property)) == change->second.Written)
        SetPropValue(*component, property, change->second.English);
    });
  }
}

TzorPluginTranslator::TSnapshot TzorPluginTranslator::Snapshot(const std::vector<TComponent*>& tree) const {
  TSnapshot values;
  for (TComponent* component : tree)
    ForEachTextProperty(component, FTranslator->ComponentProperties, [&](const TPropertyInfo& property) {
      values[{component, std::string(property.Name)}] =
          std::get<std::string>(GetPropValue(*component, property));
    });
  return values;
}

void TzorPluginTranslator::Remember(const std::vector<TComponent*>& tree, const TSnapshot& before) {
  // Records of components that left the instance go, so freed objects leave nothing behind.
  std::vector<TComponent*> all;
  if (FPlugin) CollectTree(FPlugin, all);
  std::set<const TObject*> live(tree.begin(), tree.end());
  live.insert(all.begin(), all.end());
  for (auto it = FChanges.begin(); it != FChanges.end();)
    it = live.count(it->first.first) ? std::next(it) : FChanges.erase(it);
  const TSnapshot after = Snapshot(tree);
  for (const auto& [key, value] : after) {
    auto old = before.find(key);
    if (old != before.end() && old->second != value) FChanges[key] = {old->second, value};
  }
}

void TzorPluginTranslator::TranslateComponent(TComponent* root, const std::string& language) {
  if (!root) return;
  TInstanceWrite guard(FPlugin);
  std::vector<TComponent*> tree;
  CollectTree(root, tree);
  RestoreEnglish(tree);
  const TSnapshot before = Snapshot(tree);
  FTranslator->Translate(language, root, nullptr);
  Remember(tree, before);
  FLanguage = language;
}

std::unique_ptr<IzorTranslator> NewPluginTranslator(TzorPlugin* plugin) {
  return std::make_unique<TzorPluginTranslator>(plugin);
}

}  // namespace kelda
