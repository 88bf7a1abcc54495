#include "Plugins/zorPluginCustomCmd.h"

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

static std::vector<std::string> SplitFields(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    std::size_t bar = line.find('|', start);
    fields.push_back(line.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
    if (bar == std::string::npos) return fields;
    start = bar + 1;
  }
}

// Lines end at CR LF, a lone CR or a lone LF.
static std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string current;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(current);
      current.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      current += c;
    }
  }
  if (!current.empty()) lines.push_back(current);
  return lines;
}

int TzorPluginCustomCmdList::AddFromText(const std::string& text) {
  int added = 0;
  for (const std::string& line : SplitLines(text)) {
    if (line.empty()) continue;
    std::vector<std::string> fields = SplitFields(line);
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
