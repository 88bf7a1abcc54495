#include "Plugins/zorPluginSettings.h"

#include "Plugins/zorPluginModule.h"
#include "config/TWregistry.h"

namespace kelda {

namespace {

class TSettingsBusy {
public:
  explicit TSettingsBusy(TzorPlugin& plugin) : FPlugin(plugin) { FPlugin.SettingsBusy = true; }
  ~TSettingsBusy() { FPlugin.SettingsBusy = false; }
  TSettingsBusy(const TSettingsBusy&) = delete;
  TSettingsBusy& operator=(const TSettingsBusy&) = delete;

private:
  TzorPlugin& FPlugin;
};

constexpr const char* NotLoadedProblem =
    "the settings were not saved: they could not be loaded from their store, and saving them would put "
    "defaults over the stored ones; they are saved again once a load succeeds";

TRegistryRoot RootOf(uint8_t value) {
  return value < rrNone ? static_cast<TRegistryRoot>(value) : rrNone;
}

bool RunSettings(TzorPlugin& plugin, const TStringList& propertyMap, TProxyCodeCustomObject& settings,
                 bool save) {
  if (save && !settings.LoadedFromStore) {
    plugin.LogFailure("SAVE-SETTINGS", NotLoadedProblem);
    return false;
  }
  TSettingsBusy busy(plugin);
  TWreg store(nullptr);
  store.RegistryRoot = RootOf(plugin.ModuleRegistryRoot1);
  store.SecondRegistryRoot = RootOf(plugin.ModuleRegistryRoot2);
  store.RegistryPath = plugin.ModuleRegistryPath;
  store.INIFile = plugin.INIFile;
  store.INIFileSectionPrefix = plugin.INISectionPrefix;
  AssignStrings(store.Components, propertyMap);
  const bool result = save ? store.Save(settings) : store.Load(settings);
  if (!save) settings.LoadedFromStore = !store.StoreFailed();
  // Settings are loaded at every change of state: a missing location is news once.
  const bool repeated = store.NoLocation() && plugin.NoSettingsLocationLogged.exchange(true);
  if (!store.NoLocation()) plugin.NoSettingsLocationLogged = false;
  for (const std::string& problem : store.Problems()) {
    if (repeated && problem == TWreg::NoLocationProblem) continue;
    plugin.LogFailure(save ? "SAVE-SETTINGS" : "LOAD-SETTINGS", problem);
  }
  return result;
}

}  // namespace

bool LoadSettings(TzorPlugin& plugin, const TStringList& propertyMap, TProxyCodeCustomObject& settings) {
  return RunSettings(plugin, propertyMap, settings, false);
}

bool SaveSettings(TzorPlugin& plugin, const TStringList& propertyMap, TProxyCodeCustomObject& settings) {
  return RunSettings(plugin, propertyMap, settings, true);
}

}  // namespace kelda
