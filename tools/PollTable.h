// The poller's live view: a block of lines (one part per request, see TRequestBoard) and a
// progress line. On a terminal the block is redrawn in place; otherwise it is printed as plain
// lines, at most one block per interval.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace kelda::host {

class TLiveView {
public:
  TLiveView(std::ostream& out, bool terminal, uint64_t intervalMs = 1000)
      : FOut(out), FTerminal(terminal), FIntervalMs(intervalMs) {}
  // Shows the table and the progress line when the interval passed since the last time (always
  // when force).
  void Show(uint64_t nowMs, const std::vector<std::string>& block, const std::string& progress,
            bool force = false);
  // Something else was written to the terminal: the next block goes below it.
  void StartBelow() { FDrawnLines = 0; }

private:
  std::ostream& FOut;
  bool FTerminal;
  uint64_t FIntervalMs;
  bool FShown = false;
  uint64_t FLastMs = 0;
  std::size_t FDrawnLines = 0;
};

}  // namespace kelda::host
