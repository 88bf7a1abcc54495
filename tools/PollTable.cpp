#include "tools/PollTable.h"

#include <algorithm>

namespace kelda::host {

void TLiveView::Show(uint64_t nowMs, const std::vector<std::string>& block, const std::string& progress,
                     bool force) {
  if (!force && FShown && nowMs - FLastMs < FIntervalMs) return;
  FShown = true;
  FLastMs = nowMs;
  std::vector<std::string> lines = block;
  lines.push_back(progress);
  if (FTerminal) {
    // A line longer than the terminal is wide would wrap onto the next and spoil the count of
    // lines to go back over: it is cut at the edge instead (line wrap off while drawing).
    FOut << "\x1b[?7l";
    // Back to the first line of the block drawn before, each line cleared before it is drawn.
    if (FDrawnLines > 0) FOut << "\x1b[" << FDrawnLines << "F";
    for (const std::string& line : lines) FOut << "\x1b[2K" << line << "\n";
    // A block shorter than the last one leaves no stale lines below it.
    for (std::size_t i = lines.size(); i < FDrawnLines; ++i) FOut << "\x1b[2K\n";
    FDrawnLines = std::max(FDrawnLines, lines.size());
    FOut << "\x1b[?7h";
  } else {
    for (const std::string& line : lines) FOut << line << "\n";
    FOut << "\n";
  }
  FOut.flush();
}

}  // namespace kelda::host
