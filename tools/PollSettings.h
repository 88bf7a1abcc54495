// The module's settings a run may be given by key ("--setting Retries=2"): each key the module
// reads from its settings store, with the kind of value it takes and the range its options
// dialog allows. A key the module does not read, or a value it would not read as meant (a text
// where it reads a number reads as 0; a number outside the dialog's range is one the dialog
// never stores), is refused before the run, as the configuration check names a misspelt element.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kelda::host {

struct TModuleSetting {
  const char* Key;       // as the settings store names it
  const char* Property;  // the settings object's property the key is read into
  enum TKind { Integer, Number, Text } Kind;
  double Low, High;     // the range of a number, both ends allowed
  const char* Instead;  // the poller's own option for a setting it writes itself; nullptr
};

// Every setting the module stores, in the order of its settings.
const std::vector<TModuleSetting>& ModuleSettingTable();

// Checks "KEY=VALUE" pairs. Returns the pairs with each key spelt as the module stores it
// (letter case as in its table), or the problems, one message each, naming the key or the
// value and what would do.
struct TSettingCheck {
  std::vector<std::pair<std::string, std::string>> Settings;
  std::vector<std::string> Problems;
};
TSettingCheck CheckModuleSettings(const std::vector<std::pair<std::string, std::string>>& given);

}  // namespace kelda::host
