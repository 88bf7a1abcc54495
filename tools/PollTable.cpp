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
