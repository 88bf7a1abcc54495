#include "config/FormResources.h"

#include "platform/CodePage.h"
#include "platform/Module.h"

namespace kelda {

std::string FormResourceBytes(const std::string& name) {
  return platform::ModuleResource(name).value_or(std::string());
}

// Stored strings are 8-bit text; wide and UTF-8 forms are brought to the system code page.
static std::string StoredText(const TStreamValue& value) {
  if (value.Type == TStreamValueType::vaWString || value.Type == TStreamValueType::vaUTF8String)
    return platform::WideToAnsi(platform::Utf8ToWide(value.Text));
  return value.Text;
}

void ReadStrHolder(const TStreamObject& stored, TzorStrHolder& holder) {
  int32_t version = TzorStrHolder::CurrentVersion;
  TStringList data;
  for (const TStreamProperty& property : stored.Properties) {
    const TStreamValue& value = property.Value;
    if (property.Name == "Tag" && value.IsInteger()) holder.Tag = static_cast<intptr_t>(value.Integer);
    if (property.Name == "Capacity" && value.IsInteger())
      holder.Capacity = static_cast<int32_t>(value.Integer);
    if (property.Name == "InternalVer" && value.IsInteger()) version = static_cast<int32_t>(value.Integer);
    if (property.Name == "Sorted") holder.SetSorted(value.Type == TStreamValueType::vaTrue);
    if (property.Name == "Duplicates" && value.Type == TStreamValueType::vaIdent) {
      if (value.Text == "dupAccept") holder.Duplicates = dupAccept;
      if (value.Text == "dupError") holder.Duplicates = dupError;
      if (value.Text == "dupIgnore") holder.Duplicates = dupIgnore;
    }
    if (property.Name == "StrData" && value.Type == TStreamValueType::vaList) {
      data.Clear();
      for (const TStreamValue& item : value.Items)
        if (item.IsText()) data.Add(StoredText(item));
    }
  }
  holder.Name = stored.Name;
  holder.ReadStoredForm(version, data);
}

bool LoadPluginPropertyMap(TzorStrHolder& properties) {
  try {
    std::optional<std::string> stream = platform::ModuleResource(kPluginResourceName);
    if (!stream) return false;
    TStreamObject plugin = ReadComponentStream(*stream);
    const TStreamObject* stored = plugin.Find(kPropertiesComponentName);
    if (!stored || stored == &plugin) return false;
    ReadStrHolder(*stored, properties);
    return true;
  } catch (const EReadError&) {
    return false;
  }
}

}  // namespace kelda
