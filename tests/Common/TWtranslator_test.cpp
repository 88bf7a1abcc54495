#include "Common/TWtranslator.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Common/CustomTextResources.h"
#include "Common/TWtranslatorCustoms.h"
#include "Common/zorTimerEx.h"
#include "Common/PublishedProperties.h"
#include "platform/CodePage.h"
#include "platform/Thread.h"

using namespace kelda;
using namespace std::string_literals;

namespace {

// A folder of its own for each test, removed with everything in it at the end.
class TTempDir {
public:
  TTempDir() {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    std::random_device random;
    FPath = std::filesystem::temp_directory_path() /
            (std::string("kelda_lng_") + info->name() + "_" + std::to_string(random()));
    std::filesystem::create_directories(FPath);
  }
  ~TTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(FPath, ignored);
  }
  std::string File(const std::string& name) const { return (FPath / name).string(); }
  std::string Write(const std::string& name, const std::string& bytes) const {
    std::ofstream out(File(name), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return File(name);
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(File(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  bool Exists(const std::string& name) const { return std::filesystem::exists(FPath / name); }

private:
  std::filesystem::path FPath;
};

std::string Lines(const std::vector<std::string>& lines, const std::string& end = "\r\n") {
  std::string text;
  for (const std::string& line : lines) text += line + end;
  return text;
}

// A font with a charset, as controls hold one.
class TTestFont : public TObject, public IPublishedProperties {
public:
  const TPropertyTable& PublishedProperties() const override;
  int32_t Charset = kDefaultCharset;
};

const TPropertyInfo FontProperties[] = {IntegerField<TTestFont, &TTestFont::Charset>("Charset")};
const TPropertyTable FontTable{nullptr, FontProperties};
const TPropertyTable& TTestFont::PublishedProperties() const {
  return FontTable;
}

class TUnknownThing : public TObject {};

// A control with the kinds of properties the walk meets.
class TTestControl : public TComponent, public IPublishedProperties {
public:
  TTestControl(TComponent* owner, const std::string& name, intptr_t tag = 0) : TComponent(owner) {
    Name = name;
    Tag = tag;
  }
  const TPropertyTable& PublishedProperties() const override;

  std::string Caption;
  std::string Hint;
  TStringList Items;
  TTestFont Font;
  int32_t BiDiMode = 0;
  TWideStrings WideLines;
  TUnknownThing Thing;
};

template <class T, T TTestControl::*Field>
TPropertyInfo ObjectField(std::string_view name) {
  return {name, TPropertyKind::Object,
          [](const TObject& o) -> TPropertyValue {
            return static_cast<TObject*>(const_cast<T*>(&(static_cast<const TTestControl&>(o).*Field)));
          },
          [](TObject&, const TPropertyValue&) {}};
}

const TPropertyInfo ControlProperties[] = {
    TextField<TTestControl, &TTestControl::Caption>("Caption"),
    TextField<TTestControl, &TTestControl::Hint>("Hint"),
    StringListField<TTestControl, &TTestControl::Items>("Items"),
    ObjectField<TTestFont, &TTestControl::Font>("Font"),
    IntegerField<TTestControl, &TTestControl::BiDiMode>("BiDiMode"),
    ObjectField<TWideStrings, &TTestControl::WideLines>("WideLines"),
    ObjectField<TUnknownThing, &TTestControl::Thing>("Thing"),
};
const TPropertyTable ControlTable{nullptr, ControlProperties};
const TPropertyTable& TTestControl::PublishedProperties() const {
  return ControlTable;
}

const std::string kGermanFile = Lines({
    "[Languages]",
    "$EN = English",
    "$DE = Deutsch",
    "Default = DE",
    "",
    "EN:>Registers",
    "DE:>Register",
    "",
    "EN:>&Open",
    "DE:>\xD6&ffnen",
    "",
    "EN:>Save",
    "DE:>&Speichern",
    "",
    "EN:>Fish && Chips",
    "DE:>Fisch && Pommes",
    "",
    "EN:>Line one%0D%0ALine two",
    "DE:>Zeile eins%0D%0AZeile zwei",
    "",
    "EN:>Polling",
    "DE:>Erster Versuch",
    "DE:>Zyklisch",
    "",
    "EN:>Hint text",
    "DE:>Hinweis",
    "",
    "EN:>No translation here",
    "",
    "   // a comment, indented",
    "Encoding=utf-8",
    "EN:>Late setting",
    "DE:>Sp\xC3\xA4t",
    "",
});

// The translation of one text into the target, through the translator's own dictionary.
std::string Tr(TWtransl& translator, const std::string& text, const std::string& target = "DE") {
  std::string value = text;
  translator.Translate(target, nullptr, &value);
  return value;
}

std::u16string TrW(TWtransl& translator, const std::string& text, const std::string& target = "DE") {
  std::u16string result;
  TWtranslLanguagesList* seen = nullptr;
  translator.OnBeforeTranslate = [&](TWtransl* sender, TWtranslLanguagesList* dictionary) {
    seen = dictionary;
  };
  std::string ignored;
  translator.Translate(target, nullptr, &ignored);
  translator.OnBeforeTranslate = nullptr;
  return translator.TranslateTextW(platform::AnsiToWide(text), seen);
}

}  // namespace

TEST(TWtranslator, LanguageFileBlocksLanguagesAndDefaults) {
  TTempDir dir;
  TWtransl translator(nullptr, true);
  translator.LanguageFile = dir.File("missing.lng") + "|" + dir.Write("app.lng", kGermanFile);

  TStringList languages;
  EXPECT_EQ(translator.DefaultLanguage(&languages), "DE");
  ASSERT_EQ(languages.Count(), 2);
  EXPECT_EQ(languages.Strings(0), "EN,English");
  EXPECT_EQ(languages.Strings(1), "DE,Deutsch");

  std::string text = "Registers";
  EXPECT_TRUE(translator.Translate("", nullptr, &text)) << "an empty target is the files' default";
  EXPECT_EQ(text, "Register");
  EXPECT_EQ(translator.EntryCount(), 8) << "blocks without a translation add nothing";
  EXPECT_EQ(Tr(translator, "Polling"), "Zyklisch") << "the last translation line of a block counts";
  EXPECT_EQ(Tr(translator, "No translation here"), "No translation here");
  // Settings are read in the first lines only: further down the line is part of a block, and
  // the translation stays 8-bit text of the system page.
  EXPECT_EQ(translator.Encoding(), encAnsi);
  EXPECT_EQ(TrW(translator, "Late setting"), u"Sp\u00C3\u00A4t");

  // Source and target may be swapped: the German text is the source then.
  EXPECT_EQ(Tr(translator, "Register", "EN"), "Register") << "EN is the source; no EN-to-EN entry for it";
  text = "Zyklisch";
  EXPECT_TRUE(translator.Translate("EN", nullptr, &text, "DE"));
  EXPECT_EQ(text, "Polling");

  // Language codes are one language whatever their case, in the request and in the file.
  EXPECT_EQ(Tr(translator, "Registers", "de"), "Register");
  text = "Polling";
  EXPECT_TRUE(translator.Translate("dE", nullptr, &text, "en"));
  EXPECT_EQ(text, "Zyklisch");
  TWtransl lowerFile(nullptr, true);
  lowerFile.LanguageFile = dir.Write("lower.lng", Lines({"en:>Registers", "de:>Register", ""}));
  EXPECT_EQ(Tr(lowerFile, "Registers", "DE"), "Register");

  // A file without languages is passed over; no file at all names no language.
  TWtransl plain(nullptr, true);
  plain.LanguageFile = dir.Write("plain.lng", Lines({"EN:>A", "DE:>B", ""})) + "|" + dir.File("app.lng");
  EXPECT_EQ(plain.DefaultLanguage(nullptr), "DE");
  plain.LanguageFile = dir.File("none.lng");
  EXPECT_EQ(plain.DefaultLanguage(nullptr), "");
}

TEST(TWtranslator, TextLookupEscapesAcceleratorsSpacesAndCase) {
  TTempDir dir;
  TWtransl translator(nullptr, true);
  translator.LanguageFile = dir.Write("app.lng", kGermanFile);

  EXPECT_EQ(Tr(translator, "&Open"), "\xD6&ffnen") << "a marked text keeps the translation's mark";
  EXPECT_EQ(Tr(translator, "Save"), "Speichern") << "an unmarked text loses the translation's mark";
  EXPECT_EQ(Tr(translator, "&Save"), "&Speichern") << "found without its mark, keeps the translation's mark";
  EXPECT_EQ(Tr(translator, "Fish && Chips"), "Fisch && Pommes") << "a doubled mark stays doubled";
  EXPECT_EQ(Tr(translator, "Line one\r\nLine two"), "Zeile eins\r\nZeile zwei");
  EXPECT_EQ(Tr(translator, "  Registers \t"), "Register") << "looked up and answered without the blanks";
  EXPECT_EQ(Tr(translator, "rEGISTERS"), "Register") << "letter case differs only";
  EXPECT_EQ(Tr(translator, "   "), "   ");
  EXPECT_EQ(Tr(translator, ""), "");
  EXPECT_EQ(Tr(translator, "Registers2"), "Registers2");

  // The property hook sees every look-up and may refuse a translation.
  std::vector<std::string> seen;
  translator.OnPropertyTranslate = [&](TWtransl*, TObject*, bool& accept, bool found, std::string& result,
                                       const std::string& untranslated, std::string_view) {
    seen.push_back(untranslated + (found ? "+" : "-") + result);
    if (untranslated == "Save") accept = false;
  };
  EXPECT_EQ(Tr(translator, "Save"), "Save");
  EXPECT_EQ(Tr(translator, "Registers"), "Register");
  EXPECT_EQ(seen, (std::vector<std::string>{"Save+Speichern", "Registers+Register"}));

  EXPECT_EQ(EscapeTranslationText("a&b&c\t", true), "a&b&c%09");
  EXPECT_EQ(EscapeTranslationText("a&b&c", false), "ab&c") << "only the first mark is one";
  EXPECT_EQ(EscapeTranslationText("a&&b&c", false), "a&&b&c");
}

TEST(TWtranslator, ComponentWalkFollowsTagsNamesAndDroppedProperties) {
  TTempDir dir;
  dir.Write("app.lng", Lines({"BiDiMode=RightToLeft", "Charset=windows-1251", "EN:>Caption", "DE:>Titel", "",
                              "EN:>Hint", "DE:>Tipp", "", "EN:>Line", "DE:>Zeile", ""}));
  TWtransl translator(nullptr, true);
  translator.LanguageFile = dir.File("app.lng");
  translator.ComponentProperties.Add("Items");

  auto fill = [](TTestControl* control) {
    control->Caption = "Caption";
    control->Hint = "Hint";
    control->Items.Add("Line");
    control->Items.Add("Other");
  };
  TTestControl root(nullptr, "Root");
  auto* plain = new TTestControl(&root, "Plain");
  auto* skipTree = new TTestControl(&root, "SkipTree", kTagSkipTree);
  auto* underSkipTree = new TTestControl(skipTree, "UnderSkipTree");
  auto* skipSelf = new TTestControl(&root, "SkipSelf", kTagSkipSelf);
  auto* underSkipSelf = new TTestControl(skipSelf, "UnderSkipSelf");
  auto* customOnly = new TTestControl(&root, "CustomOnly", kTagCustomOnly);
  auto* noHint = new TTestControl(&root, "NoHint", kTagDropProperties + 1);
  auto* noCaptionItems = new TTestControl(&root, "NoCaptionItems", kTagDropProperties + 6);
  auto* hidden = new TTestControl(&root, "__Hidden");
  auto* underHidden = new TTestControl(hidden, "UnderHidden");
  auto* leaf = new TTestControl(&root, "_Leaf");
  auto* underLeaf = new TTestControl(leaf, "UnderLeaf");
  for (TTestControl* c : {&root, plain, skipTree, underSkipTree, skipSelf, underSkipSelf, customOnly, noHint,
                          noCaptionItems, hidden, underHidden, leaf, underLeaf})
    fill(c);
  leaf->Font.Charset = kSymbolCharset;

  std::vector<std::string> custom;
  translator.OnCustomTranslate = [&](TWtransl*, TObject* object) {
    custom.push_back(static_cast<TTestControl*>(object)->Name);
  };
  translator.OnBeforeTranslateComponent = [](TWtransl*, TObject* object, bool& allow,
                                             TWtranslLanguagesList*) {
    allow = static_cast<TTestControl*>(object)->Name != "Plain";
  };
  EXPECT_TRUE(translator.Translate("DE", &root, nullptr));

  auto state = [](const TTestControl* c) { return c->Caption + "/" + c->Hint + "/" + c->Items.Strings(0); };
  EXPECT_EQ(state(&root), "Titel/Tipp/Zeile");
  EXPECT_EQ(root.Items.Strings(1), "Other");
  EXPECT_EQ(root.BiDiMode, 1);
  EXPECT_EQ(root.Font.Charset, 204);
  EXPECT_EQ(state(plain), "Caption/Hint/Line") << "refused by OnBeforeTranslateComponent";
  EXPECT_EQ(state(skipTree), "Caption/Hint/Line");
  EXPECT_EQ(state(underSkipTree), "Caption/Hint/Line");
  EXPECT_EQ(state(skipSelf), "Caption/Hint/Line");
  EXPECT_EQ(state(underSkipSelf), "Titel/Tipp/Zeile");
  EXPECT_EQ(state(customOnly), "Caption/Hint/Line");
  EXPECT_EQ(state(noHint), "Titel/Hint/Zeile");
  EXPECT_EQ(state(noCaptionItems), "Caption/Tipp/Line");
  EXPECT_EQ(state(hidden), "Caption/Hint/Line");
  EXPECT_EQ(state(underHidden), "Caption/Hint/Line");
  EXPECT_EQ(state(leaf), "Titel/Tipp/Zeile");
  EXPECT_EQ(leaf->Font.Charset, kSymbolCharset) << "a symbol font keeps its charset";
  EXPECT_EQ(state(underLeaf), "Caption/Hint/Line") << "a name beginning with _ keeps its children out";
  EXPECT_EQ(custom, (std::vector<std::string>{"Root", "UnderSkipSelf", "CustomOnly", "NoHint",
                                              "NoCaptionItems", "_Leaf"}))
      << "depth first, in ownership order; refused and skipped components raise nothing";

  // A root with tag 9998 is passed by, what it owns is not.
  TTestControl top(nullptr, "Top", kTagSkipSelf);
  auto* child = new TTestControl(&top, "Child");
  fill(&top);
  fill(child);
  translator.OnBeforeTranslateComponent = nullptr;
  translator.Translate("DE", &top, nullptr);
  EXPECT_EQ(state(&top), "Caption/Hint/Line");
  EXPECT_EQ(state(child), "Titel/Tipp/Zeile");
}

namespace {

// A whole-object translator for controls named "Special": it replaces the caption itself.
class TSpecialTranslator : public TWtranslatorCustomFor<TTestControl> {
public:
  TSpecialTranslator() : TWtranslatorCustomFor<TTestControl>("SPECIAL*") {}
  bool Translate(TWtransl& translator, TObject* object, TWtranslLanguagesList* dictionary,
                 const TPropertyInfo*, TObject*) override {
    auto* control = static_cast<TTestControl*>(object);
    if (control->Name != "Special") return false;
    control->Caption = "<" + translator.TranslateText(control->Caption, dictionary) + ">";
    return true;
  }
};

class TTestTexts : public TCustomTextResources {
public:
  explicit TTestTexts(TComponent* owner) : TCustomTextResources(owner) {
    RegisterText(&First);
    RegisterText(&Empty);
    RegisterText(&Second);
  }
  std::string First = "Caption";
  std::string Empty;
  std::string Second = "Hint";
};

}  // namespace

TEST(TWtranslator, CustomTranslatorsForListsObjectsAndTextResources) {
  TTempDir dir;
  dir.Write("app.lng", Lines({"Encoding=utf-8", "EN:>Caption", "DE:>Titel", "", "EN:>Hint", "DE:>Tipp", "",
                              "EN:>Wide", "DE:>\xD0\x96\xE2\x82\xAC", ""}));
  TWtransl translator(nullptr, true);
  translator.LanguageFile = dir.File("app.lng");
  translator.ComponentProperties.Add("WideLines");
  translator.ComponentProperties.Add("Thing");

  TWtranslatorCustom* special = RegisterCustomTranslator(std::make_unique<TSpecialTranslator>());
  EXPECT_EQ(special->Mask(), "special*");
  TTestControl root(nullptr, "Root");
  root.WideLines.Lines = {u"Wide", u"Other", u"Caption"};
  auto* specialControl = new TTestControl(&root, "Special");
  specialControl->Caption = "Caption";
  auto* texts = new TTestTexts(&root);
  EXPECT_EQ(texts->Tag, kTagCustomOnly);

  std::vector<std::string> unknownObjects;
  translator.OnCustomObjectPropertyTranslate = [&](TWtransl*, TObject*, const TPropertyInfo& property,
                                                   TObject*, TWtranslLanguagesList*) {
    unknownObjects.push_back(std::string(property.Name));
  };
  translator.Translate("DE", &root, nullptr);
  UnregisterCustomTranslator(special);

  EXPECT_EQ(root.WideLines.Lines, (std::vector<std::u16string>{u"\u0416\u20AC", u"Other", u"Titel"}))
      << "wide lines keep characters outside the system page";
  EXPECT_EQ(specialControl->Caption, "<Titel>");
  EXPECT_EQ(unknownObjects, std::vector<std::string>(2, "Thing")) << "once per control: Root, Special";
  EXPECT_EQ(texts->First, "Caption") << "the walk leaves text resources to OnCustomTranslate";

  // Translated as a root, text resources go through their registered translator, once.
  translator.Translate("DE", texts, nullptr);
  EXPECT_TRUE(texts->Translated());
  EXPECT_EQ(texts->First, "Titel");
  EXPECT_EQ(texts->Empty, "");
  EXPECT_EQ(texts->Second, "Tipp");
  texts->First = "Caption";
  translator.Translate("DE", texts, nullptr);
  EXPECT_EQ(texts->First, "Caption") << "translated once only";
  // Restoring brings the English back, except where the program changed a text since.
  texts->First = "Mine";
  texts->RestoreTexts();
  EXPECT_EQ(texts->First, "Mine");
  EXPECT_EQ(texts->Second, "Hint");
  EXPECT_FALSE(texts->Translated());
}

namespace {

// An entry that has a second translator translate a control on another thread and waits for
// it, as a handler that hands its work to a worker does.
class TRelayTranslator : public TWtranslatorCustomFor<TTestControl> {
public:
  TRelayTranslator() : TWtranslatorCustomFor<TTestControl>("RELAY*") {}
  bool Translate(TWtransl&, TObject* object, TWtranslLanguagesList*, const TPropertyInfo*,
                 TObject*) override {
    if (static_cast<TTestControl*>(object)->Name != "Relay") return false;
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    Worker = std::thread([this, done] {
      TWtransl other(nullptr, true);
      other.LanguageFile = LanguageFile;
      other.ComponentProperties.Add("WideLines");
      other.Translate("DE", Target, nullptr);
      done->set_value();
    });
    WorkerFinished = finished.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    return true;
  }
  std::string LanguageFile;
  TTestControl* Target = nullptr;
  std::thread Worker;
  bool WorkerFinished = false;
};

}  // namespace

TEST(TWtranslator, CustomTranslatorsMayTranslateOnOtherThreads) {
  TTempDir dir;
  auto owned = std::make_unique<TRelayTranslator>();
  TRelayTranslator* relay = owned.get();
  relay->LanguageFile =
      dir.Write("app.lng", Lines({"EN:>Caption", "DE:>Titel", "", "EN:>Wide", "DE:>Breit", ""}));
  TTestControl target(nullptr, "Target");
  target.Caption = "Caption";
  target.WideLines.Lines = {u"Wide"};
  relay->Target = &target;
  TWtranslatorCustom* entry = RegisterCustomTranslator(std::move(owned));

  TWtransl translator(nullptr, true);
  translator.LanguageFile = relay->LanguageFile;
  TTestControl root(nullptr, "Root");
  new TTestControl(&root, "Relay");
  translator.Translate("DE", &root, nullptr);
  if (relay->Worker.joinable()) relay->Worker.join();
  const bool finished = relay->WorkerFinished;
  UnregisterCustomTranslator(entry);

  EXPECT_TRUE(finished) << "the worker waited for the registry while its caller held it";
  EXPECT_EQ(target.Caption, "Titel");
  EXPECT_EQ(target.WideLines.Lines, std::vector<std::u16string>{u"Breit"});
}

TEST(TWtranslator, NothingToTranslateChangesNothing) {
  TTempDir dir;
  TWtransl translator(nullptr, true);
  translator.LanguageFile = dir.Write("app.lng", kGermanFile);
  TTestControl root(nullptr, "Root");
  root.Caption = "Registers";
  EXPECT_FALSE(translator.Translate("NONE", &root, nullptr));
  EXPECT_EQ(root.Caption, "Registers");
  EXPECT_EQ(translator.EntryCount(), 0);
  EXPECT_EQ(translator.ReleaseTimer(), nullptr);

  translator.LanguageFile = dir.File("missing.lng");
  EXPECT_FALSE(translator.Translate("DE", &root, nullptr));
  EXPECT_EQ(translator.EntryCount(), -1) << "no file read";
  // A language file that appears later is read on the next call: no file is not a dictionary.
  dir.Write("missing.lng", kGermanFile);
  EXPECT_TRUE(translator.Translate("DE", &root, nullptr));
  EXPECT_GT(translator.EntryCount(), 0);
  EXPECT_EQ(root.Caption, "Register");

  // With entries and neither component nor text, the target becomes the source language.
  translator.LanguageFile = dir.File("app.lng");
  EXPECT_TRUE(translator.Translate("DE", nullptr, nullptr));
  EXPECT_EQ(translator.SourceLanguage, "DE");
}

TEST(TWtranslator, DictionaryReleasedByTheTimerAndLoadedAgain) {
  TTempDir dir;
  const std::string file = dir.Write("app.lng", Lines({"EN:>Registers", "DE:>Register", ""}));
  TWtransl translator(nullptr, false);
  translator.LanguageFile = file;
  EXPECT_EQ(Tr(translator, "Registers"), "Register");
  TzorTimerEx* timer = translator.ReleaseTimer();
  ASSERT_NE(timer, nullptr);
  EXPECT_TRUE(timer->Enabled());
  EXPECT_EQ(timer->Interval(), kDictionaryReleaseMs);
  EXPECT_TRUE(translator.HasDictionary());

  // The dictionary in memory answers until it is released, even when the file changed.
  dir.Write("app.lng", Lines({"EN:>Registers", "DE:>Registerbereich", ""}));
  EXPECT_EQ(Tr(translator, "Registers"), "Register");
  timer->OnTimer()(timer);  // the tick, as the owner thread runs it
  EXPECT_FALSE(translator.HasDictionary());
  EXPECT_FALSE(timer->Enabled());
  EXPECT_EQ(Tr(translator, "Registers"), "Registerbereich");
  EXPECT_EQ(translator.ReleaseTimer(), timer) << "one timer for the translator's life";
  EXPECT_TRUE(timer->Enabled());

  // A changed file list loads anew without waiting for the release.
  const std::string other = dir.Write("other.lng", Lines({"EN:>Registers", "DE:>Reg.", ""}));
  translator.LanguageFile = other;
  EXPECT_EQ(Tr(translator, "Registers"), "Reg.");

  TWtransl keeping(nullptr, true);
  keeping.LanguageFile = file;
  EXPECT_EQ(Tr(keeping, "Registers"), "Registerbereich");
  EXPECT_EQ(keeping.ReleaseTimer(), nullptr) << "a kept dictionary needs no timer";
}

TEST(TWtranslator, CollectModesWriteTheCollectedTextsBesideTheLanguageFile) {
  TTempDir dir;
  {
    TWtransl translator(nullptr, true);
    translator.LanguageFile = dir.Write("app.lng", "//saveuntr\r\n" + kGermanFile);
    EXPECT_EQ(translator.CollectMode(), cmNone) << "read with the file";
    EXPECT_EQ(Tr(translator, "Registers"), "Register");
    EXPECT_EQ(translator.CollectMode(), cmUntranslated);
    Tr(translator, "Zebra");
    Tr(translator, "Apple\r\nPie");
    Tr(translator, "Zebra");
    Tr(translator, "12:30 - 5%");  // no letter: not worth a translator's time
  }
  EXPECT_EQ(dir.Read("app.lng.new"),
            Lines({"[Languages]", "$EN = #1", "$DE = #2 (Default)", "Default = DE", "", "EN:>Apple%0D%0APie",
                   "DE:>", "", "EN:>Zebra", "DE:>", "", ""}));
  {
    // A new file never replaces an earlier one: a number goes before the extension.
    TWtransl translator(nullptr, true);
    translator.LanguageFile = dir.File("app.lng");
    Tr(translator, "Yak");
  }
  EXPECT_NE(dir.Read("app.lng.1.new").find("EN:>Yak\r\nDE:>\r\n"), std::string::npos);
  {
    dir.Write("app.lng", "//fileappend\r\n//saveuntrobj\r\n" + kGermanFile);
    TWtransl translator(nullptr, true);
    translator.LanguageFile = dir.File("app.lng");
    TTestControl root(nullptr, "Root");
    auto* button = new TTestControl(&root, "Button");
    button->Caption = "Press";
    button->Hint = "Registers";
    auto* other = new TTestControl(&root, "Other");
    other->Caption = "Press";  // the same text in another place is listed once
    translator.Translate("DE", &root, nullptr);
    Tr(translator, "Loose");
    Tr(translator, "Loose");
  }
  const std::string appended = dir.Read("app.lng.new");
  EXPECT_EQ(appended.substr(0, 24), "[Languages]\r\n$EN = #1\r\n$") << "appended to, header kept once";
  EXPECT_NE(appended.find("EN:>[TTestControl]Root -> [TTestControl]Button.Caption=Press\r\nDE:>\r\n"),
            std::string::npos);
  EXPECT_NE(appended.find("EN:>Loose\r\n"), std::string::npos);
  EXPECT_EQ(appended.find("Press"), appended.rfind("Press")) << appended;
  EXPECT_EQ(appended.find("Loose"), appended.rfind("Loose")) << appended;
  EXPECT_EQ(appended.find("Registers"), std::string::npos);
  {
    dir.Write("app.lng", "//saveunused\r\n" + kGermanFile);
    TWtransl translator(nullptr, true);
    translator.LanguageFile = dir.File("app.lng");
    Tr(translator, "Registers");
    Tr(translator, "Polling");
  }
  const std::string unused = dir.Read("app.lng.unused");
  EXPECT_NE(unused.find("EN:>Save\r\n"), std::string::npos);
  EXPECT_NE(unused.find("EN:>Line one%0D%0ALine two\r\n"), std::string::npos);
  EXPECT_EQ(unused.find("EN:>Registers"), std::string::npos) << "asked for, so not unused";
  EXPECT_EQ(unused.find("EN:>Polling"), std::string::npos);
}

TEST(TWtranslator, BadLanguageFilesGiveWhatTheyCanAndNeverCrash) {
  TTempDir dir;
  TWtransl translator(nullptr, true);
  auto load = [&](const std::string& bytes) {
    translator.LanguageFile = dir.Write("app.lng", bytes);
    translator.ReleaseDictionary();
  };

  // Binary junk: every byte value, NUL included, in and around blocks.
  std::string junk;
  std::mt19937 random(7);
  for (int i = 0; i < 20000; ++i) junk += static_cast<char>(random() & 0xFF);
  load(junk + "\n\nEN:>Registers\nDE:>Register\n\n" + junk);
  EXPECT_EQ(Tr(translator, "Registers"), "Register");
  load(std::string("EN:>Nul\0here\nDE:>Null\0drin\n\n", 28));
  EXPECT_EQ(Tr(translator, std::string("Nul\0here", 8)), std::string("Null\0drin", 9));

  // A very long line, and a very long text as key.
  const std::string longText(1 << 20, 'x');
  load("EN:>" + longText + "\nDE:>lang\n\nEN:>Registers\nDE:>Register\n\n");
  EXPECT_EQ(Tr(translator, longText), "lang");
  EXPECT_EQ(Tr(translator, "Registers"), "Register");
  load(longText + "Charset=windows-1251\n" + "EN:>A\nDE:>\xC6\n\n");
  EXPECT_EQ(TrW(translator, "A"), u"\u00C6") << "a setting beyond the first 50 characters is not one";

  // Only an empty line ends a block: lines after the last one add nothing, as in the host.
  load("EN:>Registers\r\nDE:>Register\r\n\r\nEN:>Save\r\nDE:>Speichern");
  EXPECT_EQ(Tr(translator, "Registers"), "Register");
  EXPECT_EQ(Tr(translator, "Save"), "Save");
  EXPECT_EQ(translator.EntryCount(), 1);
  load("EN:>Registers\nDE:>Register");
  EXPECT_EQ(Tr(translator, "Registers"), "Registers");

  // CR alone ends lines too.
  load("[Languages]\r$DE = Deutsch\rDefault = DE\r\rEN:>Registers\rDE:>Register\r\r");
  EXPECT_EQ(Tr(translator, "Registers"), "Register");
  EXPECT_EQ(translator.DefaultLanguage(nullptr), "DE");

  // Charsets: each decodes its translations; an unknown one keeps the system page.
  load("Charset=windows-1251\nEN:>Yes\nDE:>\xC4\xE0\n\n");
  EXPECT_EQ(TrW(translator, "Yes"), u"\u0414\u0430");
  EXPECT_EQ(translator.Charset(), 204);
  EXPECT_EQ(translator.CodePage(), 1251u);
  load("Charset=windows-1250\nEN:>Yes\nDE:>\x8A\xE8\n\n");
  EXPECT_EQ(TrW(translator, "Yes"), u"\u0160\u010D");
  load("Charset=Shift-JIS\nEN:>Yes\nDE:>\x82\xCD\x82\xA2\n\n");
  EXPECT_EQ(TrW(translator, "Yes"), u"\u306F\u3044");
  EXPECT_EQ(translator.CodePage(), 932u) << "charset names are compared in lower case";
  load("Charset=klingon-1\nEN:>Yes\nDE:>Ja \xE9\n\n");
  EXPECT_EQ(TrW(translator, "Yes"), u"Ja \u00E9");
  EXPECT_EQ(translator.Charset(), kDefaultCharset);
  load("Charset=shift-jis\nEN:>Cut\nDE:>ab\x82\n\n");
  const std::u16string cut = TrW(translator, "Cut");
  EXPECT_EQ(cut.substr(0, 2), u"ab");
  EXPECT_EQ(cut.size(), 3u) << "a cut-off double-byte character becomes one replacement";

  // UTF-8, with and without a byte-order mark; malformed sequences become replacement characters.
  load("Encoding=UTF-8\nEN:>Yes\nDE:>\xE2\x82\xAC \xC3\n\n");
  EXPECT_EQ(TrW(translator, "Yes"), u"\u20AC \uFFFD");
  EXPECT_EQ(translator.Encoding(), encUtf8);
  load("\xEF\xBB\xBF[Languages]\n$DE = Deutsch\nDefault = DE\n\nEN:>Yes\nDE:>\xC3\xBC\n\n");
  EXPECT_EQ(translator.DefaultLanguage(nullptr), "DE") << "the mark does not hide the section";
  EXPECT_EQ(TrW(translator, "Yes"), u"\u00FC");
  load("Encoding=utf-16\nEN:>Yes\nDE:>Ja\n\n");
  EXPECT_EQ(Tr(translator, "Yes"), "Ja") << "only UTF-8 changes decoding";
  EXPECT_EQ(translator.Encoding(), encUtf16);

  // Several files: entries of all count, each file decodes with its own settings.
  const std::string first = dir.Write("first.lng", "Encoding=utf-8\nEN:>One\nDE:>\xC3\xA9ins\n\n");
  const std::string second = dir.Write("second.lng", "EN:>Two\nDE:>\xE9zwei\n\n");
  translator.LanguageFile = first + "|" + second;
  EXPECT_EQ(TrW(translator, "One"), u"\u00E9ins");
  EXPECT_EQ(TrW(translator, "Two"), u"\u00E9zwei");
  EXPECT_EQ(translator.EntryCount(), 2);
}

TEST(TWtranslator, LocaleSettingAppliesAtOnceAndIsUndoneOnTheNextLoad) {
  TTempDir dir;
  const uint32_t before = platform::ThreadLocale();
  TWtransl translator(nullptr, true);
  translator.LanguageFile = dir.Write("de.lng", "Locale=0x0407\nEN:>A\nDE:>B\n\n");
  Tr(translator, "A");
  EXPECT_EQ(platform::ThreadLocale(), 0x0407u);
  translator.LanguageFile = dir.Write("ru.lng", "Locale=1049\nEN:>A\nDE:>B\n\n");
  Tr(translator, "A");
  EXPECT_EQ(platform::ThreadLocale(), 1049u);
  translator.LanguageFile = dir.Write("bad.lng", "Locale=0\nLocale=-5\nLocale=0xZZ\nEN:>A\nDE:>B\n\n");
  Tr(translator, "A");
  EXPECT_EQ(platform::ThreadLocale(), before) << "back to the locale at construction; bad values ignored";
  platform::SetThreadLocale(before);
}
