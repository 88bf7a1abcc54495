#include "tools/PollTable.h"

#include <algorithm>

namespace kelda::host {

void TValueTable::Update(const TValues& values) {
  for (const auto& [name, value] : values) {
    auto at =
        std::find_if(FLatest.begin(), FLatest.end(), [&](const auto& entry) { return entry.first == name; });
    if (at == FLatest.end())
      FLatest.emplace_back(name, value);
    else
      at->second = value;
  }
}

// Values are shown on one line each: control characters would break the table apart.
static std::string OneLine(const std::string& text) {
  std::string line;
  for (char c : text) line += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
  return line;
}

std::vector<std::string> TValueTable::Lines() const {
  std::size_t width = 0;
  for (const auto& entry : FLatest) width = std::max(width, entry.first.size());
  std::vector<std::string> lines;
  for (const auto& [name, value] : FLatest)
    lines.push_back("  " + name + std::string(width - name.size() + 2, ' ') + OneLine(value));
  return lines;
}

void TLiveView::Show(uint64_t nowMs, const TValueTable& table, const std::string& progress, bool force) {
  if (!force && FShown && nowMs - FLastMs < FIntervalMs) return;
  FShown = true;
  FLastMs = nowMs;
  std::vector<std::string> lines = table.Lines();
  lines.push_back(progress);
  if (FTerminal) {
    // Back to the first line of the block drawn before, each line cleared before it is drawn.
    if (FDrawnLines > 0) FOut << "\x1b[" << FDrawnLines << "F";
    for (const std::string& line : lines) FOut << "\x1b[2K" << line << "\n";
    // A block shorter than the last one leaves no stale lines below it.
    for (std::size_t i = lines.size(); i < FDrawnLines; ++i) FOut << "\x1b[2K\n";
    FDrawnLines = std::max(FDrawnLines, lines.size());
  } else {
    for (const std::string& line : lines) FOut << line << "\n";
    FOut << "\n";
  }
  FOut.flush();
}

}  // namespace kelda::host
