// Settings come back from INI files and registry values that users and installers edit by hand.
// Any stored text must decode without failing, every text must survive its one-line encoding,
// and a settings object loaded from any INI file must come back unchanged after a save and a
// second load.
//
// Input: the stored text to decode, and the same bytes as the content of an INI file.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "config/TWregistry.h"
#include "module/PluginDM.h"
#include "platform/File.h"
#include "platform/Thread.h"
#include "fuzz/FuzzCheck.h"

using namespace kelda;
using namespace kelda::fuzz;

namespace {

void CheckEncoding(const std::string& text) {
  DecodeSettingText(text);
  const std::string stored = EncodeSettingText(text);
  for (unsigned char c : stored) Check(c >= 0x20 && c <= 0x7F);
  if (!stored.empty()) Check(stored.front() != ' ' && stored.back() != ' ');
  Check(DecodeSettingText(stored) == text);
}

std::string ScratchFile(const char* role) {
  return (std::filesystem::temp_directory_path() /
          ("kelda_fuzz_settings_" + std::to_string(platform::CurrentThreadId()) + "_" + role + ".ini"))
      .string();
}

void WriteFile(const std::string& path, const std::string& content) {
  platform::TFileWriter writer(path);
  writer.Write(content);
  writer.Close();
}

void PointAt(TWreg& store, const std::string& path) {
  store.INIFile = path;
  store.INIFileSectionPrefix = "Kelda";
  for (const auto& line : PropertyMapLines()) store.Components.Add(line.Text);
}

bool SameDouble(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b)) || a == b;
}

void CheckSame(const TDataSourceCfg& a, const TDataSourceCfg& b) {
  Check(a.Left == b.Left && a.Top == b.Top && a.Height == b.Height && a.Width == b.Width);
  Check(a.lblParams_Caption == b.lblParams_Caption);
  Check(a.OpenDialog_FileName == b.OpenDialog_FileName && a.SaveDialog_FileName == b.SaveDialog_FileName);
  Check(a.comboProto_ItemIndex == b.comboProto_ItemIndex);
  Check(SameDouble(a.spMinInt_Value, b.spMinInt_Value) &&
        SameDouble(a.spLocalAddress_Value, b.spLocalAddress_Value));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  CheckEncoding(input);

  const std::string loaded = ScratchFile("in"), saved = ScratchFile("out");
  WriteFile(loaded, input);
  TDataSourceCfg first(nullptr);
  TWreg in(nullptr);
  PointAt(in, loaded);
  in.Load(first);

  // Doubles go out as text of limited precision: the second load is the reference for them.
  TDataSourceCfg second(nullptr), third(nullptr);
  platform::DeleteFileAt(saved);
  TWreg out(nullptr);
  PointAt(out, saved);
  Check(out.Save(first));
  Check(out.Load(second));
  Check(out.Save(second));
  Check(out.Load(third));
  CheckSame(second, third);
  Check(first.lblParams_Caption == second.lblParams_Caption && first.Left == second.Left &&
        first.comboProto_ItemIndex == second.comboProto_ItemIndex);

  platform::DeleteFileAt(loaded);
  platform::DeleteFileAt(saved);
  return 0;
}
