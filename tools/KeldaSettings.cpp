#include "tools/KeldaSettings.h"

#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "Common/Exceptions.h"

namespace kelda::host {

std::string EncodeStoredText(const std::string& utf8) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  bool leading = true;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    if (byte == ' ') {
      const bool another = i + 1 < utf8.size() && utf8[i + 1] == ' ';
      out += leading || another ? '+' : ' ';
      continue;
    }
    leading = false;
    if (byte == '%') {
      out += "%%";
    } else if (byte >= 0x21 && byte <= 0x7F && byte != '+') {
      out += static_cast<char>(byte);
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    }
  }
  return out;
}

namespace {

std::vector<std::string> ReadLines(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

bool IsSectionLine(const std::string& line) {
  return !line.empty() && line.front() == '[';
}

}  // namespace

void WriteIniValue(const std::string& file, const std::string& section, const std::string& key,
                   const std::string& value) {
  std::vector<std::string> lines = ReadLines(file);
  const std::string header = "[" + section + "]", entry = key + "=" + value;
  std::size_t at = 0;
  while (at < lines.size() && lines[at] != header) ++at;
  if (at == lines.size()) {
    lines.push_back(header);
    lines.push_back(entry);
  } else {
    std::size_t end = at + 1;
    while (end < lines.size() && !IsSectionLine(lines[end])) ++end;
    bool replaced = false;
    for (std::size_t i = at + 1; i < end && !replaced; ++i) {
      if (lines[i].compare(0, key.size() + 1, key + "=") == 0) {
        lines[i] = entry;
        replaced = true;
      }
    }
    if (!replaced) lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(end), entry);
  }
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  for (const std::string& line : lines) out << line << "\r\n";
  if (!out.flush()) throw Exception("Cannot write " + file);
}

}  // namespace kelda::host
