// TzorStrHolder: a component that carries a list of strings in the module's form resources,
// for example the property map of the settings. In the stored form the lines are hexadecimal
// text, optionally combined with a key, so that the resource holds no readable plain text.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "Common/Classes.h"
#include "Common/Component.h"
#include "config/ProxyCodeCustom.h"

namespace kelda {

enum TDuplicates : int32_t { dupIgnore = 0, dupAccept = 1, dupError = 2 };

class TzorStrHolder : public TComponent, public IPublishedProperties {
public:
  static constexpr int32_t CurrentVersion = 2;

  explicit TzorStrHolder(TComponent* owner) : TComponent(owner) {}
  const TPropertyTable& PublishedProperties() const override;

  // The lines. Changes made through the holder's own operations raise OnChanging before and
  // OnChange after; a sorted holder keeps them in order (letter case ignored) and applies
  // Duplicates to equal lines.
  const TStringList& Strings() const { return FStrings; }
  void SetStrings(const TStringList& lines);
  int Add(const std::string& line);  // the line's index; -1 when an ignored duplicate
  void Clear();

  bool Sorted() const { return FSorted; }
  void SetSorted(bool value);

  // The stored form: InternalVer (written as CurrentVersion) and StrData (the key string, then
  // one encoded line per string). Versions 0, 1 and 2 are read; any other number is read as the
  // current version.
  void ReadStoredForm(int32_t internalVer, const TStringList& strData);
  void WriteStrData(TStringList& strData) const;

  int32_t Capacity = 0;
  TDuplicates Duplicates = dupIgnore;
  std::string KeyString;  // system code page; empty: lines are stored without combining
  std::function<void(TzorStrHolder&)> OnChange;
  std::function<void(TzorStrHolder&)> OnChanging;

  // Line codecs of the stored form, by version; exposed for the resource reader and tests.
  static std::string EncodeLine(const std::string& line, const std::string& key);  // version 2
  static std::string DecodeLine(int32_t version, const std::string& stored, const std::string& key);

private:
  void Sort();  // sorts FStrings and applies Duplicates
  void Changing();
  void Changed();

  TStringList FStrings;
  bool FSorted = false;
};

}  // namespace kelda
