// The module's form resources: the plug-in object's stored description ("TAPLUGIN", with the
// property map in its string holder "Properties") and the options dialog's resources, read
// from the module's own file.
#pragma once

#include <string>

#include "config/ComponentStream.h"
#include "config/zorStringHolder.h"

namespace kelda {

inline constexpr char kPluginResourceName[] = "TAPLUGIN";
inline constexpr char kPropertiesComponentName[] = "Properties";

// A data resource of the module; empty when there is none of that name.
std::string FormResourceBytes(const std::string& name);

// Gives a string holder what a stored component of its class holds: Tag, Capacity,
// Duplicates, Sorted and the stored lines (InternalVer, StrData).
void ReadStrHolder(const TStreamObject& stored, TzorStrHolder& holder);

// Fills the plug-in's property map holder from the "Properties" component of the "TAPLUGIN"
// resource, so the map that the options form carries and the one the settings store uses come
// from one source. False, with the holder unchanged, when the resource is missing or does not
// read as a component stream with that component.
bool LoadPluginPropertyMap(TzorStrHolder& properties);

}  // namespace kelda
