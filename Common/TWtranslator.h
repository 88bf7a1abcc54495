// TWtransl: the run-time translator. It reads language files (plain 8-bit text, blocks of
// "EN:>source" and "DE:>translation" lines), keeps a dictionary from the module's English texts
// to one target language, and translates single texts, the named published properties of a
// component, and whole component trees.
//
// Language file, in short:
//   - lines end with LF, CR LF or CR; spaces at both ends of a line are dropped;
//   - the first 19 lines may hold directives: "//filenew", "//filerewrite", "//fileappend"
//     (how the collected-texts file is written), "//saveuntr", "//saveall", "//saveunused",
//     "//saveuntrobj" (which texts are collected), and settings lines containing "Encoding=",
//     "BiDiMode=", "Locale=" or "Charset=";
//   - other lines beginning with "//" are comments;
//   - a block is a run of non-empty lines; an empty line or the end of the file ends it. In a
//     block, "<source code>:>" begins the source text and "<target code>:>" the translation
//     (codes without regard to case: "de:>" and "DE:>" are one language);
//   - a section "[Languages]" names the languages: "Default = DE", "$DE = Deutsch".
//
// Component tags: 9999 skips a component with everything it owns, 9998 skips only the
// component itself, 9997 only raises OnCustomTranslate for it; 10000 + n drops properties by
// the bits of n (1 hint, 2 caption, 4 items, 8 strings, 16 text, 32 pages). A component whose
// name begins with "__" is skipped with everything it owns.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <string_view>
#include <vector>

#include "Common/Classes.h"
#include "Common/Component.h"
#include "Common/zorHashList.h"
#include "platform/Sync.h"

namespace kelda {

struct TPropertyInfo;
class TzorTimerEx;
class TWtransl;

// The dictionary: source text → translation, and lower-case source text → translation.
class TWtranslLanguagesList : public TObject {
public:
  TWtranslLanguagesList();
  void Clear();

  TzorStringWideStringHashList Exact;
  TzorStringWideStringHashList Lower;
};

// One line of the language file being parsed.
struct TBlockItem {
  std::string Line;
};

constexpr intptr_t kTagSkipTree = 9999;
constexpr intptr_t kTagSkipSelf = 9998;
constexpr intptr_t kTagCustomOnly = 9997;
constexpr intptr_t kTagDropProperties = 10000;  // + n, n = 0..47

enum TCollectMode : int {
  cmNone = 0,
  cmUntranslated = 1,
  cmAll = 2,
  cmUnused = 3,
  cmUntranslatedObjects = 4
};
enum TCollectFileMode : int { cfNew = 0, cfRewrite = 1, cfAppend = 2 };
enum TTextEncoding : int { encAnsi = 0, encUtf8 = 1, encUtf16 = 2, encUnicode = 3 };

constexpr int kDefaultCharset = 1;
constexpr int kSymbolCharset = 2;

// How long the dictionary stays after the last translation.
constexpr uint32_t kDictionaryReleaseMs = 20000;

using TCustomTranslateNotify = std::function<void(TWtransl* sender, TObject* object)>;
using TTranslateNotify = std::function<void(TWtransl* sender, TWtranslLanguagesList* dictionary)>;
using TCustomObjectPropertyTranslateNotify =
    std::function<void(TWtransl* sender, TObject* object, const TPropertyInfo& property, TObject* value,
                       TWtranslLanguagesList* dictionary)>;
using TBeforeTranslateComponentNotify =
    std::function<void(TWtransl* sender, TObject* object, bool& allow, TWtranslLanguagesList* dictionary)>;
using TPropertyTranslateNotify =
    std::function<void(TWtransl* sender, TObject* object, bool& accept, bool found, std::string& result,
                       const std::string& untranslated, std::string_view property)>;

// What one language file parse produced.
struct TLanguageFileEntry {
  std::string Source;          // 8-bit, as in the file
  std::u16string Translation;  // decoded
};

class TWtransl : public TComponent {
public:
  TWtransl(TComponent* owner, bool keepDictionary);
  ~TWtransl() override;

  // Published.
  TStringList ComponentProperties;  // compared without regard to case
  std::string LanguageFile = "app.lng";
  TCustomTranslateNotify OnCustomTranslate;
  TTranslateNotify OnBeforeTranslate;
  TTranslateNotify OnAfterTranslate;
  TCustomObjectPropertyTranslateNotify OnCustomObjectPropertyTranslate;
  TBeforeTranslateComponentNotify OnBeforeTranslateComponent;
  TPropertyTranslateNotify OnPropertyTranslate;

  std::string SourceLanguage = "EN";

  // Translates the component (with what it owns), or the text, into the target language.
  // Empty target: the default language of the language files; empty source: SourceLanguage.
  // False when the dictionary has no entries and no collect mode is set.
  bool Translate(const std::string& target, TComponent* component, std::string* text,
                 const std::string& source = {});

  // The translation of one text, or the text itself when the dictionary has none.
  std::string TranslateText(const std::string& text, TWtranslLanguagesList* dictionary);
  // The same for wide texts: looked up by their 8-bit form, answered without loss.
  std::u16string TranslateTextW(const std::u16string& text, TWtranslLanguagesList* dictionary);

  // The default target language named by the language files; their languages as
  // "code,display name" lines into `languages` when given.
  std::string DefaultLanguage(TStringList* languages);

  // Translation of one object's named properties and of what a component owns; used by the
  // walk and by custom translators.
  void TranslateComponent(TObject* object);
  void TranslateChildren(TComponent* component);

  // State the language files set.
  int Charset() const { return FCharset; }
  uint32_t CodePage() const { return FCodePage; }
  int Encoding() const { return FEncoding; }
  int BiDiMode() const { return FBiDiMode; }
  int CollectMode() const { return FCollectMode; }
  int CollectFileMode() const { return FCollectFileMode; }
  int EntryCount() const { return FEntryCount; }
  const TStringList& CollectedTexts() const { return FCollected; }
  bool HasDictionary() const;

  // The dictionary in use while a translation runs (handlers may pass it on); none otherwise.
  TWtranslLanguagesList* ActiveDictionary() const { return FActiveDictionary; }

  // The dictionary's release timer (none before the first translation); tests drive its tick.
  TzorTimerEx* ReleaseTimer() const { return FReleaseTimer; }
  // Drops the dictionary; the next translation loads it again.
  void ReleaseDictionary();

  // Loads every existing file of the list into the dictionary; the number of entries, or -1
  // when no file was read.
  int LoadDictionary(const std::string& fileList, const std::string& source,
                     TWtranslLanguagesList& dictionary, const std::string& target);

  // Parses one language file's bytes: entries of source → target, and the directives and
  // settings into this translator.
  std::vector<TLanguageFileEntry> ParseLanguageFile(std::string_view bytes, const std::string& source,
                                                    const std::string& target);

  // Where a translation is kept for the collected-texts file of the current language files.
  std::string CollectedTextsFileName() const;
  void WriteCollectedTexts();

private:
  struct TLookup;
  bool FindTranslation(const std::string& text, TWtranslLanguagesList* dictionary, TLookup& lookup);
  void CollectText(const std::string& escaped, bool found, TObject* object, std::string_view property);
  void TranslateProperty(TObject* object, const TPropertyInfo& property);
  void AdjustFonts(TObject* object);
  bool DropsProperty(const TComponent* component, const std::string& name) const;
  bool OfferToCustomTranslator(TObject* object, bool emptyMask, const TPropertyInfo* property,
                               TObject* value);
  void ApplySetting(std::string_view line);
  void ApplyDirective(std::string_view directive);
  void ResetFileSettings();
  void SwitchTimer(bool on);

  mutable platform::TCriticalSection FLock;  // the dictionary, the cache key and the timer
  std::unique_ptr<TWtranslLanguagesList> FDictionary;
  TWtranslLanguagesList* FActiveDictionary = nullptr;
  std::string FCacheKey;
  int FEntryCount = 0;
  TzorTimerEx* FReleaseTimer = nullptr;
  // What the release timer's handler reaches the translator through. The translator ends its
  // timer without waiting for the timer's thread, so a tick already under way may still run
  // while the translator goes: it finds Owner cleared, under Lock, and does nothing.
  struct TReleaseTarget {
    std::mutex Lock;
    TWtransl* Owner = nullptr;
  };
  std::shared_ptr<TReleaseTarget> FReleaseTarget = std::make_shared<TReleaseTarget>();
  bool FKeepDictionary;

  int FCharset = kDefaultCharset;
  uint32_t FCodePage = 0;
  int FEncoding = encAnsi;
  int FBiDiMode = 0;
  uint32_t FLocale;
  uint32_t FConstructionLocale;
  int FCollectMode = cmNone;
  int FCollectFileMode = cfNew;
  TStringList FCollected;                                 // kept sorted
  std::unordered_set<std::string> FCollectedObjectTexts;  // texts already listed with an object
  std::string FLastTarget;
  std::string FLastSource;

  // Object and property of the text being translated, for OnPropertyTranslate and collecting.
  TObject* FCurrentObject = nullptr;
  std::string_view FCurrentProperty;
};

// Escaping of texts as language files hold them: characters below 32 as "%" and two
// hexadecimal digits. `withAccelerator` keeps the first lone "&"; without it that "&" is
// dropped. hasAccelerator tells whether the text had one.
std::string EscapeTranslationText(std::string_view text, bool withAccelerator,
                                  bool* hasAccelerator = nullptr);

}  // namespace kelda
