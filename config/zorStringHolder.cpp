#include "config/zorStringHolder.h"

#include <algorithm>
#include <vector>

#include "Common/Exceptions.h"
#include "platform/CodePage.h"

namespace kelda {

namespace {

std::string AnsiToUtf8(const std::string& text) {
  return platform::WideToUtf8(platform::AnsiToWide(text));
}
std::string Utf8ToAnsi(const std::string& text) {
  return platform::WideToAnsi(platform::Utf8ToWide(text));
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Combines each byte with the key byte at the same position, the key repeated as often as needed.
void Combine(std::string& bytes, const std::string& key) {
  if (key.empty()) return;
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(bytes[i] ^ key[i % key.size()]);
}

// Pairs of hexadecimal digits back to bytes, the key combination undone. A pair that is not two
// hexadecimal digits stands for a space in the decoded line; a lone last digit is ignored.
std::string DecodeHex(const std::string& stored, const std::string& key) {
  std::string out;
  out.reserve(stored.size() / 2);
  for (std::size_t i = 0; i + 1 < stored.size(); i += 2) {
    int high = HexDigit(stored[i]), low = HexDigit(stored[i + 1]);
    std::size_t pos = out.size();
    if (high < 0 || low < 0) {
      out += ' ';
      continue;
    }
    char byte = static_cast<char>(high * 16 + low);
    if (!key.empty()) byte = static_cast<char>(byte ^ key[pos % key.size()]);
    out += byte;
  }
  return out;
}

const TPropertyInfo StrHolderProperties[] = {
    {"Capacity", TPropertyKind::Integer,
     [](const TObject& o) -> TPropertyValue { return static_cast<const TzorStrHolder&>(o).Capacity; },
     [](TObject& o, const TPropertyValue& v) {
       static_cast<TzorStrHolder&>(o).Capacity = std::get<int32_t>(v);
     }},
    {"Duplicates", TPropertyKind::Integer,
     [](const TObject& o) -> TPropertyValue {
       return static_cast<int32_t>(static_cast<const TzorStrHolder&>(o).Duplicates);
     },
     [](TObject& o, const TPropertyValue& v) {
       int32_t d = std::get<int32_t>(v);
       if (d < dupIgnore || d > dupError) throw EConvertError("Invalid value for property Duplicates");
       static_cast<TzorStrHolder&>(o).Duplicates = static_cast<TDuplicates>(d);
     }},
    TextField<TzorStrHolder, &TzorStrHolder::KeyString>("KeyString"),
    {"Sorted", TPropertyKind::Integer,
     [](const TObject& o) -> TPropertyValue { return static_cast<const TzorStrHolder&>(o).Sorted() ? 1 : 0; },
     [](TObject& o, const TPropertyValue& v) {
       static_cast<TzorStrHolder&>(o).SetSorted(std::get<int32_t>(v) != 0);
     }},
    {"Strings", TPropertyKind::StringList,
     [](const TObject& o) -> TPropertyValue {
       return const_cast<TStringList*>(&static_cast<const TzorStrHolder&>(o).Strings());
     },
     [](TObject& o, const TPropertyValue& v) {
       auto& holder = static_cast<TzorStrHolder&>(o);
       if (const TStringList* lines = std::get<TStringList*>(v))
         holder.SetStrings(*lines);
       else
         holder.Clear();
     }},
};

const TPropertyTable StrHolderTable{nullptr, StrHolderProperties};

}  // namespace

const TPropertyTable& TzorStrHolder::PublishedProperties() const {
  return StrHolderTable;
}

void TzorStrHolder::Changing() {
  if (OnChanging) OnChanging(*this);
}

void TzorStrHolder::Changed() {
  if (OnChange) OnChange(*this);
}

void TzorStrHolder::SetStrings(const TStringList& lines) {
  if (&lines == &FStrings) return;
  TStringList copy;
  AssignStrings(copy, lines);  // `lines` may belong to a handler that the events change
  Changing();
  AssignStrings(FStrings, copy);
  if (FSorted) Sort();
  Changed();
}

int TzorStrHolder::Add(const std::string& line) {
  if (!FSorted) {
    Changing();
    int index = FStrings.Add(line);
    Changed();
    return index;
  }
  int index = 0;
  while (index < FStrings.Count() && platform::AnsiCompareText(FStrings.Strings(index), line) < 0) ++index;
  bool duplicate = index < FStrings.Count() && platform::AnsiCompareText(FStrings.Strings(index), line) == 0;
  if (duplicate && Duplicates == dupIgnore) return -1;
  if (duplicate && Duplicates == dupError) throw EListError("String list does not allow duplicates");
  Changing();
  FStrings.Insert(index, line);
  Changed();
  return index;
}

void TzorStrHolder::Clear() {
  if (FStrings.Count() == 0) return;
  Changing();
  FStrings.Clear();
  Changed();
}

void TzorStrHolder::SetSorted(bool value) {
  if (value == FSorted) return;
  FSorted = value;
  if (!value) return;
  Changing();
  Sort();
  Changed();
}

void TzorStrHolder::Sort() {
  std::vector<TStringList::Entry> entries(FStrings.begin(), FStrings.end());
  std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    return platform::AnsiCompareText(a.Text, b.Text) < 0;
  });
  TStringList sorted;
  for (const auto& entry : entries) {
    bool duplicate =
        sorted.Count() > 0 && platform::AnsiCompareText(sorted.Strings(sorted.Count() - 1), entry.Text) == 0;
    if (duplicate && Duplicates == dupIgnore) continue;
    if (duplicate && Duplicates == dupError) throw EListError("String list does not allow duplicates");
    sorted.Add(entry.Text, entry.Object);
  }
  AssignStrings(FStrings, sorted);
}

std::string TzorStrHolder::EncodeLine(const std::string& line, const std::string& key) {
  static const char digits[] = "0123456789abcdef";
  std::string bytes = AnsiToUtf8(line);
  Combine(bytes, AnsiToUtf8(key));
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::string TzorStrHolder::DecodeLine(int32_t version, const std::string& stored, const std::string& key) {
  if (version == 0) {
    std::string raw = stored;
    Combine(raw, key);
    return raw;
  }
  if (version == 1) return DecodeHex(stored, key);
  return Utf8ToAnsi(DecodeHex(stored, AnsiToUtf8(key)));
}

void TzorStrHolder::ReadStoredForm(int32_t internalVer, const TStringList& strData) {
  TStringList lines;
  std::string key = strData.Count() > 0 ? strData.Strings(0) : std::string();
  for (int i = 1; i < strData.Count(); ++i) lines.Add(DecodeLine(internalVer, strData.Strings(i), key));
  KeyString = key;
  SetStrings(lines);
}

void TzorStrHolder::WriteStrData(TStringList& strData) const {
  strData.Clear();
  strData.Add(KeyString);
  for (const auto& entry : FStrings) strData.Add(EncodeLine(entry.Text, KeyString));
}

}  // namespace kelda
