// Custom commands: entries that the host keeps in a plug-in instance and reads back through
// the module information. The framework stores them and gives them back as text; what the
// three texts and two flags mean is the host's business.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace kelda {

class TzorPluginCustomCmd {
public:
  std::string Text1;
  std::string Text2;
  std::string Text3;
  bool Flag1 = false;
  bool Flag2 = false;
};

// A list that owns its commands.
class TzorPluginCustomCmdList {
public:
  int Count() const { return static_cast<int>(FItems.size()); }
  const TzorPluginCustomCmd& Items(int index) const { return *FItems.at(static_cast<std::size_t>(index)); }
  TzorPluginCustomCmd& Add(const TzorPluginCustomCmd& command);
  void Clear() { FItems.clear(); }

  // One line per command: the three texts and the two flags ("0" or "1"), separated by "|",
  // each line ended by CR LF.
  std::string Text() const;
  // Appends the commands of a text in that form. Empty lines and lines with fewer than five
  // fields are skipped; a flag is set only by the exact field "1". Returns how many were added.
  int AddFromText(const std::string& text);

private:
  std::vector<std::unique_ptr<TzorPluginCustomCmd>> FItems;
};

}  // namespace kelda
