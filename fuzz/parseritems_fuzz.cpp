// The parser items come back from the host as text ("ITEMS"). Any text must read without
// failing, and the items read back from the instance's own text must be the same items.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Plugins/zorPluginModule.h"
#include "tests/Plugins/PluginTestKit.h"
#include "fuzz/FuzzCheck.h"

using namespace kelda;
using namespace kelda::fuzz;
using namespace kelda::test;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const uintptr_t handle = CreateInstance();
  Check(handle != 0);
  TzorPlugin* plugin = Instance(handle);

  plugin->SetParserItemsText(text, true);
  const std::vector<TParserItem> items = plugin->ParserItems;
  for (const TParserItem& item : items) {
    Check(CleanField(item.Name) && CleanField(item.Description) && CleanField(item.Extra));
    Check(item.Type <= kParserItemNoType);
  }
  const std::string stored = plugin->ParserItemsText();
  plugin->SetParserItemsText(stored, true);
  Check(plugin->ParserItems.size() == items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const TParserItem &a = items[i], &b = plugin->ParserItems[i];
    Check(a.Name == b.Name && a.Description == b.Description && a.Type == b.Type && a.Extra == b.Extra);
  }
  Check(plugin->ParserItemsText() == stored);

  // Appending keeps what was there.
  plugin->SetParserItemsText(text, false);
  Check(plugin->ParserItems.size() == 2 * items.size());
  Check(FreeInstance(handle) == 0);
  return 0;
}
