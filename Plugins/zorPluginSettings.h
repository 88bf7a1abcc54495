// The plug-in's settings operations: a fresh settings store (config/TWregistry.h) on the
// instance's settings location with the given property map, SettingsBusy set meanwhile, every
// problem written to the instance's log. An instance without any settings location logs that
// once, not at every load.
//
// A settings object whose last load could not read its store (or that was never loaded) holds
// defaults: it is never saved over the store, and the refused save is logged.
#pragma once

#include "Common/Classes.h"
#include "config/ProxyCodeCustom.h"

namespace kelda {

class TzorPlugin;

bool LoadSettings(TzorPlugin& plugin, const TStringList& propertyMap, TProxyCodeCustomObject& settings);
bool SaveSettings(TzorPlugin& plugin, const TStringList& propertyMap, TProxyCodeCustomObject& settings);

}  // namespace kelda
