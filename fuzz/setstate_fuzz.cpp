// "SET-STATE" carries the host's data sources as text, one "id;name;full name" line each. Any
// text must go through the command entry without failing, and every data source kept must be
// one of the lines, under the very number its line starts with: a line whose number the
// instance cannot hold is skipped, never kept under another number.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "Common/TextUtils.h"
#include "Common/Variants.h"
#include "Plugins/zorPluginModule.h"
#include "tests/Plugins/PluginTestKit.h"
#include "fuzz/FuzzCheck.h"

using namespace kelda;
using namespace kelda::fuzz;
using namespace kelda::test;

namespace {

std::string Trimmed(const std::string& text) {
  std::size_t first = 0, last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= 32) ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= 32) --last;
  return text.substr(first, last - first);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const uintptr_t handle = CreateInstance();
  Check(handle != 0);

  THostList list;
  list.Add("COMMAND", "SET-STATE").Add("DATA-SOURCES-IN-CFG", text).Add("RESULT", 1);
  RunCommand(handle, list, 0x01);

  const std::vector<std::string> lines = SplitLines(text);
  const TObjectList& sources = Instance(handle)->ConfigDataSources;
  std::size_t next = 0;  // sources keep the order of their lines
  for (int i = 0; i < sources.Count(); ++i) {
    const auto* source = static_cast<const TConfigDataSource*>(sources.Items(i));
    while (next < lines.size() && lines[next] != source->Text) ++next;
    Check(next < lines.size());
    ++next;
    const std::vector<std::string> fields = SplitAt(source->Text, ";");
    int64_t id = 0;
    Check(TryTextToInt64(Trimmed(fields[0]), id));
    Check(id == source->Id);
    Check(source->Name == (fields.size() > 1 ? Trimmed(fields[1]) : ""));
    Check(source->FullName == (fields.size() > 2 ? Trimmed(fields[2]) : ""));
  }
  FetchLogText(handle);
  Check(FreeInstance(handle) == 0);
  return 0;
}
