// Collecting texts for translators: untranslated texts (with or without the objects that show
// them) or source texts never asked for, written beside the language file when the translator
// goes.
#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <optional>
#include <typeinfo>
#include <vector>

#include "Common/TWtranslator.h"
#include "platform/File.h"

namespace kelda {

namespace {

// Texts made only of digits, punctuation and controls are not worth translating.
bool WorthCollecting(std::string_view text) {
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    const bool plain = c <= 64 || (c >= 91 && c <= 96) || (c >= 123 && c <= 127);
    if (!plain) return true;
  }
  return false;
}

// The class name as the code spells it, without namespaces.
std::string ClassNameOf(const TObject& object) {
  const char* mangled = typeid(object).name();
  int status = 0;
  char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string name = status == 0 && demangled ? demangled : mangled;
  std::free(demangled);
  std::size_t colon = name.rfind("::");
  return colon == std::string::npos ? name : name.substr(colon + 2);
}

std::string ObjectPath(TObject* object, std::string_view property) {
  std::string path;
  if (auto* component = dynamic_cast<TComponent*>(object)) {
    std::vector<TComponent*> chain;
    for (TComponent* link = component; link; link = link->Owner()) chain.push_back(link);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      if (!path.empty()) path += " -> ";
      path += "[" + ClassNameOf(**it) + "]" + (*it)->Name;
    }
  } else if (object) {
    path = ClassNameOf(*object);
  }
  if (!property.empty()) path.append(".").append(property);
  return path;
}

void AddSorted(TStringList& list, const std::string& text) {
  int index = 0;
  while (index < list.Count() && list.Strings(index) < text) ++index;
  list.Insert(index, text);
}

std::string FirstFileName(const std::string& list) {
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t bar = list.find('|', start);
    if (bar == std::string::npos) bar = list.size();
    std::string name = list.substr(start, bar - start);
    if (!name.empty()) return name;
    start = bar + 1;
  }
  return {};
}

// "name.lng.new" → "name.lng.<n>.new": the number goes in front of the final extension.
std::string NumberedName(const std::string& name, int number) {
  std::size_t dot = name.rfind('.');
  std::size_t slash = name.find_last_of("/\\");
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return name + "." + std::to_string(number);
  return name.substr(0, dot) + "." + std::to_string(number) + name.substr(dot);
}

}  // namespace

void TWtransl::CollectText(const std::string& escaped, bool found, TObject* object,
                           std::string_view property) {
  switch (FCollectMode) {
    case cmUntranslated:
      if (!found && WorthCollecting(escaped) && FCollected.IndexOf(escaped) < 0)
        AddSorted(FCollected, escaped);
      break;
    case cmUntranslatedObjects: {
      if (found || !WorthCollecting(escaped)) break;
      // A text is collected once, with the first object that showed it: the translator needs
      // each text once, and the object only as a hint where it appears.
      if (!FCollectedObjectTexts.insert(escaped).second) break;
      std::string line =
          (object || !property.empty()) ? ObjectPath(object, property) + "=" + escaped : escaped;
      AddSorted(FCollected, line);
      break;
    }
    case cmUnused: {
      if (FCollected.Count() == 0) FCollected.Add(std::string());
      int index = FCollected.IndexOf(escaped);
      if (index >= 0) FCollected.Delete(index);
      break;
    }
    default:
      break;
  }
}

std::string TWtransl::CollectedTextsFileName() const {
  std::string name = FirstFileName(LanguageFile);
  if (name.empty()) return {};
  return name + (FCollectMode == cmUnused ? ".unused" : ".new");
}

void TWtransl::WriteCollectedTexts() {
  if (FCollectMode == cmNone || FCollected.Count() == 0) return;
  std::string name = CollectedTextsFileName();
  if (name.empty()) return;
  try {
    if (FCollectFileMode == cfNew)
      for (int number = 1; platform::FileExists(name); ++number)
        name = NumberedName(CollectedTextsFileName(), number);
    const bool existed = platform::FileExists(name);
    std::string text;
    if (FCollectFileMode == cfAppend && existed) text = platform::ReadWholeFile(name).value_or(std::string());
    if (!existed) {
      text += "[Languages]\r\n$" + FLastSource + " = #1\r\n$" + FLastTarget +
              " = #2 (Default)\r\nDefault = " + FLastTarget + "\r\n\r\n";
    }
    std::vector<std::string> sorted;
    for (int i = 0; i < FCollected.Count(); ++i) sorted.push_back(FCollected.Strings(i));
    std::sort(sorted.begin(), sorted.end());
    for (const std::string& collected : sorted)
      text += FLastSource + ":>" + collected + "\r\n" + FLastTarget + ":>\r\n\r\n";
    text += "\r\n";
    platform::TFileWriter writer(name);
    writer.Write(text);
    writer.Close();
  } catch (const std::exception&) {
    // The collected texts are a help for translators; failing to write them changes nothing else.
  }
}

}  // namespace kelda
