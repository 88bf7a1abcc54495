#include "Common/BigIni.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <unordered_set>

#include "Common/Exceptions.h"
#include "platform/CodePage.h"
#include "platform/Debug.h"
#include "platform/File.h"

namespace kelda {

namespace {

void CheckListIndex(int index, int count) {
  if (index < 0 || index >= count)
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
}

bool IsBlank(char c) {
  return static_cast<unsigned char>(c) < 33;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

bool AsciiSameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

// Locale-aware comparison without regard to case. Empty texts are settled here: the system
// comparison is not asked about zero-length input.
bool SameText(std::string_view a, std::string_view b) {
  if (a.empty() || b.empty()) return a.empty() && b.empty();
  return platform::AnsiCompareText(a, b) == 0;
}

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TMemoryStream

std::size_t TMemoryStream::Read(void* buffer, std::size_t count) {
  const std::size_t n = std::min(count, FBytes.size() - FPosition);
  if (n) std::memcpy(buffer, FBytes.data() + FPosition, n);
  FPosition += n;
  return n;
}

std::size_t TMemoryStream::Write(const void* buffer, std::size_t count) {
  if (FPosition + count > FBytes.size()) FBytes.resize(FPosition + count);
  if (count) std::memcpy(FBytes.data() + FPosition, buffer, count);
  FPosition += count;
  return count;
}

// ---------------------------------------------------------------------------------------------
// TStreamReader

TStreamReader::TStreamReader(TStream* stream, std::size_t bufferSize) : FStream(stream) {
  if (!stream) throw EInOutError("Stream is nil");
  FBuffer.resize(std::max(bufferSize, MinBufferSize));
}

bool TStreamReader::Fill() {
  FPos = 0;
  FLen = FStream->Read(FBuffer.data(), FBuffer.size());
  return FLen > 0;
}

bool TStreamReader::ReadLine(std::string& line) {
  line.clear();
  if (FPos >= FLen && !Fill()) return false;
  if (FSkipLineFeed) {
    FSkipLineFeed = false;
    if (FBuffer[FPos] == '\n') ++FPos;
    if (FPos >= FLen && !Fill()) return false;
  }
  for (;;) {
    const char* start = FBuffer.data() + FPos;
    const char* stop = FBuffer.data() + FLen;
    const char* eol = std::find_if(start, stop, [](char c) { return c == '\r' || c == '\n'; });
    line.append(start, eol);
    if (eol != stop) {
      FPos = static_cast<std::size_t>(eol - FBuffer.data()) + 1;
      if (*eol == '\r') {
        if (FPos < FLen) {
          if (FBuffer[FPos] == '\n') ++FPos;
        } else {
          FSkipLineFeed = true;  // the LF, if any, comes with the next fill
        }
      }
      return true;
    }
    if (!Fill()) return true;  // the last line had no line end
  }
}

// ---------------------------------------------------------------------------------------------
// TStringListEx, TSectionValues

const TStringListEx::TLine& TStringListEx::Line(int index) const {
  CheckListIndex(index, Count());
  return FLines[static_cast<std::size_t>(index)];
}

const std::string& TStringListEx::Strings(int index) const {
  return Line(index).Text;
}

void TStringListEx::SetString(int index, std::string text) {
  CheckListIndex(index, Count());
  TLine& line = FLines[static_cast<std::size_t>(index)];
  line.Text = std::move(text);
  line.EqualPos = NotLocated;
}

int TStringListEx::Add(std::string text) {
  return Add(std::move(text), {});
}

// A line added after the file's last line without a line end is no longer the last: the writer
// ends the line before it.
int TStringListEx::Add(std::string text, TLayout layout) {
  FLines.push_back(TLine{std::move(text), NotLocated, std::move(layout)});
  return Count() - 1;
}

void TStringListEx::Delete(int index) {
  CheckListIndex(index, Count());
  const auto at = FLines.begin() + index;
  std::string before = std::move(at->Layout.Before);
  FLines.erase(at);
  if (index < Count())
    FLines[static_cast<std::size_t>(index)].Layout.Before.insert(0, before);
  else
    FAfter.insert(0, before);
}

const TStringListEx::TLayout& TStringListEx::Layout(int index) const {
  return Line(index).Layout;
}

int TStringListEx::EqualPos(int index) const {
  const TLine& line = Line(index);
  if (line.EqualPos == NotLocated) {
    const std::size_t pos = line.Text.find('=');
    line.EqualPos = pos == std::string::npos ? NoEqualSign : static_cast<int>(pos);
  }
  return line.EqualPos;
}

std::string_view TStringListEx::NameView(int index) const {
  const int pos = EqualPos(index);
  std::string_view text = Line(index).Text;
  if (pos != NoEqualSign) text = text.substr(0, static_cast<std::size_t>(pos));
  return Trimmed(text);
}

std::string TStringListEx::ValueFromIndex(int index) const {
  const int pos = EqualPos(index);
  if (pos == NoEqualSign) return {};
  return std::string(Trimmed(std::string_view(Line(index).Text).substr(static_cast<std::size_t>(pos) + 1)));
}

int TSectionValues::IndexOfName(std::string_view name) {
  for (int i = 0; i < Count(); ++i) {
    if (SameText(NameView(i), name)) {
      FLastIndex = i;
      return i;
    }
  }
  return -1;
}

// ---------------------------------------------------------------------------------------------
// TSectionList

void TSectionList::Check(int index) const {
  CheckListIndex(index, Count());
}

const std::string& TSectionList::Names(int index) const {
  Check(index);
  return FSections[static_cast<std::size_t>(index)]->Name;
}

TSectionValues& TSectionList::Values(int index) const {
  Check(index);
  return FSections[static_cast<std::size_t>(index)]->Values;
}

int TSectionList::IndexOfSection(std::string_view name) {
  const int count = Count();
  if (count == 0) return -1;
  const int start = FCurrent < count ? FCurrent : 0;
  for (int n = 0; n < count; ++n) {
    const int i = (start + n) % count;
    if (AsciiSameText(FSections[static_cast<std::size_t>(i)]->Name, name)) {
      FCurrent = i;
      return i;
    }
  }
  return -1;
}

int TSectionList::Add(std::string name) {
  auto section = std::make_unique<TSection>();
  section->Name = std::move(name);
  FSections.push_back(std::move(section));
  FCurrent = Count() - 1;
  return FCurrent;
}

int TSectionList::AddAsRead(std::string name, std::string line, std::string end, bool lastUnended) {
  const int index = Add(std::move(name));
  FSections[static_cast<std::size_t>(index)]->Header =
      THeader{true, std::move(line), std::move(end), lastUnended};
  return index;
}

const TSectionList::THeader& TSectionList::Header(int index) const {
  Check(index);
  return FSections[static_cast<std::size_t>(index)]->Header;
}

void TSectionList::Delete(int index) {
  Check(index);
  FSections.erase(FSections.begin() + index);
  if (index < FCurrent) --FCurrent;
  if (FCurrent >= Count()) FCurrent = 0;
}

void TSectionList::Clear() {
  FSections.clear();
  FCurrent = 0;
}

// One pass with a set of lower-cased names, so that a file with many sections loads in linear time.
bool TSectionList::DropDuplicates() {
  std::unordered_set<std::string> seen;
  const std::size_t before = FSections.size();
  std::erase_if(FSections, [&seen](const std::unique_ptr<TSection>& s) {
    std::string key = s->Name;
    std::transform(key.begin(), key.end(), key.begin(), AsciiLower);  // as IndexOfSection compares
    return !seen.insert(std::move(key)).second;
  });
  FCurrent = 0;
  return FSections.size() != before;
}

// ---------------------------------------------------------------------------------------------
// Value texts

std::string IniIntegerText(int value) {
  return std::to_string(value);
}

bool TryIniTextToInteger(std::string_view text, int& value) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    std::uint32_t hex = 0;
    for (char c : text) {
      const int d = HexDigit(c);
      if (d < 0 || hex > 0x0FFFFFFFu) return false;  // not a digit, or more than 32 bits
      hex = hex << 4 | static_cast<std::uint32_t>(d);
    }
    value = static_cast<int>(hex);  // "0xFFFFFFFF" is -1, as a 32-bit register reads
    return true;
  }
  if (!text.empty() && text[0] == '+') {
    text.remove_prefix(1);
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) return false;
  }
  int result = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), result);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  value = result;
  return true;
}

std::string IniFloatText(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

bool TryIniTextToFloat(std::string_view text, double& value) {
  std::string normal(text);
  std::replace(normal.begin(), normal.end(), ',', '.');
  std::string_view digits = normal;
  if (!digits.empty() && digits[0] == '+') {
    digits.remove_prefix(1);
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) return false;
  }
  double result = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), result);
  if (ec != std::errc() || end != digits.data() + digits.size() || !std::isfinite(result)) return false;
  value = result;
  return true;
}

namespace {

constexpr long long MsPerDay = 86400000;
constexpr int DelphiEpochFromUnix = 25569;  // days from 1899-12-30 to 1970-01-01
constexpr double MinDate = -693593.0;       // 0001-01-01
constexpr double MaxDate = 2958466.0;       // 10000-01-01, excluded

long long DaysFromCivil(int year, int month, int day) {
  const long long y = year - (month <= 2 ? 1 : 0);
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const long long yoe = y - era * 400;
  const long long doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(long long z, int& year, int& month, int& day) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long doe = z - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

int DaysInMonth(int year, int month) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : days[month - 1];
}

struct TDateParts {
  int Year, Month, Day, Hour, Minute, Second;
};

// The date part counts whole days towards zero, the time of day is the fraction's magnitude, so
// a date before 1899-12-30 keeps its time of day as well. Milliseconds are rounded, then dropped.
TDateParts Decode(TDateTime value) {
  if (!std::isfinite(value) || value <= MinDate - 1 || value >= MaxDate)
    throw EConvertError("Invalid date value " + IniFloatText(value));
  long long days = static_cast<long long>(std::trunc(value));
  long long ms = std::llround(std::fabs(value - static_cast<double>(days)) * MsPerDay);
  if (ms >= MsPerDay) {
    ms -= MsPerDay;
    days += value < 0 ? -1 : 1;
  }
  TDateParts parts{};
  CivilFromDays(days - DelphiEpochFromUnix, parts.Year, parts.Month, parts.Day);
  if (parts.Year < 1 || parts.Year > 9999) throw EConvertError("Invalid date value " + IniFloatText(value));
  const long long seconds = ms / 1000;
  parts.Hour = static_cast<int>(seconds / 3600);
  parts.Minute = static_cast<int>(seconds / 60 % 60);
  parts.Second = static_cast<int>(seconds % 60);
  return parts;
}

std::string TwoDigits(int n) {
  return {static_cast<char>('0' + n / 10), static_cast<char>('0' + n % 10)};
}

std::string DatePartText(const TDateParts& p) {
  std::string year = std::to_string(p.Year);
  return std::string(4 - year.size(), '0') + year + "-" + TwoDigits(p.Month) + "-" + TwoDigits(p.Day);
}

std::string TimePartText(const TDateParts& p) {
  return TwoDigits(p.Hour) + ":" + TwoDigits(p.Minute) + ":" + TwoDigits(p.Second);
}

// Exactly `width` decimal digits.
bool ReadDigits(std::string_view text, std::size_t at, std::size_t width, int& value) {
  if (at + width > text.size()) return false;
  value = 0;
  for (std::size_t i = at; i < at + width; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

bool ParseDate(std::string_view text, int& year, int& month, int& day) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  if (!ReadDigits(text, 0, 4, year) || !ReadDigits(text, 5, 2, month) || !ReadDigits(text, 8, 2, day))
    return false;
  return year >= 1 && month >= 1 && month <= 12 && day >= 1 && day <= DaysInMonth(year, month);
}

bool ParseTime(std::string_view text, int& hour, int& minute, int& second) {
  if (text.size() != 8 || text[2] != ':' || text[5] != ':') return false;
  if (!ReadDigits(text, 0, 2, hour) || !ReadDigits(text, 3, 2, minute) || !ReadDigits(text, 6, 2, second))
    return false;
  return hour < 24 && minute < 60 && second < 60;
}

}  // namespace

TDateTime EncodeIniDateTime(int year, int month, int day, int hour, int minute, int second) {
  const double date = static_cast<double>(DaysFromCivil(year, month, day) + DelphiEpochFromUnix);
  const double time = (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
  return date < 0 ? date - time : date + time;
}

std::string IniDateText(TDateTime value) {
  return DatePartText(Decode(value));
}

std::string IniTimeText(TDateTime value) {
  return TimePartText(Decode(value));
}

std::string IniDateTimeText(TDateTime value) {
  const TDateParts parts = Decode(value);
  return DatePartText(parts) + " " + TimePartText(parts);
}

bool TryIniTextToDate(std::string_view text, TDateTime& value) {
  int y, m, d;
  if (!ParseDate(text, y, m, d)) return false;
  value = EncodeIniDateTime(y, m, d);
  return true;
}

bool TryIniTextToTime(std::string_view text, TDateTime& value) {
  int h, n, s;
  if (!ParseTime(text, h, n, s)) return false;
  value = (h * 3600.0 + n * 60.0 + s) / 86400.0;
  return true;
}

bool TryIniTextToDateTime(std::string_view text, TDateTime& value) {
  if (text.size() == 19 && text[10] == ' ') {
    int y, m, d, h, n, s;
    if (!ParseDate(text.substr(0, 10), y, m, d) || !ParseTime(text.substr(11), h, n, s)) return false;
    value = EncodeIniDateTime(y, m, d, h, n, s);
    return true;
  }
  return TryIniTextToDate(text, value) || TryIniTextToTime(text, value);
}

// ---------------------------------------------------------------------------------------------
// TBigIniFile: loading

// The "[name]" of a section line, or nothing: the system's profile functions read the line up to
// its closing bracket, so a comment may follow the name ("[Host] ; main window").
static std::string_view SectionHead(std::string_view line) {
  const std::string_view head = Trimmed(line);
  if (head.size() < 2 || head.front() != '[') return {};
  const size_t close = head.find(']');
  if (close == std::string_view::npos) return {};
  const std::string_view rest = Trimmed(head.substr(close + 1));
  if (rest.empty() || rest.front() == ';' || rest.front() == '#') return head.substr(0, close + 1);
  return head.back() == ']' ? head : std::string_view();  // a bracket inside the name
}

// Turns lines into sections: a "[name]" line opens a section, every other line with content is
// kept as it stands in the section it follows. Editors leave blanks around a section line and
// inside its brackets; the name is what lies between them. What is no line of a section stays
// as raw bytes where it stood, for the writer: the lines before the first section (the
// preamble), blank lines and lone end-of-file marks (0x1A), and a section whose name came
// earlier with all its lines (lookups would depend on where the last search stopped).
class TBigIniFile::TLoader {
public:
  TLoader(TSectionList& sections, std::string* preamble) : FSections(sections), FPreamble(preamble) {
    for (int i = 0; i < sections.Count(); ++i) FSeen.insert(LowerAscii(sections.Names(i)));
  }
  TLoader(const TLoader&) = delete;
  TLoader& operator=(const TLoader&) = delete;

  void AddLine(std::string&& line, std::string_view end, bool lastUnended) {
    const std::string_view head = SectionHead(line);
    if (!head.empty()) {
      std::string name(Trimmed(head.substr(1, head.size() - 2)));
      if (FSeen.insert(LowerAscii(name)).second) {
        Flush();
        FInert = false;
        FLast = &FSections.Values(
            FSections.AddAsRead(std::move(name), std::move(line), std::string(end), lastUnended));
        return;
      }
      FInert = true;
    }
    if (FInert || !FLast || line.empty() || (line.size() == 1 && line[0] == '\x1A')) {
      FPending.append(line).append(end);
      return;
    }
    FLast->Add(std::move(line), {std::move(FPending), std::string(end), lastUnended});
    FPending.clear();
  }

  // Raw bytes go after the last line of the section they follow, or before the first section.
  void Flush() {
    if (FPending.empty()) return;
    if (FLast)
      FLast->AppendAfter(FPending);
    else if (FPreamble)
      FPreamble->append(FPending);
    FPending.clear();
  }

private:
  static std::string LowerAscii(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), AsciiLower);  // as IndexOfSection compares
    return text;
  }

  TSectionList& FSections;
  std::string* FPreamble;  // none: the lines before the first section are dropped
  TSectionValues* FLast = nullptr;
  std::unordered_set<std::string> FSeen;
  std::string FPending;
  bool FInert = false;
};

namespace {

// Splits text into lines with their ends (CR LF, LF or CR); a last line without an end still
// counts, an end at the very end starts no further line.
template <typename TEach>
void ForEachLine(std::string_view text, TEach each) {
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t stop = text.find_first_of("\r\n", at);
    if (stop == std::string_view::npos) {
      each(std::string(text.substr(at)), std::string_view(), true);
      return;
    }
    const std::size_t endSize =
        text[stop] == '\r' && stop + 1 < text.size() && text[stop + 1] == '\n' ? 2 : 1;
    each(std::string(text.substr(at, stop - at)), text.substr(stop, endSize), false);
    at = stop + endSize;
  }
}

}  // namespace

TBigIniFile::TBigIniFile(std::string fileName) : FFileName(std::move(fileName)) {
  if (!FFileName.empty()) LoadFromFile(FFileName);
}

TBigIniFile::~TBigIniFile() {
  try {
    UpdateFile();
  } catch (const std::exception& e) {
    platform::DebugOutput("INI file \"" + FFileName + "\" was not written: " + e.what());
  } catch (...) {
    platform::DebugOutput("INI file \"" + FFileName + "\" was not written");
  }
}

void TBigIniFile::SetFileName(std::string fileName) {
  UpdateFile();
  Clear();
  FUtf8Mark = false;
  FLineEnd = "\r\n";
  // Not modified before loading: when the new file cannot be read, the empty store left behind
  // must not be written over it later.
  FModified = false;
  FFileName = std::move(fileName);
  if (!FFileName.empty()) LoadFromFile(FFileName);
}

void TBigIniFile::LoadFromFile(const std::string& fileName) {
  // A missing file is an empty store; a file that exists but cannot be read throws, because
  // taking it for empty would let the next save replace everything in it.
  std::optional<std::string> content = platform::ReadWholeFile(fileName);
  if (!content) return;
  // A file saved as UTF-8 by an editor starts with the byte-order mark; left in, it would hide
  // the first section line (the host's own section, in a shared file) and the next save would
  // drop that section. The store's own file keeps its mark when written back.
  const bool marked = content->starts_with(kUtf8Mark);
  if (marked) content->erase(0, kUtf8Mark.size());
  const bool own = fileName == FFileName;
  if (own) {
    FUtf8Mark = marked;
    if (const std::size_t stop = content->find_first_of("\r\n"); stop != std::string::npos)
      FLineEnd = content->compare(stop, 2, "\r\n") == 0 ? "\r\n" : content->substr(stop, 1);
  }
  TLoader loader(FSections, own ? &FPreamble : nullptr);
  ForEachLine(*content, [&loader](std::string&& line, std::string_view end, bool lastUnended) {
    loader.AddLine(std::move(line), end, lastUnended);
  });
  loader.Flush();
}

void TBigIniFile::LoadFromStrings(const TStringList& strings) {
  TLoader loader(FSections, nullptr);
  for (const auto& entry : strings) loader.AddLine(std::string(entry.Text), FLineEnd, false);
  loader.Flush();
}

void TBigIniFile::Clear() {
  if (FSections.Count() > 0 || !FPreamble.empty()) FModified = true;
  FSections.Clear();
  FPreamble.clear();
}

// ---------------------------------------------------------------------------------------------
// TBigIniFile: writing the file

// Puts lines and raw bytes together in chunks, one system write per 64 KiB rather than per
// line, and ends a line that was read without an end (the file's last) once more follows it.
class TBigIniFile::TWriter {
public:
  TWriter(platform::TFileWriter& file, std::string_view lineEnd) : FFile(file), FLineEnd(lineEnd) {
    FChunk.reserve(FlushSize + 256);
  }

  void Bytes(std::string_view bytes) {
    FChunk.append(bytes);
    if (FChunk.size() >= FlushSize) Flush();
  }
  // A line with its own end (empty: the usual one), or as the file's last line without one.
  void Line(std::string_view text, std::string_view end = {}, bool lastUnended = false) {
    Continue();
    FChunk.append(text);
    if (lastUnended)
      FUnended = true;
    else
      FChunk.append(end.empty() ? FLineEnd : end);
    FBlank = text.empty();
    FEmpty = false;
    if (FChunk.size() >= FlushSize) Flush();
  }
  // Lines as read, their ends included.
  void Raw(std::string_view raw) {
    if (raw.empty()) return;
    Continue();
    Bytes(raw);
    FUnended = raw.back() != '\r' && raw.back() != '\n';
    std::string_view last = raw;
    if (!FUnended) last.remove_suffix(last.ends_with("\r\n") ? 2 : 1);
    FBlank = last.empty() || last.back() == '\r' || last.back() == '\n';
    FEmpty = false;
  }
  // Whether what was written so far is nothing or ends with a blank line.
  bool Separated() const { return FEmpty || (FBlank && !FUnended); }
  void Flush() {
    FFile.Write(FChunk);
    FChunk.clear();
  }

private:
  static constexpr std::size_t FlushSize = 64 * 1024;
  void Continue() {
    if (!FUnended) return;
    FChunk.append(FLineEnd);
    FUnended = false;
  }

  platform::TFileWriter& FFile;
  std::string_view FLineEnd;
  std::string FChunk;
  bool FUnended = false;
  bool FBlank = false;
  bool FEmpty = true;
};

// The writer replaces the file in one step when it is closed: a save that fails on the way
// (a full disk) leaves the old file whole, and the store stays modified, so the destructor's
// one last try cannot shorten the file either.
void TBigIniFile::UpdateFile() {
  if (!FModified || FFileName.empty()) return;
  FWriteNote.clear();
  platform::TFileWriter file(FFileName);
  TWriter out(file, FLineEnd);
  if (FUtf8Mark) out.Bytes(kUtf8Mark);
  out.Raw(FPreamble);
  for (int s = 0; s < FSections.Count(); ++s) {
    const TSectionValues& values = FSections.Values(s);
    const TSectionList::THeader& header = FSections.Header(s);
    if (header.FromFile) {
      out.Line(header.Line, header.End, header.LastUnended);
    } else {
      // A section made here: written only with lines, apart from what precedes it.
      if (values.Count() == 0) continue;
      if (!out.Separated()) out.Line({});
      out.Line("[" + FSections.Names(s) + "]");
    }
    for (int i = 0; i < values.Count(); ++i) {
      const TStringListEx::TLayout& layout = values.Layout(i);
      out.Raw(layout.Before);
      out.Line(values.Strings(i), layout.End, layout.LastUnended);
    }
    if (header.FromFile)
      out.Raw(values.After());
    else
      out.Line({});
  }
  out.Flush();
  file.Close();
  FWriteNote = file.Note();
  FModified = false;
}

// ---------------------------------------------------------------------------------------------
// TBigIniFile: sections and keys

TSectionValues& TBigIniFile::FindOrAddSection(const std::string& section) {
  int index = FSections.IndexOfSection(section);
  if (index < 0) index = FSections.Add(section);
  return FSections.Values(index);
}

bool TBigIniFile::FindValue(const std::string& section, const std::string& key, std::string& value) {
  const int s = FSections.IndexOfSection(section);
  if (s < 0) return false;
  TSectionValues& values = FSections.Values(s);
  const int i = values.IndexOfName(key);
  if (i < 0) return false;
  value = values.ValueFromIndex(i);
  return true;
}

void TBigIniFile::DeleteKey(const std::string& section, const std::string& key) {
  TSectionValues& values = FindOrAddSection(section);
  const int i = values.IndexOfName(key);
  if (i < 0) return;
  values.Delete(i);
  FModified = true;
}

void TBigIniFile::EraseSection(const std::string& section) {
  const int s = FSections.IndexOfSection(section);
  if (s < 0) return;
  FSections.Delete(s);
  FModified = true;
}

void TBigIniFile::ReadAll(TStringList& strings) {
  strings.Clear();
  for (int s = 0; s < FSections.Count(); ++s) {
    const TSectionValues& values = FSections.Values(s);
    if (values.Count() == 0) continue;
    strings.Add("[" + FSections.Names(s) + "]");
    for (int i = 0; i < values.Count(); ++i) strings.Add(values.Strings(i));
    strings.Add({});
  }
}

void TBigIniFile::ReadSection(const std::string& section, TStringList& strings) {
  strings.Clear();
  const int s = FSections.IndexOfSection(section);
  if (s < 0) return;
  const TSectionValues& values = FSections.Values(s);
  for (int i = 0; i < values.Count(); ++i) {
    std::string name = values.Names(i);
    if (!name.empty()) strings.Add(std::move(name));
  }
}

void TBigIniFile::ReadSections(TStringList& strings) {
  strings.Clear();
  for (int s = 0; s < FSections.Count(); ++s) strings.Add(FSections.Names(s));
}

void TBigIniFile::ReadSectionValues(const std::string& section, TStringList& strings) {
  const int s = FSections.IndexOfSection(section);
  if (s < 0) return;
  const TSectionValues& values = FSections.Values(s);
  for (int i = 0; i < values.Count(); ++i) strings.Add(values.Strings(i));
}

bool TBigIniFile::SectionExists(const std::string& section) {
  return FSections.IndexOfSection(section) >= 0;
}

bool TBigIniFile::ValueExists(const std::string& section, const std::string& key) {
  if (key.empty()) return false;  // empty names are never listed
  const int s = FSections.IndexOfSection(section);
  return s >= 0 && FSections.Values(s).IndexOfName(key) >= 0;
}

// ---------------------------------------------------------------------------------------------
// TBigIniFile: reading values

std::string TBigIniFile::ReadString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue) {
  std::string value;
  return FindValue(section, key, value) ? value : defaultValue;
}

int TBigIniFile::ReadInteger(const std::string& section, const std::string& key, int defaultValue) {
  int value = defaultValue;
  std::string text;
  if (FindValue(section, key, text) && TryIniTextToInteger(text, value)) return value;
  return defaultValue;
}

bool TBigIniFile::ReadBool(const std::string& section, const std::string& key, bool defaultValue) {
  return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

double TBigIniFile::ReadFloat(const std::string& section, const std::string& key, double defaultValue) {
  double value = defaultValue;
  std::string text;
  if (FindValue(section, key, text) && TryIniTextToFloat(text, value)) return value;
  return defaultValue;
}

TDateTime TBigIniFile::ReadDate(const std::string& section, const std::string& key, TDateTime defaultValue) {
  TDateTime value = defaultValue;
  std::string text;
  if (FindValue(section, key, text) && TryIniTextToDate(text, value)) return value;
  return defaultValue;
}

TDateTime TBigIniFile::ReadDateTime(const std::string& section, const std::string& key,
                                    TDateTime defaultValue) {
  TDateTime value = defaultValue;
  std::string text;
  if (FindValue(section, key, text) && TryIniTextToDateTime(text, value)) return value;
  return defaultValue;
}

TDateTime TBigIniFile::ReadTime(const std::string& section, const std::string& key, TDateTime defaultValue) {
  TDateTime value = defaultValue;
  std::string text;
  if (FindValue(section, key, text) && TryIniTextToTime(text, value)) return value;
  return defaultValue;
}

int TBigIniFile::ReadBinaryStream(const std::string& section, const std::string& key, TStream& stream) {
  const std::string text = ReadString(section, key, {});
  std::string bytes;
  bytes.reserve(text.size() / 2);
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    const int high = HexDigit(text[i]);
    const int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) break;
    bytes.push_back(static_cast<char>(high << 4 | low));
  }
  stream.Write(bytes.data(), bytes.size());
  return static_cast<int>(bytes.size());
}

// ---------------------------------------------------------------------------------------------
// TBigIniFile: writing values

void TBigIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  if (key.empty()) {
    if (!section.empty() || !value.empty())
      EraseSection(section);
    else
      UpdateFile();
    return;
  }
  std::string line = key + "=" + value;
  TSectionValues& values = FindOrAddSection(section);
  const int i = values.IndexOfName(key);
  if (i < 0) {
    values.Add(std::move(line));
    FModified = true;
    return;
  }
  if (values.Strings(i) == line) return;
  values.SetString(i, std::move(line));
  FModified = true;
}

void TBigIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

void TBigIniFile::WriteBinaryStream(const std::string& section, const std::string& key, TStream& stream) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  unsigned char buffer[512];
  std::size_t n;
  while ((n = stream.Read(buffer, sizeof buffer)) > 0) {
    for (std::size_t i = 0; i < n; ++i) {
      text.push_back(digits[buffer[i] >> 4]);
      text.push_back(digits[buffer[i] & 0x0F]);
    }
  }
  WriteString(section, key, text);
}

void TBigIniFile::WriteDate(const std::string& section, const std::string& key, TDateTime value) {
  WriteString(section, key, IniDateText(value));
}

void TBigIniFile::WriteDateTime(const std::string& section, const std::string& key, TDateTime value) {
  WriteString(section, key, IniDateTimeText(value));
}

void TBigIniFile::WriteFloat(const std::string& section, const std::string& key, double value) {
  WriteString(section, key, IniFloatText(value));
}

void TBigIniFile::WriteInteger(const std::string& section, const std::string& key, int value) {
  WriteString(section, key, IniIntegerText(value));
}

void TBigIniFile::WriteTime(const std::string& section, const std::string& key, TDateTime value) {
  WriteString(section, key, IniTimeText(value));
}

}  // namespace kelda
