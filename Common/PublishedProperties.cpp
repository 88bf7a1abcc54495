#include "Common/PublishedProperties.h"

#include "Common/Exceptions.h"

namespace kelda {

namespace {

bool SameTextAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

const TPropertyInfo* FindProperty(const TPropertyTable& table, std::string_view name) {
  for (const TPropertyTable* t = &table; t; t = t->Parent)
    for (const TPropertyInfo& p : t->Properties)
      if (SameTextAscii(p.Name, name)) return &p;
  return nullptr;
}

const TPropertyInfo* FindProperty(const IPublishedProperties& object, std::string_view name) {
  return FindProperty(object.PublishedProperties(), name);
}

TPropertyValue GetPropValue(const TObject& instance, const TPropertyInfo& property) {
  return property.Get(instance);
}

void SetPropValue(TObject& instance, const TPropertyInfo& property, const TPropertyValue& value) {
  auto expected = static_cast<std::size_t>(property.Kind);
  if (property.Kind == TPropertyKind::Double && std::holds_alternative<int32_t>(value)) {
    property.Set(instance, static_cast<double>(std::get<int32_t>(value)));
    return;
  }
  if (value.index() != expected)
    throw EConvertError("Invalid value for property " + std::string(property.Name));
  property.Set(instance, value);
}

void AssignStrings(TStringList& target, const TStringList& source) {
  if (&target == &source) return;
  target.Clear();
  for (const auto& entry : source) target.Add(entry.Text, entry.Object);
}

}  // namespace kelda
