#include "FormData.h"

namespace dfm {

std::vector<std::string> SplitFileLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

void SetHolderLines(Object& holder, const std::vector<std::string>& lines) {
  static const char kHex[] = "0123456789abcdef";
  Value data;
  data.Type = ValueType::List;
  Value key;
  key.Type = ValueType::String;
  data.Items.push_back(key);
  for (const std::string& line : lines) {
    Value item;
    for (char c : line) {
      auto byte = static_cast<unsigned char>(c);
      item.Text += kHex[byte >> 4];
      item.Text += kHex[byte & 15];
    }
    item.Type = item.Text.size() <= 255 ? ValueType::String : ValueType::LString;
    data.Items.push_back(item);
  }
  Value version;
  version.Type = ValueType::Int8;
  version.Integer = 2;
  std::vector<Property> kept;
  for (Property& property : holder.Properties)
    if (property.Name != "InternalVer" && property.Name != "StrData") kept.push_back(std::move(property));
  kept.push_back(Property{"InternalVer", version});
  kept.push_back(Property{"StrData", data});
  holder.Properties = std::move(kept);
}

static std::string WithCrLf(const std::string& text) {
  std::string out;
  for (const std::string& line : SplitFileLines(text)) out += line + "\r\n";
  return out;
}

static std::string TrimLineEnds(std::string text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return text;
}

std::string FormDataText(const std::string& script, const std::string& formName,
                         const std::vector<std::string>& mapLines) {
  const std::string separator = std::string("\r\n\r\n") + kSectionSeparator + "\r\n\r\n";
  std::string map;
  for (const std::string& line : mapLines) map += line + "\r\n";
  return TrimLineEnds(WithCrLf(script)) + separator + formName + separator + map;
}

}  // namespace dfm
