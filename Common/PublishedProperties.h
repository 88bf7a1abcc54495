// Published properties: a per-class table of named properties with their kind and accessors, so
// that the settings store and the translator can read and write an object's properties by name.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "Common/Classes.h"

namespace kelda {

enum class TPropertyKind { Integer, Double, Text, StringList, Object };

// A property value; the alternative in use matches the property's kind, in the order of
// TPropertyKind. A string list property hands out the object's own list, and its setter copies
// the lines of the list it is given; an object property hands out and takes a reference.
using TPropertyValue = std::variant<int32_t, double, std::string, TStringList*, TObject*>;

struct TPropertyInfo {
  std::string_view Name;
  TPropertyKind Kind;
  TPropertyValue (*Get)(const TObject& instance);
  // Takes a value of the property's own kind; SetPropValue checks and converts before calling it.
  void (*Set)(TObject& instance, const TPropertyValue& value);
};

// The properties a class publishes, after those of its base class (`Parent`).
struct TPropertyTable {
  const TPropertyTable* Parent;
  std::span<const TPropertyInfo> Properties;
};

// Implemented by every class that publishes properties.
class IPublishedProperties {
public:
  virtual const TPropertyTable& PublishedProperties() const = 0;

protected:
  ~IPublishedProperties() = default;
};

// The property `name` (letter case ignored) of the table or its bases, own class first; nullptr
// when there is none.
const TPropertyInfo* FindProperty(const TPropertyTable& table, std::string_view name);
const TPropertyInfo* FindProperty(const IPublishedProperties& object, std::string_view name);

// Accessors through the table. A property of another kind raises EConvertError, except that
// an integer may be written to a double property.
TPropertyValue GetPropValue(const TObject& instance, const TPropertyInfo& property);
void SetPropValue(TObject& instance, const TPropertyInfo& property, const TPropertyValue& value);

// Table entries for plain fields of class C, e.g.
//   IntegerField<TDataSourceCfg, &TDataSourceCfg::Left>("Left").
template <class C, int32_t C::*Field>
constexpr TPropertyInfo IntegerField(std::string_view name) {
  return {name, TPropertyKind::Integer,
          [](const TObject& o) -> TPropertyValue { return static_cast<const C&>(o).*Field; },
          [](TObject& o, const TPropertyValue& v) { static_cast<C&>(o).*Field = std::get<int32_t>(v); }};
}

template <class C, double C::*Field>
constexpr TPropertyInfo DoubleField(std::string_view name) {
  return {name, TPropertyKind::Double,
          [](const TObject& o) -> TPropertyValue { return static_cast<const C&>(o).*Field; },
          [](TObject& o, const TPropertyValue& v) { static_cast<C&>(o).*Field = std::get<double>(v); }};
}

template <class C, std::string C::*Field>
constexpr TPropertyInfo TextField(std::string_view name) {
  return {name, TPropertyKind::Text,
          [](const TObject& o) -> TPropertyValue { return static_cast<const C&>(o).*Field; },
          [](TObject& o, const TPropertyValue& v) { static_cast<C&>(o).*Field = std::get<std::string>(v); }};
}

// Copies the lines (and their object references) of `source` into `target`.
void AssignStrings(TStringList& target, const TStringList& source);

template <class C, TStringList C::*Field>
constexpr TPropertyInfo StringListField(std::string_view name) {
  return {name, TPropertyKind::StringList,
          [](const TObject& o) -> TPropertyValue {
            return const_cast<TStringList*>(&(static_cast<const C&>(o).*Field));
          },
          [](TObject& o, const TPropertyValue& v) {
            if (const TStringList* source = std::get<TStringList*>(v))
              AssignStrings(static_cast<C&>(o).*Field, *source);
            else
              (static_cast<C&>(o).*Field).Clear();
          }};
}

}  // namespace kelda
