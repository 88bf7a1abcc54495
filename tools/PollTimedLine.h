// The built-in simulated PLC behind a line at a real line's rate (--sim-baud): every byte takes
// its time on the wire both ways, breaks hold the line, and the PLC keeps GE's gaps, so the
// poller's reads per second are those of a real line with a PLC that answers at once.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tools/PollLine.h"
#include "tools/plcsim/TimedLine.h"

namespace kelda::host {

// The line format of the options: --sim-baud with --parity and --stop.
plcsim::LineFormat SimLineFormat(const TPollOptions& options);

class TTimedPollLine : public TPollLine {
public:
  explicit TTimedPollLine(const TPollOptions& options);
  void Write(const std::string& bytes, uint64_t now) override;
  // Whatever has arrived, as one piece (pieces of --sim-chunk bytes at most when given).
  std::vector<std::string> Read(uint64_t now) override;
  bool Break(uint32_t ms, uint64_t now) override;
  uint64_t UsUntilNextEvent() const override;
  std::string Describe() const override { return FDescription; }
  plcsim::Simulator& Plc(std::size_t k = 0) { return *FPlcs.at(k); }

private:
  uint64_t NowUs() const;

  std::vector<std::unique_ptr<plcsim::Simulator>> FPlcs;
  plcsim::TimedLine FLine;
  std::size_t FMaxPiece;
  std::chrono::steady_clock::time_point FStart;
  std::string FDescription;
};

}  // namespace kelda::host
