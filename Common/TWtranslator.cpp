// The translator's dictionary life, text look-up and component walk. Reading language files is
// in TWtranslator_Parser.cpp, the collected-texts file in TWtranslator_Collect.cpp.
#include "Common/TWtranslator.h"

#include <exception>

#include "Common/TWtranslatorCustoms.h"
#include "Common/zorTimerEx.h"
#include "Common/PublishedProperties.h"
#include "platform/CodePage.h"
#include "platform/Thread.h"

namespace kelda {

// ---------------------------------------------------------------------------------------------
// Dictionary

TWtranslLanguagesList::TWtranslLanguagesList() {
  Exact.SetCaseSensitive(true);
  Lower.SetCaseSensitive(true);  // its keys are lower case already
}

void TWtranslLanguagesList::Clear() {
  Exact.Clear();
  Lower.Clear();
}

// ---------------------------------------------------------------------------------------------
// Escaping

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

std::string_view TrimControls(std::string_view text) {
  std::size_t start = 0;
  std::size_t end = text.size();
  while (start < end && static_cast<unsigned char>(text[start]) < 33) ++start;
  while (end > start && static_cast<unsigned char>(text[end - 1]) < 33) --end;
  return text.substr(start, end - start);
}

bool HasControl(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) < 32) return true;
  return false;
}

// A translation as the caller gets it: escapes back to characters when the text had control
// characters; without an accelerator in the text, lone "&" marks go ("&&" stays).
std::u16string Unescape(const std::u16string& translation, bool controls, bool accelerator) {
  std::u16string out;
  out.reserve(translation.size());
  for (std::size_t i = 0; i < translation.size(); ++i) {
    char16_t c = translation[i];
    if (controls && c == u'%' && i + 2 < translation.size() && HexValue(translation[i + 1]) >= 0 &&
        HexValue(translation[i + 2]) >= 0) {
      out += static_cast<char16_t>(HexValue(translation[i + 1]) * 16 + HexValue(translation[i + 2]));
      i += 2;
      continue;
    }
    if (!accelerator && c == u'&') {
      if (i + 1 < translation.size() && translation[i + 1] == u'&') {
        out += u"&&";
        ++i;
      }
      continue;
    }
    out += c;
  }
  return out;
}

}  // namespace

std::string EscapeTranslationText(std::string_view text, bool withAccelerator, bool* hasAccelerator) {
  std::string out;
  out.reserve(text.size() + 8);
  bool ampersandSeen = false;
  if (hasAccelerator) *hasAccelerator = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 32) {
      out += '%';
      out += kHexDigits[c >> 4];
      out += kHexDigits[c & 15];
      continue;
    }
    if (c == '&' && !ampersandSeen) {
      ampersandSeen = true;
      if (i + 1 < text.size() && text[i + 1] == '&') {
        out += "&&";
        ++i;
        continue;
      }
      if (hasAccelerator) *hasAccelerator = true;
      if (withAccelerator) out += '&';
      continue;
    }
    out += static_cast<char>(c);
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// The component

struct TWtransl::TLookup {
  std::string Trimmed;
  std::string Escaped;  // the first form: accelerator kept
  bool Controls = false;
  bool Accelerator = false;
  bool Found = false;
  std::u16string Translation;  // unescaped
};

TWtransl::TWtransl(TComponent* owner, bool keepDictionary)
    : TComponent(owner),
      FKeepDictionary(keepDictionary),
      FLocale(platform::ThreadLocale()),
      FConstructionLocale(FLocale) {
  for (const char* name : {"CAPTION", "HINT", "TEXT", "TITLE", "CAPTIONS"}) ComponentProperties.Add(name);
}

TWtransl::~TWtransl() {
  try {
    WriteCollectedTexts();
  } catch (...) {
  }
  // The timer ends without waiting for the thread that made it (the host may free the instance
  // while that thread waits for something else); a tick under way finds no translator.
  {
    std::lock_guard<std::mutex> lock(FReleaseTarget->Lock);
    FReleaseTarget->Owner = nullptr;
  }
  TzorTimerEx* timer = nullptr;
  {
    platform::CriticalSectionGuard guard(FLock);
    timer = FReleaseTimer;
    FReleaseTimer = nullptr;
  }
  EndTimer(timer);
}

bool TWtransl::HasDictionary() const {
  platform::CriticalSectionGuard guard(FLock);
  return FDictionary != nullptr;
}

void TWtransl::SwitchTimer(bool on) {
  if (!FReleaseTimer) return;
  try {
    FReleaseTimer->SetEnabled(on);
  } catch (...) {
    // A timer that cannot be switched keeps the dictionary a little longer or shorter.
  }
}

void TWtransl::ReleaseDictionary() {
  platform::CriticalSectionGuard guard(FLock);
  SwitchTimer(false);
  FEntryCount = 0;
  FCacheKey.clear();
  FDictionary.reset();
}

bool TWtransl::Translate(const std::string& target, TComponent* component, std::string* text,
                         const std::string& source) {
  const std::string sourceCode = source.empty() ? SourceLanguage : source;
  const std::string targetCode = target.empty() ? DefaultLanguage(nullptr) : target;
  FLastTarget = targetCode;
  FLastSource = sourceCode;

  platform::CriticalSectionGuard guard(FLock);
  if (!FDictionary) {
    FDictionary = std::make_unique<TWtranslLanguagesList>();
    FCacheKey.clear();
    FEntryCount = 0;
  }
  // The file list is part of the key, so a changed list loads anew; codes count without case.
  const std::string key =
      platform::AnsiUpperCase(sourceCode) + '\n' + platform::AnsiUpperCase(targetCode) + '\n' + LanguageFile;
  if (key != FCacheKey) {
    // The key names the dictionary only once it is loaded: a load that throws half-way, or that
    // found no language file, is tried again on the next call.
    FCacheKey.clear();
    FEntryCount = LoadDictionary(LanguageFile, sourceCode, *FDictionary, targetCode);
    if (FEntryCount >= 0) FCacheKey = key;
  }
  SwitchTimer(false);
  TWtranslLanguagesList* dictionary = FDictionary.get();
  if (OnBeforeTranslate) OnBeforeTranslate(this, dictionary);

  bool result = false;
  if (FCollectMode != cmNone || FEntryCount > 0) {
    struct TActive {
      TWtranslLanguagesList*& Slot;
      ~TActive() { Slot = nullptr; }
    } active{FActiveDictionary = dictionary};
    if (component) {
      if (component->Tag != kTagSkipSelf) TranslateComponent(component);
      TranslateChildren(component);
    } else if (text) {
      *text = TranslateText(*text, dictionary);
    } else {
      SourceLanguage = targetCode;
    }
    if (OnAfterTranslate) OnAfterTranslate(this, dictionary);
    result = true;
  }
  if (result && !FKeepDictionary) {
    if (!FReleaseTimer) {
      try {
        auto timer = std::make_unique<TzorTimerEx>(nullptr);
        timer->SetEnabled(false);
        timer->SetInterval(kDictionaryReleaseMs);
        FReleaseTarget->Owner = this;
        timer->SetOnTimer([target = FReleaseTarget](TzorTimerEx* sender) {
          sender->SetEnabled(false);
          std::lock_guard<std::mutex> lock(target->Lock);
          if (target->Owner) target->Owner->ReleaseDictionary();
        });
        FReleaseTimer = timer.release();  // ended through EndTimer
      } catch (const std::exception&) {
        // Without a timer the dictionary simply stays.
      }
    }
    SwitchTimer(true);
  }
  return result;
}

// ---------------------------------------------------------------------------------------------
// Texts

bool TWtransl::FindTranslation(const std::string& text, TWtranslLanguagesList* dictionary, TLookup& lookup) {
  lookup.Trimmed = std::string(TrimControls(text));
  if (lookup.Trimmed.empty()) return false;
  lookup.Controls = HasControl(lookup.Trimmed);
  lookup.Escaped = EscapeTranslationText(lookup.Trimmed, true, &lookup.Accelerator);
  if (!dictionary) return true;
  std::u16string translation;
  bool found = dictionary->Exact.TryGet(lookup.Trimmed, translation) ||
               dictionary->Exact.TryGet(lookup.Escaped, translation);
  if (!found && dictionary->Exact.TryGet(EscapeTranslationText(lookup.Trimmed, false), translation)) {
    found = true;
    lookup.Accelerator = true;
  }
  if (!found) found = dictionary->Lower.TryGet(platform::AnsiLowerCase(lookup.Trimmed), translation);
  if (found) {
    lookup.Found = true;
    lookup.Translation = Unescape(translation, lookup.Controls, lookup.Accelerator);
  }
  return true;
}

std::string TWtransl::TranslateText(const std::string& text, TWtranslLanguagesList* dictionary) {
  TLookup lookup;
  if (!FindTranslation(text, dictionary, lookup)) return text;
  std::string result = lookup.Found ? platform::WideToAnsi(lookup.Translation) : text;
  bool accept = true;
  if (OnPropertyTranslate)
    OnPropertyTranslate(this, FCurrentObject, accept, lookup.Found, result, text, FCurrentProperty);
  if (FCollectMode != cmNone) CollectText(lookup.Escaped, lookup.Found, FCurrentObject, FCurrentProperty);
  return accept ? result : text;
}

std::u16string TWtransl::TranslateTextW(const std::u16string& text, TWtranslLanguagesList* dictionary) {
  const std::string ansi = platform::WideToAnsi(text);
  TLookup lookup;
  if (!FindTranslation(ansi, dictionary, lookup)) return text;
  std::string result = lookup.Found ? platform::WideToAnsi(lookup.Translation) : ansi;
  const std::string offered = result;
  bool accept = true;
  if (OnPropertyTranslate)
    OnPropertyTranslate(this, FCurrentObject, accept, lookup.Found, result, ansi, FCurrentProperty);
  if (FCollectMode != cmNone) CollectText(lookup.Escaped, lookup.Found, FCurrentObject, FCurrentProperty);
  if (!accept) return text;
  if (result != offered) return platform::AnsiToWide(result);  // the handler chose its own text
  return lookup.Found ? lookup.Translation : text;
}

// ---------------------------------------------------------------------------------------------
// The component walk

namespace {

// Bits of a tag 10000 + n and the properties they keep from translation.
struct TDropBit {
  int Bit;
  const char* Name;
};
constexpr TDropBit kDropBits[] = {{1, "hint"},    {2, "caption"}, {4, "items"},
                                  {8, "strings"}, {16, "text"},   {32, "pages"}};

bool StartsWith(const std::string& text, std::string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

bool TWtransl::DropsProperty(const TComponent* component, const std::string& name) const {
  const intptr_t tag = component->Tag;
  if (tag < kTagDropProperties || tag > kTagDropProperties + 47) return false;
  const auto bits = static_cast<int>(tag - kTagDropProperties);
  for (const TDropBit& drop : kDropBits)
    if ((bits & drop.Bit) && platform::AnsiCompareText(name, drop.Name) == 0) return true;
  return false;
}

void TWtransl::AdjustFonts(TObject* object) {
  auto* published = dynamic_cast<IPublishedProperties*>(object);
  if (!published) return;
  if (FBiDiMode != 0) {
    const TPropertyInfo* bidi = FindProperty(*published, "BiDiMode");
    if (bidi && bidi->Kind == TPropertyKind::Integer) SetPropValue(*object, *bidi, int32_t{FBiDiMode});
  }
  for (const char* fontName : {"FocusFont", "Font"}) {
    const TPropertyInfo* fontProperty = FindProperty(*published, fontName);
    if (!fontProperty || fontProperty->Kind != TPropertyKind::Object) continue;
    TObject* font = std::get<TObject*>(GetPropValue(*object, *fontProperty));
    auto* fontPublished = dynamic_cast<IPublishedProperties*>(font);
    if (!fontPublished) continue;
    const TPropertyInfo* charset = FindProperty(*fontPublished, "Charset");
    if (!charset || charset->Kind != TPropertyKind::Integer) continue;
    if (std::get<int32_t>(GetPropValue(*font, *charset)) == kSymbolCharset) continue;
    SetPropValue(*font, *charset, int32_t{FCharset});
  }
}

void TWtransl::TranslateProperty(TObject* object, const TPropertyInfo& property) {
  TWtranslLanguagesList* dictionary = FDictionary.get();
  FCurrentObject = object;
  FCurrentProperty = property.Name;
  switch (property.Kind) {
    case TPropertyKind::Text: {
      const std::string value = std::get<std::string>(GetPropValue(*object, property));
      std::string translated = TranslateText(value, dictionary);
      if (translated != value) SetPropValue(*object, property, std::move(translated));
      break;
    }
    case TPropertyKind::StringList: {
      TStringList* lines = std::get<TStringList*>(GetPropValue(*object, property));
      for (int i = 0; lines && i < lines->Count(); ++i) {
        std::string translated = TranslateText(lines->Strings(i), dictionary);
        if (translated != lines->Strings(i)) lines->SetString(i, std::move(translated));
      }
      break;
    }
    case TPropertyKind::Object: {
      TObject* value = std::get<TObject*>(GetPropValue(*object, property));
      if (!value) break;
      if (!RunCustomTranslator(*this, object, true, dictionary, &property, value) &&
          OnCustomObjectPropertyTranslate)
        OnCustomObjectPropertyTranslate(this, object, property, value, dictionary);
      break;
    }
    default:
      break;  // numbers have nothing to translate
  }
}

void TWtransl::TranslateComponent(TObject* object) {
  if (!object) return;
  TWtranslLanguagesList* dictionary = FDictionary.get();
  bool allow = true;
  if (OnBeforeTranslateComponent) OnBeforeTranslateComponent(this, object, allow, dictionary);
  if (!allow) return;
  try {
    AdjustFonts(object);
  } catch (const std::exception&) {
  }
  auto* component = dynamic_cast<TComponent*>(object);
  if (auto* published = dynamic_cast<IPublishedProperties*>(object)) {
    for (int i = 0; i < ComponentProperties.Count(); ++i) {
      const std::string name = ComponentProperties.Strings(i);
      if (component && DropsProperty(component, name)) continue;
      const TPropertyInfo* property = FindProperty(*published, name);
      if (!property) continue;
      try {
        TranslateProperty(object, *property);
      } catch (const std::exception&) {
        // One property that cannot be translated leaves the others to go on.
      }
    }
  }
  FCurrentObject = object;
  FCurrentProperty = {};
  RunCustomTranslator(*this, object, false, dictionary, nullptr, nullptr);
  if (OnCustomTranslate) OnCustomTranslate(this, object);
  FCurrentObject = nullptr;
}

void TWtransl::TranslateChildren(TComponent* component) {
  // By index: a handler may add or remove components while the walk runs.
  for (int i = 0; i < component->ComponentCount(); ++i) {
    TComponent* child = component->Components(i);
    if (child->Tag == kTagSkipTree || StartsWith(child->Name, "__")) continue;
    if (child->Tag == kTagCustomOnly) {
      if (OnCustomTranslate) OnCustomTranslate(this, child);
    } else if (child->Tag != kTagSkipSelf) {
      TranslateComponent(child);
    }
    if (!StartsWith(child->Name, "_") && child->ComponentCount() > 0) TranslateChildren(child);
  }
}

}  // namespace kelda
