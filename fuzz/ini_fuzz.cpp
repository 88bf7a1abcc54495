// Settings and language files are INI files that users edit by hand: any bytes must load, every
// typed read must answer (the default when the text does not convert), and what the store
// writes out must load back to the same sections.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Common/BigIni.h"

using namespace kelda;

static void LinesOf(const std::string& bytes, TStringList& lines) {
  TMemoryStream stream(bytes);
  TStreamReader reader(&stream, 128);
  std::string line;
  while (reader.ReadLine(line)) lines.Add(line);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TStringList lines;
  LinesOf(std::string(reinterpret_cast<const char*>(data), size), lines);

  TBigIniFile ini;
  ini.LoadFromStrings(lines);
  TStringList sections;
  ini.ReadSections(sections);
  for (const auto& section : sections) {
    TStringList keys;
    ini.ReadSection(section.Text, keys);
    for (const auto& key : keys) {
      (void)ini.ReadString(section.Text, key.Text, "");
      (void)ini.ReadInteger(section.Text, key.Text, -1);
      (void)ini.ReadFloat(section.Text, key.Text, 0.5);
      (void)ini.ReadDateTime(section.Text, key.Text, 0.0);
      TMemoryStream binary;
      (void)ini.ReadBinaryStream(section.Text, key.Text, binary);
    }
  }

  // Written out and read back, the store has the same sections with the same lines.
  TStringList written;
  ini.ReadAll(written);
  TBigIniFile again;
  again.LoadFromStrings(written);
  TStringList reread;
  again.ReadAll(reread);
  if (reread.Text() != written.Text()) std::abort();
  return 0;
}
