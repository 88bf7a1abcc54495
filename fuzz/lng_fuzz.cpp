// Language files are edited by hand and may be anything: every byte sequence must parse, each
// entry must have a source text and a translation, and translating texts through what was read
// must answer.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Common/TWtranslator.h"

using namespace kelda;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  TWtransl translator(nullptr, true);
  translator.LanguageFile.clear();  // texts a "//saveuntr" line collects are written nowhere
  TWtranslLanguagesList dictionary;
  for (const TLanguageFileEntry& entry : translator.ParseLanguageFile(bytes, "EN", "DE")) {
    if (entry.Source.empty() || entry.Translation.empty()) std::abort();
    dictionary.Exact.Put(entry.Source, entry.Translation);
  }
  // Each line of the input, as a text to translate, with and without the dictionary.
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    const std::string line = bytes.substr(start, end - start);
    (void)translator.TranslateText(line, &dictionary);
    (void)translator.TranslateText(line, nullptr);
    (void)EscapeTranslationText(line, false);
    start = end + 1;
  }
  return 0;
}
