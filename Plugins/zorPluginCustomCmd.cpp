#include "Plugins/zorPluginCustomCmd.h"

#include "Common/TextUtils.h"

namespace kelda {

TzorPluginCustomCmd& TzorPluginCustomCmdList::Add(const TzorPluginCustomCmd& command) {
  FItems.push_back(std::make_unique<TzorPluginCustomCmd>(command));
  return *FItems.back();
}

std::string TzorPluginCustomCmdList::Text() const {
  std::string text;
  for (const auto& command : FItems) {
    text += command->Text1 + "|" + command->Text2 + "|" + command->Text3 + "|";
    text += command->Flag1 ? "1" : "0";
    text += "|";
    text += command->Flag2 ? "1" : "0";
    text += "\r\n";
  }
  return text;
}

int TzorPluginCustomCmdList::AddFromText(const std::string& text) {
  int added = 0;
  for (const std::string& line : SplitLines(text)) {
    if (line.empty()) continue;
    std::vector<std::string> fields = SplitAt(line, "|");
    if (fields.size() < 5) continue;
    TzorPluginCustomCmd command;
    command.Text1 = fields[0];
    command.Text2 = fields[1];
    command.Text3 = fields[2];
    command.Flag1 = fields[3] == "1";
    command.Flag2 = fields[4] == "1";
    Add(command);
    ++added;
  }
  return added;
}

}  // namespace kelda
