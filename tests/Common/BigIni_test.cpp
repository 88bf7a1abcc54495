#include "Common/BigIni.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Common/Exceptions.h"
#include "platform/File.h"

using namespace kelda;
using namespace std::string_literals;

namespace {

// A file in the temporary folder, removed again at the end of the test.
class TTempFile {
public:
  TTempFile() {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    std::random_device random;
    FPath = (std::filesystem::temp_directory_path() /
             (std::string("kelda_") + info->name() + "_" + std::to_string(random()) + ".ini"))
                .string();
  }
  ~TTempFile() { std::filesystem::remove(FPath); }
  const std::string& Path() const { return FPath; }

  void Write(const std::string& bytes) const {
    std::ofstream out(FPath, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  std::string Read() const {
    std::ifstream in(FPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

private:
  std::string FPath;
};

std::vector<std::string> Lines(const TStringList& list) {
  std::vector<std::string> out;
  for (const auto& e : list) out.push_back(e.Text);
  return out;
}

std::vector<std::string> ReadAllLines(const std::string& bytes, std::size_t bufferSize = 4096) {
  TMemoryStream stream(bytes);
  TStreamReader reader(&stream, bufferSize);
  std::vector<std::string> lines;
  std::string line;
  while (reader.ReadLine(line)) lines.push_back(line);
  return lines;
}

using Strings = std::vector<std::string>;

// The profile functions of the system read "[Host] ; note" as the section "Host"; a save that
// does not would put a second [Host] after it, which those functions never read.
TEST(BigIniFile, ACommentAfterASectionNameKeepsTheSection) {
  TTempFile file;
  file.Write("[Host] ; main window\r\nKey=1\r\n");
  {
    TBigIniFile ini(file.Path());
    EXPECT_EQ(ini.ReadString("Host", "Key", "?"), "1");
    ini.WriteString("Host", "Key", "2");
  }
  EXPECT_EQ(file.Read(), "[Host] ; main window\r\nKey=2\r\n");
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Line reader

TEST(StreamReader, LineEnds) {
  EXPECT_EQ(ReadAllLines(""), Strings{});
  EXPECT_EQ(ReadAllLines("a"), Strings{"a"});
  EXPECT_EQ(ReadAllLines("a\r\n"), Strings{"a"});
  EXPECT_EQ(ReadAllLines("a\rb\nc\r\nd"), (Strings{"a", "b", "c", "d"}));
  EXPECT_EQ(ReadAllLines("\r\n\r\n"), (Strings{"", ""}));
  EXPECT_EQ(ReadAllLines("a\n\rb"), (Strings{"a", "", "b"}));  // LF CR is two line ends
  EXPECT_EQ(ReadAllLines("a\r"), Strings{"a"});
  EXPECT_EQ(ReadAllLines(std::string("a\0b\n", 4)), Strings{std::string("a\0b", 3)});

  try {
    TStreamReader reader(nullptr);
    FAIL() << "no exception";
  } catch (const EInOutError& e) {
    EXPECT_STREQ(e.what(), "Stream is nil");
  }
}

// Lines of every length around the buffer size, joined by every kind of line end, so that a
// CR LF pair falls across every buffer boundary; small buffers are raised to 128 bytes.
TEST(StreamReader, LineEndsAcrossBufferFills) {
  const char* ends[] = {"\r\n", "\r", "\n"};
  for (std::size_t bufferSize : {std::size_t(1), std::size_t(128), std::size_t(4096)}) {
    std::string text;
    Strings expected;
    for (int length = 0; length < 300; ++length) {
      std::string line(static_cast<std::size_t>(length), static_cast<char>('a' + length % 26));
      text += line + ends[length % 3];
      expected.push_back(line);
    }
    EXPECT_EQ(ReadAllLines(text, bufferSize), expected) << "buffer " << bufferSize;
  }
  const std::string longLine(10000, 'x');
  EXPECT_EQ(ReadAllLines(longLine + "\r\n" + longLine, 128), (Strings{longLine, longLine}));
}

// ---------------------------------------------------------------------------------------------
// Lines of a section

TEST(SectionValues, NamesValuesAndTheCachedEqualSign) {
  TSectionValues values;
  values.Add("\t name \x01= value =x  ");
  values.Add("no equal sign ");
  values.Add("\xA0k=v\xA0");  // only characters below 33 are blanks
  EXPECT_EQ(values.EqualPos(0), 8);
  EXPECT_EQ(values.Names(0), "name");
  EXPECT_EQ(values.ValueFromIndex(0), "value =x");
  EXPECT_EQ(values.EqualPos(1), TStringListEx::NoEqualSign);
  EXPECT_EQ(values.Names(1), "no equal sign");
  EXPECT_EQ(values.ValueFromIndex(1), "");
  EXPECT_EQ(values.Names(2), "\xA0k");
  EXPECT_EQ(values.ValueFromIndex(2), "v\xA0");

  values.SetString(0, "longer name=1");  // a changed line locates its "=" anew
  EXPECT_EQ(values.EqualPos(0), 11);
  EXPECT_EQ(values.Names(0), "longer name");
  EXPECT_EQ(values.IndexOfName("LONGER NAME"), 0);
  EXPECT_EQ(values.IndexOfName("no EQUAL sign"), 1);
  EXPECT_EQ(values.LastIndex(), 1);
  EXPECT_EQ(values.IndexOfName(""), -1);
  values.Delete(0);
  EXPECT_EQ(values.EqualPos(0), TStringListEx::NoEqualSign);
  EXPECT_THROW(values.Strings(5), EListError);
}

// ---------------------------------------------------------------------------------------------
// Loading and lookup

TEST(BigIniFile, LoadsLinesAsTheyStand) {
  TTempFile file;
  file.Write(
      "dropped=1\r\n[ Main ]\r\n  key = value  \r\n\r\n\x1A\r\nplain line\r\n=no name\r\n"
      "k2=a=b\r\n[Other]\nx=1");
  TBigIniFile ini(file.Path());
  TStringList list;
  ini.ReadSections(list);
  EXPECT_EQ(Lines(list), (Strings{"Main", "Other"}));
  EXPECT_FALSE(ini.Modified());

  EXPECT_EQ(ini.ReadString("Main", "key", "?"), "value");
  EXPECT_EQ(ini.ReadString("main", "KEY", "?"), "value");
  EXPECT_EQ(ini.ReadString("Main", "k2", "?"), "a=b");
  EXPECT_EQ(ini.ReadString("Main", "plain line", "?"), "");  // a line without "=" has no value
  EXPECT_EQ(ini.ReadString("Main", "dropped", "?"), "?");
  EXPECT_EQ(ini.ReadString("Other", "x", "?"), "1");

  ini.ReadSection("Main", list);
  EXPECT_EQ(Lines(list), (Strings{"key", "plain line", "k2"}));  // empty names left out
  list.Clear();
  list.Add("before");
  ini.ReadSectionValues("Main", list);
  EXPECT_EQ(Lines(list), (Strings{"before", "  key = value  ", "plain line", "=no name", "k2=a=b"}));

  EXPECT_TRUE(ini.ValueExists("Main", "KEY"));
  EXPECT_TRUE(ini.ValueExists("Main", "plain line"));
  EXPECT_FALSE(ini.ValueExists("Main", ""));
  EXPECT_FALSE(ini.ValueExists("Other", "key"));
  EXPECT_TRUE(ini.SectionExists("OTHER"));
  EXPECT_FALSE(ini.SectionExists("Third"));
}

// A file an editor saved as UTF-8 (byte-order mark first) and section lines with blanks around
// them, as hand-edited files have: every section is found, and a save writes the mark again
// and changes nothing else it did not have to.
TEST(BigIniFile, ByteOrderMarkAndBlanksAroundSectionLines) {
  TTempFile file;
  file.Write("\xEF\xBB\xBF[Host]\r\nmine=1\r\n\r\n[Dev1.Common] \r\nProto=1\r\n\t[ Dev2 ]\t\r\nx=2\r\n");
  {
    TBigIniFile ini(file.Path());
    EXPECT_TRUE(ini.HasUtf8Mark());
    TStringList list;
    ini.ReadSections(list);
    EXPECT_EQ(Lines(list), (Strings{"Host", "Dev1.Common", "Dev2"}));
    EXPECT_EQ(ini.ReadString("Host", "mine", "?"), "1");
    EXPECT_EQ(ini.ReadString("Dev1.Common", "Proto", "?"), "1");
    EXPECT_EQ(ini.ReadString("Dev2", "x", "?"), "2");
    ini.WriteString("Dev1.Common", "Proto", "3");
  }
  EXPECT_EQ(file.Read(),
            "\xEF\xBB\xBF[Host]\r\nmine=1\r\n\r\n[Dev1.Common] \r\nProto=3\r\n\t[ Dev2 ]\t\r\nx=2\r\n");

  // A file without the mark gets none, also after a store that had one switched to it; a mark
  // alone is an empty file.
  TTempFile plain;
  plain.Write("[A]\r\nk=1\r\n");
  {
    TBigIniFile ini(file.Path());
    ini.SetFileName(plain.Path());
    EXPECT_FALSE(ini.HasUtf8Mark());
    ini.WriteString("A", "k", "2");
  }
  EXPECT_EQ(plain.Read(), "[A]\r\nk=2\r\n");
  plain.Write("\xEF\xBB\xBF");
  {
    TBigIniFile ini(plain.Path());
    TStringList list;
    ini.ReadSections(list);
    EXPECT_EQ(list.Count(), 0);
    ini.WriteString("A", "k", "1");
  }
  EXPECT_EQ(plain.Read(), "\xEF\xBB\xBF[A]\r\nk=1\r\n\r\n");
}

// A host's file written by hand: a header before the first section, LF and CR LF line ends,
// blank lines, comments, an empty section, blanks around a section line, an end-of-file mark, a
// section that repeats an earlier one, a last line without a line end. A save changes the lines
// it writes and nothing else: a changed value in its line, a new key after the last line of its
// section, a new section at the end, each with the file's usual line end.
TEST(BigIniFile, ASaveChangesOnlyTheLinesItWrites) {
  const std::string original =
      "; Host settings, written by hand\n"
      "\n"
      "[Host]\r\n"
      "Window=3\r\n"
      "; the size of the main window\r\n"
      "Size=640x480\r\n"
      "\r\n"
      "\r\n"
      "[Empty]\n"
      "\n"
      "  [ Dev1.Common ]  \n"
      "Proto=1\n"
      "; comment inside\n"
      "\n"
      "Local address=5\n"
      "\x1A\n"
      "[dev1.common]\n"
      "Proto=9\n"
      "\n"
      "[Last]\n"
      "k=1";
  TTempFile file;
  file.Write(original);
  {
    TBigIniFile ini(file.Path());
    EXPECT_EQ(ini.ReadString("Dev1.Common", "Proto", "?"), "1") << "the first of two sections counts";
    EXPECT_TRUE(ini.SectionExists("Empty"));
    ini.WriteString("Host", "Window", "4");
    ini.WriteString("Host", "Window", "3");
    EXPECT_TRUE(ini.Modified());
  }
  EXPECT_EQ(file.Read(), original) << "written back without a change";

  {
    TBigIniFile ini(file.Path());
    ini.WriteString("Dev1.Common", "Proto", "3");
    ini.WriteString("Dev1.Common", "New", "7");
    ini.WriteString("Last", "k", "2");
    ini.WriteString("Last", "j", "3");
    ini.WriteString("Fresh", "x", "1");
  }
  EXPECT_EQ(file.Read(),
            "; Host settings, written by hand\n"
            "\n"
            "[Host]\r\n"
            "Window=3\r\n"
            "; the size of the main window\r\n"
            "Size=640x480\r\n"
            "\r\n"
            "\r\n"
            "[Empty]\n"
            "\n"
            "  [ Dev1.Common ]  \n"
            "Proto=3\n"
            "; comment inside\n"
            "\n"
            "Local address=5\n"
            "New=7\n"
            "\x1A\n"
            "[dev1.common]\n"
            "Proto=9\n"
            "\n"
            "[Last]\n"
            "k=2\n"
            "j=3\n"
            "\n"
            "[Fresh]\n"
            "x=1\n"
            "\n");

  // Keys deleted and a section erased take their own lines and nothing around them.
  file.Write("[A]\r\n; a\r\nx=1\r\n\r\ny=2\r\n[B]\r\nz=3\r\n\r\n[C]\r\n");
  {
    TBigIniFile ini(file.Path());
    ini.DeleteKey("A", "x");
    ini.DeleteKey("A", "y");
    ini.EraseSection("B");
  }
  EXPECT_EQ(file.Read(), "[A]\r\n; a\r\n\r\n[C]\r\n");
}

// A file reached through a link is written where the link points; the link stays a link.
TEST(BigIniFile, ALinkedFileIsWrittenThroughItsLink) {
  TTempFile target;
  target.Write("[A]\nk=1\n");
  const std::filesystem::path link = target.Path() + ".link";
  std::error_code error;
  std::filesystem::create_symlink(target.Path(), link, error);
  if (error) GTEST_SKIP() << "no symbolic links here: " << error.message();
  {
    TBigIniFile ini(link.string());
    ini.WriteString("A", "k", "2");
  }
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(target.Read(), "[A]\nk=2\n");
  std::filesystem::remove(link);
}

TEST(BigIniFile, SectionSearchStartsAtTheLastHitAndWraps) {
  TBigIniFile ini;
  TStringList lines;
  for (int i = 0; i < 5; ++i) {
    lines.Add("[S" + std::to_string(i) + "]");
    lines.Add("k=" + std::to_string(i));
  }
  ini.LoadFromStrings(lines);
  EXPECT_EQ(ini.ReadInteger("s3", "k", -1), 3);
  EXPECT_EQ(ini.CurrentSection(), 3);
  EXPECT_EQ(ini.ReadInteger("S1", "k", -1), 1);  // found after wrapping
  EXPECT_EQ(ini.CurrentSection(), 1);
  EXPECT_FALSE(ini.SectionExists("S9"));
  EXPECT_EQ(ini.CurrentSection(), 1);
  ini.EraseSection("S0");
  EXPECT_EQ(ini.CurrentSection(), 0);  // still S1, one place further up
  EXPECT_EQ(ini.ReadInteger("S4", "k", -1), 4);
  ini.WriteString("New", "k", "5");
  EXPECT_EQ(ini.CurrentSection(), 4);
}

TEST(BigIniFile, DuplicateSectionsKeepTheFirst) {
  TTempFile file;
  const std::string original = "[A]\r\nx=1\r\n[B]\r\nz=0\r\n[a]\r\nx=2\r\ny=3\r\n";
  file.Write(original);
  {
    TBigIniFile ini(file.Path());
    TStringList list;
    ini.ReadSections(list);
    EXPECT_EQ(Lines(list), (Strings{"A", "B"}));
    EXPECT_EQ(ini.ReadString("a", "x", "?"), "1");
    EXPECT_EQ(ini.ReadString("A", "y", "?"), "?");
    EXPECT_FALSE(ini.Modified());
    ini.UpdateFile();
  }  // a store that was only read leaves the file as it is
  EXPECT_EQ(file.Read(), original);
  {
    TBigIniFile ini(file.Path());
    ini.WriteString("B", "z", "1");
  }  // a real change writes the file; the later section stays in it as it was
  EXPECT_EQ(file.Read(), "[A]\r\nx=1\r\n[B]\r\nz=1\r\n[a]\r\nx=2\r\ny=3\r\n");

  // Sections that differ in a letter outside ASCII are different sections, when duplicates are
  // dropped as well as when they are looked up.
  file.Write("[\xC4]\r\nx=1\r\n[\xE4]\r\nx=2\r\n[Q]\r\nx=3\r\n");
  TBigIniFile ini(file.Path());
  TStringList list;
  ini.ReadSections(list);
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(ini.ReadString("\xE4", "x", "?"), "2");
  EXPECT_EQ(ini.ReadString("\xC4", "x", "?"), "1");
  EXPECT_EQ(ini.ReadString("q", "x", "?"), "3");
}

TEST(BigIniFile, AnUnreadableFileIsNotAnEmptyOne) {
  TTempFile file;
  const std::string original = "[Host]\r\nkeep=1\r\n";
  file.Write(original);
  {
    // Another writer has the file open: reading fails instead of loading nothing.
    auto writer = std::make_unique<platform::TFileWriter>(file.Path());
    writer->Write(original);
    EXPECT_THROW(TBigIniFile{file.Path()}, EInOutError);
    TBigIniFile other;
    EXPECT_THROW(other.LoadFromFile(file.Path()), EInOutError);
    // Switching a store with content to the unreadable file leaves nothing to write over it.
    auto switched = std::make_unique<TBigIniFile>();
    switched->WriteString("Mine", "k", "v");
    EXPECT_THROW(switched->SetFileName(file.Path()), EInOutError);
    writer->Close();
    EXPECT_FALSE(switched->Modified());
    switched.reset();
  }
  EXPECT_EQ(file.Read(), original);

  // A folder where the file should be exists but cannot be read as one.
  const auto folder = std::filesystem::path(file.Path()).replace_extension(".d");
  std::filesystem::create_directory(folder);
  EXPECT_THROW(TBigIniFile{folder.string()}, EInOutError);
  std::filesystem::remove(folder);
}

TEST(BigIniFile, AFailedSaveKeepsTheWholeFile) {
  TTempFile file;
  std::string original;
  for (int i = 0; i < 2000; ++i)
    original += "[Host" + std::to_string(i) + "]\r\nkeep=" + std::to_string(i) + "\r\n\r\n";
  file.Write(original);
  struct TLimit {  // as a full disk: the write fails after a few bytes
    TLimit() { platform::SetFileWriteLimit(100); }
    ~TLimit() { platform::SetFileWriteLimit(platform::NoFileWriteLimit); }
  };
  {
    auto limit = std::make_unique<TLimit>();
    {
      TBigIniFile ini(file.Path());
      ini.WriteString("Mine", "k", "v");
      EXPECT_THROW(ini.UpdateFile(), EInOutError);
      EXPECT_EQ(file.Read(), original);
      EXPECT_TRUE(ini.Modified());  // the change is still to be written
    }                               // the destructor's last try fails the same way, and harms nothing either
    EXPECT_EQ(file.Read(), original);
    EXPECT_FALSE(std::filesystem::exists(file.Path() + ".tmp"));

    // Once there is room again, the destructor writes the change in full.
    TBigIniFile ini(file.Path());
    ini.WriteString("Mine", "k", "v");
    EXPECT_THROW(ini.UpdateFile(), EInOutError);
    limit.reset();
  }
  EXPECT_EQ(file.Read(), original + "[Mine]\r\nk=v\r\n\r\n");
}

TEST(BigIniFile, BadInputLoadsWithoutHarm) {
  TTempFile file;
  std::mt19937 random(7);
  std::string junk;
  for (int i = 0; i < 200000; ++i) junk.push_back(static_cast<char>(random()));
  file.Write(junk);
  {
    TBigIniFile ini(file.Path());
    TStringList list;
    ini.ReadAll(list);
  }

  const std::string big(1024 * 1024, 'v');
  file.Write("[S]\r\nnul=a\0b\r\n\x1A\r\n"s + "big=" + big + "\r\n[s]\rcr=1\rcr2=2\r");
  TBigIniFile ini(file.Path());
  EXPECT_EQ(ini.ReadString("S", "nul", "?"), std::string("a\0b", 3));
  EXPECT_EQ(ini.ReadString("S", "big", "?").size(), big.size());
  EXPECT_EQ(ini.ReadString("S", "cr", "?"), "?");  // in the dropped duplicate

  file.Write("[T]\rcr=1\rcr2=2\r\x1A");
  TBigIniFile crOnly(file.Path());
  EXPECT_EQ(crOnly.ReadInteger("T", "cr2", 0), 2);
  TStringList list;
  crOnly.ReadSectionValues("T", list);
  EXPECT_EQ(Lines(list), (Strings{"cr=1", "cr2=2"}));  // the trailing 0x1A line is skipped
}

// ---------------------------------------------------------------------------------------------
// Typed values

TEST(BigIniFile, IntegersAndBooleans) {
  TBigIniFile ini;
  TStringList lines;
  for (const char* l :
       {"[N]", "hex=0x1F", "HEX2=0X1f", "neg=-12", "plus=+7", "abc=abc", "tail=12abc", "big=99999999999",
        "allbits=0xFFFFFFFF", "empty=", "long=0x123456789", "zero=0", "padded=0x000000001F"})
    lines.Add(l);
  ini.LoadFromStrings(lines);
  EXPECT_EQ(ini.ReadInteger("N", "hex", 0), 31);
  EXPECT_EQ(ini.ReadInteger("N", "hex2", 0), 31);
  EXPECT_EQ(ini.ReadInteger("N", "neg", 0), -12);
  EXPECT_EQ(ini.ReadInteger("N", "plus", 0), 7);
  EXPECT_EQ(ini.ReadInteger("N", "allbits", 0), -1);
  EXPECT_EQ(ini.ReadInteger("N", "padded", 0), 31);
  for (const char* bad : {"abc", "tail", "big", "empty", "long", "missing"})
    EXPECT_EQ(ini.ReadInteger("N", bad, 42), 42) << bad;
  EXPECT_TRUE(ini.ReadBool("N", "hex", false));
  EXPECT_FALSE(ini.ReadBool("N", "zero", true));
  EXPECT_TRUE(ini.ReadBool("N", "abc", true));
  EXPECT_FALSE(ini.ReadBool("N", "abc", false));

  ini.WriteBool("W", "t", true);
  ini.WriteBool("W", "f", false);
  ini.WriteInteger("W", "i", -2147483647 - 1);
  EXPECT_EQ(ini.ReadString("W", "t", ""), "1");
  EXPECT_EQ(ini.ReadString("W", "f", ""), "0");
  EXPECT_EQ(ini.ReadInteger("W", "i", 0), -2147483647 - 1);
}

TEST(BigIniFile, FloatsWithCommaOrPoint) {
  TBigIniFile ini;
  TStringList lines;
  for (const char* l :
       {"[F]", "comma=1,5", "point=1.5", "exp=-2.5e3", "two=1.2.3", "word=abc", "inf=inf", "nan=nan"})
    lines.Add(l);
  ini.LoadFromStrings(lines);
  EXPECT_EQ(ini.ReadFloat("F", "comma", 0), 1.5);
  EXPECT_EQ(ini.ReadFloat("F", "point", 0), 1.5);
  EXPECT_EQ(ini.ReadFloat("F", "exp", 0), -2500.0);
  for (const char* bad : {"two", "word", "inf", "nan", "missing"})
    EXPECT_EQ(ini.ReadFloat("F", bad, 9.25), 9.25) << bad;

  for (double v : {0.1 + 0.2, -1e-300, 123456789.125, 1e20}) {
    ini.WriteFloat("W", "v", v);
    EXPECT_EQ(ini.ReadString("W", "v", "").find(','), std::string::npos);
    EXPECT_EQ(ini.ReadFloat("W", "v", 0), v);
  }
  ini.WriteFloat("W", "v", 2.5);
  EXPECT_EQ(ini.ReadString("W", "v", ""), "2.5");
}

TEST(BigIniFile, DatesAndTimes) {
  EXPECT_EQ(EncodeIniDateTime(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeIniDateTime(2000, 1, 1), 36526.0);
  EXPECT_EQ(EncodeIniDateTime(1899, 12, 29, 6), -1.25);

  TBigIniFile ini;
  const TDateTime stamp = EncodeIniDateTime(2024, 2, 29, 13, 45, 7);
  ini.WriteDateTime("D", "dt", stamp);
  ini.WriteDate("D", "d", stamp);
  ini.WriteTime("D", "t", stamp);
  ini.WriteDateTime("D", "old", EncodeIniDateTime(1899, 12, 29, 6));
  EXPECT_EQ(ini.ReadString("D", "dt", ""), "2024-02-29 13:45:07");
  EXPECT_EQ(ini.ReadString("D", "d", ""), "2024-02-29");
  EXPECT_EQ(ini.ReadString("D", "t", ""), "13:45:07");
  EXPECT_EQ(ini.ReadString("D", "old", ""), "1899-12-29 06:00:00");
  EXPECT_DOUBLE_EQ(ini.ReadDateTime("D", "dt", 0), stamp);
  EXPECT_EQ(ini.ReadDate("D", "d", 0), EncodeIniDateTime(2024, 2, 29));
  EXPECT_DOUBLE_EQ(ini.ReadTime("D", "t", 0), (13 * 3600 + 45 * 60 + 7) / 86400.0);
  EXPECT_DOUBLE_EQ(ini.ReadDateTime("D", "old", 0), -1.25);
  EXPECT_EQ(ini.ReadDateTime("D", "d", 0), EncodeIniDateTime(2024, 2, 29));  // a date alone

  for (const char* bad :
       {"2023-02-29", "2024-13-01", "24-02-01", "2024/02/01", "24:00:00", "12:60:00", "noon"}) {
    ini.WriteString("Bad", "v", bad);
    EXPECT_EQ(ini.ReadDate("Bad", "v", -7), -7) << bad;
    EXPECT_EQ(ini.ReadTime("Bad", "v", -7), -7) << bad;
    EXPECT_EQ(ini.ReadDateTime("Bad", "v", -7), -7) << bad;
  }
  EXPECT_EQ(ini.ReadDate("D", "t", -7), -7);  // a time is not a date
  EXPECT_THROW(ini.WriteDate("D", "x", 1e12), EConvertError);
}

TEST(BigIniFile, BinaryStreams) {
  TBigIniFile ini;
  std::string bytes;
  for (int i = 0; i < 1300; ++i) bytes.push_back(static_cast<char>(i * 7));  // more than 512 at a time
  TMemoryStream source(bytes);
  source.SetPosition(3);  // only the remaining bytes are written
  ini.WriteBinaryStream("B", "data", source);
  EXPECT_EQ(ini.ReadString("B", "data", "").substr(0, 6), "151C23");  // 21, 28, 35
  TMemoryStream target;
  EXPECT_EQ(ini.ReadBinaryStream("B", "data", target), 1297);
  EXPECT_EQ(target.Bytes(), bytes.substr(3));

  ini.WriteString("B", "odd", "0a0Bz1ff");
  TMemoryStream partial;
  EXPECT_EQ(ini.ReadBinaryStream("B", "odd", partial), 2);  // stops at the first non-hex pair
  EXPECT_EQ(partial.Bytes(), "\x0A\x0B");
  EXPECT_EQ(ini.ReadBinaryStream("B", "missing", partial), 0);
}

// ---------------------------------------------------------------------------------------------
// Changing the store and writing the file

TEST(BigIniFile, WriteStringRules) {
  TTempFile file;
  file.Write("[A]\r\nk=1\r\n[B]\r\nk=2\r\n");
  TBigIniFile ini(file.Path());
  ini.WriteString("A", "k", "1");
  EXPECT_FALSE(ini.Modified());  // an identical line changes nothing
  ini.WriteString("A", "K", "1");
  EXPECT_TRUE(ini.Modified());
  TStringList list;
  ini.ReadSectionValues("A", list);
  EXPECT_EQ(Lines(list), Strings{"K=1"});

  ini.WriteString("A", "", "");  // empty key: the section goes
  EXPECT_FALSE(ini.SectionExists("A"));
  ini.WriteString("", "", "");  // nothing named: the file is written
  EXPECT_FALSE(ini.Modified());
  EXPECT_EQ(file.Read(), "[B]\r\nk=2\r\n");

  ini.WriteString("B", "", "value");
  EXPECT_FALSE(ini.SectionExists("B"));

  ini.WriteString("C", "a", "1");
  ini.WriteString("C", "b", "2");
  ini.DeleteKey("C", "A");
  ini.DeleteKey("D", "x");  // a missing section is created, empty, and never written
  EXPECT_TRUE(ini.SectionExists("D"));
  ini.ReadAll(list);
  EXPECT_EQ(Lines(list), (Strings{"[C]", "b=2", ""}));
  ini.UpdateFile();
  EXPECT_EQ(file.Read(), "[C]\r\nb=2\r\n\r\n");
  ini.Clear();
  ini.UpdateFile();
  EXPECT_EQ(file.Read(), "");
}

TEST(BigIniFile, RoundTripThroughTheFile) {
  TTempFile file;
  const TDateTime stamp = EncodeIniDateTime(1999, 12, 31, 23, 59, 59);
  {
    TBigIniFile ini(file.Path());
    for (int s = 0; s < 50; ++s) {
      const std::string section = "Section" + std::to_string(s);
      ini.WriteString(section, "text", " spaced ");
      ini.WriteInteger(section, "int", s * 1000 - 7);
      ini.WriteFloat(section, "float", s / 3.0);
      ini.WriteBool(section, "bool", s % 2 == 0);
      ini.WriteDateTime(section, "stamp", stamp + s);
    }
    ini.UpdateFile();
    EXPECT_FALSE(ini.Modified());
  }
  const std::string raw = file.Read();
  EXPECT_EQ(raw.find("\n\n"), std::string::npos);  // every line ends with CR LF
  EXPECT_EQ(raw.find("\r\r"), std::string::npos);

  TBigIniFile ini(file.Path());
  for (int s = 49; s >= 0; --s) {
    const std::string section = "Section" + std::to_string(s);
    EXPECT_EQ(ini.ReadString(section, "text", "?"), "spaced");  // values are trimmed on reading
    EXPECT_EQ(ini.ReadInteger(section, "int", 0), s * 1000 - 7);
    EXPECT_EQ(ini.ReadFloat(section, "float", -1), s / 3.0);
    EXPECT_EQ(ini.ReadBool(section, "bool", s % 2 != 0), s % 2 == 0);
    EXPECT_DOUBLE_EQ(ini.ReadDateTime(section, "stamp", 0), stamp + s);
  }
  EXPECT_FALSE(ini.Modified());
}

TEST(BigIniFile, FileNameChangeAndFailures) {
  TTempFile first, second;
  second.Write("[X]\r\nv=2\r\n[x]\r\nv=3\r\n");
  TBigIniFile ini(first.Path());  // a missing file is an empty store
  TStringList list;
  ini.ReadSections(list);
  EXPECT_EQ(list.Count(), 0);
  ini.WriteString("S", "k", "v");
  ini.SetFileName(second.Path());
  EXPECT_EQ(first.Read(), "[S]\r\nk=v\r\n\r\n");
  EXPECT_FALSE(ini.SectionExists("S"));
  EXPECT_EQ(ini.ReadInteger("X", "v", 0), 2);
  EXPECT_FALSE(ini.Modified());  // even though a duplicate was dropped

  const std::string unreachable =
      (std::filesystem::path(first.Path()).parent_path() / "kelda_no_such_folder" / "f.ini").string();
  auto lost = std::make_unique<TBigIniFile>(unreachable);
  lost->WriteString("S", "k", "v");
  EXPECT_THROW(lost->UpdateFile(), EFCreateError);
  EXPECT_TRUE(lost->Modified());
  lost.reset();  // the destructor's failed write does not escape
}
