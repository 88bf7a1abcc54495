// What the poller counts itself (rows, bytes, the time from the last write before a row to the
// row) and the texts it shows from them: the progress line, the summary, the hint when the PLC
// does not answer. The module's own statistics, when it reports them, take precedence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/PollOptions.h"

namespace kelda::host {

class TPollCounts {
public:
  void Wrote(std::size_t bytes, uint64_t nowMs);
  void Read(std::size_t bytes) { FBytesIn += bytes; }
  void Row(uint64_t nowMs);

  uint64_t Rows() const { return FRows; }
  uint64_t BytesOut() const { return FBytesOut; }
  uint64_t BytesIn() const { return FBytesIn; }
  uint64_t LastRttMs() const { return FLastRtt; }
  uint64_t AverageRttMs() const { return FRttCount ? FRttSum / FRttCount : 0; }

private:
  uint64_t FRows = 0, FBytesOut = 0, FBytesIn = 0;
  bool FWaiting = false;  // a write since the last row
  uint64_t FLastWriteMs = 0, FLastRtt = 0, FRttSum = 0, FRttCount = 0;
};

// "rows 12 | time-outs 1 | failed checks 0 | NAKs 0 | rtt 35 ms (avg 36) | out 240 B | in 560 B | 3.2 s"
std::string ProgressLine(const TPollCounts& counts, const std::string& statistics, int32_t dataSource,
                         uint64_t ms);
std::string Summary(const TPollOptions& options, const TPollCounts& counts, const std::string& statistics,
                    int32_t dataSource, uint64_t ms);
// What went wrong with the run's transactions, to choose the hint by.
struct TTrouble {
  uint64_t Timeouts = 0;
  uint64_t Checks = 0;       // answers that failed their check
  uint64_t Refusals = 0;     // NAKs and the PLC's error answers
  uint64_t EmptyRows = 0;    // answers that came but carried no configured value
  uint64_t DefaultRows = 0;  // answers whose every value was an item's Default, none the PLC's
};

// Why no value was decoded, and what to check: failed checks point at the line's settings,
// refusals at what the requests ask for, silence at the cable, the ID and the protocol.
std::string NoAnswerHint(const TPollOptions& options, uint64_t ms, const TTrouble& trouble = {});

}  // namespace kelda::host
