#include "tools/PollStatistics.h"

#include <charconv>
#include <utility>

namespace kelda::host {

namespace {

std::optional<uint64_t> Count(const std::string& text) {
  uint64_t value = 0;
  const char* end = text.data() + text.size();
  auto [at, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || at != end) return std::nullopt;
  return value;
}

std::optional<uint64_t>* Field(TLineStatistics& line, const std::string& name) {
  static const std::pair<const char*, std::optional<uint64_t> TLineStatistics::*> fields[] = {
      {"requests", &TLineStatistics::Requests}, {"answers", &TLineStatistics::Answers},
      {"timeouts", &TLineStatistics::Timeouts}, {"checks", &TLineStatistics::Checks},
      {"naks", &TLineStatistics::Naks},         {"out", &TLineStatistics::BytesOut},
      {"in", &TLineStatistics::BytesIn},        {"rtt", &TLineStatistics::RttMs},
      {"rtt_avg", &TLineStatistics::RttAvgMs}};
  for (const auto& [fieldName, member] : fields)
    if (name == fieldName) return &(line.*member);
  return nullptr;
}

std::optional<TLineStatistics> ParseLine(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(';', start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  auto source = Count(parts[0]);
  if (!source || *source > INT32_MAX) return std::nullopt;
  TLineStatistics line;
  line.DataSource = static_cast<int32_t>(*source);
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const std::size_t equals = parts[i].find('=');
    if (equals == std::string::npos) continue;
    std::optional<uint64_t>* field = Field(line, parts[i].substr(0, equals));
    if (field) *field = Count(parts[i].substr(equals + 1));
  }
  return line;
}

}  // namespace

std::vector<TLineStatistics> ParseStatistics(const std::string& text) {
  std::vector<TLineStatistics> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    if (end > start) {
      if (auto line = ParseLine(text.substr(start, end - start))) lines.push_back(*line);
    }
    start = end + 1;
  }
  return lines;
}

std::optional<TLineStatistics> StatisticsOf(const std::string& text, int32_t dataSource) {
  for (const TLineStatistics& line : ParseStatistics(text))
    if (line.DataSource == dataSource) return line;
  return std::nullopt;
}

}  // namespace kelda::host
