// The poller's view of each configured request: its caption and GE reference, its latest values
// and their age, whether they are stale, the last failure in words and its own counts. The
// requests come from the same configuration text the module reads; a delivered row is matched
// to its request by the fixed items the module puts in every row (target address, memory type,
// memory address), a failed transaction by the request's caption in the module's failure log
// line ("LogFailedTransactions").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/plcsim/PlcSim.h"

namespace kelda::host {

using TRequestValues = std::vector<std::pair<std::string, std::string>>;

enum class TFailureKind : uint8_t { Timeout, Check, Nak, PlcError, Other };

struct TRequestState {
  std::string Caption;
  std::string Reference;    // "%R1-%R10"
  std::string Description;  // as "kelda-host check" shows it: PLC, read, poll, items
  bool Enabled = false;
  uint32_t PollIntervalMs = 0;  // 0: read once
  // What the module writes into each of its rows, to find the request of a row.
  std::string Address, Memory, MemoryAddress;
  // Its items' names: rows of two requests of the same place (or of tables a protocol reads
  // alike) are told apart by the names of their values.
  std::vector<std::string> ItemNames;
  // The names of the values a read fills from the PLC's data; the others are their Default.
  std::vector<std::string> DataValueNames;
  TRequestValues Values;  // the latest decoded values, in first-seen order
  std::optional<uint64_t> ValueAtMs;
  bool LastFailed = false;
  std::string LastFailure;  // in words
  std::optional<uint64_t> FailureAtMs;
  uint64_t Answers = 0;    // rows with values
  uint64_t ErrorRows = 0;  // rows that carry the PLC's error status instead of values
  uint64_t Failures = 0;   // failed transactions the module logged
};

struct TFailureTotals {
  uint64_t Timeouts = 0, Checks = 0, Naks = 0, PlcErrors = 0, Other = 0;
  uint64_t All() const { return Timeouts + Checks + Naks + PlcErrors + Other; }
};

// The kind of a failure the module names in its log line.
TFailureKind FailureKindOf(const std::string& cause);

// The items every row carries besides the configured values.
bool IsFixedRowItem(const std::string& name);

// The GE reference a request reads, from its memory type code, offset and size as the
// protocol counts them ("%R1-%R10", "%I17-%I32"); a table the poller does not know is named by
// its code.
std::string GeReference(uint8_t memory, int32_t offset, int32_t size, bool ccm);

// The PLC's error in an SNP-X error answer's status code (major in the low byte).
std::string StatusCodeText(uint16_t statusCode);

class TRequestBoard {
public:
  // Reads the requests of the configuration text; protocol says how the module fills its rows.
  TRequestBoard(const std::string& configuration, plcsim::Mode protocol);

  // A delivered row (standard fields already left out). Returns whether it carried a
  // configured value (an error answer does not).
  bool TakeRow(const TRequestValues& row, uint64_t nowMs);
  // A line of the module's log: true when it reported a failed transaction of a known request
  // (then it counts for that request).
  bool TakeLogLine(const std::string& text, uint64_t nowMs) { return TakeFailure(text, nowMs).has_value(); }
  // The same, with the index of the request that failed (its LastFailure is the cause).
  std::optional<std::size_t> TakeFailure(const std::string& text, uint64_t nowMs);

  // Whether a row carries at least one value read from the PLC, not only items' Defaults. A row
  // of no known request counts as the PLC's.
  bool CarriesPlcValue(const TRequestValues& row) const;

  // The index in Requests() of the request a row belongs to.
  std::optional<std::size_t> IndexOf(const TRequestValues& row) const;

  // The caption of the request a row belongs to; empty when none is known.
  std::string CaptionOf(const TRequestValues& row) const;

  // No fresh value within twice the poll interval (of the run's time for a request never
  // answered), or the last transaction failed.
  bool IsStale(const TRequestState& request, uint64_t nowMs) const;

  // One block per request: a heading line and its values, indented.
  std::vector<std::string> Lines(uint64_t nowMs) const;

  const std::vector<TRequestState>& Requests() const { return FRequests; }
  std::size_t EnabledCount() const;
  const TFailureTotals& Totals() const { return FTotals; }

private:
  TRequestState* Find(const TRequestValues& row);
  const TRequestState* Find(const TRequestValues& row) const;

  std::vector<TRequestState> FRequests;
  TFailureTotals FTotals;
};

}  // namespace kelda::host
