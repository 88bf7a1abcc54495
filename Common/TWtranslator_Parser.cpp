// Reading language files: directives and settings, translation blocks, the [Languages]
// section, and loading a dictionary from a list of files.
#include <cstdint>
#include <exception>
#include <optional>

#include "Common/BigIni.h"
#include "Common/TWtranslator.h"
#include "platform/CodePage.h"
#include "platform/File.h"
#include "platform/Thread.h"

namespace kelda {

namespace {

constexpr int kDirectiveLines = 19;  // directives are looked for in the first lines only
constexpr std::size_t kDirectiveWidth = 50;

struct TCharsetInfo {
  const char* Name;
  int Charset;
  uint32_t CodePage;
};

constexpr TCharsetInfo kCharsets[] = {
    {"windows-1250", 238, 1250}, {"windows-1251", 204, 1251}, {"windows-1252", 0, 1252},
    {"windows-1253", 161, 1253}, {"windows-1254", 162, 1254}, {"windows-1255", 177, 1255},
    {"windows-1256", 178, 1256}, {"windows-1257", 186, 1257}, {"windows-1258", 163, 1258},
    {"windows-874", 222, 874},   {"shift-jis", 128, 932},     {"hangeul", 129, 949},
    {"johab", 130, 1361},        {"gb2312", 134, 936},        {"chinesebig5", 136, 950},
};

std::string_view TrimSpaces(std::string_view text) {
  std::size_t start = text.find_first_not_of(' ');
  if (start == std::string_view::npos) return {};
  return text.substr(start, text.find_last_not_of(' ') - start + 1);
}

std::string_view TrimBelow33(std::string_view text) {
  std::size_t start = 0;
  std::size_t end = text.size();
  while (start < end && static_cast<unsigned char>(text[start]) < 33) ++start;
  while (end > start && static_cast<unsigned char>(text[end - 1]) < 33) --end;
  return text.substr(start, end - start);
}

// Lines end with LF, CR LF or a CR alone (files from old editors); the ends are not part of the
// lines. A last line without an end still counts.
std::vector<std::string_view> SplitLines(std::string_view bytes) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] != '\r' && bytes[i] != '\n') continue;
    lines.push_back(bytes.substr(start, i - start));
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < bytes.size()) lines.push_back(bytes.substr(start));
  return lines;
}

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool StripBom(std::string_view& bytes) {
  if (bytes.substr(0, kUtf8Bom.size()) != kUtf8Bom) return false;
  bytes.remove_prefix(kUtf8Bom.size());
  return true;
}

// Language codes are names, not texts: "de" and "DE" are one language, whoever wrote them.
bool StartsWithCode(std::string_view line, std::string_view mark) {
  return line.size() >= mark.size() && platform::AnsiCompareText(line.substr(0, mark.size()), mark) == 0;
}

std::vector<std::string> SplitFileList(const std::string& list) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t bar = list.find('|', start);
    if (bar == std::string::npos) bar = list.size();
    std::string name(TrimBelow33(std::string_view(list).substr(start, bar - start)));
    if (!name.empty()) names.push_back(std::move(name));
    start = bar + 1;
  }
  return names;
}

std::optional<std::string> ReadLanguageFile(const std::string& name) {
  try {
    if (!platform::FileExists(name)) return std::nullopt;
    return platform::ReadWholeFile(name);
  } catch (const std::exception&) {
    return std::nullopt;  // too large for memory, or the system refused it
  }
}

// A locale number: decimal, or hexadecimal after "0x"; 0 when it is neither or out of range.
uint32_t ParseLocale(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty() || text.size() > 10) return 0;
  uint64_t value = 0;
  for (char c : text) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (digit < 0 || digit >= base) return 0;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  return value > 0x7FFFFFFF ? 0 : static_cast<uint32_t>(value);
}

}  // namespace

void TWtransl::ResetFileSettings() {
  FEncoding = encAnsi;
  FCharset = kDefaultCharset;
  FCodePage = platform::kCodePageSystem;
}

void TWtransl::ApplyDirective(std::string_view directive) {
  if (directive == "//filenew") FCollectFileMode = cfNew;
  if (directive == "//filerewrite") FCollectFileMode = cfRewrite;
  if (directive == "//fileappend") FCollectFileMode = cfAppend;
  if (directive == "//saveuntr") FCollectMode = cmUntranslated;
  if (directive == "//saveuntrobj") FCollectMode = cmUntranslatedObjects;
  if (directive == "//saveunused") FCollectMode = cmUnused;
  if (directive == "//saveall") FCollectMode = cmAll;
}

void TWtransl::ApplySetting(std::string_view line) {
  auto valueAfter = [line](std::string_view key) -> std::optional<std::string> {
    std::size_t at = line.find(key);
    if (at == std::string_view::npos) return std::nullopt;
    return platform::AnsiLowerCase(TrimBelow33(line.substr(at + key.size())));
  };
  if (auto value = valueAfter("Encoding=")) {
    if (*value == "utf-8") FEncoding = encUtf8;
    if (*value == "utf-16") FEncoding = encUtf16;
    if (*value == "unicode") FEncoding = encUnicode;
  } else if (auto bidi = valueAfter("BiDiMode=")) {
    if (*bidi == "righttoleft") FBiDiMode = 1;
    if (*bidi == "righttoleftnoalign") FBiDiMode = 2;
    if (*bidi == "righttoleftreadingonly") FBiDiMode = 3;
  } else if (auto locale = valueAfter("Locale=")) {
    if (uint32_t id = ParseLocale(*locale); id > 0) {
      FLocale = id;
      platform::SetThreadLocale(id);
    }
  } else if (auto charset = valueAfter("Charset=")) {
    // An unknown charset keeps the one in force (the system's page by default).
    for (const TCharsetInfo& info : kCharsets) {
      if (*charset != info.Name) continue;
      FCharset = info.Charset;
      FCodePage = info.CodePage;
    }
  }
}

std::vector<TLanguageFileEntry> TWtransl::ParseLanguageFile(std::string_view bytes, const std::string& source,
                                                            const std::string& target) {
  // A byte-order mark says the file is UTF-8; a directive may still say otherwise.
  if (StripBom(bytes)) FEncoding = encUtf8;
  const std::string sourceMark = source + ":>";
  const std::string targetMark = target + ":>";
  std::vector<TLanguageFileEntry> entries;
  std::vector<TBlockItem> block;

  auto endBlock = [&]() {
    std::string sourceText;
    std::string translation;
    for (const TBlockItem& item : block) {
      if (StartsWithCode(item.Line, sourceMark)) sourceText = item.Line.substr(sourceMark.size());
      if (StartsWithCode(item.Line, targetMark)) translation = item.Line.substr(targetMark.size());
    }
    block.clear();
    if (sourceText.empty() || translation.empty()) return;
    std::u16string decoded = FEncoding == encUtf8 ? platform::Utf8ToWide(translation)
                                                  : platform::CodePageToWide(FCodePage, translation);
    entries.push_back({std::move(sourceText), std::move(decoded)});
  };

  const std::vector<std::string_view> lines = SplitLines(bytes);
  for (std::size_t index = 0; index < lines.size(); ++index) {
    const std::string_view line = TrimSpaces(lines[index]);
    if (index < kDirectiveLines) {
      const std::string_view head = TrimBelow33(line.substr(0, kDirectiveWidth));
      if (head.substr(0, 2) == "//" && head.find('=') == std::string_view::npos) ApplyDirective(head);
      const bool setting = head.find("Encoding=") != std::string_view::npos ||
                           head.find("BiDiMode=") != std::string_view::npos ||
                           head.find("Locale=") != std::string_view::npos ||
                           head.find("Charset=") != std::string_view::npos;
      if (setting) {
        ApplySetting(head);
        continue;
      }
    }
    if (line.substr(0, 2) == "//") continue;
    if (line.empty()) {
      endBlock();
      continue;
    }
    block.push_back({std::string(line)});
  }
  // Only an empty line ends a block: lines after the last one add nothing, so that the module
  // reads a shared language file exactly as the host does.
  return entries;
}

int TWtransl::LoadDictionary(const std::string& fileList, const std::string& source,
                             TWtranslLanguagesList& dictionary, const std::string& target) {
  dictionary.Clear();
  ResetFileSettings();
  FBiDiMode = 0;
  if (FLocale != FConstructionLocale) {
    FLocale = FConstructionLocale;
    platform::SetThreadLocale(FLocale);
  }
  int count = -1;
  for (const std::string& name : SplitFileList(fileList)) {
    if (!platform::FileExists(name)) continue;
    std::optional<std::string> bytes = ReadLanguageFile(name);
    if (!bytes) break;  // what was loaded so far stays
    if (count < 0) count = 0;
    // Each file says its own encoding and charset; one file's must not garble the next one.
    ResetFileSettings();
    for (TLanguageFileEntry& entry : ParseLanguageFile(*bytes, source, target)) {
      const std::string lower = platform::AnsiLowerCase(entry.Source);
      if (lower != entry.Source) dictionary.Lower.Put(lower, entry.Translation);
      if (FCollectMode == cmUnused && FCollected.IndexOf(entry.Source) < 0) FCollected.Add(entry.Source);
      dictionary.Exact.Put(entry.Source, std::move(entry.Translation));
      ++count;
    }
  }
  return count;
}

std::string TWtransl::DefaultLanguage(TStringList* languages) {
  for (const std::string& name : SplitFileList(LanguageFile)) {
    std::optional<std::string> bytes = ReadLanguageFile(name);
    if (!bytes) continue;
    std::string_view text = *bytes;
    StripBom(text);
    TStringList lines;
    for (std::string_view line : SplitLines(text)) lines.Add(std::string(line));
    TBigIniFile ini;
    ini.LoadFromStrings(lines);
    TStringList keys;
    ini.ReadSection("Languages", keys);
    TStringList found;
    for (int i = 0; i < keys.Count(); ++i) {
      const std::string& key = keys.Strings(i);
      if (key.size() < 2 || key[0] != '$') continue;
      std::string display = ini.ReadString("Languages", key, "");
      if (!display.empty()) found.Add(key.substr(1) + "," + display);
    }
    if (found.Count() == 0) continue;  // a file without languages is passed over
    if (languages)
      for (int i = 0; i < found.Count(); ++i) languages->Add(found.Strings(i));
    return ini.ReadString("Languages", "Default", "");
  }
  return {};
}

}  // namespace kelda
