// Custom translators: per class of object, a routine that translates objects the generic
// property walk cannot handle. An entry with an empty mask translates objects held in a
// property (string lists); an entry with a non-empty mask translates a whole object. The
// registry is process-wide; units register their translators at start-up and the entries live
// until the library goes.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Common/Classes.h"

namespace kelda {

struct TPropertyInfo;
class TWtransl;
class TWtranslLanguagesList;

class TWtranslatorCustom : public TObject {
public:
  explicit TWtranslatorCustom(const std::string& mask);
  const std::string& Mask() const { return FMask; }  // lower case

  // Whether the object belongs to the class this entry serves.
  virtual bool Serves(const TObject* object) const = 0;
  // Translates the object (for an empty mask: `value`, held in `property` of `object`); false
  // when it did not handle it.
  virtual bool Translate(TWtransl& translator, TObject* object, TWtranslLanguagesList* dictionary,
                         const TPropertyInfo* property, TObject* value) = 0;

private:
  std::string FMask;
};

// An entry that serves class T and its descendants.
template <class T>
class TWtranslatorCustomFor : public TWtranslatorCustom {
public:
  using TWtranslatorCustom::TWtranslatorCustom;
  bool Serves(const TObject* object) const override { return dynamic_cast<const T*>(object) != nullptr; }
};

// Appends an entry under the registry's lock; answers it (the registry owns it).
TWtranslatorCustom* RegisterCustomTranslator(std::unique_ptr<TWtranslatorCustom> entry);
// Takes an entry out again and destroys it (tests register and remove their own); only while
// no translation runs, as entries are called without the registry's lock.
void UnregisterCustomTranslator(TWtranslatorCustom* entry);

// Offers the object to the first entry of the kind (empty mask or not) that serves it; true
// when that entry handled it. The entry runs without the registry's lock held.
bool RunCustomTranslator(TWtransl& translator, TObject* object, bool emptyMask,
                         TWtranslLanguagesList* dictionary, const TPropertyInfo* property, TObject* value);

// A list of wide strings, as wide-text controls hold their lines.
class TWideStrings : public TObject {
public:
  std::vector<std::u16string> Lines;
};

// Translates a wide string list held in a property, line by line.
class TWtranslatorCustomTntStrings : public TWtranslatorCustomFor<TWideStrings> {
public:
  TWtranslatorCustomTntStrings() : TWtranslatorCustomFor<TWideStrings>("") {}
  bool Translate(TWtransl& translator, TObject* object, TWtranslLanguagesList* dictionary,
                 const TPropertyInfo* property, TObject* value) override;
};

}  // namespace kelda
