// In-memory INI store for large files, its line reader and the byte streams they use.
//
// The store keeps the whole file in memory as a list of sections in file order. A section search
// starts at the section found last and wraps around once, so reading a file section by section in
// its own order costs one comparison per lookup. Each line keeps the position of its first "=",
// located once on first use.
//
// Value texts (the same in every locale, so files move between machines):
//   integer    decimal, or hexadecimal after "0x" / "0X" (read only)
//   boolean    "0" or "1"; any integer reads as true when not 0
//   float      shortest text that reads back to the same double, "." as decimal separator;
//              reading accepts "." and "," alike
//   date       "yyyy-mm-dd"                  (years 1 to 9999)
//   time       "hh:nn:ss"                    (24-hour clock, seconds; milliseconds are dropped)
//   date-time  "yyyy-mm-dd hh:nn:ss"         (reading also takes a date or a time alone)
// A typed read whose text does not have its form yields the caller's default.
// Dates are TDateTime values: days since 1899-12-30, the fraction is the time of day.
//
// Neither the store nor the reader locks; one thread at a time uses them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Common/Classes.h"

namespace kelda {

using TDateTime = double;

// ---------------------------------------------------------------------------------------------
// Byte streams

class TStream {
public:
  virtual ~TStream() = default;
  // Copies up to count bytes from the current position; the number copied (0 at the end).
  virtual std::size_t Read(void* buffer, std::size_t count) = 0;
  // Writes count bytes at the current position; the number written.
  virtual std::size_t Write(const void* buffer, std::size_t count) = 0;
};

// Bytes in memory with a read/write position; writing past the end extends them.
class TMemoryStream : public TStream {
public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::string bytes) : FBytes(std::move(bytes)) {}

  std::size_t Read(void* buffer, std::size_t count) override;
  std::size_t Write(const void* buffer, std::size_t count) override;

  std::size_t Position() const { return FPosition; }
  void SetPosition(std::size_t position) { FPosition = position < FBytes.size() ? position : FBytes.size(); }
  std::size_t Size() const { return FBytes.size(); }
  const std::string& Bytes() const { return FBytes; }

private:
  std::string FBytes;
  std::size_t FPosition = 0;
};

// Reads lines from a stream through a buffer. A line ends at CR, at LF or at CR LF, also when
// the pair is split between two buffer fills; the line end is not part of the line.
class TStreamReader {
public:
  static constexpr std::size_t DefaultBufferSize = 4096;
  static constexpr std::size_t MinBufferSize = 128;

  // EInOutError "Stream is nil" without a stream. The stream must outlive the reader.
  explicit TStreamReader(TStream* stream, std::size_t bufferSize = DefaultBufferSize);

  // The next line; false at the end of the stream (a last line without line end still counts).
  bool ReadLine(std::string& line);

private:
  bool Fill();  // false when the stream has nothing more

  TStream* FStream;
  std::vector<char> FBuffer;
  std::size_t FPos = 0;
  std::size_t FLen = 0;
  bool FSkipLineFeed = false;  // the previous line ended at CR; a LF that follows belongs to it
};

// ---------------------------------------------------------------------------------------------
// Lines of a section

// A string list whose lines carry the cached position of their first "=".
//
// Each line also keeps how it stood in its file, so that writing the file back gives every byte
// the store did not change as it was: the lines without content before it (blank lines and
// end-of-file marks, with their line ends, as raw bytes) and its own line end. Lines without
// content after the last line are the list's After(). Changing a line's text keeps its layout;
// deleting a line hands the lines before it on to the next line (or to After()).
class TStringListEx {
public:
  static constexpr int NoEqualSign = -1;

  struct TLayout {
    std::string Before;        // raw bytes of the lines without content before the line
    std::string End;           // its line end as read; empty: the file's usual one
    bool LastUnended = false;  // the file's last line, without a line end
  };

  int Count() const { return static_cast<int>(FLines.size()); }
  const std::string& Strings(int index) const;  // EListError outside 0..Count-1
  void SetString(int index, std::string text);
  int Add(std::string text);
  int Add(std::string text, TLayout layout);
  void Delete(int index);
  void Clear() {
    FLines.clear();
    FAfter.clear();
  }
  const TLayout& Layout(int index) const;  // EListError outside 0..Count-1
  const std::string& After() const { return FAfter; }
  void AppendAfter(std::string_view raw) { FAfter.append(raw); }

  // Offset of the first "=" in the line, or NoEqualSign.
  int EqualPos(int index) const;
  // The text before the first "=" (the whole line without one), trimmed of characters below 33.
  std::string Names(int index) const { return std::string(NameView(index)); }
  std::string_view NameView(int index) const;  // valid until the line changes
  // The text after the first "=", trimmed the same way; empty without "=".
  std::string ValueFromIndex(int index) const;

private:
  static constexpr int NotLocated = -2;
  struct TLine {
    std::string Text;
    mutable int EqualPos = NotLocated;
    TLayout Layout;
  };
  const TLine& Line(int index) const;
  std::vector<TLine> FLines;
  std::string FAfter;
};

class TSectionValues : public TStringListEx {
public:
  // The first line whose name equals name by the system's case-insensitive comparison, or -1.
  int IndexOfName(std::string_view name);
  int LastIndex() const { return FLastIndex; }

private:
  int FLastIndex = -1;
};

// Sections in file order with their lines.
class TSectionList {
public:
  int Count() const { return static_cast<int>(FSections.size()); }
  const std::string& Names(int index) const;
  TSectionValues& Values(int index) const;

  // Scans from the current section to the end, then from the start; names compare without
  // regard to ASCII case. A hit becomes the current section. -1 when absent.
  int IndexOfSection(std::string_view name);
  int Add(std::string name);  // appends; the new section becomes current
  // Appends a section as its file has it: `line` is its section line as written, `end` that
  // line's end (empty with lastUnended: the file's last line). Such a section is written back
  // with its section line as it was, also when it has no lines.
  int AddAsRead(std::string name, std::string line, std::string end, bool lastUnended);
  struct THeader {
    bool FromFile = false;
    std::string Line;  // as written in the file
    std::string End;
    bool LastUnended = false;
  };
  const THeader& Header(int index) const;
  void Delete(int index);
  void Clear();
  // Drops every section whose name, without regard to case, came earlier; true when any went.
  bool DropDuplicates();

  int Current() const { return FCurrent; }

private:
  struct TSection {
    std::string Name;
    TSectionValues Values;
    THeader Header;
  };
  void Check(int index) const;
  std::vector<std::unique_ptr<TSection>> FSections;
  int FCurrent = 0;
};

// ---------------------------------------------------------------------------------------------
// Value texts

std::string IniIntegerText(int value);
bool TryIniTextToInteger(std::string_view text, int& value);
std::string IniFloatText(double value);
bool TryIniTextToFloat(std::string_view text, double& value);  // "." or "," as separator
// EConvertError for values outside the years 1 to 9999 or not finite.
std::string IniDateText(TDateTime value);
std::string IniTimeText(TDateTime value);
std::string IniDateTimeText(TDateTime value);
bool TryIniTextToDate(std::string_view text, TDateTime& value);
bool TryIniTextToTime(std::string_view text, TDateTime& value);
bool TryIniTextToDateTime(std::string_view text, TDateTime& value);
TDateTime EncodeIniDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

// ---------------------------------------------------------------------------------------------
// The store

class TBigIniFile : public TObject {
public:
  // Loads the file when it exists; an empty name gives a store that is not bound to a file.
  // EInOutError when the file exists but cannot be read.
  explicit TBigIniFile(std::string fileName = {});
  // Writes the file if modified. A failure to write cannot leave a destructor; it goes to the
  // debug output, so callers that must know call UpdateFile first.
  ~TBigIniFile() override;
  TBigIniFile(const TBigIniFile&) = delete;
  TBigIniFile& operator=(const TBigIniFile&) = delete;

  const std::string& FileName() const { return FFileName; }
  // Writes the old file if modified, clears the store, loads the new file; not modified after,
  // also when loading the new file failed (EInOutError), so that file is never overwritten.
  void SetFileName(std::string fileName);
  bool Modified() const { return FModified; }
  // Whether the store's file began with a UTF-8 byte-order mark; UpdateFile writes it again.
  bool HasUtf8Mark() const { return FUtf8Mark; }
  int CurrentSection() const { return FSections.Current(); }

  // Adds the file's sections to those present (nothing when the file is missing; EInOutError
  // when it exists but cannot be read). A leading UTF-8 byte-order mark is not part of the
  // first line; the store's own file remembers it, with the lines before its first section
  // and its usual line end. Section lines may carry blanks around the brackets and the name;
  // the name is taken without them. A section whose name (without regard to ASCII case) came
  // earlier is no section: its lines stay in the file as they are, and lookups never see them.
  // Loading never marks the store modified.
  virtual void LoadFromFile(const std::string& fileName);
  virtual void Clear();  // modified when there was anything to drop
  // Finds the section (creating an empty one when missing) and removes the key's line.
  virtual void DeleteKey(const std::string& section, const std::string& key);
  virtual void EraseSection(const std::string& section);
  // Replaces strings by every section with lines: "[name]", its lines, an empty line.
  virtual void ReadAll(TStringList& strings);
  // Adds sections from lines in memory, parsed as a file's lines are.
  virtual void LoadFromStrings(const TStringList& strings);
  // Writes the file when modified and bound to a file name. What the store read is written back
  // byte for byte but for the lines that changed: the lines before the first section, blank
  // lines, comments, empty sections, every line's own line end and a last line without one. A
  // new line goes after the last line of its section, a new section at the end, each ended by
  // the file's usual line end (the first one it has; CR LF for a new file).
  virtual void UpdateFile();
  // After a write: what replacing the file could not keep of the old one (its security
  // settings, where the system cannot replace a file in place), or empty.
  const std::string& WriteNote() const { return FWriteNote; }
  // Decodes pairs of hexadecimal digits into bytes written to the stream, stopping at the first
  // pair that is not one; the number of bytes written.
  virtual int ReadBinaryStream(const std::string& section, const std::string& key, TStream& stream);
  virtual bool ReadBool(const std::string& section, const std::string& key, bool defaultValue);
  virtual TDateTime ReadDate(const std::string& section, const std::string& key, TDateTime defaultValue);
  virtual TDateTime ReadDateTime(const std::string& section, const std::string& key, TDateTime defaultValue);
  virtual double ReadFloat(const std::string& section, const std::string& key, double defaultValue);
  virtual int ReadInteger(const std::string& section, const std::string& key, int defaultValue);
  // Replaces strings by the names of the section's lines, empty names left out.
  virtual void ReadSection(const std::string& section, TStringList& strings);
  // Replaces strings by all section names in file order.
  virtual void ReadSections(TStringList& strings);
  // Appends the section's lines as stored.
  virtual void ReadSectionValues(const std::string& section, TStringList& strings);
  virtual std::string ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue);
  virtual TDateTime ReadTime(const std::string& section, const std::string& key, TDateTime defaultValue);
  virtual bool SectionExists(const std::string& section);
  virtual bool ValueExists(const std::string& section, const std::string& key);
  // An empty key erases the section when the section or the value is non-empty, else writes the
  // file. Otherwise sets the line key=value, creating the section at the end when missing.
  virtual void WriteString(const std::string& section, const std::string& key, const std::string& value);
  virtual void WriteBool(const std::string& section, const std::string& key, bool value);
  // The stream's remaining bytes as upper-case hexadecimal pairs.
  virtual void WriteBinaryStream(const std::string& section, const std::string& key, TStream& stream);
  virtual void WriteDate(const std::string& section, const std::string& key, TDateTime value);
  virtual void WriteDateTime(const std::string& section, const std::string& key, TDateTime value);
  virtual void WriteFloat(const std::string& section, const std::string& key, double value);
  virtual void WriteInteger(const std::string& section, const std::string& key, int value);
  virtual void WriteTime(const std::string& section, const std::string& key, TDateTime value);

private:
  class TLoader;
  class TWriter;
  // The value of the key; false when the section or the key is missing.
  bool FindValue(const std::string& section, const std::string& key, std::string& value);
  TSectionValues& FindOrAddSection(const std::string& section);

  TSectionList FSections;
  std::string FFileName;
  bool FModified = false;
  bool FUtf8Mark = false;
  std::string FPreamble;          // the lines before the first section, raw
  std::string FLineEnd = "\r\n";  // the file's usual line end
  std::string FWriteNote;
};

}  // namespace kelda
