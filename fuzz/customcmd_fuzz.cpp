// The custom commands reach an instance as text from the host's module parameters. Any text
// must read without failing, and the commands read back from the list's own text must be the
// same commands: a field never carries a separator or a line end.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Plugins/zorPluginCustomCmd.h"
#include "fuzz/FuzzCheck.h"

using namespace kelda;
using namespace kelda::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  TzorPluginCustomCmdList list;
  const int added = list.AddFromText(text);
  Check(added == list.Count());
  for (int i = 0; i < list.Count(); ++i) {
    const TzorPluginCustomCmd& command = list.Items(i);
    Check(CleanField(command.Text1) && CleanField(command.Text2) && CleanField(command.Text3));
  }

  TzorPluginCustomCmdList again;
  Check(again.AddFromText(list.Text()) == added);
  for (int i = 0; i < added; ++i) {
    const TzorPluginCustomCmd &a = list.Items(i), &b = again.Items(i);
    Check(a.Text1 == b.Text1 && a.Text2 == b.Text2 && a.Text3 == b.Text3);
    Check(a.Flag1 == b.Flag1 && a.Flag2 == b.Flag2);
  }
  Check(again.Text() == list.Text());
  return 0;
}
